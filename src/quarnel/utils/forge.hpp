#pragma once

// Code forges: repository URLs brought into one canonical form, parsed into ForgeInfo and
// classified, and read-only REST reads of release lists, default branches and summaries.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarnel/utils/http.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"

namespace quarnel::utils::forge {

inline constexpr std::string_view GITHUB_HOST = "github.com";
inline constexpr std::string_view GITLAB_HOST = "gitlab.com";
inline constexpr std::string_view CODEBERG_HOST = "codeberg.org";
inline constexpr std::string_view GITHUB_API_BASE = "https://api.github.com";

// Host name (lower case) to forge style ("github", "gitlab", "gitea", ...).
using ForgeOverrides = std::map<std::string, std::string>;

struct ForgeInfo {
  std::string forge_type;
  std::string api_style;
  std::string base_url;
  std::string owner;
  std::string repo;

  // Root of the REST interface: GitHub's public API, base_url + "/api/v4" (GitLab) or
  // "/api/v1" (Gitea), else base_url.
  std::string api_base() const;

  bool operator==(const ForgeInfo&) const = default;
};

// "https://host/path" for SCP-like and ssh:// remotes; anything else only trimmed. Raises
// UrlError for an ssh URL with a malformed port or bracketed host.
std::string normalize_url(std::string_view url);

// None when the URL has no host or fewer than two path segments. Raises UrlError as above.
std::optional<ForgeInfo> parse_forge_url(
    std::string_view url, const std::optional<ForgeOverrides>& forge_overrides = std::nullopt);

// "github", "gitlab", "gitea", "codeberg", or none. Raises UrlError as above.
std::optional<std::string> detect_forge(std::string_view url);

std::optional<std::pair<std::string, std::string>> parse_owner_repo(std::string_view url);

// The first page of the repository's releases (a JSON array), or none when the forge cannot be
// asked or answers with something else.
std::optional<json::Json> get_releases(
    std::string_view url, const std::optional<std::string>& token = std::nullopt,
    const std::optional<ForgeOverrides>& forge_overrides = std::nullopt,
    const http::HttpClient* client = nullptr);

// The repository's "default_branch" value (any JSON value), or none.
std::optional<json::Json> get_default_branch(
    std::string_view url, const std::optional<std::string>& token = std::nullopt,
    const std::optional<ForgeOverrides>& forge_overrides = std::nullopt,
    const http::HttpClient* client = nullptr);

// Object with "url", "forge_type", "owner", "repo", "release_count", "default_branch".
json::Json get_repo_metadata(std::string_view url,
                             const std::optional<std::string>& token = std::nullopt,
                             const std::optional<ForgeOverrides>& forge_overrides = std::nullopt,
                             const http::HttpClient* client = nullptr);

// "gitlab" or "gitea" from the forge's version resource, or none.
std::optional<std::string> probe_forge_type(std::string_view base_url,
                                            const std::optional<std::string>& token = std::nullopt);

// url::redact under the name the forge callers know.
std::string redact_url(std::string_view url);

// normalize_url(url) as it may be shown: what redaction hides in `url` stays hidden wherever the
// rewrite moves it, and the rewritten text is redacted like any URL. The SCP-like rewrite reads
// a remote "user:password@host:path" as the host "user" and a path that starts with
// "password@", and "https:/user:password@host/path" as the host "https" and a path that holds
// "user:password@"; the shown form leaves those characters out, as it leaves out user
// information. Raises UrlError as normalize_url does.
std::string redacted_normalized_url(std::string_view url);

namespace detail {

// A URL taken apart by the generic syntax. Nothing is percent-decoded.
struct SplitUrl {
  std::string scheme;  // lower case; empty when the URL has none
  std::string netloc;  // what follows "//" up to the first "/", "?" or "#"
  std::string path;    // without ";params" for the schemes that have them
  std::string query;
  std::string fragment;

  // The host lower-cased (an IPv6 zone keeps its case), without brackets; none when empty.
  std::optional<std::string> hostname() const;
  // True when the host is written in brackets (an IPv6 or IPvFuture address).
  bool bracketed() const;
  // The host as it must appear in a URL: hostname(), in brackets when it was bracketed.
  std::optional<std::string> url_host() const;
  // None when absent or empty. UrlError when not all ASCII digits or above 65535; the split
  // itself never checks the port, so callers decide whether they read it.
  std::optional<int> port() const;
};

// UrlError for a malformed bracketed host or text that is not UTF-8.
SplitUrl split_url(std::string_view url);

// An IPv6 address in text form, optionally with a "%zone" suffix; IPv4 alone is not one.
bool is_ipv6_address(std::string_view text);

// The SCP-like remote form (user@host:path), compiled once.
const regex::Regex& scp_re();

struct KnownForge {
  std::string_view host;
  std::string_view forge_type;
  std::string_view api_style;
};
inline constexpr std::array<KnownForge, 3> KNOWN_FORGES = {{
    {GITHUB_HOST, "github", "github"},
    {GITLAB_HOST, "gitlab", "gitlab"},
    {CODEBERG_HOST, "gitea", "gitea"},
}};

// Every byte except ASCII letters, digits and "_.-~" as %XX (upper-case hex).
std::string percent_encode(std::string_view text);

// The release-list and repository resource URLs of the forge's style; none for a style the
// reads do not know.
std::optional<std::string> releases_url(const ForgeInfo& info);
std::optional<std::string> repository_url(const ForgeInfo& info);

// GET through `client` when given, else through http::get_json; none for JSON null too. A forge
// that did not reply in time gives none as well, with one warning that names its origin and
// `what` could not be read ("the release list of owner/repo").
std::optional<json::Json> fetch(const std::string& url, const std::optional<std::string>& token,
                                const http::HttpClient* client, std::string_view what);
}  // namespace detail

}  // namespace quarnel::utils::forge
