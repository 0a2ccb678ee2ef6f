#include "quarnel/plugins/builtin/olvenar.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/ini.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::olvenar {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace json = utils::json;
namespace text = utils::text;
using utils::regex::Regex;

namespace detail {

namespace {

bool is_skipped_dir(std::string_view name) {
  return name.starts_with('.') ||
         std::find(SKIP_DIRS.begin(), SKIP_DIRS.end(), name) != SKIP_DIRS.end();
}

enum class EntryKind { Link, Directory, Regular, Other, Unknown };

struct ListedEntry {
  std::string name;
  EntryKind kind;
};

EntryKind kind_of(mode_t mode) {
  if (S_ISLNK(mode)) return EntryKind::Link;
  if (S_ISDIR(mode)) return EntryKind::Directory;
  if (S_ISREG(mode)) return EntryKind::Regular;
  return EntryKind::Other;
}

// The whole listing, or none when the directory cannot be listed. The kind of each entry is
// that of the entry itself (a link is never followed); an entry whose kind cannot be learnt is
// Unknown. Reading the kinds from the listing avoids one stat per entry on large trees.
std::optional<std::vector<ListedEntry>> list_directory(const stdfs::path& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return std::nullopt;
  std::vector<ListedEntry> entries;
  bool failed = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) {
      failed = errno != 0;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    EntryKind kind = EntryKind::Other;
    switch (entry->d_type) {
      case DT_LNK:
        kind = EntryKind::Link;
        break;
      case DT_DIR:
        kind = EntryKind::Directory;
        break;
      case DT_REG:
        kind = EntryKind::Regular;
        break;
      case DT_UNKNOWN: {
        struct stat st {};
        kind = ::fstatat(::dirfd(handle), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                   ? kind_of(st.st_mode)
                   : EntryKind::Unknown;
        break;
      }
      default:
        break;
    }
    entries.push_back({std::string(name), kind});
  }
  ::closedir(handle);
  if (failed) return std::nullopt;
  return entries;
}

// A checkout file is untrusted: any text that cannot be read as UTF-8 is treated like a file
// that cannot be read at all, so one odd file never fails the whole check.
std::optional<std::string> read_root_text(const stdfs::path& repo, std::string_view name) {
  return fs::read_text_or_none(repo / name, text::DecodeMode::Strict, repo);
}

bool present(const stdfs::path& repo, std::string_view name) {
  return fs::is_regular_file(repo / name);
}

// Name and version from setup.cfg's metadata section. Whatever the file holds, a parse error
// or unreadable file only means nothing is found there.
void read_setup_cfg(const stdfs::path& repo, bool& has_name, bool& has_version) {
  std::optional<std::string> content = read_root_text(repo, "setup.cfg");
  if (!content) return;
  try {
    const utils::ini::IniFile cfg = utils::ini::IniFile::parse(*content);
    has_name = cfg.has_option("metadata", "name");
    if (cfg.has_option("metadata", "version")) has_version = true;
  } catch (const IniError&) {
  }
}

}  // namespace

std::vector<stdfs::path> iter_files(const stdfs::path& repo, std::string_view basename) {
  std::vector<stdfs::path> found;
  std::vector<stdfs::path> stack{fs::checkout_dir(repo)};
  while (!stack.empty() && found.size() < COMPONENT_SCAN_CAP) {
    const stdfs::path dir = std::move(stack.back());
    stack.pop_back();
    const auto entries = list_directory(dir);
    if (!entries) continue;
    for (const ListedEntry& entry : *entries) {
      // Links are neither matches nor walked, whatever they point at.
      if (entry.kind == EntryKind::Directory) {
        if (!is_skipped_dir(entry.name)) stack.push_back(dir / entry.name);
      } else if (entry.kind == EntryKind::Regular && entry.name == basename) {
        found.push_back(dir / entry.name);
        if (found.size() >= COMPONENT_SCAN_CAP) break;
      }
    }
  }
  return found;
}

Detection python_component(const stdfs::path& repo) {
  static const Regex PYPROJECT_NAME(R"((?m)^\s*name\s*=)");
  static const Regex PYPROJECT_VERSION(R"((?m)^\s*version\s*=)");
  static const Regex SETUP_NAME(R"(name\s*=\s*['"])");
  static const Regex SETUP_VERSION(R"(version\s*=\s*['"])");

  bool has_name = false;
  bool has_version = false;

  if (present(repo, "pyproject.toml")) {
    const std::string content = read_root_text(repo, "pyproject.toml").value_or("");
    has_name = text::contains(content, "[project]") && PYPROJECT_NAME.contains_match(content);
    has_version = PYPROJECT_VERSION.contains_match(content);
  }
  if (!has_name && present(repo, "setup.py")) {
    const std::string content = read_root_text(repo, "setup.py").value_or("");
    has_name = SETUP_NAME.contains_match(content);
    if (SETUP_VERSION.contains_match(content)) has_version = true;
  }
  if (!has_name && present(repo, "setup.cfg")) read_setup_cfg(repo, has_name, has_version);

  double score = 0.0;
  std::vector<std::string> details;
  if (has_name) {
    details.emplace_back("python package name");
    score += 3.0;
  }
  if (has_version) {
    details.emplace_back("python version field");
    score += 3.0;
  }

  int versioned = 0;
  const std::vector<stdfs::path> inits = iter_files(repo, "__init__.py");
  const std::size_t to_read = std::min<std::size_t>(inits.size(), 20);
  for (std::size_t i = 0; i < to_read; ++i) {
    try {
      if (text::contains(fs::read_text(inits[i], text::DecodeMode::Replace, repo), "__version__")) {
        ++versioned;
      }
    } catch (const OsError&) {
    }
  }
  versioned += static_cast<int>(std::min<std::size_t>(iter_files(repo, "_version.py").size(), 5));
  if (versioned > 0) {
    details.push_back(std::to_string(versioned) + " versioned python module(s)");
    score += 2.0;
  }
  return {score, std::move(details)};
}

Detection js_components(const stdfs::path& repo) {
  const std::vector<stdfs::path> pkgs = iter_files(repo, "package.json");
  if (pkgs.empty()) return {0.0, {}};
  int named = 0;
  for (const stdfs::path& path : pkgs) {
    const std::optional<json::Json> object = json::read_object_or_none(path, repo);
    if (object && json::member_truthy(*object, "name") && json::member_truthy(*object, "version"))
      ++named;
  }
  if (named == 0) return {0.0, {}};
  if (named == 1) return {4.0, {"package.json (name + version)"}};
  return {4.0 + std::min((named - 1) * 0.5, 2.0),
          {std::to_string(named) + " package.json files (npm workspace / monorepo)"}};
}

Detection rust_components(const stdfs::path& repo) {
  if (!present(repo, "Cargo.toml")) return {0.0, {}};
  const std::optional<std::string> content = read_root_text(repo, "Cargo.toml");
  if (!content) return {0.0, {}};
  const bool is_workspace = text::contains(*content, "[workspace]");
  const bool has_package = text::contains(*content, "[package]");
  if (!is_workspace && !has_package) return {0.0, {}};

  double points = 4.0;
  std::vector<std::string> details{"Cargo.toml"};
  if (is_workspace) {
    const std::size_t members = iter_files(repo, "Cargo.toml").size();
    if (members >= 2) {
      points += std::min(static_cast<double>(members - 1) * 0.5, 2.0);
      details.push_back(std::to_string(members) + " Cargo workspace member(s)");
    }
  }
  return {points, std::move(details)};
}

Detection go_component(const stdfs::path& repo) {
  static const Regex MODULE_LINE(R"((?m)^module\s+\S+)");
  if (!present(repo, "go.mod")) return {0.0, {}};
  const std::optional<std::string> content = read_root_text(repo, "go.mod");
  if (!content || !MODULE_LINE.contains_match(*content)) return {0.0, {}};
  return {5.0, {"go.mod module path"}};
}

Detection composer_component(const stdfs::path& repo) {
  if (!present(repo, "composer.json")) return {0.0, {}};
  const std::optional<json::Json> object = json::read_object_or_none(repo / "composer.json", repo);
  if (!object) return {0.0, {}};
  double points = 0.0;
  std::vector<std::string> details;
  if (json::member_truthy(*object, "name")) {
    details.emplace_back("composer.json name");
    points += 3.0;
  }
  if (json::member_truthy(*object, "version")) {
    details.emplace_back("composer.json version");
    points += 2.0;
  }
  return {points, std::move(details)};
}

Detection java_component(const stdfs::path& repo) {
  if (present(repo, "pom.xml")) {
    std::string content;
    try {
      content = fs::read_text(repo / "pom.xml", text::DecodeMode::Replace, repo);
    } catch (const OsError&) {
      return {0.0, {}};
    }
    if (text::contains(content, "<groupId>") && text::contains(content, "<artifactId>")) {
      return {5.0, {"pom.xml maven coordinate"}};
    }
  }
  for (const std::string_view name : {"build.gradle", "build.gradle.kts"}) {
    if (present(repo, name)) return {3.0, {std::string(name)}};
  }
  return {0.0, {}};
}

stdfs::path checkout_root(const base::Context& context) {
  return fs::checkout_dir(context.repo_path);
}

}  // namespace detail

base::CheckResult OlvenarPlugin::check(std::string_view indicator_id,
                                       const base::Context& context) const {
  if (indicator_id == "persistent_identifier") return check_pid(context);
  if (indicator_id == "component_identifiers") return check_components(context);
  return make_result(indicator_id, {.score = 0.0,
                                    .status = std::nullopt,
                                    .process = "",
                                    .output = "",
                                    .evidence = "not handled"});
}

base::CheckResult OlvenarPlugin::check_components(const base::Context& context) const {
  const stdfs::path repo = detail::checkout_root(context);
  double total = 0.0;
  std::vector<std::string> details;
  for (const auto detector :
       {detail::python_component, detail::js_components, detail::rust_components,
        detail::go_component, detail::composer_component, detail::java_component}) {
    auto [points, texts] = detector(repo);
    if (points > 0.0) {
      total += points;
      details.insert(details.end(), std::make_move_iterator(texts.begin()),
                     std::make_move_iterator(texts.end()));
    }
  }
  if (total > 10.0) total = 10.0;

  if (total == 0.0) {
    return make_result("component_identifiers",
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Searched recognised packaging files for component identifiers",
                        .output = "No component identifiers detected",
                        .evidence = "Checked: pyproject.toml, setup.py, setup.cfg, package.json, "
                                    "Cargo.toml, go.mod, composer.json, pom.xml, build.gradle"});
  }
  const std::string joined = text::join(details, "; ");
  return make_result("component_identifiers",
                     {.score = total,
                      .status = std::nullopt,
                      .process = "Tallied component identifiers across ecosystems",
                      .output = joined,
                      .evidence = joined});
}

}  // namespace quarnel::plugins::builtin::olvenar
