#include "quarnel/plugins/builtin/mosset.hpp"

#include <algorithm>
#include <exception>
#include <set>
#include <system_error>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::mosset {

namespace {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;

constexpr std::size_t SHOWN_TEST_EVIDENCE = 3;
constexpr std::size_t SHOWN_TEST_DIRS = 6;

// A file name as result text: names on disk are bytes and need not be UTF-8.
std::string shown_name(const stdfs::path& name) {
  return text::decode_raw(name.native(), text::DecodeMode::Replace);
}

std::string join_views(std::span<const std::string_view> parts, std::string_view separator) {
  return text::join(std::vector<std::string>(parts.begin(), parts.end()), separator);
}

bool is_one_of(std::string_view value, std::span<const std::string_view> options) {
  return std::find(options.begin(), options.end(), value) != options.end();
}

[[noreturn]] void fail_listing(const stdfs::path& dir, const std::error_code& ec) {
  throw OsError(ec.message() + ": " + text::repr(shown_name(dir)));
}

// The names directly in `dir`, in listing order; empty when it cannot be listed.
std::vector<std::string> listed_names(const stdfs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  stdfs::directory_iterator it(dir, ec);
  if (ec) return names;
  for (const stdfs::directory_iterator end; it != end;) {
    names.push_back(it->path().filename().native());
    it.increment(ec);
    if (ec) return {};
  }
  return names;
}

}  // namespace

namespace detail {

std::string_view name_suffix(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

std::string_view name_stem(std::string_view name) {
  return name.substr(0, name.size() - name_suffix(name).size());
}

bool glob_match(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  // Where the last "*" stood and how much of the name it has taken so far.
  std::size_t star = std::string_view::npos;
  std::size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<std::string> find_doc(const stdfs::path& repo,
                                    std::span<const std::string_view> basenames) {
  for (const std::string_view dir : SEARCH_DIRS) {
    const std::optional<stdfs::path> found = fs::named_directory(repo, dir);
    if (!found) continue;
    const stdfs::path& base = *found;

    std::error_code ec;
    stdfs::directory_iterator it(base, ec);
    if (ec) fail_listing(base, ec);
    for (const stdfs::directory_iterator end; it != end;) {
      if (fs::is_regular_file(it->path())) {
        const std::string name = shown_name(it->path().filename());
        const std::string stem = text::lower(name_stem(name));
        const std::string suffix = text::lower(name_suffix(name));
        if (is_one_of(stem, basenames) && is_one_of(suffix, DOC_EXTS)) {
          return dir.empty() ? name : std::string(dir) + "/" + name;
        }
      }
      it.increment(ec);
      if (ec) fail_listing(base, ec);
    }
  }
  return std::nullopt;
}

std::pair<bool, std::vector<std::string>> has_tests(const stdfs::path& repo) {
  std::vector<std::string> evidence;
  for (const std::string_view name : TEST_DIR_PATTERNS) {
    if (fs::named_directory(repo, name)) evidence.push_back("dir " + std::string(name) + "/");
  }

  // One level down, at most one test directory per child. Any failure ends this scan quietly
  // and keeps what it found.
  std::error_code ec;
  stdfs::directory_iterator it(repo, ec);
  if (!ec) {
    for (const stdfs::directory_iterator end; it != end;) {
      const stdfs::path& child = it->path();
      const std::string raw = child.filename().native();
      // A linked child is not entered: this is a walk one level down, not a named directory.
      if (!raw.starts_with(".") && !fs::is_symlink(child) && fs::is_directory(child)) {
        for (const std::string_view name : TEST_DIR_PATTERNS) {
          if (fs::named_directory(repo, stdfs::path(raw) / name)) {
            evidence.push_back("dir " + shown_name(raw) + "/" + std::string(name) + "/");
            break;
          }
        }
      }
      it.increment(ec);
      if (ec) break;
    }
  }
  if (!evidence.empty()) return {true, evidence};

  const std::vector<std::string> names = listed_names(repo);
  for (const std::string_view pattern : TEST_FILE_PATTERNS) {
    const auto count = std::count_if(names.begin(), names.end(), [&](const std::string& name) {
      return glob_match(pattern, name);
    });
    if (count > 0) return {true, {std::to_string(count) + " " + std::string(pattern)}};
  }
  return {false, {}};
}

std::vector<std::string> has_ci(const stdfs::path& repo, const CiFinder& finder) {
  std::vector<utils::ci::CiConfig> configs;
  try {
    configs = finder(repo);
  } catch (const std::exception&) {
    // Whatever goes wrong in the finder, the checkout simply shows no CI here.
    return {};
  }
  std::set<std::string> types;
  for (const auto& config : configs) types.insert(config.second);
  return {types.begin(), types.end()};
}

std::optional<std::string> has_style_config(const stdfs::path& repo) {
  for (const std::string_view name : STYLE_CONFIG_NAMES) {
    if (fs::is_regular_file(repo / name)) return std::string(name);
  }
  const stdfs::path pyproject = repo / "pyproject.toml";
  if (fs::is_regular_file(pyproject)) {
    std::string content;
    try {
      content = fs::read_text(pyproject, text::DecodeMode::Drop, repo);
    } catch (const OsError&) {
      // An unreadable pyproject.toml holds no markers.
    }
    static constexpr std::array<std::string_view, 3> markers = {"[tool.ruff", "[tool.black",
                                                                "[tool.isort"};
    for (const std::string_view marker : markers) {
      if (content.find(marker) != std::string::npos) {
        return "pyproject.toml ([tool.ruff/black/isort])";
      }
    }
  }
  return std::nullopt;
}

}  // namespace detail

base::CheckResult MossetPlugin::check(std::string_view indicator_id,
                                      const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  std::vector<std::string> details;
  double score = 0.0;

  struct Document {
    std::string_view label;
    std::span<const std::string_view> names;
    double amount;
  };
  const std::array<Document, 4> documents = {{
      {"CONTRIBUTING", detail::CONTRIB_NAMES, 3.0},
      {"CODE_OF_CONDUCT", detail::COC_NAMES, 2.0},
      {"SECURITY", detail::SECURITY_NAMES, 1.0},
      {"GOVERNANCE", detail::GOVERNANCE_NAMES, 1.0},
  }};
  for (const Document& document : documents) {
    if (const auto path = detail::find_doc(repo, document.names)) {
      details.push_back(std::string(document.label) + " (" + *path + ")");
      score += document.amount;
    }
  }

  if (auto [present, evidence] = detail::has_tests(repo); present) {
    evidence.resize(std::min(evidence.size(), SHOWN_TEST_EVIDENCE));
    details.push_back("tests (" + text::join(evidence, ", ") + ")");
    score += 2.0;
  }

  if (const auto types = detail::has_ci(repo); !types.empty()) {
    details.push_back("CI (" + text::join(types, ", ") + ")");
    score += 1.0;
  }

  if (const auto style = detail::has_style_config(repo)) {
    details.push_back("style config (" + *style + ")");
    score += 1.0;
  }

  score = std::min(score, 10.0);

  if (score == 0.0) {
    return make_result(
        indicator_id,
        {.score = 0.0,
         .status = base::CheckStatus::UNKNOWN,
         .process = "Searched for community-standard files, tests, CI, and style configs",
         .output = "No community-standards signals detected",
         .evidence = "Searched: CONTRIBUTING/CODE_OF_CONDUCT/SECURITY/GOVERNANCE in " +
                     join_views(detail::SEARCH_DIRS, ", ") + "; tests in " +
                     join_views(std::span(detail::TEST_DIR_PATTERNS).first(SHOWN_TEST_DIRS), ", ") +
                     ", ...; CI configs; style configs"});
  }

  const std::string findings = text::join(details, "; ");
  return make_result(indicator_id, {.score = score,
                                    .process = "Tallied community-standard signals",
                                    .output = findings,
                                    .evidence = findings});
}

}  // namespace quarnel::plugins::builtin::mosset
