#include "quarnel/plugins/builtin/interoperability.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::interoperability {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace json = utils::json;
namespace text = utils::text;
using utils::regex::Regex;

namespace detail {

namespace {

constexpr std::size_t distinct_format_count() {
  std::size_t count = 0;
  for (std::size_t i = 0; i < DATA_FORMAT_FILES.size(); ++i) {
    if (i == 0 || DATA_FORMAT_FILES[i].first != DATA_FORMAT_FILES[i - 1].first) ++count;
  }
  return count;
}

// Closes a listed directory on every way out.
class DirHandle {
 public:
  explicit DirHandle(DIR* dir) : dir_(dir) {}
  ~DirHandle() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Whether the listed entry is itself a directory; a link is never one.
bool is_real_directory(DIR* dir, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return ::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode);
}

// A file of the checkout read as strict UTF-8, or none. A file that cannot be read, is no
// regular file, is too large, links out of the checkout or is not UTF-8 is passed over alike:
// one odd manifest must not sink the whole check.
std::optional<std::string> read_root_text(const stdfs::path& repo, std::string_view name) {
  return fs::read_text_or_none(repo / name, text::DecodeMode::Strict, repo);
}

// The length of the line boundary that starts at `pos`, or 0. The text is valid UTF-8 (read
// strictly), so the bytes of U+0085, U+2028 and U+2029 stand for nothing else.
std::size_t boundary_at(std::string_view text, std::size_t pos) {
  switch (text[pos]) {
    case '\r':
      return pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
    case '\n':
    case '\v':
    case '\f':
    case '\x1C':
    case '\x1D':
    case '\x1E':
      return 1;
    default:
      break;
  }
  const std::string_view rest = text.substr(pos);
  if (rest.starts_with("\u0085")) return 2;
  if (rest.starts_with("\u2028") || rest.starts_with("\u2029")) return 3;
  return 0;
}

bool has_non_space(std::string_view line) { return !text::lstrip(line).empty(); }

}  // namespace

std::optional<stdfs::path> search_directory(const stdfs::path& repo) {
  for (const std::string_view name : {"src", "lib", ""}) {
    if (auto dir = fs::named_directory(repo, name)) return dir;
  }
  return std::nullopt;
}

std::set<std::string> formats_below(const stdfs::path& dir) {
  static constexpr std::size_t FORMAT_COUNT = distinct_format_count();
  std::set<std::string> found;
  // Directories already listed, so that a tree mounted inside itself is walked once.
  std::set<std::pair<dev_t, ino_t>> listed;
  std::vector<stdfs::path> pending{dir};
  bool at_start = true;
  while (!pending.empty() && found.size() < FORMAT_COUNT) {
    const stdfs::path current = std::move(pending.back());
    pending.pop_back();
    // The start may be reached through a link (the checkout path as given); nothing below it
    // is, even when an entry is swapped for a link after it was listed.
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (at_start ? 0 : O_NOFOLLOW);
    at_start = false;
    const int fd = ::open(current.c_str(), flags);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !listed.emplace(st.st_dev, st.st_ino).second) {
      ::close(fd);
      continue;
    }
    const DirHandle handle(::fdopendir(fd));
    if (handle.get() == nullptr) {
      ::close(fd);
      continue;
    }
    for (;;) {
      const dirent* entry = ::readdir(handle.get());
      if (entry == nullptr) break;
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      for (const auto& [format, suffix] : DATA_FORMAT_FILES) {
        if (name.ends_with(suffix)) found.emplace(format);
      }
      if (is_real_directory(handle.get(), *entry)) pending.push_back(current / name);
    }
  }
  return found;
}

void for_each_line(std::string_view text, const std::function<void(std::string_view)>& visit) {
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t boundary = boundary_at(text, pos);
    if (boundary == 0) {
      ++pos;
      continue;
    }
    visit(text.substr(start, pos - start));
    pos += boundary;
    start = pos;
  }
  if (start < text.size()) visit(text.substr(start));
}

}  // namespace detail

base::CheckResult InteroperabilityPlugin::check(std::string_view indicator_id,
                                                const base::Context& context) const {
  if (indicator_id == "community_data_standards") return check_data_standards(context);
  if (indicator_id == "software_references") return check_references(context);
  if (indicator_id == "metadata_persistence") return check_persistence(context);
  return make_result(indicator_id, {.score = 0.0, .evidence = "not handled"});
}

base::CheckResult InteroperabilityPlugin::check_data_standards(const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  std::set<std::string> found_formats;
  bool has_schema = false;

  for (const std::string_view name : detail::SCHEMA_FILES) {
    if (fs::exists(repo / name)) {
      found_formats.emplace(name);
      has_schema = true;
      break;
    }
  }
  if (const std::optional<stdfs::path> dir = detail::search_directory(repo)) {
    found_formats.merge(detail::formats_below(*dir));
  }

  if (found_formats.empty()) {
    return make_result(
        "community_data_standards",
        {.score = 0.0,
         .status = base::CheckStatus::UNKNOWN,
         .process = "Searched for standard data formats",
         .output = "No standard data format files detected",
         .evidence = "Checked: JSON, YAML, CSV, XML, HDF5, NetCDF, Parquet, schemas"});
  }

  const std::size_t n = found_formats.size();
  double score = 5.0 + std::min(5.0, 1.5 * static_cast<double>(n));
  if (has_schema) score = std::min(10.0, score + 1.0);
  // std::set orders UTF-8 texts bytewise, which is code-point order.
  const std::vector<std::string> sorted(found_formats.begin(), found_formats.end());
  return make_result("community_data_standards",
                     {.score = score,
                      .process = "Checked for standard data format usage",
                      .output = "Formats found: " + text::join(sorted, ", "),
                      .evidence = std::to_string(n) + " standard format(s) detected"});
}

base::CheckResult InteroperabilityPlugin::check_references(const base::Context& context) const {
  static const Regex INSTALL_REQUIRES(R"(install_requires\s*=\s*\[)");
  static constexpr std::array<std::string_view, 3> dep_keys = {"dependencies", "devDependencies",
                                                               "peerDependencies"};
  static constexpr std::array<std::string_view, 8> lock_files = {
      "poetry.lock", "Pipfile.lock", "package-lock.json", "yarn.lock", "pnpm-lock.yaml",
      "Cargo.lock",  "go.sum",       "composer.lock"};

  const stdfs::path& repo = context.repo_path;
  std::vector<std::string> details;
  double score = 0.0;

  if (fs::exists(repo / "pyproject.toml")) {
    const std::optional<std::string> content = detail::read_root_text(repo, "pyproject.toml");
    if (content && text::contains(*content, "dependencies")) {
      details.emplace_back("dependencies in pyproject.toml");
      if (text::contains(*content, ">=") || text::contains(*content, "==") ||
          text::contains(*content, "~=")) {
        score += 4.0;
        details.emplace_back("version constraints present");
      } else {
        score += 2.0;
      }
    }
  }

  if (fs::exists(repo / "requirements.txt")) {
    if (const auto content = detail::read_root_text(repo, "requirements.txt")) {
      std::size_t kept = 0;
      std::size_t pinned = 0;
      detail::for_each_line(text::strip(*content), [&](std::string_view line) {
        if (!detail::has_non_space(line) || line.starts_with('#')) return;
        ++kept;
        if (text::contains(line, "==") || text::contains(line, ">=")) ++pinned;
      });
      details.push_back("requirements.txt: " + std::to_string(kept) + " packages, " +
                        std::to_string(pinned) + " pinned");
      score += pinned > 0 ? 3.0 : 1.0;
    }
  }

  if (fs::exists(repo / "setup.py") && score < 4.0) {
    const std::optional<std::string> content = detail::read_root_text(repo, "setup.py");
    if (content && INSTALL_REQUIRES.contains_match(*content)) {
      details.emplace_back("install_requires in setup.py");
      score += text::contains(*content, ">=") || text::contains(*content, "==") ? 4.0 : 2.0;
    }
  }

  if (fs::exists(repo / "package.json")) {
    if (const auto object = json::read_object_or_none(repo / "package.json", repo)) {
      std::size_t total_deps = 0;
      for (const auto& [key, value] : object->items()) {
        const bool counted = std::find(dep_keys.begin(), dep_keys.end(), key) != dep_keys.end();
        if (counted && value.is_object()) total_deps += value.size();
      }
      if (total_deps > 0) {
        details.push_back("package.json: " + std::to_string(total_deps) + " dependencies");
        score += 4.0;
      }
    }
  }

  if (fs::exists(repo / "Cargo.toml")) {
    const std::optional<std::string> content = detail::read_root_text(repo, "Cargo.toml");
    if (content && (text::contains(*content, "[dependencies]") ||
                    text::contains(*content, "[dev-dependencies]"))) {
      details.emplace_back("Cargo.toml dependencies");
      score += 4.0;
    }
  }

  if (fs::exists(repo / "go.mod")) {
    const std::optional<std::string> content = detail::read_root_text(repo, "go.mod");
    if (content && text::contains(*content, "require")) {
      details.emplace_back("go.mod require block");
      score += 4.0;
    }
  }

  if (fs::exists(repo / "composer.json")) {
    if (const auto object = json::read_object_or_none(repo / "composer.json", repo)) {
      for (const std::string_view key : {"require", "require-dev"}) {
        if (json::member_truthy(*object, key)) {
          details.emplace_back("composer.json require");
          score += 4.0;
          break;
        }
      }
    }
  }

  for (const std::string_view name : lock_files) {
    if (fs::exists(repo / name)) {
      details.push_back("lock file: " + std::string(name));
      score += 2.0;
      break;
    }
  }

  if (details.empty()) {
    return make_result("software_references",
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Checked for qualified software references across ecosystems",
                        .output = "No dependency manifest found",
                        .evidence = "Checked: pyproject.toml, requirements.txt, setup.py, "
                                    "package.json, Cargo.toml, go.mod, composer.json, lock files"});
  }
  const std::string joined = text::join(details, "; ");
  return make_result("software_references",
                     {.score = std::min(score, 10.0),
                      .process = "Tallied dependency references across ecosystems",
                      .output = joined,
                      .evidence = joined});
}

base::CheckResult InteroperabilityPlugin::check_persistence(const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  double score = 0.0;
  std::vector<std::string> details;

  if (fs::exists(repo / ".zenodo.json")) {
    score += 4.0;
    details.emplace_back(".zenodo.json (Zenodo archival)");
  }
  if (fs::exists(repo / "codemeta.json")) {
    score += 3.0;
    details.emplace_back("codemeta.json (machine-readable metadata)");
  }
  const std::string_view cff = fs::exists(repo / "CITATION.cff") ? "CITATION.cff" : "citation.cff";
  if (fs::exists(repo / cff)) {
    // A citation file that cannot be read, or is not UTF-8, still shows the intent to be cited.
    double cff_score = 2.0;
    if (const auto content = detail::read_root_text(repo, cff)) {
      if (text::contains(*content, "repository-code:") || text::contains(*content, "doi:")) {
        cff_score = 4.0;
      }
    }
    score += cff_score;
    details.emplace_back("CITATION.cff (indexed by GitHub, Zenodo)");
  }

  if (details.empty()) {
    return make_result("metadata_persistence",
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Checked for persistent metadata",
                        .output = "No persistent metadata found",
                        .evidence = "Checked: .zenodo.json, codemeta.json, CITATION.cff"});
  }
  const std::string joined = text::join(details, "; ");
  return make_result("metadata_persistence",
                     {.score = std::min(score, 10.0),
                      .process = "Checked for metadata that persists independently",
                      .output = joined,
                      .evidence = joined});
}

}  // namespace quarnel::plugins::builtin::interoperability
