#pragma once

// One local checkout seen through the `git` program, and shallow clones. Every query runs git
// afresh (no cache) and never fails: a failed query gives none, 0 or false. Once a query has
// timed out, git is not asked again for this checkout: the remaining queries of every copy of
// that GitRepo give their fallbacks at once. A checkout that git refuses (one that another user
// owns) gives the fallbacks too, and the first refusal among the copies is logged as one warning
// that says how to allow it; safe.directory is never overridden. The queries run with every git
// transport switched off, whatever the checkout's configuration says; a clone may use the
// network transports, or for a file:// URL the file transport alone.

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/process.hpp"

namespace quarnel::utils::git {

inline constexpr std::chrono::seconds QUERY_TIMEOUT{10};
inline constexpr std::chrono::seconds CLONE_TIMEOUT{120};
inline constexpr int DEFAULT_CLONE_DEPTH = 1;
inline constexpr std::string_view TEMP_PREFIX = "quarnel-";
// The most that is read of what git prints on one stream, as of any file of a checkout: a query
// that prints more gives its fallback, a clone that does fails.
inline constexpr std::size_t MAX_ANSWER_BYTES = fs::MAX_READ_BYTES;

class GitRepo {
 public:
  explicit GitRepo(std::filesystem::path path);

  // The path exactly as given: not made absolute, not checked.
  const std::filesystem::path& path() const { return path_; }

  // `path`/.git is a directory (following links); no git run.
  bool is_repo() const;
  // git remote get-url origin
  std::optional<std::string> remote_url() const;
  // git rev-parse --abbrev-ref HEAD
  std::optional<std::string> current_branch() const;
  // git rev-parse HEAD
  std::optional<std::string> current_commit() const;
  // git describe --tags --abbrev=0
  std::optional<std::string> latest_tag() const;
  // Last segment of the remote URL, else the last component of `path`.
  std::string project_name() const;
  // git rev-list --count HEAD; 0 on any failure.
  long long commit_count() const;
  // `path` joined with `relative_path` exists (following links); no git run.
  bool has_file(std::string_view relative_path) const;
  // git ls-files -- relative_path prints something.
  bool has_tracked_file(std::string_view relative_path) const;

  // The same checkout: the paths compare equal, whatever git has answered so far.
  bool operator==(const GitRepo& other) const { return path_ == other.path_; }

 private:
  struct Shared;

  // Runs git with `args` in `path`; trimmed standard output. Raises GitError on a non-zero
  // exit, and passes start failures, time-outs and decode errors on unchanged. After a time-out
  // of any copy it raises ProcessTimeout without starting git.
  std::string run(const std::vector<std::string>& args) const;

  std::filesystem::path path_;
  // What the copies of one GitRepo learn together: whether git stopped answering.
  std::shared_ptr<Shared> shared_;
};

// The transports a clone of `url` may use, as GIT_ALLOW_PROTOCOL lists them. A network URL
// (https://, http://, ssh://, git+ssh://, ssh+git://, git://, and the scp-like user@host:path:
// an "@" and then a ":" before any "/") may use all four network transports,
// NETWORK_TRANSPORTS: the user's own rewrites of URLs (url.<base>.insteadOf) and a forge's
// redirect from http to https lead from one to another. A file:// URL, the way into a local
// bare repository or mirror, may use the file transport alone. Scheme names are matched
// whatever their case. None for every other URL: a local path, ext:: and other helpers,
// anything unrecognised.
inline constexpr std::string_view NETWORK_TRANSPORTS = "https:http:ssh:git";
inline constexpr std::string_view FILE_TRANSPORT = "file";
std::optional<std::string_view> clone_transports(std::string_view url);

// Variables of the environment that point git at a repository other than the one it is
// started in; no git child gets them.
inline constexpr std::array<std::string_view, 8> REPOSITORY_VARIABLES = {
    "GIT_DIR",
    "GIT_WORK_TREE",
    "GIT_INDEX_FILE",
    "GIT_OBJECT_DIRECTORY",
    "GIT_ALTERNATE_OBJECT_DIRECTORIES",
    "GIT_COMMON_DIR",
    "GIT_NAMESPACE",
    "GIT_PREFIX"};

// The settings of a git child's environment that let it use the transports of `transports` (a
// GIT_ALLOW_PROTOCOL list) and no other one, or no transport at all when it is none: then not
// even a fetch that git starts by itself (the missing objects of a partial clone) can reach a
// remote, and no command that a configuration gives a remote runs. They also remove
// REPOSITORY_VARIABLES, so that git works on the checkout or clone it is given. The queries, the
// clones and the clones of pinned repositories that plug-ins depend on all run git under these.
std::vector<process::EnvVar> transport_environment(std::optional<std::string_view> transports);

// The system's temporary directory, where a clone without a destination goes: what the first
// of TMPDIR, TMP, TEMP and TEMPDIR that is set and not empty names, else /tmp. Raises OsError
// naming the variable ("TMPDIR names /x, which does not exist") when that is no directory.
std::filesystem::path temp_directory();

// Shallow clone of `url` into `dest`, or into a new owner-only "quarnel-*" directory in the
// system's temporary directory when `dest` is none. Returns the directory. Raises CloneError
// ("git clone failed: " and git's trimmed standard error) on a non-zero exit, also when git
// refuses a transport (see clone_transports), after logging each line of that message at
// debug level; start failures and time-outs pass unchanged. Nothing is removed on failure. A
// clone that git finds without commits is made, with one warning that says so (shown under -q
// too: see log::Logger::unseen_warning).
std::filesystem::path clone_repo(std::string_view url,
                                 const std::optional<std::filesystem::path>& dest = std::nullopt,
                                 const std::optional<std::string>& branch = std::nullopt,
                                 int depth = DEFAULT_CLONE_DEPTH);

namespace detail {
// The one name GIT_ALLOW_PROTOCOL lists when git may use no transport (see git.cpp for why it
// looks the way it does).
std::string_view no_transport_name();

// Test seam: the deadline of one query (QUERY_TIMEOUT unless changed).
std::chrono::milliseconds query_timeout();
void set_query_timeout(std::chrono::milliseconds timeout);

// The project name a remote URL gives: trailing "/" dropped, the last "/"-piece, one ".git"
// suffix cut ("https://host/group/tool.git" gives "tool", "server:tool.git" "server:tool").
std::string url_project_name(std::string_view url);
// The final component of a path as written, the way a pure path sees it: empty pieces and "."
// pieces do not count, so "a/b/" gives "b" and "." or "/" give "".
std::string path_name(std::string_view path);
}  // namespace detail

}  // namespace quarnel::utils::git
