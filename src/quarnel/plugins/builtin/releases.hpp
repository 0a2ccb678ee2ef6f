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

// The host and port that a token belongs to, or that a request goes to.
struct TokenHost {
  std::string host;  // lower case, a name that is not ASCII in its IDNA form
  int port = 0;
  bool operator==(const TokenHost&) const = default;
};

// `text` read as a host the way GITLAB_HOST is written: a URL ("https://gitlab.example.org:8443",
// its path ignored) names its host at its port, else at its scheme's default one; a bare name
// is read as an HTTPS URL, so "gitlab.example.org" names port 443 only and
// "gitlab.example.org:8443" names that port. Blanks around it are ignored. None when it names no
// host or no port (no host, a port that is no number, a scheme other than HTTP and HTTPS
// without a port).
std::optional<TokenHost> token_host(std::string_view text);

// The token that may accompany a release request for `url`: the one of the URL's own forge
// style ("github", "gitlab", "gitea"), as given (an empty text stays empty), and only when the
// request goes to the host that token belongs to: GitHub's API, codeberg.org, and gitlab.com or,
// when `context.gitlab_host` is given (not empty nor blank), that host instead. A host read as
// GitLab because its name contains "gitlab" is still asked, without the token. None as well
// when the style has no token, is none of the three, or the URL names no forge.
std::optional<std::string> forge_token(std::string_view url, const base::Context& context);
}  // namespace detail

}  // namespace quarnel::plugins::builtin::releases
