#pragma once

#include <memory>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::registry {

// A new instance of every built-in check plug-in, in a fixed order.
std::vector<std::unique_ptr<base::BasePlugin>> builtin_plugins();

}  // namespace quarnel::plugins::registry
