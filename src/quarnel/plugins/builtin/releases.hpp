#pragma once

// Version identifiers: forge releases and semantic-version tags, local tags as the fallback.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::releases {

class ReleasesPlugin final : public base::DeclaredPlugin<ReleasesPlugin> {
 public:
  static constexpr std::string_view NAME = "releases";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {"version_identifiers"};
  static constexpr bool REQUIRES_FORGE = false;

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_releases(const base::Context& context,
                                   std::string_view indicator_id) const;
};

namespace detail {
// ^v?(\d+)\.(\d+)\.(\d+)(?:-[a-zA-Z0-9.]+)?(?:\+[a-zA-Z0-9.]+)?$ applied as a match.
bool is_semver(std::string_view tag);

// The token that may accompany a release request for `url`: the one of the URL's own forge
// style ("github", "gitlab", "gitea"), as given (an empty text stays empty); none when the
// style has no token, is none of the three, or the URL names no forge.
std::optional<std::string> forge_token(std::string_view url, const base::Context& context);
}  // namespace detail

}  // namespace quarnel::plugins::builtin::releases
