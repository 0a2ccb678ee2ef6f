#include "quarnel/plugins/builtin/hublet.hpp"

#include <algorithm>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::hublet {

namespace {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;

// The components that name something: "." and the empty one of a trailing separator do not.
std::vector<stdfs::path> parts(const stdfs::path& path) {
  std::vector<stdfs::path> out;
  for (const auto& part : path) {
    if (!part.empty() && part != ".") out.push_back(part);
  }
  return out;
}

std::string shown(const stdfs::path& path) {
  return text::decode_raw(path.native(), text::DecodeMode::Replace);
}

// Whether the configuration mentions a test step. Matching inside longer words is deliberate
// and coarse: "checkout" counts for "check".
bool mentions_tests(const stdfs::path& file, const stdfs::path& repo) {
  std::string content;
  try {
    content = text::lower(fs::read_text(file, text::DecodeMode::Replace, repo));
  } catch (const OsError&) {
    // An unreadable configuration only drops out of the scan; it is still named.
    return false;
  }
  static constexpr std::array<std::string_view, 5> keywords = {"pytest", "test", "spec", "check",
                                                               "unittest"};
  return std::any_of(keywords.begin(), keywords.end(), [&](std::string_view keyword) {
    return content.find(keyword) != std::string::npos;
  });
}

}  // namespace

namespace detail {

std::vector<utils::ci::CiConfig> find_ci_configs(const std::filesystem::path& repo) {
  return utils::ci::find_ci_configs(repo);
}

std::string relative_to(const std::filesystem::path& path, const std::filesystem::path& base) {
  const auto inner = parts(path);
  const auto outer = parts(base);
  if (inner.size() < outer.size() || !std::equal(outer.begin(), outer.end(), inner.begin())) {
    throw ValueError(text::repr(shown(path)) + " is not in the subpath of " +
                     text::repr(shown(base)));
  }
  stdfs::path relative;
  for (auto it = inner.begin() + static_cast<std::ptrdiff_t>(outer.size()); it != inner.end();
       ++it) {
    relative /= *it;
  }
  return relative.empty() ? "." : shown(relative.generic_string());
}

}  // namespace detail

base::CheckResult HubletPlugin::check(std::string_view indicator_id,
                                      const base::Context& context) const {
  return check_ci(context, indicator_id);
}

base::CheckResult HubletPlugin::check_ci(const base::Context& context,
                                         std::string_view indicator_id) const {
  const stdfs::path& repo = context.repo_path;
  const std::vector<utils::ci::CiConfig> configs = utils::ci::find_ci_configs(repo);

  if (configs.empty()) {
    return make_result(indicator_id,
                       {.score = 0.0,
                        .process = "Searched for CI configuration files",
                        .output = "No CI configuration found",
                        .evidence = "Checked: .github/workflows/, .gitlab-ci.yml, Jenkinsfile, "
                                    ".circleci/"});
  }

  const bool tested = std::any_of(configs.begin(), configs.end(), [&](const auto& config) {
    return mentions_tests(config.first, repo);
  });

  std::vector<std::string> types;
  std::vector<std::string> paths;
  for (const auto& [path, type] : configs) {
    types.push_back(type);
    paths.push_back(detail::relative_to(path, repo));
  }

  return make_result(indicator_id, {.score = tested ? 10.0 : 6.0,
                                    .process = "Checked CI configs for test steps",
                                    .output = "CI: " + text::join(types, ", ") +
                                              "; tests in CI: " + (tested ? "yes" : "not detected"),
                                    .evidence = "Files: " + text::join(paths, ", ")});
}

}  // namespace quarnel::plugins::builtin::hublet
