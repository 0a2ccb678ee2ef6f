#pragma once

// The built quarnel executable, run by the tests as a user runs it.

#include <chrono>
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

// A loopback port that nothing listens on: bound once to get a free number, then closed; 0 when
// no number could be had.
int closed_loopback_port();

}  // namespace quarnel::testing
