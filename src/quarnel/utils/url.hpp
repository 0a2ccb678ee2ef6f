#pragma once

// URLs as they may be shown: in results, reports, log lines and error messages.

#include <string>
#include <string_view>

namespace quarnel::utils::url {

// The URL with its user information ("user:token@") removed, for showing it in texts.
std::string redact(std::string_view url);

}  // namespace quarnel::utils::url
