#pragma once

#include <signal.h>

#include <iosfwd>
#include <string>
#include <vector>

namespace quarnel::cli {

// Exit statuses of the command line.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_GATE_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// The signals that stop a run the way Ctrl-C does: a closed terminal or session, Ctrl-C, the
// quit key and a plain kill.
inline constexpr int STOP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// For the executable, first thing in main, before any other thread starts: each stop signal
// then ends the process groups of the running children, removes a temporary clone that is not
// to be kept, and exits with 128 + the signal number (129, 130, 131, 143). A broken pipe no
// longer kills the process: the write fails and is handled like any failed write.
void handle_stop_signals();

// For the executable, last thing before main returns: when a stop signal has arrived, waits for
// the stop to end the process with the signal's status; otherwise lets no stop start any more.
void finish_unless_stopping();

// Runs the command line with the arguments after the program name; reports go to `out`,
// messages to `err`. Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Gives each of the descriptors 0, 1 and 2 that is closed at start-up a placeholder that refuses
// writes. Otherwise the next file or pipe opened would take its number and the report (or a
// child's output) would land in it, and a closed standard output would go unnoticed, also when
// -o names it (/dev/stdout). Call first thing in main; false when no placeholder can be made.
bool guard_standard_descriptors() noexcept;

// The catalogue as an aligned table (principle, indicator, category, name), one line each.
std::string indicators_table();
// The catalogue as a JSON array of objects.
std::string indicators_json();

}  // namespace quarnel::cli
