#include "quarnel/utils/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string_view>
#include <thread>

#include "quarnel/utils/text.hpp"

extern char** environ;

namespace quarnel::utils::process {

namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int error) { return std::strerror(error); }

// "10 s", "0.3 s", "1.25 s": the deadline as a person would write it.
std::string seconds_text(std::chrono::milliseconds timeout) {
  const long long ms = std::max<long long>(timeout.count(), 0);
  std::string text = std::to_string(ms / 1000);
  if (const long long frac = ms % 1000; frac != 0) {
    std::string digits = std::to_string(frac);
    digits.insert(0, 3 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text + " s";
}

class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

void make_pipe(Pipe& p) {
  // Close-on-exec from the start: a child spawned concurrently by another thread must not
  // inherit our write end, or our reader would wait for that unrelated child to exit.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw ProcessStartError("cannot create a pipe: " + errno_text(errno));
  }
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
}

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttr {
 public:
  SpawnAttr() { ::posix_spawnattr_init(&attr_); }
  ~SpawnAttr() { ::posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

void check_spawn_call(int rc, const char* what) {
  if (rc != 0) throw ProcessStartError(std::string(what) + ": " + errno_text(rc));
}

void kill_group(pid_t leader) {
  // The child leads its own group; its descendants are in it unless they moved away.
  if (::kill(-leader, SIGKILL) != 0) ::kill(leader, SIGKILL);
}

// The process groups of the children being waited for, so that a process that is being stopped
// can end them: they run in groups of their own and would not see a terminal's signal.
struct Registry {
  // Held shared from a start until its child is registered, and exclusively by a stop, so that
  // no child can slip past a stop unregistered.
  std::shared_mutex starting;
  std::mutex mutex;  // guards `groups`; a group is removed in the same step as its leader is reaped
  std::set<pid_t> groups;
  std::atomic<bool> stopped{false};
};

Registry& registry() {
  // Never destroyed: a stop may come from another thread while static objects go away.
  static Registry* const instance = new Registry;
  return *instance;
}

// Owns a started child until it has been reaped; on any early exit (an exception while
// reading, say) the whole group is killed and reaped so no zombie or stray process remains.
class Child {
 public:
  // Called with the registry's start lock held.
  explicit Child(pid_t pid) : pid_(pid) {
    const std::lock_guard lock(registry().mutex);
    registry().groups.insert(pid_);
  }
  ~Child() {
    if (!reaped_) {
      kill_group();
      wait_blocking();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void kill_group() const { process::kill_group(pid_); }

  int wait_blocking() {
    // Waits without reaping, so that the group id stays ours until it leaves the registry.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    return reap().value_or(0);
  }

  // The status once the child has ended, or nothing when the deadline passes first.
  std::optional<int> wait_until(Clock::time_point deadline) {
    auto pause = std::chrono::microseconds(50);
    for (;;) {
      siginfo_t info{};
      const int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
      if (r == 0 && info.si_pid == pid_) {
        if (auto status = reap()) return status;
      }
      if (r < 0 && errno != EINTR) {
        // ECHILD: someone else reaped it (SIGCHLD ignored); its status is lost, and guessing
        // success would report a failure as one.
        const int error = errno;
        forget();
        throw ProcessStartError("cannot read the exit status of a child: " + errno_text(error));
      }
      const auto now = Clock::now();
      if (now >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
  }

 private:
  // Reaps the child that has ended and takes its group off the registry in one step: once
  // reaped, its id may be handed to an unrelated process. Nothing when the status is lost.
  std::optional<int> reap() {
    const std::lock_guard lock(registry().mutex);
    int status = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    registry().groups.erase(pid_);
    reaped_ = true;
    if (r != pid_) return std::nullopt;
    return status;
  }

  void forget() {
    const std::lock_guard lock(registry().mutex);
    registry().groups.erase(pid_);
    reaped_ = true;
  }

  pid_t pid_;
  bool reaped_ = false;
};

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

int poll_timeout_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

void reject_nul(std::string_view value, const std::string& program) {
  if (value.find('\0') != std::string_view::npos) {
    throw ProcessStartError("cannot start " + program + ": an argument holds a NUL byte");
  }
}

// The child's environment: this process's entries, less those that `settings` replace or
// remove, then the settings that give a value, each name once with its last value. Owns the texts
// that the pointers name.
class ChildEnvironment {
 public:
  ChildEnvironment(const std::vector<EnvVar>& settings, const std::string& program) {
    for (const auto& setting : settings) {
      reject_nul(setting.name, program);
      if (setting.value) reject_nul(*setting.value, program);
      if (setting.name.empty() || setting.name.find('=') != std::string::npos) {
        throw ProcessStartError("cannot start " + program + ": " + text::repr(setting.name) +
                                " is no environment variable name");
      }
    }
    const auto is_set = [&settings](std::string_view name) {
      return std::any_of(settings.begin(), settings.end(),
                         [name](const EnvVar& setting) { return setting.name == name; });
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      if (!is_set(text.substr(0, text.find('=')))) pointers_.push_back(*entry);
    }
    for (std::size_t i = 0; i < settings.size(); ++i) {
      const bool set_later =
          std::any_of(settings.begin() + static_cast<std::ptrdiff_t>(i) + 1, settings.end(),
                      [&](const EnvVar& later) { return later.name == settings[i].name; });
      if (!set_later && settings[i].value) {
        owned_.push_back(settings[i].name + "=" + *settings[i].value);
      }
    }
    for (auto& entry : owned_) pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
  }
  ChildEnvironment(const ChildEnvironment&) = delete;
  ChildEnvironment& operator=(const ChildEnvironment&) = delete;

  char** get() { return pointers_.data(); }

 private:
  std::vector<std::string> owned_;
  std::vector<char*> pointers_;
};

bool is_executable_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

void kill_running_children() {
  Registry& r = registry();
  const std::unique_lock start_lock(r.starting);
  r.stopped.store(true);
  const std::lock_guard lock(r.mutex);
  for (const pid_t group : r.groups) kill_group(group);
}

std::optional<std::filesystem::path> find_program(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    std::filesystem::path path{std::string(name)};
    if (is_executable_file(path)) return path;
    return std::nullopt;
  }
  const char* env = std::getenv("PATH");
  const std::string search = env != nullptr ? env : "/bin:/usr/bin";
  for (const auto& entry : text::split(search, ":")) {
    if (entry.empty() || entry.front() != '/') continue;
    std::filesystem::path candidate = std::filesystem::path(entry) / std::string(name);
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

Completed run(const std::vector<std::string>& argv, const RunOptions& options) {
  if (argv.empty() || argv.front().empty()) throw ProcessStartError("no program to start");
  const std::string& program = argv.front();
  for (const auto& arg : argv) reject_nul(arg, program);
  if (options.cwd) reject_nul(options.cwd->native(), program);
  std::optional<ChildEnvironment> child_environment;
  if (!options.environment.empty()) child_environment.emplace(options.environment, program);

  Pipe out;
  Pipe err;
  make_pipe(out);
  make_pipe(err);

  SpawnActions actions;
  if (options.cwd) {
    check_spawn_call(::posix_spawn_file_actions_addchdir_np(actions.get(), options.cwd->c_str()),
                     "cannot prepare the working directory");
  }
  check_spawn_call(::posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), 1),
                   "cannot prepare standard output");
  check_spawn_call(::posix_spawn_file_actions_adddup2(actions.get(), err.write.get(), 2),
                   "cannot prepare standard error");
  // Descriptors that other code opened without close-on-exec stay with us.
  check_spawn_call(::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3),
                   "cannot prepare the descriptors");

  SpawnAttr attr;
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  // Whatever this process ignores or handles itself, a child such as git must react to these
  // as usual (SIGINT and SIGTERM end it; SIGPIPE ends a writer whose reader went away).
  for (const int signal : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&defaults, signal);
  }
  check_spawn_call(
      ::posix_spawnattr_setflags(
          attr.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
      "cannot prepare the child");
  check_spawn_call(::posix_spawnattr_setpgroup(attr.get(), 0), "cannot prepare the child");
  check_spawn_call(::posix_spawnattr_setsigmask(attr.get(), &empty_mask),
                   "cannot prepare the child");
  check_spawn_call(::posix_spawnattr_setsigdefault(attr.get(), &defaults),
                   "cannot prepare the child");

  std::vector<char*> cargv;
  cargv.reserve(argv.size() + 1);
  for (const auto& arg : argv) cargv.push_back(const_cast<char*>(arg.c_str()));
  cargv.push_back(nullptr);

  // Resolved here, in the caller's directory, never by the child after its chdir.
  std::filesystem::path executable;
  if (program.find('/') != std::string::npos) {
    std::error_code ec;
    executable = std::filesystem::absolute(program, ec);
    if (ec) throw ProcessStartError("cannot start " + program + ": " + ec.message());
  } else if (auto found = find_program(program)) {
    executable = *std::move(found);
  } else {
    throw ProcessStartError("cannot start " + program + ": " + errno_text(ENOENT));
  }

  const auto deadline = Clock::now() + options.timeout;
  pid_t pid = 0;
  std::optional<Child> started;
  int rc = 0;
  {
    std::shared_lock start_lock(registry().starting);
    if (registry().stopped.load()) {
      throw ProcessStartError("cannot start " + program + ": the process is stopping");
    }
    // glibc reports a failed chdir or exec in the child as the return value, so a missing
    // program or directory never looks like a child that exited with 127.
    rc = ::posix_spawn(&pid, executable.c_str(), actions.get(), attr.get(), cargv.data(),
                       child_environment ? child_environment->get() : environ);
    if (rc == 0) started.emplace(pid);
  }
  out.write.reset();
  err.write.reset();
  if (rc != 0) {
    std::string message = "cannot start " + program;
    if (options.cwd) {
      std::error_code ec;
      if (!std::filesystem::is_directory(*options.cwd, ec)) {
        message += " in " + options.cwd->string();
      }
    }
    throw ProcessStartError(message + ": " + errno_text(rc));
  }
  Child& child = *started;

  std::array<std::string, 2> captured;
  std::array<Fd*, 2> streams{&out.read, &err.read};
  std::array<char, 65536> buffer;
  bool timed_out = false;
  while (streams[0]->open() || streams[1]->open()) {
    std::array<pollfd, 2> fds{};
    nfds_t count = 0;
    std::array<int, 2> index{};
    for (int i = 0; i < 2; ++i) {
      if (!streams[i]->open()) continue;
      fds[count] = pollfd{streams[i]->get(), POLLIN, 0};
      index[count++] = i;
    }
    const int ready = ::poll(fds.data(), count, poll_timeout_ms(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw ProcessStartError("cannot read from " + program + ": " + errno_text(errno));
    }
    if (ready == 0) {
      if (Clock::now() >= deadline) {
        timed_out = true;
        break;
      }
      continue;
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (fds[k].revents == 0) continue;
      const int i = index[k];
      const ssize_t n = ::read(streams[i]->get(), buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        streams[i]->reset();
      } else if (n == 0) {
        streams[i]->reset();
      } else {
        if (captured[i].size() + static_cast<std::size_t>(n) > options.max_output) {
          child.kill_group();
          child.wait_blocking();
          throw OutputLimitExceeded(program + " printed more than " +
                                    std::to_string(options.max_output) + " bytes on standard " +
                                    (i == 0 ? "output" : "error"));
        }
        captured[i].append(buffer.data(), static_cast<std::size_t>(n));
      }
    }
  }

  std::optional<int> status;
  if (!timed_out) status = child.wait_until(deadline);
  if (!status) {
    child.kill_group();
    child.wait_blocking();
    throw ProcessTimeout(program + " timed out after " + seconds_text(options.timeout));
  }

  Completed result;
  result.exit_code = exit_code_of(*status);
  result.stdout_text = text::decode(captured[0], text::DecodeMode::Strict);
  result.stderr_text = text::decode(captured[1], text::DecodeMode::Strict);
  return result;
}

}  // namespace quarnel::utils::process
