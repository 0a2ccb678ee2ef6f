#include "quarnel/plugins/registry.hpp"

#include "quarnel/plugins/builtin/brantel.hpp"
#include "quarnel/plugins/builtin/documentation.hpp"
#include "quarnel/plugins/builtin/hublet.hpp"
#include "quarnel/plugins/builtin/interoperability.hpp"
#include "quarnel/plugins/builtin/mosset.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"
#include "quarnel/plugins/builtin/palderon.hpp"
#include "quarnel/plugins/builtin/quillan.hpp"
#include "quarnel/plugins/builtin/releases.hpp"
#include "quarnel/plugins/builtin/senwick.hpp"
#include "quarnel/plugins/builtin/tolmane.hpp"
#include "quarnel/plugins/builtin/yarrowin.hpp"

namespace quarnel::plugins::registry {

std::vector<std::unique_ptr<base::BasePlugin>> builtin_plugins() {
  // Listed explicitly, never registered at start-up: the order is fixed and is the order in
  // which the runner looks for the plug-in of an indicator.
  std::vector<std::unique_ptr<base::BasePlugin>> plugins;
  plugins.push_back(std::make_unique<builtin::olvenar::OlvenarPlugin>());
  plugins.push_back(std::make_unique<builtin::releases::ReleasesPlugin>());
  plugins.push_back(std::make_unique<builtin::yarrowin::YarrowinPlugin>());
  plugins.push_back(std::make_unique<builtin::quillan::QuillanPlugin>());
  plugins.push_back(std::make_unique<builtin::tolmane::TolmanePlugin>());
  plugins.push_back(std::make_unique<builtin::interoperability::InteroperabilityPlugin>());
  plugins.push_back(std::make_unique<builtin::senwick::SenwickPlugin>());
  plugins.push_back(std::make_unique<builtin::documentation::DocumentationPlugin>());
  plugins.push_back(std::make_unique<builtin::brantel::BrantelPlugin>());
  plugins.push_back(std::make_unique<builtin::palderon::PalderonPlugin>());
  plugins.push_back(std::make_unique<builtin::mosset::MossetPlugin>());
  plugins.push_back(std::make_unique<builtin::hublet::HubletPlugin>());
  return plugins;
}

}  // namespace quarnel::plugins::registry
