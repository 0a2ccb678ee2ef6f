#include "quarnel/plugins/registry.hpp"

namespace quarnel::plugins::registry {

std::vector<std::unique_ptr<base::BasePlugin>> builtin_plugins() {
  std::vector<std::unique_ptr<base::BasePlugin>> plugins;
  return plugins;
}

}  // namespace quarnel::plugins::registry
