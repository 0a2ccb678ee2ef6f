#include "quarnel/plugins/registry.hpp"

#include "quarnel/plugins/builtin/olvenar.hpp"
#include "quarnel/plugins/builtin/releases.hpp"

namespace quarnel::plugins::registry {

std::vector<std::unique_ptr<base::BasePlugin>> builtin_plugins() {
  std::vector<std::unique_ptr<base::BasePlugin>> plugins;
  plugins.push_back(std::make_unique<builtin::olvenar::OlvenarPlugin>());
  plugins.push_back(std::make_unique<builtin::releases::ReleasesPlugin>());
  return plugins;
}

}  // namespace quarnel::plugins::registry
