#pragma once

// The one way quarnel starts child processes: an argument vector without a shell, both output
// streams captured at once, a deadline after which the whole process group is killed and
// reaped, and strict decoding of what the child printed.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel::utils::process {

// A child printed more than RunOptions::max_output bytes on one stream. It is a kind of start
// failure because the run never produced a usable result: the child is killed and reaped first,
// and callers that absorb start failures absorb this too.
class OutputLimitExceeded : public ProcessStartError {
 public:
  using ProcessStartError::ProcessStartError;
};

inline constexpr std::size_t DEFAULT_MAX_OUTPUT = std::size_t{64} << 20;

// One variable of a child's environment; without a value, the child does not get it at all.
struct EnvVar {
  std::string name;
  std::optional<std::string> value;
  bool operator==(const EnvVar&) const = default;
};

struct RunOptions {
  // Working directory of the child; the caller's when none.
  std::optional<std::filesystem::path> cwd;
  std::chrono::milliseconds timeout{10000};
  // Bytes kept per stream; more raises OutputLimitExceeded.
  std::size_t max_output = DEFAULT_MAX_OUTPUT;
  // Variables the child gets in place of this process's own of the same name, or in addition
  // to them; a name given twice takes the later value. The rest of the environment passes
  // unchanged, and the program is still looked up on this process's PATH. Only the child's
  // copy is built: this process's environment never changes, as other threads start children
  // at the same time.
  std::vector<EnvVar> environment;
};

struct Completed {
  int exit_code = 0;        // the exit status, or -signal when killed by a signal
  std::string stdout_text;  // decoded, CR LF and CR read as LF
  std::string stderr_text;
  bool ok() const { return exit_code == 0; }
};

// The executable a program name stands for. A name holding a "/" is taken as a path, relative
// to this process's working directory. Any other name is searched in the absolute entries of PATH
// in order (/bin:/usr/bin when PATH is unset); empty, "." and other relative entries are skipped,
// because they would name whatever directory the child is started in, and that may be an
// untrusted checkout holding a file called "git". Only executable regular files count.
std::optional<std::filesystem::path> find_program(std::string_view name);

// Runs argv[0] with the rest as its arguments, inheriting standard input and the environment
// (with RunOptions::environment on top).
// The program is resolved by find_program to an absolute path before the child changes
// directory. Raises ProcessStartError when the program is not found that way or the program or
// working directory cannot be used (also for an empty argv, a NUL byte in an argument, the
// directory or an environment setting, and a variable name that is empty or holds "="),
// ProcessTimeout
// when the deadline passes (the child's process group is killed and reaped first, and what it
// printed is dropped: a grandchild may still hold the pipes), OutputLimitExceeded when a stream
// grows past max_output, DecodeError when either stream is not valid UTF-8. The child runs in a
// process group of its own and gets no descriptor of this process besides 0, 1 and 2.
Completed run(const std::vector<std::string>& argv, const RunOptions& options = {});

// For a process that is being stopped (SIGINT, SIGTERM): kills the process group of every child
// that a run() is waiting for, and makes every later run() raise ProcessStartError instead of
// starting a program. Safe from any thread, not from a signal handler; it cannot be undone.
void kill_running_children();

}  // namespace quarnel::utils::process
