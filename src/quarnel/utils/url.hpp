#pragma once

// URLs as they may be shown (in results, reports, log lines and error messages), and host
// names in the form name resolution knows.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quarnel::utils::url {

// What stands in a shown URL for every hidden query value.
inline constexpr std::string_view REDACTED = "REDACTED";

// The URL as it may be shown: its user information ("user:token@", and the "user:password@" of
// an SCP-like "user:password@host:path") removed and the value of every query parameter replaced
// by REDACTED ("?access_token=s&x=1" gives "?access_token=REDACTED&x=REDACTED"; a parameter
// without "=" is replaced whole, an empty value stays empty). The parts are found the way a URL
// is read, tabs and line breaks ignored, so these cannot hide a token; nothing else of the URL
// changes, tabs and line breaks included.
std::string redact(std::string_view url);

// Where redact finds user information in `url`, its "@" included: the offsets [first, second)
// of the part it removes; none when it removes none.
std::optional<std::pair<std::size_t, std::size_t>> user_information(std::string_view url);

// A message that may quote `url`, such as a child's error output: wherever the URL's query or
// user information appears whole in it, it is shown as redact shows it.
std::string redact_in(std::string_view text, std::string_view url);

// A host name in its ASCII form: unchanged when it is ASCII already, else its IDNA form
// ("g\u00e4b.example" gives "xn--gb-via.example"), whatever the process's locale; none for a name
// that has no such form.
std::optional<std::string> ascii_host(std::string_view host);

}  // namespace quarnel::utils::url
