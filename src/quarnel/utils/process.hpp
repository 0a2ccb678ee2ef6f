#pragma once

// The one way quarnel starts child processes: an argument vector without a shell, both output
// streams captured at once, a deadline after which the whole process group is killed and
// reaped, and strict decoding of what the child printed.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarnel::utils::process {

struct RunOptions {
  // Working directory of the child; the caller's when none.
  std::optional<std::filesystem::path> cwd;
  std::chrono::milliseconds timeout{10000};
};

struct Completed {
  int exit_code = 0;        // the exit status, or -signal when killed by a signal
  std::string stdout_text;  // decoded, CR LF and CR read as LF
  std::string stderr_text;
  bool ok() const { return exit_code == 0; }
};

// Runs argv[0] (looked up on PATH) with the rest as its arguments, inheriting the environment
// and standard input. Raises ProcessStartError when the program or working directory cannot be
// used, ProcessTimeout when the deadline passes (the child's process group is killed and
// reaped first), DecodeError when either stream is not valid UTF-8.
Completed run(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace quarnel::utils::process
