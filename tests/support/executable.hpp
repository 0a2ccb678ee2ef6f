#pragma once

// The built quarnel executable, run by the tests as a user runs it.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "quarnel/utils/process.hpp"

namespace quarnel::testing {

// The executable CTest names in QUARNEL_BINARY (else "quarnel"), made absolute now: the
// directory or PATH a test runs it with may not lead to it.
std::string quarnel_binary();

// Runs the executable with `args` in `cwd` (the test's own working directory when empty).
utils::process::Completed run_quarnel(std::vector<std::string> args,
                                      const std::filesystem::path& cwd = {},
                                      std::chrono::seconds timeout = std::chrono::seconds(120));

// What a bounded run may use: its address space in bytes and its processor time in seconds
// (times sanitizer_slowdown()).
struct Bounds {
  std::size_t address_space = std::size_t{512} << 20;
  unsigned cpu_seconds = 30;
};

// run_quarnel with the executable's address space and processor time capped (through
// prlimit), so that a run whose work or memory grows faster than its input ends in failure
// instead of passing slowly: a run past its processor time is killed by SIGXCPU, and one past
// its address space fails to allocate. In an AddressSanitizer build only the time is capped,
// since the sanitizer reserves terabytes of address space for its shadow memory.
utils::process::Completed run_quarnel_bounded(std::vector<std::string> args,
                                              const std::filesystem::path& cwd = {},
                                              Bounds bounds = {});

// A loopback port that nothing listens on: bound once to get a free number, then closed; 0 when
// no number could be had.
int closed_loopback_port();

}  // namespace quarnel::testing
