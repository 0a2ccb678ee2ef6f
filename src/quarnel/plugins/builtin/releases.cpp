#include "quarnel/plugins/builtin/releases.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"

namespace quarnel::plugins::builtin::releases {

namespace {

namespace forge = utils::forge;
namespace json = utils::json;
namespace text = utils::text;
using Json = json::Json;

std::string_view py_bool(bool value) { return value ? "True" : "False"; }

// "Latest tag: <tag>, semver: True|False", shared by every local-tag fallback.
std::string local_tag_output(const std::string& tag) {
  return "Latest tag: " + tag + ", semver: " + std::string(py_bool(detail::is_semver(tag)));
}

// What a release element offers as its tag: its "tag_name" text, when it has one.
std::optional<std::string> text_tag_name(const Json& release) {
  const Json* tag_name = json::find(release, "tag_name");
  if (tag_name == nullptr || !tag_name->is_string()) return std::nullopt;
  return tag_name->get<std::string>();
}

// The latest release's tag as shown: "unknown" without a "tag_name", a value that is not text
// printed as its plain form ("None" for null).
std::string latest_label(const Json& release) {
  const Json* tag_name = json::find(release, "tag_name");
  if (tag_name == nullptr) return "unknown";
  if (tag_name->is_string()) return tag_name->get<std::string>();
  return json::py_str(*tag_name);
}

std::optional<Json> fetch_releases(const std::string& url,
                                   const std::optional<std::string>& token) {
  try {
    return forge::get_releases(url, token);
  } catch (const UrlError&) {
    // A URL the forge parser rejects is a URL on no known forge: nothing can be asked.
    return std::nullopt;
  }
}

}  // namespace

namespace detail {

bool is_semver(std::string_view tag) {
  static const utils::regex::Regex re(
      R"(^v?(\d+)\.(\d+)\.(\d+)(?:-[a-zA-Z0-9.]+)?(?:\+[a-zA-Z0-9.]+)?$)");
  return re.match(tag).has_value();
}

std::optional<TokenHost> token_host(std::string_view text) {
  const std::string value = text::strip(text);
  if (value.empty()) return std::nullopt;
  // "host:8443" would read as the scheme "host"; only "scheme://" makes a URL here.
  const auto separator = value.find("://");
  const bool is_url = separator != std::string::npos && value.find('/') == separator + 1;
  try {
    const forge::detail::SplitUrl parts =
        forge::detail::split_url(is_url ? value : "https://" + value);
    const std::optional<std::string> host = parts.hostname();
    if (!host) return std::nullopt;
    std::optional<int> port = parts.port();
    if (!port && parts.scheme == "https") port = 443;
    if (!port && parts.scheme == "http") port = 80;
    if (!port) return std::nullopt;
    return TokenHost{utils::url::ascii_host(*host).value_or(*host), *port};
  } catch (const UrlError&) {
    return std::nullopt;
  }
}

std::optional<std::string> forge_token(std::string_view url, const base::Context& context) {
  std::optional<forge::ForgeInfo> info;
  try {
    info = forge::parse_forge_url(url);
  } catch (const UrlError&) {
    return std::nullopt;
  }
  if (!info) return std::nullopt;

  // A token belongs to one host, not to every host of its forge's kind: anyone can name a host
  // "gitlab.<theirs>" and submit a URL on it.
  const std::optional<std::string>* token = nullptr;
  std::string_view home;
  if (info->api_style == "github") {
    token = &context.github_token;
    home = forge::GITHUB_API_BASE;
  } else if (info->api_style == "gitlab") {
    token = &context.gitlab_token;
    const bool named = context.gitlab_host && !text::strip(*context.gitlab_host).empty();
    home = named ? std::string_view(*context.gitlab_host) : forge::GITLAB_HOST;
  } else if (info->api_style == "gitea") {
    token = &context.gitea_token;
    home = forge::CODEBERG_HOST;
  } else {
    return std::nullopt;
  }
  // Compared where the request goes: the API root, which for GitHub is its own API host.
  const std::optional<TokenHost> target = token_host(info->api_base());
  if (!target || target != token_host(home)) return std::nullopt;
  return *token;
}

}  // namespace detail

base::CheckResult ReleasesPlugin::check(std::string_view indicator_id,
                                        const base::Context& context) const {
  return check_releases(context, indicator_id);
}

base::CheckResult ReleasesPlugin::check_releases(const base::Context& context,
                                                 std::string_view indicator_id) const {
  const std::optional<std::string> url =
      text::truthy(context.repo_url) ? context.repo_url : context.git_repo.remote_url();

  if (!text::truthy(url)) {
    const auto tag = context.git_repo.latest_tag();
    if (text::truthy(tag)) {
      // Without a URL a local tag is the only source, so it earns more than as a fallback.
      return make_result(indicator_id, {.score = detail::is_semver(*tag) ? 7.0 : 5.0,
                                        .status = std::nullopt,
                                        .process = "No remote URL, checked local tags",
                                        .output = local_tag_output(*tag),
                                        .evidence = "Local tags only"});
    }
    return make_result(indicator_id, {.score = 0.0,
                                      .status = base::CheckStatus::UNKNOWN,
                                      .process = "No remote URL and no git tags",
                                      .output = "Cannot check releases",
                                      .evidence = "No remote URL; no local tags"});
  }

  // Whatever reaches a result text loses its user information, tokens included.
  const std::string shown = forge::redact_url(*url);
  const std::optional<Json> releases = fetch_releases(*url, detail::forge_token(*url, context));

  if (!releases || !releases->is_array()) {
    const auto tag = context.git_repo.latest_tag();
    if (text::truthy(tag)) {
      return make_result(indicator_id,
                         {.score = detail::is_semver(*tag) ? 5.0 : 3.0,
                          .status = std::nullopt,
                          .process = "Forge API unavailable, checked local tags",
                          .output = local_tag_output(*tag),
                          .evidence = "Remote: " + shown + "; fell back to local tags"});
    }
    return make_result(indicator_id,
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Queried forge API for " + shown,
                        .output = "Could not fetch releases (forge API unavailable, no local tags)",
                        .evidence = "Source: " + shown});
  }

  if (releases->empty()) {
    const auto tag = context.git_repo.latest_tag();
    if (text::truthy(tag)) {
      return make_result(indicator_id,
                         {.score = detail::is_semver(*tag) ? 5.0 : 3.0,
                          .status = std::nullopt,
                          .process = "Forge returned 0 releases; falling back to local tags",
                          .output = local_tag_output(*tag),
                          .evidence = "Source: " + shown + "; 0 releases, local tag " + *tag});
    }
    return make_result(indicator_id,
                       {.score = 0.0,
                        .status = std::nullopt,
                        .process = "Queried forge API for " + shown,
                        .output = "No releases found",
                        .evidence = "Source: " + shown + "; 0 releases; no local tags"});
  }

  const std::size_t count = releases->size();
  const std::string latest = latest_label(releases->front());
  std::size_t total = 0;
  std::size_t semver_count = 0;
  for (const Json& release : *releases) {
    const auto tag = text_tag_name(release);
    if (!text::truthy(tag)) continue;
    ++total;
    if (detail::is_semver(*tag)) ++semver_count;
  }

  double score = count > 2 ? 7.0 : 6.0;
  if (total > 0 && static_cast<double>(semver_count) / static_cast<double>(total) >= 0.8) {
    score += 3.0;
  } else if (semver_count > 0) {
    score += 1.5;
  }

  return make_result(indicator_id, {.score = score,
                                    .status = std::nullopt,
                                    .process = "Checked releases and version tag format",
                                    .output = std::to_string(count) + " release(s), latest: " +
                                              latest + ", semver: " + std::to_string(semver_count) +
                                              "/" + std::to_string(total),
                                    .evidence = "Source: " + shown});
}

}  // namespace quarnel::plugins::builtin::releases
