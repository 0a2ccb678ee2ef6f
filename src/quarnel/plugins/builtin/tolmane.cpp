#include "quarnel/plugins/builtin/tolmane.hpp"

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/git.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::tolmane {

namespace {

namespace forge = utils::forge;
namespace fs = utils::fs;
namespace text = utils::text;
namespace stdfs = std::filesystem;

constexpr std::array<std::string_view, 4> README_NAMES = {"README.md", "README.rst", "README.txt",
                                                          "README"};
constexpr std::array<std::string_view, 2> DOC_DIRS = {"docs", "doc"};
constexpr std::size_t MAX_SHOWN_KEYWORDS = 3;

// "<README> mentions: <phrases>" for the first README present, when it uses installation
// wording; nothing otherwise, also when that README cannot be read.
std::optional<std::string> readme_finding(const stdfs::path& root) {
  for (std::string_view name : README_NAMES) {
    const stdfs::path path = root / name;
    if (!fs::exists(path)) continue;
    std::string content;
    try {
      content = text::lower(fs::read_text(path, text::DecodeMode::Replace, root));
    } catch (const OsError&) {
      return std::nullopt;
    }
    std::vector<std::string> matched;
    for (std::string_view keyword : detail::INSTALL_KEYWORDS) {
      if (matched.size() == MAX_SHOWN_KEYWORDS) break;
      if (text::contains(content, keyword)) matched.emplace_back(keyword);
    }
    if (matched.empty()) return std::nullopt;
    return std::string(name) + " mentions: " + text::join(matched, ", ");
  }
  return std::nullopt;
}

}  // namespace

namespace detail {

std::optional<RepositoryUrl> repository_url(const base::Context& context) {
  const utils::git::GitRepo& git_repo = context.git_repo;
  const std::optional<std::string> raw_url =
      text::truthy(context.repo_url) ? context.repo_url : git_repo.remote_url();
  if (!text::truthy(raw_url)) return std::nullopt;
  // The checks judge the URL as obtained; a remote may carry credentials (CI checkouts embed a
  // token), which only the shown text loses.
  try {
    return RepositoryUrl{.url = forge::normalize_url(*raw_url),
                         .shown = forge::redacted_normalized_url(*raw_url)};
  } catch (const UrlError&) {
    // Not a URL of any forge; it is still judged by what it starts with.
    std::string kept = text::strip(text::decode_raw(*raw_url, text::DecodeMode::Replace));
    std::string shown = forge::redact_url(kept);
    return RepositoryUrl{.url = std::move(kept), .shown = std::move(shown)};
  }
}

std::optional<std::string> forge_kind(std::string_view url) {
  try {
    return forge::detect_forge(url);
  } catch (const UrlError&) {
    return std::nullopt;
  }
}

}  // namespace detail

base::CheckResult TolmanePlugin::check(std::string_view indicator_id,
                                       const base::Context& context) const {
  if (indicator_id == "identifier_retrieval") return check_retrieval(context);
  if (indicator_id == "open_access_protocol") return check_protocol(context);
  if (indicator_id == "access_documentation") return check_access_docs(context);
  return make_result(indicator_id, {.score = 0.0,
                                    .status = std::nullopt,
                                    .process = "",
                                    .output = "",
                                    .evidence = "not handled"});
}

base::CheckResult TolmanePlugin::check_retrieval(const base::Context& context) const {
  const std::optional<detail::RepositoryUrl> url = detail::repository_url(context);
  if (!url) {
    return make_result("identifier_retrieval",
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Checked for retrievable URL",
                        .output = "No remote URL found",
                        .evidence = "No repo_url in context, no git remote"});
  }

  // Deliberately "https" rather than "https://": the label is a coarse hint, the protocol
  // check is the strict one.
  const std::string_view protocol = url->url.starts_with("https") ? "https" : "git";
  std::string details = "Remote: " + url->shown + " (protocol: " + std::string(protocol) + ")";
  double score = 7.0;
  if (const auto kind = detail::forge_kind(url->url); text::truthy(kind)) {
    details += ", forge: " + *kind;
    score = 9.0;
  }
  return make_result("identifier_retrieval",
                     {.score = score,
                      .status = std::nullopt,
                      .process = "Checked if software is retrievable via standard protocol",
                      .output = details,
                      .evidence = "URL: " + url->shown});
}

base::CheckResult TolmanePlugin::check_protocol(const base::Context& context) const {
  const std::optional<detail::RepositoryUrl> url = detail::repository_url(context);
  if (!url) {
    return make_result("open_access_protocol", {.score = 0.0,
                                                .status = base::CheckStatus::UNKNOWN,
                                                .process = "No remote URL to check protocol",
                                                .output = "Cannot determine access protocol",
                                                .evidence = "No URL available"});
  }

  double score = 4.0;
  std::string output = "Unknown protocol for URL: " + url->shown;
  if (url->url.starts_with("https://")) {
    score = 10.0;
    output = "HTTPS protocol (free, open, universally implementable)";
  } else if (url->url.starts_with("git://") || url->url.starts_with("http://")) {
    score = 8.0;
    output = "Git/HTTP protocol (open but less secure than HTTPS)";
  }
  return make_result("open_access_protocol", {.score = score,
                                              .status = std::nullopt,
                                              .process = "Checked access protocol",
                                              .output = output,
                                              .evidence = "URL: " + url->shown});
}

base::CheckResult TolmanePlugin::check_access_docs(const base::Context& context) const {
  const stdfs::path& root = context.repo_path;
  std::vector<std::string> findings;
  double score = 0.0;

  for (std::string_view name : detail::INSTALL_DOCS) {
    if (fs::exists(root / name)) {
      findings.emplace_back(name);
      score += 4.0;
      break;
    }
  }

  if (auto finding = readme_finding(root)) {
    findings.push_back(std::move(*finding));
    score += 4.0;
  }

  for (std::string_view name : DOC_DIRS) {
    if (fs::named_directory(root, name)) {
      findings.push_back(std::string(name) + "/ directory");
      score += 2.0;
      break;
    }
  }

  if (findings.empty()) {
    return make_result("access_documentation",
                       {.score = 0.0,
                        .status = std::nullopt,
                        .process = "Searched for installation/access documentation",
                        .output = "No access documentation found",
                        .evidence = "Checked: INSTALL.*, README, CONTRIBUTING, docs/"});
  }
  const std::string joined = text::join(findings, "; ");
  return make_result("access_documentation",
                     {.score = score,
                      .status = std::nullopt,
                      .process = "Checked for access/installation documentation",
                      .output = joined,
                      .evidence = joined});
}

}  // namespace quarnel::plugins::builtin::tolmane
