#include "quarnel/plugins/builtin/documentation.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/files.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::documentation {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;

namespace {

constexpr double LONG_README_POINTS = 4.0;
constexpr double SHORT_README_POINTS = 1.5;
constexpr double DOCS_DIR_POINTS = 3.0;
constexpr double TOOL_CONFIG_POINTS = 2.0;

// Size as the file system reports it, following links; a directory has a size too, which is
// why std::filesystem::file_size (regular files only) does not serve.
std::uintmax_t entry_size(const stdfs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    throw OsError("cannot examine " + path.string() + ": " + std::strerror(error));
  }
  return static_cast<std::uintmax_t>(info.st_size);
}

}  // namespace

namespace detail {

std::optional<stdfs::path> find_readme(const stdfs::path& repo) {
  return utils::files::find_first(repo, README_NAMES);
}

std::size_t count_doc_files(const stdfs::path& dir) {
  std::size_t count = 0;
  // An explicit stack, each directory listed completely before the next is opened, keeps one
  // handle open at a time however deep the tree goes.
  std::vector<stdfs::path> pending{dir};
  while (!pending.empty()) {
    const stdfs::path current = std::move(pending.back());
    pending.pop_back();
    std::error_code ec;
    stdfs::directory_iterator it(current, ec);
    for (; !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.ends_with(".md") || name.ends_with(".rst")) ++count;
      std::error_code kind_error;
      // The entry's own kind: a link to a directory is counted by name but never entered.
      if (it->symlink_status(kind_error).type() == stdfs::file_type::directory) {
        pending.push_back(it->path());
      }
    }
  }
  return count;
}

}  // namespace detail

base::CheckResult DocumentationPlugin::check(std::string_view indicator_id,
                                             const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  std::vector<std::string> findings;
  double score = 0.0;

  if (const auto readme = detail::find_readme(repo)) {
    const std::uintmax_t length = entry_size(*readme);
    findings.push_back("README: " + readme->filename().string() + " (" + std::to_string(length) +
                       " bytes)");
    if (length >= detail::MIN_README_LENGTH) {
      score = LONG_README_POINTS;
    } else {
      score = SHORT_README_POINTS;
      findings.emplace_back("README is short");
    }
  } else {
    findings.emplace_back("No README found");
  }

  bool has_docs_dir = false;
  for (const std::string_view dir : detail::DOC_DIRS) {
    const std::optional<stdfs::path> path = fs::named_directory(repo, dir);
    if (!path) continue;
    const std::size_t count = detail::count_doc_files(*path);
    if (count == 0) continue;
    findings.push_back("Docs directory: " + std::string(dir) + "/ (" + std::to_string(count) +
                       " files)");
    score += DOCS_DIR_POINTS;
    has_docs_dir = true;
    break;
  }

  // Configuration-major: each name is looked for at the root, then (only when documentation
  // was credited) in every documentation directory, before the next name is tried.
  bool found_tool = false;
  for (const std::string_view config : detail::DOC_CONFIGS) {
    if (fs::exists(repo / config)) {
      findings.push_back("Doc tool config: " + std::string(config));
      found_tool = true;
    } else if (has_docs_dir) {
      for (const std::string_view dir : detail::DOC_DIRS) {
        const std::optional<stdfs::path> base = fs::named_directory(repo, dir);
        if (base && fs::exists(*base / config)) {
          findings.push_back("Doc tool config: " + std::string(dir) + "/" + std::string(config));
          found_tool = true;
          break;
        }
      }
    }
    if (found_tool) {
      score += TOOL_CONFIG_POINTS;
      break;
    }
  }

  return make_result(indicator_id,
                     {.score = score,
                      .process = "Checked for README, docs directory, and doc tooling",
                      .output = text::join(findings, "; "),
                      .evidence = "Checked: README, docs dirs, mkdocs/sphinx/rtd configs"});
}

}  // namespace quarnel::plugins::builtin::documentation
