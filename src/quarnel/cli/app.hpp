#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quarnel::cli {

// Exit statuses of the command line.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_GATE_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// For the executable, first thing in main, before any other thread starts: SIGINT and SIGTERM
// then end the process groups of the running children, remove a temporary clone that is not to
// be kept, and exit with 128 + the signal number (130, 143).
void handle_stop_signals();

// Runs the command line with the arguments after the program name; reports go to `out`,
// messages to `err`. Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Gives each of the descriptors 0, 1 and 2 that is closed at start-up a placeholder that refuses
// writes. Otherwise the next file or pipe opened would take its number and the report (or a
// child's output) would land in it, and a closed standard output would go unnoticed. Call first
// thing in main; false when no placeholder can be opened.
bool guard_standard_descriptors() noexcept;

// The catalogue as an aligned table (principle, indicator, category, name), one line each.
std::string indicators_table();
// The catalogue as a JSON array of objects.
std::string indicators_json();

}  // namespace quarnel::cli
