#include "quarnel/utils/ci.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

#include "quarnel/utils/fs.hpp"

namespace quarnel::utils::ci {

namespace {

namespace stdfs = std::filesystem;

constexpr std::array<std::string_view, 2> WORKFLOW_SUFFIXES = {".yml", ".yaml"};

std::optional<stdfs::path> resolved(const stdfs::path& path) {
  std::error_code ec;
  stdfs::path out = stdfs::canonical(path, ec);
  if (ec) return std::nullopt;
  return out;
}

// Both paths are resolved, so comparing components is enough.
bool is_within(const stdfs::path& inner, const stdfs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

// Each directory from `repo` down through `relative` must be a real one: a link could lead the
// search out of the checkout or round in a circle.
bool real_directories(const stdfs::path& repo, const stdfs::path& relative) {
  stdfs::path current = repo;
  for (const auto& part : relative) {
    current /= part;
    if (fs::is_symlink(current) || !fs::is_directory(current)) return false;
  }
  return true;
}

// A file the callers can open and read: regular after following links, and not a link that
// points out of the checkout.
bool readable_inside(const stdfs::path& file, const stdfs::path& root) {
  if (!fs::is_regular_file(file)) return false;
  const auto location = resolved(file);
  return location && is_within(*location, root);
}

bool is_workflow_name(const std::string& name) {
  return std::any_of(WORKFLOW_SUFFIXES.begin(), WORKFLOW_SUFFIXES.end(), [&](std::string_view s) {
    // A name that is only the suffix (".yml") is a hidden file without one.
    return name.size() > s.size() && name.ends_with(s);
  });
}

void add_directory(const stdfs::path& repo, const stdfs::path& root, const detail::CiSource& source,
                   std::vector<CiConfig>& out) {
  const stdfs::path relative(source.path);
  if (!real_directories(repo, relative)) return;
  const stdfs::path dir = repo / relative;

  std::vector<stdfs::path> found;
  std::error_code ec;
  stdfs::directory_iterator it(dir, ec);
  // A listing that breaks off keeps what it yielded so far.
  for (; !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().native();
    const stdfs::path file = dir / name;
    if (is_workflow_name(name) && readable_inside(file, root)) found.push_back(file);
  }
  std::sort(found.begin(), found.end(), [](const stdfs::path& a, const stdfs::path& b) {
    return a.filename().native() < b.filename().native();
  });
  for (auto& file : found) out.emplace_back(std::move(file), std::string(source.type));
}

void add_file(const stdfs::path& repo, const stdfs::path& root, const detail::CiSource& source,
              std::vector<CiConfig>& out) {
  const stdfs::path relative(source.path);
  if (!real_directories(repo, relative.parent_path())) return;
  const stdfs::path file = repo / relative;
  if (readable_inside(file, root)) out.emplace_back(file, std::string(source.type));
}

}  // namespace

std::vector<CiConfig> find_ci_configs(const std::filesystem::path& repo) {
  std::vector<CiConfig> out;
  const auto root = resolved(repo);
  if (!root || !fs::is_directory(*root)) return out;
  for (const auto& source : detail::CI_SOURCES) {
    if (source.directory) {
      add_directory(repo, *root, source, out);
    } else {
      add_file(repo, *root, source, out);
    }
  }
  return out;
}

}  // namespace quarnel::utils::ci
