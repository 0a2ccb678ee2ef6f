#include "quarnel/utils/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quarnel/error.hpp"
#include "support/fixtures.hpp"

namespace quarnel::utils::process {
namespace {

using namespace std::chrono_literals;
using quarnel::testing::ScopedEnv;
using quarnel::testing::TempDir;
using quarnel::testing::WorkingDirectory;
namespace stdfs = std::filesystem;

stdfs::path write_script(const TempDir& dir, const stdfs::path& relative, const std::string& body) {
  const auto file = dir.write(relative, "#!/bin/sh\n" + body);
  stdfs::permissions(file, stdfs::perms::owner_all);
  return file;
}

Completed sh(const std::string& script, const RunOptions& options = {}) {
  return run({"sh", "-c", script}, options);
}

// True once `pid` is gone or only a zombie waiting for its new parent; bounded, never timed.
bool process_ended(pid_t pid) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    const auto close_paren = line.rfind(')');
    if (close_paren != std::string::npos && close_paren + 2 < line.size() &&
        (line[close_paren + 2] == 'Z' || line[close_paren + 2] == 'X')) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

pid_t read_pid(const std::filesystem::path& file) {
  std::ifstream in(file);
  pid_t pid = 0;
  in >> pid;
  return pid;
}

struct ExitCase {
  std::string script;
  int exit_code;
};

TEST(ProcessRun, ReportsExitStatusOrNegativeSignal) {
  const std::vector<ExitCase> cases = {
      {"exit 0", 0},     {"exit 1", 1},          {"exit 3", 3},
      {"exit 255", 255}, {"kill -TERM $$", -15}, {"kill -KILL $$", -9},
  };
  for (const auto& c : cases) {
    const Completed done = sh(c.script);
    EXPECT_EQ(done.exit_code, c.exit_code) << c.script;
    EXPECT_EQ(done.ok(), c.exit_code == 0) << c.script;
  }
}

TEST(ProcessRun, CapturesBothStreamsSeparately) {
  const Completed done = sh("printf out; printf err >&2; printf more");
  EXPECT_EQ(done.stdout_text, "outmore");
  EXPECT_EQ(done.stderr_text, "err");
}

TEST(ProcessRun, ArgumentsReachTheProgramUnsplitAndUnexpanded) {
  const Completed done = run({"printf", "%s|", "two words", "$HOME", "*", "'q'", ""});
  EXPECT_EQ(done.stdout_text, "two words|$HOME|*|'q'||");
}

TEST(ProcessRun, LargeOutputOnBothStreamsDoesNotDeadlock) {
  // Standard error is filled first: a reader that waits on standard output alone would hang
  // once the child blocks on a full error pipe.
  const Completed done =
      sh("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o");
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(done.stdout_text, std::string(1 << 20, 'o'));
  EXPECT_EQ(done.stderr_text, std::string(1 << 20, 'e'));
}

TEST(ProcessRun, TimeOutKillsTheWholeGroupIncludingGrandchildren) {
  TempDir dir;
  const auto pid_file = dir / "grandchild.pid";
  // The grandchild keeps both pipes open, so reading alone would never end.
  const std::string script = "sleep 30 & echo $! > '" + pid_file.string() + "'; wait";
  RunOptions options;
  options.timeout = 300ms;
  try {
    sh(script, options);
    FAIL() << "no time-out";
  } catch (const ProcessTimeout& e) {
    EXPECT_STREQ(e.what(), "sh timed out after 0.3 s");
  }
  const pid_t grandchild = read_pid(pid_file);
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(process_ended(grandchild));
}

TEST(ProcessRun, TimeOutMessageNamesWholeSeconds) {
  RunOptions options;
  options.timeout = 1000ms;
  try {
    run({"sleep", "30"}, options);
    FAIL() << "no time-out";
  } catch (const ProcessTimeout& e) {
    EXPECT_STREQ(e.what(), "sleep timed out after 1 s");
  }
}

TEST(ProcessRun, ChildThatClosedItsStreamsIsStillWaitedForWithinTheDeadline) {
  RunOptions options;
  options.timeout = 300ms;
  EXPECT_THROW(sh("exec >/dev/null 2>&1; sleep 30", options), ProcessTimeout);
}

TEST(ProcessRun, RunsInTheGivenWorkingDirectory) {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  const Completed done = run({"pwd", "-P"}, options);
  EXPECT_EQ(done.stdout_text, std::filesystem::canonical(dir.path()).string() + "\n");
}

// The child's environment as `env -0` prints it: every NAME=VALUE entry, in order.
std::vector<std::string> child_environment(const RunOptions& options) {
  const std::string printed = run({"env", "-0"}, options).stdout_text;
  std::vector<std::string> entries;
  for (std::size_t start = 0; start < printed.size();) {
    const std::size_t end = printed.find('\0', start);
    entries.push_back(printed.substr(start, end - start));
    start = end == std::string::npos ? printed.size() : end + 1;
  }
  return entries;
}

std::vector<std::string> entries_named(const std::vector<std::string>& entries,
                                       const std::string& name) {
  std::vector<std::string> found;
  for (const auto& entry : entries) {
    if (entry.starts_with(name + "=")) found.push_back(entry);
  }
  return found;
}

TEST(ProcessRun, EnvironmentSettingsReachOnlyTheirChild) {
  const ScopedEnv kept("QUARNEL_TEST_KEPT", "kept");
  const ScopedEnv replaced("QUARNEL_TEST_REPLACED", "old");
  const ScopedEnv added("QUARNEL_TEST_ADDED");
  ::unsetenv("QUARNEL_TEST_ADDED");
  const ScopedEnv removed("QUARNEL_TEST_REMOVED", "there");
  const ScopedEnv set_then_removed("QUARNEL_TEST_SET_THEN_REMOVED", "there");
  RunOptions options;
  options.environment = {{"QUARNEL_TEST_REPLACED", "first"},
                         {"QUARNEL_TEST_ADDED", "a=b c"},
                         {"QUARNEL_TEST_REPLACED", "new"},
                         {"QUARNEL_TEST_EMPTY", ""},
                         {"QUARNEL_TEST_REMOVED", std::nullopt},
                         {"QUARNEL_TEST_SET_THEN_REMOVED", "x"},
                         {"QUARNEL_TEST_SET_THEN_REMOVED", std::nullopt},
                         {"QUARNEL_TEST_NEVER_THERE", std::nullopt}};
  const auto entries = child_environment(options);
  struct Case {
    std::string name;
    std::vector<std::string> entries;
  };
  const std::vector<Case> cases = {
      {"QUARNEL_TEST_KEPT", {"QUARNEL_TEST_KEPT=kept"}},
      {"QUARNEL_TEST_REPLACED", {"QUARNEL_TEST_REPLACED=new"}},
      {"QUARNEL_TEST_ADDED", {"QUARNEL_TEST_ADDED=a=b c"}},
      {"QUARNEL_TEST_EMPTY", {"QUARNEL_TEST_EMPTY="}},
      {"QUARNEL_TEST_REMOVED", {}},
      {"QUARNEL_TEST_SET_THEN_REMOVED", {}},
      {"QUARNEL_TEST_NEVER_THERE", {}},
      {"PATH", {"PATH=" + std::string(::getenv("PATH"))}},
  };
  for (const auto& c : cases) EXPECT_EQ(entries_named(entries, c.name), c.entries) << c.name;

  // This process and its next child keep the environment they had.
  EXPECT_STREQ(::getenv("QUARNEL_TEST_REPLACED"), "old");
  EXPECT_EQ(::getenv("QUARNEL_TEST_ADDED"), nullptr);
  EXPECT_EQ(entries_named(child_environment({}), "QUARNEL_TEST_REPLACED"),
            std::vector<std::string>{"QUARNEL_TEST_REPLACED=old"});
}

TEST(ProcessRun, ConcurrentRunsKeepTheirEnvironmentsApart) {
  constexpr int kThreads = 8;
  std::vector<std::string> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &seen] {
      RunOptions options;
      options.environment = {{"QUARNEL_TEST_SLOT", std::to_string(i)}};
      for (int round = 0; round < 5; ++round) {
        seen[i] += sh("printf %s \"$QUARNEL_TEST_SLOT\"", options).stdout_text;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(seen[i], std::string(5, '0' + i));
}

TEST(ProcessRun, UnusableStartsRaiseStartErrorNotExit127) {
  TempDir dir;
  const auto file = dir.write("plain-file", "x");
  const auto not_executable = dir.write("not-executable", "#!/bin/sh\nexit 0\n");
  struct Case {
    std::string name;
    std::vector<std::string> argv;
    std::optional<std::filesystem::path> cwd;
    std::vector<EnvVar> environment = {};
  };
  const std::vector<Case> cases = {
      {"missing program", {"quarnel-no-such-program-xyz"}, std::nullopt},
      {"missing directory", {"true"}, dir / "missing"},
      {"directory is a file", {"true"}, file},
      {"not executable", {not_executable.string()}, std::nullopt},
      {"empty argv", {}, std::nullopt},
      {"NUL in an argument", {"echo", std::string("a\0b", 3)}, std::nullopt},
      {"empty variable name", {"true"}, std::nullopt, {{"", "x"}}},
      {"'=' in a variable name", {"true"}, std::nullopt, {{"A=B", "x"}}},
      {"NUL in a variable name", {"true"}, std::nullopt, {{std::string("A\0B", 3), "x"}}},
      {"NUL in a variable value", {"true"}, std::nullopt, {{"A", std::string("x\0y", 3)}}},
  };
  for (const auto& c : cases) {
    RunOptions options;
    options.cwd = c.cwd;
    options.environment = c.environment;
    EXPECT_THROW(run(c.argv, options), ProcessStartError) << c.name;
  }
}

// A checkout may hold a file named like a tool. With an empty, "." or relative entry in PATH,
// a lookup made after the child has changed into the checkout would start that file.
TEST(ProcessRun, ProgramInTheChildsDirectoryNeverRuns) {
  TempDir checkout;
  TempDir elsewhere;
  const auto marker = checkout / "ran";
  for (const auto& relative : {stdfs::path("git"), stdfs::path("sub/git")}) {
    write_script(checkout, relative, "touch '" + marker.string() + "'\necho planted\n");
  }
  const std::string system_path = ::getenv("PATH");
  struct Case {
    std::string path;
    stdfs::path caller_dir;
    bool found;  // whether a real git remains on the absolute entries
  };
  const std::vector<Case> cases = {
      {":" + system_path, elsewhere.path(), true},
      {"." + (":" + system_path), elsewhere.path(), true},
      {"sub:" + system_path, elsewhere.path(), true},
      {":" + system_path, checkout.path(), true},
      {".:sub", checkout.path(), false},
      {":", elsewhere.path(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("PATH=" + c.path + " from " + c.caller_dir.string());
    const ScopedEnv path("PATH", c.path);
    const WorkingDirectory caller(c.caller_dir);
    RunOptions options;
    options.cwd = checkout.path();
    if (c.found) {
      EXPECT_TRUE(run({"git", "--version"}, options).stdout_text.starts_with("git version "));
    } else {
      EXPECT_THROW(run({"git", "--version"}, options), ProcessStartError);
    }
    EXPECT_FALSE(stdfs::exists(marker));
  }
}

TEST(ProcessRun, StartErrorNamesTheProgram) {
  try {
    run({"quarnel-no-such-program-xyz"});
    FAIL() << "started";
  } catch (const ProcessStartError& e) {
    EXPECT_NE(std::string(e.what()).find("quarnel-no-such-program-xyz"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
  }
}

TEST(ProcessRun, InvalidUtf8OnEitherStreamIsADecodeError) {
  EXPECT_THROW(sh("printf 'ok\\377'"), DecodeError);
  EXPECT_THROW(sh("printf '\\300\\200' >&2"), DecodeError);
}

TEST(ProcessRun, LineEndsAreTranslated) {
  const Completed done = sh("printf 'a\\r\\nb\\rc\\n'; printf 'x\\r\\n' >&2");
  EXPECT_EQ(done.stdout_text, "a\nb\nc\n");
  EXPECT_EQ(done.stderr_text, "x\n");
}

TEST(ProcessRun, OutputPastTheLimitKillsTheChild) {
  RunOptions options;
  options.max_output = 64 * 1024;
  // `yes` never stops by itself: only the limit ends this run.
  EXPECT_THROW(run({"yes"}, options), OutputLimitExceeded);
  options.max_output = 4;
  EXPECT_THROW(sh("printf 12345 >&2", options), ProcessStartError);
  EXPECT_EQ(sh("printf 1234", options).stdout_text, "1234");
}

TEST(ProcessRun, ChildGetsNoDescriptorOfTheCaller) {
  TempDir dir;
  // Opened without close-on-exec, as code elsewhere in the process might.
  const int fd = ::open(dir.write("held", "x").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const Completed done = sh("ls /proc/$$/fd");
  ::close(fd);
  EXPECT_EQ(done.stdout_text, "0\n1\n2\n");
}

TEST(ProcessRun, ChildLeadsItsOwnProcessGroup) {
  const Completed done = sh("cut -d' ' -f5 /proc/$$/stat; echo $$");
  const auto newline = done.stdout_text.find('\n');
  ASSERT_NE(newline, std::string::npos);
  EXPECT_EQ(done.stdout_text.substr(0, newline) + "\n", done.stdout_text.substr(newline + 1));
  EXPECT_NE(done.stdout_text.substr(0, newline), std::to_string(::getpgrp()));
}

// The signal masks of /proc/<pid>/status ("SigBlk", "SigIgn") as numbers.
std::uint64_t status_mask(const std::string& status, const std::string& field) {
  const auto at = status.find("\n" + field + ":");
  if (at == std::string::npos) return 0;
  return std::stoull(status.substr(at + field.size() + 2, 32), nullptr, 16);
}

// quarnel blocks SIGINT and SIGTERM to wait for them on a thread of its own, and a caller may
// have them ignored; git must still be stoppable by them.
TEST(ProcessRun, ChildGetsDefaultSignalsWhateverTheCallerBlocksOrIgnores) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigset_t saved_mask;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved_int {};
  struct sigaction saved_quit {};
  ::sigaction(SIGINT, &ignore, &saved_int);
  ::sigaction(SIGQUIT, &ignore, &saved_quit);

  const std::string status = run({"cat", "/proc/self/status"}).stdout_text;

  ::sigaction(SIGINT, &saved_int, nullptr);
  ::sigaction(SIGQUIT, &saved_quit, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  const std::uint64_t stop_signals =
      (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGQUIT - 1));
  EXPECT_EQ(status_mask(status, "SigBlk") & stop_signals, 0u) << status;
  EXPECT_EQ(status_mask(status, "SigIgn") & stop_signals, 0u) << status;
}

// Runs in a child process of the test, since a stop cannot be undone.
TEST(ProcessStop, EndsRunningChildrenAndStartsNoMore) {
  EXPECT_EXIT(
      {
        TempDir dir;
        const auto pid_file = dir / "sleeper.pid";
        std::optional<Completed> waited;
        std::thread runner([&] {
          waited = sh("echo $$ > '" + pid_file.string() + "'; exec sleep 30",
                      RunOptions{.timeout = 60s});
        });
        for (int attempt = 0; attempt < 1000 && read_pid(pid_file) <= 0; ++attempt) {
          std::this_thread::sleep_for(10ms);
        }
        kill_running_children();
        runner.join();
        bool refused = false;
        try {
          run({"true"});
        } catch (const ProcessStartError&) {
          refused = true;
        }
        std::_Exit(waited && waited->exit_code == -SIGKILL && refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ProcessRun, ConcurrentRunsKeepTheirOutputApart) {
  constexpr int kThreads = 8;
  std::vector<std::string> outputs(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &outputs] {
      for (int round = 0; round < 5; ++round) {
        outputs[i] += sh("printf " + std::to_string(i)).stdout_text;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(outputs[i], std::string(5, '0' + i));
}

}  // namespace
}  // namespace quarnel::utils::process
