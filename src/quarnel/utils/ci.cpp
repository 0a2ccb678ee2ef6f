#include "quarnel/utils/ci.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

#include "quarnel/utils/fs.hpp"

namespace quarnel::utils::ci {

namespace {

namespace stdfs = std::filesystem;

constexpr std::array<std::string_view, 2> WORKFLOW_SUFFIXES = {".yml", ".yaml"};

// A file the callers can open and read: regular after following links, and not a link that
// points out of the checkout.
bool readable_inside(const stdfs::path& file, const stdfs::path& repo) {
  return fs::is_regular_file(file) && fs::resolves_inside(file, repo);
}

bool is_workflow_name(const std::string& name) {
  return std::any_of(WORKFLOW_SUFFIXES.begin(), WORKFLOW_SUFFIXES.end(), [&](std::string_view s) {
    // A name that is only the suffix (".yml") is a hidden file without one.
    return name.size() > s.size() && name.ends_with(s);
  });
}

void add_directory(const stdfs::path& repo, const detail::CiSource& source,
                   std::vector<CiConfig>& out) {
  const std::optional<stdfs::path> found = fs::named_directory(repo, source.path);
  if (!found) return;
  const stdfs::path& dir = *found;

  std::vector<stdfs::path> files;
  std::error_code ec;
  stdfs::directory_iterator it(dir, ec);
  // A listing that breaks off keeps what it yielded so far.
  for (; !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().native();
    const stdfs::path file = dir / name;
    if (is_workflow_name(name) && readable_inside(file, repo)) files.push_back(file);
  }
  std::sort(files.begin(), files.end(), [](const stdfs::path& a, const stdfs::path& b) {
    return a.filename().native() < b.filename().native();
  });
  for (auto& file : files) out.emplace_back(std::move(file), std::string(source.type));
}

void add_file(const stdfs::path& repo, const detail::CiSource& source, std::vector<CiConfig>& out) {
  const stdfs::path relative(source.path);
  const std::optional<stdfs::path> dir = fs::named_directory(repo, relative.parent_path());
  if (!dir) return;
  const stdfs::path file = *dir / relative.filename();
  if (readable_inside(file, repo)) out.emplace_back(file, std::string(source.type));
}

}  // namespace

std::vector<CiConfig> find_ci_configs(const std::filesystem::path& repo) {
  std::vector<CiConfig> out;
  if (!fs::named_directory(repo, "")) return out;
  for (const auto& source : detail::CI_SOURCES) {
    if (source.directory) {
      add_directory(repo, source, out);
    } else {
      add_file(repo, source, out);
    }
  }
  return out;
}

}  // namespace quarnel::utils::ci
