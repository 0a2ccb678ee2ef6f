#pragma once

// Fixtures for tests: temporary directories that remove themselves, files written into them,
// real git repositories with a fixed identity, and code run as an unprivileged user.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QUARNEL_TEST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARNEL_TEST_ADDRESS_SANITIZER 1
#endif
#endif

namespace quarnel::testing {

namespace stdfs = std::filesystem;

// A fresh directory below the system's temporary directory, removed with everything in it
// when the object goes away. Every TempDir of a test process, of its forked children and of the
// fresh processes of its death tests lies in one directory that the process removes when it
// ends, so that one made where no destructor runs (a child that ends with _exit) is not left.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const stdfs::path& path() const { return path_; }
  stdfs::path operator/(const stdfs::path& relative) const { return path_ / relative; }

  // Writes `content` to `relative` (parents created) and returns the full path.
  stdfs::path write(const stdfs::path& relative, std::string_view content) const;
  stdfs::path mkdir(const stdfs::path& relative) const;

 private:
  stdfs::path path_;
};

// Runs a command (no shell) in `cwd` and returns its standard output; fails the test on a
// non-zero exit.
std::string run_checked(const std::vector<std::string>& argv, const stdfs::path& cwd);

// A git repository in a temporary directory, with author and committer set and
// GIT_CEILING_DIRECTORIES keeping git from finding any enclosing repository.
class GitFixture {
 public:
  GitFixture();
  const stdfs::path& path() const { return dir_.path(); }
  const TempDir& dir() const { return dir_; }

  // git with these arguments in the repository; its standard output.
  std::string git(const std::vector<std::string>& args) const;
  // Writes the file, adds it and commits it.
  void commit_file(const stdfs::path& relative, std::string_view content,
                   std::string_view message = "change");

 private:
  TempDir dir_;
};

// Saves an environment variable (or its absence), optionally sets it, and puts the old state
// back when it goes away.
class ScopedEnv {
 public:
  explicit ScopedEnv(std::string name);
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// The checkout of a partial clone as an attacker would leave it: its branch names a commit
// that is not there, so a git that reads the commit fetches it from the promisor remote, and
// that remote's upload-pack command (run through a shell) writes the output of `id` to
// $HOME/PWNED and fails.
class PromisorCheckout {
 public:
  PromisorCheckout();
  const stdfs::path& path() const { return repo_.path(); }
  // git with these arguments in the checkout, as the attacker runs it.
  std::string git(const std::vector<std::string>& args) const { return repo_.git(args); }
  // The commit the branch names and the object store lacks.
  static constexpr std::string_view MISSING_COMMIT = "1111111111111111111111111111111111111111";

 private:
  GitFixture repo_;
};

// One entry below a directory, links not followed.
struct TreeEntry {
  std::string path;  // relative to the directory
  stdfs::file_type type;
  std::uintmax_t size;
  std::string content;  // of a regular file, or the target of a link
  std::int64_t mtime_ns;
  bool operator==(const TreeEntry&) const = default;
};
void PrintTo(const TreeEntry& entry, std::ostream* out);

// Every entry below `root`, sorted by path: equal snapshots mean nothing there was added,
// removed, or written to.
std::vector<TreeEntry> snapshot_tree(const stdfs::path& root);

// An ssh transport to this machine, for clones that may not use the file transport: GIT_SSH
// names a script (GIT_SSH_VARIANT=simple) that drops the host and runs git's remote command
// here, as sshd would run it there. Set while the object lives, with GIT_SSH_COMMAND unset,
// which would outrank it; the old values come back after.
class LocalSsh {
 public:
  LocalSsh();

  // "ssh://localhost" and the absolute path of `repository`, which git reaches by ssh.
  static std::string url(const stdfs::path& repository);

 private:
  TempDir dir_;
  ScopedEnv command_{"GIT_SSH_COMMAND"};
  ScopedEnv program_{"GIT_SSH"};
  ScopedEnv variant_{"GIT_SSH_VARIANT"};
};

// Saves the working directory, optionally changes into `dir`, and goes back when it goes away.
class WorkingDirectory {
 public:
  WorkingDirectory();
  explicit WorkingDirectory(const stdfs::path& dir);
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  stdfs::path saved_;
};

// "nobody" and "nogroup" (uid and gid 65534): an identity that owns nothing the tests lay out.
// And a second user of the same machine, who shares a checkout with the first, with the gid of
// the same number.
inline constexpr unsigned UNPRIVILEGED_UID = 65534;
inline constexpr unsigned OTHER_UID = 65533;

// Permission bits do not bind root, and CI runs the tests as root: code that must meet an
// unreadable file or directory runs through this. As root, `code` runs in a forked child that
// has dropped to uid and gid 65534, and what it raises (failures of EXPECT_* and ASSERT_*, and
// skips, which fail here) is reported in the calling test at the place it was raised. A child
// that cannot drop its privileges, lets an exception escape, crashes or ends before `code`
// returns fails the test at the call. The child starts with a copy of the test's memory, but
// nothing it changes comes back, so compare values inside `code`; and it holds only the calling
// thread, so call this while the test runs no other. Anyone else is bound by the bits already
// and runs `code` in place.
void run_unprivileged(const std::function<void()>& code,
                      std::source_location where = std::source_location::current());

// As run_unprivileged, but as `uid` (with the gid of the same number) and only as root: a test
// that acts as two users skips when not run as root, since no one else can be either. Anyone
// else gets a failure at the call.
void run_as(unsigned uid, const std::function<void()>& code,
            std::source_location where = std::source_location::current());

// Grants others read on `root` and everything below it, and search on its directories, without
// following links: a TempDir starts as 0700, and uid 65534 is judged by the others' bits. Call
// it once the tree is laid out, then take away what the test makes unreadable.
void open_to_others(const stdfs::path& root);

// Caps the address space of the calling process at `bytes`, so that any allocation beyond it
// fails: meant for the child of a death test that shows a bound on memory. In an
// AddressSanitizer build it caps nothing, since the sanitizer reserves terabytes of address
// space for its shadow memory.
void limit_address_space(std::size_t bytes);

// How many times slower code runs in this build than in an optimised one without sanitizers:
// the processor-time caps below are multiplied by it, so that a cap still tells work that
// grows faster than its input from the sanitizers' constant cost.
unsigned sanitizer_slowdown();

// Caps the processor time of the calling process at `seconds` (times sanitizer_slowdown()),
// after which the kernel ends it with SIGXCPU: meant, like limit_address_space, for the child
// of a death test, so that work that grows faster than its input fails the test instead of
// passing slowly.
void limit_cpu_time(unsigned seconds);

// Sets the environment variables git needs for reproducible test repositories (identity,
// no system or global configuration). Called by GitFixture; safe to call more than once.
void prepare_git_environment();

// Hands `root` and everything below it (links themselves, not what they lead to) to `uid` and
// the gid of the same number, as a checkout that another user owns. False when this process may
// not change owners (it is not root); nothing has changed then.
bool give_to_another_user(const stdfs::path& root, unsigned uid = UNPRIVILEGED_UID);

}  // namespace quarnel::testing
