#include "fixtures.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <ostream>
#include <source_location>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

extern char** environ;

namespace quarnel::testing {

namespace {

// Variables that point git at a repository other than the one in the working directory. git
// exports them to what it runs (a hook, `rebase --exec`), so a suite started from there would
// have every test repository's commits and configuration land in the enclosing checkout.
void forget_enclosing_repository() {
  for (const char* name :
       {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
        "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_COMMON_DIR", "GIT_NAMESPACE", "GIT_PREFIX"}) {
    ::unsetenv(name);
  }
}

// Before any test runs, whichever test binary this is linked into.
[[maybe_unused]] const bool FORGOTTEN = (forget_enclosing_repository(), true);

}  // namespace

namespace {

// Makes everything below `root` removable again (a test may have taken permissions away), then
// removes it.
void remove_tree(const stdfs::path& root) {
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(
           root, stdfs::directory_options::skip_permission_denied, ec);
       !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored)) {
      stdfs::permissions(it->path(), stdfs::perms::owner_all, stdfs::perm_options::add, ignored);
    }
  }
  stdfs::permissions(root, stdfs::perms::owner_all, stdfs::perm_options::add, ec);
  stdfs::remove_all(root, ec);
}

// The variable through which a test process hands its directory to the processes it starts anew
// (gtest's "threadsafe" death tests run the test again in a fresh process of the same binary).
constexpr const char* TEMP_BASE_VARIABLE = "QUARNEL_TEST_TEMP_BASE";

// The one directory in the system's temporary directory that holds every TempDir of a test
// process: made before any test runs, removed by that process when it ends. A TempDir made in a
// forked child that ends with _exit, or in a death test's fresh process, lies in it too, and a
// test that fails leaves its own there at worst: nothing stays behind in TMPDIR.
class TempBase {
 public:
  TempBase() {
    if (const char* inherited = std::getenv(TEMP_BASE_VARIABLE);
        inherited != nullptr && *inherited != '\0') {
      path_ = inherited;
      return;
    }
    std::error_code ec;
    const stdfs::path system = stdfs::temp_directory_path(ec);
    if (ec) {
      error_ = "no temporary directory: " + ec.message();
      return;
    }
    std::string tmpl = (system / "quarnel-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
      error_ = "cannot make a directory in " + system.string() + ": " + std::strerror(errno);
      return;
    }
    path_ = tmpl;
    owner_ = ::getpid();
    // Open to every user, as /tmp is: code run as another user makes directories here too.
    ::chmod(path_.c_str(), 01777);
    ::setenv(TEMP_BASE_VARIABLE, path_.c_str(), 1);
  }
  ~TempBase() {
    // A forked child that leaves by exit() runs this too; the directory is its parent's.
    if (owner_ == ::getpid()) remove_tree(path_);
  }
  TempBase(const TempBase&) = delete;
  TempBase& operator=(const TempBase&) = delete;

  const stdfs::path& path() const {
    if (path_.empty()) throw std::runtime_error("the tests' temporary directory: " + error_);
    return path_;
  }

 private:
  stdfs::path path_;
  std::string error_;
  pid_t owner_ = -1;
};

const TempBase& temp_base() {
  static const TempBase base;
  return base;
}

// Made when the process starts, before any test can fork: a child must find its parent's.
[[maybe_unused]] const TempBase& STARTED_BASE = temp_base();

}  // namespace

TempDir::TempDir() {
  std::string tmpl = (temp_base().path() / "quarnel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = stdfs::path(tmpl);
}

TempDir::~TempDir() { remove_tree(path_); }

stdfs::path TempDir::write(const stdfs::path& relative, std::string_view content) const {
  const stdfs::path full = path_ / relative;
  stdfs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + full.string());
  return full;
}

stdfs::path TempDir::mkdir(const stdfs::path& relative) const {
  const stdfs::path full = path_ / relative;
  stdfs::create_directories(full);
  return full;
}

std::string run_checked(const std::vector<std::string>& argv, const stdfs::path& cwd) {
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(out_pipe[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  ::close(out_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const auto& a : argv) command += a + " ";
    ADD_FAILURE() << "command failed: " << command << "in " << cwd;
  }
  return output;
}

ScopedEnv::ScopedEnv(std::string name) : name_(std::move(name)) {
  if (const char* value = std::getenv(name_.c_str())) saved_ = value;
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : ScopedEnv(std::move(name)) {
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

PromisorCheckout::PromisorCheckout() {
  repo_.commit_file("README.md", "hi\n", "i");
  repo_.dir().write(".git/refs/heads/main", std::string(MISSING_COMMIT) + "\n");
  git({"config", "core.repositoryformatversion", "1"});
  git({"config", "extensions.partialClone", "evil"});
  git({"config", "remote.evil.url", "."});
  git({"config", "remote.evil.promisor", "true"});
  git({"config", "remote.evil.uploadpack", "id > $HOME/PWNED; false"});
}

void PrintTo(const TreeEntry& entry, std::ostream* out) {
  *out << entry.path << " (type " << static_cast<int>(entry.type) << ", " << entry.size
       << " bytes, mtime " << entry.mtime_ns << " ns)";
}

std::vector<TreeEntry> snapshot_tree(const stdfs::path& root) {
  std::vector<TreeEntry> entries;
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator(); ++it) {
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) != 0) {
      throw std::runtime_error("cannot stat " + it->path().string());
    }
    TreeEntry entry{.path = it->path().lexically_relative(root).string(),
                    .type = it->symlink_status().type(),
                    .size = static_cast<std::uintmax_t>(info.st_size),
                    .content = {},
                    .mtime_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                                info.st_mtim.tv_nsec};
    if (entry.type == stdfs::file_type::regular) {
      std::ifstream in(it->path(), std::ios::binary);
      entry.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (entry.type == stdfs::file_type::symlink) {
      entry.content = stdfs::read_symlink(it->path()).string();
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
  return entries;
}

LocalSsh::LocalSsh() {
  // git runs "<program> <host> <command>" for the simple variant, which takes no options.
  const auto program = dir_.write("ssh",
                                  "#!/bin/sh\n"
                                  "[ \"$#\" -eq 2 ] || { echo \"unexpected ssh call: $*\" >&2; "
                                  "exit 255; }\n"
                                  "exec /bin/sh -c \"$2\"\n");
  stdfs::permissions(program, stdfs::perms::owner_all);
  ::unsetenv("GIT_SSH_COMMAND");
  ::setenv("GIT_SSH", program.c_str(), 1);
  ::setenv("GIT_SSH_VARIANT", "simple", 1);
}

std::string LocalSsh::url(const stdfs::path& repository) {
  return "ssh://localhost" + stdfs::absolute(repository).lexically_normal().string();
}

WorkingDirectory::WorkingDirectory() : saved_(stdfs::current_path()) {}

WorkingDirectory::WorkingDirectory(const stdfs::path& dir) : WorkingDirectory() {
  stdfs::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
  std::error_code ec;
  stdfs::current_path(saved_, ec);
}

namespace {

// What the child found, as it travels through the pipe. `Done` is sent last, so that a child
// that ended without it did not run its code to the end.
enum class Kind : char {
  NonFatal = 'n',
  Fatal = 'f',
  Skip = 's',
  Broken = 'b',
  Done = 'd',
};

struct Finding {
  Kind kind;
  std::string file;  // empty when the finding has no place in the source
  int line = -1;
  std::string message;
};

// Each field as its length in decimal, a colon and its bytes: messages hold any byte.
void put_field(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

void put_finding(std::string& out, const Finding& finding) {
  put_field(out, std::string(1, static_cast<char>(finding.kind)));
  put_field(out, finding.file);
  put_field(out, std::to_string(finding.line));
  put_field(out, finding.message);
}

std::optional<std::string> take_field(std::string_view& in) {
  const std::size_t colon = in.find(':');
  std::size_t length = 0;
  if (colon == std::string_view::npos ||
      std::from_chars(in.data(), in.data() + colon, length).ptr != in.data() + colon ||
      in.size() - colon - 1 < length) {
    return std::nullopt;
  }
  std::string field(in.substr(colon + 1, length));
  in.remove_prefix(colon + 1 + length);
  return field;
}

// The findings in `in`, or none when it is cut short or garbled.
std::optional<std::vector<Finding>> take_findings(std::string_view in) {
  std::vector<Finding> findings;
  while (!in.empty()) {
    const auto kind = take_field(in);
    const auto file = take_field(in);
    const auto line = take_field(in);
    const auto message = take_field(in);
    int number = 0;
    if (!message || kind->size() != 1 ||
        std::from_chars(line->data(), line->data() + line->size(), number).ptr !=
            line->data() + line->size()) {
      return std::nullopt;
    }
    findings.push_back({static_cast<Kind>((*kind)[0]), *file, number, *message});
  }
  return findings;
}

std::string errno_text(std::string_view call) {
  return std::string(call) + ": " + std::strerror(errno);
}

// Why the child could not become `uid`, with the group of the same number; empty once it is
// that user. The supplementary groups go first and the user last: each step needs the privilege
// the next one gives up.
std::string drop_privileges(uid_t uid) {
  if (::setgroups(0, nullptr) != 0) return errno_text("setgroups");
  if (::setgid(static_cast<gid_t>(uid)) != 0) return errno_text("setgid");
  if (::setuid(uid) != 0) return errno_text("setuid");
  return "";
}

// "the code run as uid N", as the parent's messages name the child.
std::string code_run_as(uid_t uid) { return "the code run as uid " + std::to_string(uid); }

Kind kind_of(const ::testing::TestPartResult& result) {
  switch (result.type()) {
    case ::testing::TestPartResult::kFatalFailure:
      return Kind::Fatal;
    case ::testing::TestPartResult::kSkip:
      return Kind::Skip;
    default:
      return Kind::NonFatal;
  }
}

// Runs `code` and collects what it raises, as the findings to send.
std::string findings_of(const std::function<void()>& code, uid_t uid) {
  std::string out;
  ::testing::TestPartResultArray results;
  std::string escaped;
  {
    const ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    try {
      code();
    } catch (const std::exception& e) {
      escaped = "an exception escaped " + code_run_as(uid) + ": " + e.what();
    } catch (...) {
      escaped = "an exception of unknown type escaped " + code_run_as(uid);
    }
  }
  for (int i = 0; i < results.size(); ++i) {
    const ::testing::TestPartResult& result = results.GetTestPartResult(i);
    if (result.type() == ::testing::TestPartResult::kSuccess) continue;
    put_finding(out, {kind_of(result), result.file_name() == nullptr ? "" : result.file_name(),
                      result.line_number(), result.message()});
  }
  if (!escaped.empty()) put_finding(out, {Kind::Broken, "", -1, escaped});
  return out;
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the parent then misses the end and fails the test
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The child's whole life. It leaves by _exit: the test process's atexit handlers, gtest's
// teardown and LeakSanitizer's end-of-process check belong to the parent alone.
[[noreturn]] void run_in_child(int out, const std::function<void()>& code, uid_t uid) {
  std::string findings;
  const std::string who = "uid " + std::to_string(uid);
  if (const std::string failed = drop_privileges(uid); !failed.empty()) {
    put_finding(findings,
                {Kind::Broken, "", -1, "cannot become " + who + " to run the code: " + failed});
  } else if (::access(temp_base().path().c_str(), W_OK | X_OK) != 0) {
    // Every test that runs code as another user lays out its tree in a TempDir.
    put_finding(findings, {Kind::Broken, "", -1,
                           who + " cannot reach the tests' temporary directory " +
                               temp_base().path().string() + " (" + std::strerror(errno) +
                               "): run the tests with a TMPDIR that every user may search, as "
                               "/tmp"});
  } else {
    findings = findings_of(code, uid);
    put_finding(findings, {Kind::Done, "", -1, ""});
  }
  write_all(out, findings);
  std::fflush(nullptr);
  ::_exit(0);
}

std::string read_all(int fd) {
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

// Raises the child's findings in the running test, at the places the child raised them; what
// has no such place is put at the call. True when the child ran its code to the end.
bool report(const std::vector<Finding>& findings, const std::source_location& where, uid_t uid) {
  bool done = false;
  for (const Finding& f : findings) {
    const char* file = f.file.empty() ? nullptr : f.file.c_str();
    switch (f.kind) {
      case Kind::NonFatal:
        ADD_FAILURE_AT(file, f.line) << f.message;
        break;
      case Kind::Fatal:
        GTEST_FAIL_AT(file, f.line) << f.message;
        break;
      case Kind::Skip:
        ADD_FAILURE_AT(file, f.line)
            << "skipped as uid " << uid << ", where it must run: " << f.message;
        break;
      case Kind::Broken:
        ADD_FAILURE_AT(where.file_name(), where.line()) << f.message;
        break;
      case Kind::Done:
        done = true;
        break;
      default:
        ADD_FAILURE_AT(where.file_name(), where.line())
            << "the child sent a finding of unknown kind";
    }
  }
  return done;
}

}  // namespace

void run_unprivileged(const std::function<void()>& code, std::source_location where) {
  if (::geteuid() != 0) {
    code();
    return;
  }
  run_as(UNPRIVILEGED_UID, code, where);
}

void run_as(unsigned uid, const std::function<void()>& code, std::source_location where) {
  if (::geteuid() != 0) {
    ADD_FAILURE_AT(where.file_name(), where.line())
        << "only root can run code as uid " << uid << "; skip the test when not root";
    return;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE_AT(where.file_name(), where.line()) << errno_text("pipe2");
    return;
  }
  // Output still buffered would otherwise be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE_AT(where.file_name(), where.line()) << errno_text("fork");
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (pid == 0) {
    ::close(fds[0]);
    run_in_child(fds[1], code, uid);
  }
  ::close(fds[1]);
  // Read to the end before reaping: a child with more to say than the pipe holds would
  // otherwise wait for us while we wait for it.
  const std::string data = read_all(fds[0]);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE_AT(where.file_name(), where.line()) << errno_text("waitpid");
      return;
    }
  }
  const auto findings = take_findings(data);
  const bool done = findings && report(*findings, where, uid);
  if (WIFSIGNALED(status)) {
    ADD_FAILURE_AT(where.file_name(), where.line())
        << code_run_as(uid) << " was killed by signal " << WTERMSIG(status) << " ("
        << ::strsignal(WTERMSIG(status)) << ")";
  } else if (WEXITSTATUS(status) != 0) {
    ADD_FAILURE_AT(where.file_name(), where.line())
        << code_run_as(uid) << " exited with status " << WEXITSTATUS(status);
  } else if (!findings) {
    ADD_FAILURE_AT(where.file_name(), where.line())
        << "the findings of " << code_run_as(uid) << " are garbled";
  } else if (!done && !std::any_of(findings->begin(), findings->end(),
                                   [](const Finding& f) { return f.kind == Kind::Broken; })) {
    ADD_FAILURE_AT(where.file_name(), where.line())
        << code_run_as(uid) << " ended its process before it returned";
  }
}

void open_to_others(const stdfs::path& root) {
  const auto grant = [](const stdfs::path& path, const stdfs::file_status& status) {
    if (stdfs::is_symlink(status)) return;
    stdfs::perms granted = stdfs::perms::others_read;
    if (stdfs::is_directory(status)) granted |= stdfs::perms::others_exec;
    stdfs::permissions(path, granted, stdfs::perm_options::add);
  };
  grant(root, stdfs::symlink_status(root));
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator(); ++it) {
    grant(it->path(), it->symlink_status());
  }
}

void prepare_git_environment() {
  forget_enclosing_repository();
  ::setenv("GIT_AUTHOR_NAME", "Quarnel Test", 1);
  ::setenv("GIT_AUTHOR_EMAIL", "test@example.org", 1);
  ::setenv("GIT_COMMITTER_NAME", "Quarnel Test", 1);
  ::setenv("GIT_COMMITTER_EMAIL", "test@example.org", 1);
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  ::setenv("GIT_CEILING_DIRECTORIES", stdfs::temp_directory_path().c_str(), 1);
}

GitFixture::GitFixture() {
  prepare_git_environment();
  git({"init", "-q", "-b", "main"});
}

std::string GitFixture::git(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_checked(argv, path());
}

void GitFixture::commit_file(const stdfs::path& relative, std::string_view content,
                             std::string_view message) {
  dir_.write(relative, content);
  git({"add", "--", relative.string()});
  git({"commit", "-q", "-m", std::string(message)});
}

void limit_address_space([[maybe_unused]] std::size_t bytes) {
#ifndef QUARNEL_TEST_ADDRESS_SANITIZER
  const rlimit limit{.rlim_cur = bytes, .rlim_max = bytes};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) {
    throw std::system_error(errno, std::generic_category(), "setrlimit");
  }
#endif
}

unsigned sanitizer_slowdown() {
#ifdef QUARNEL_TEST_ADDRESS_SANITIZER
  // An unoptimised build under AddressSanitizer, whose allocator dominates allocation-heavy
  // work: up to 10 times on the memory tests.
  return 10;
#else
  return 1;
#endif
}

void limit_cpu_time(unsigned seconds) {
  seconds *= sanitizer_slowdown();
  const rlimit limit{.rlim_cur = seconds, .rlim_max = seconds};
  if (::setrlimit(RLIMIT_CPU, &limit) != 0) {
    throw std::system_error(errno, std::generic_category(), "setrlimit");
  }
}

bool give_to_another_user(const stdfs::path& root, unsigned uid) {
  if (::lchown(root.c_str(), uid, uid) != 0) return false;
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator(); ++it) {
    if (::lchown(it->path().c_str(), uid, uid) != 0) {
      throw std::system_error(errno, std::generic_category(), "lchown " + it->path().string());
    }
  }
  return true;
}

}  // namespace quarnel::testing
