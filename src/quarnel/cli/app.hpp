#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quarnel::cli {

// Exit statuses of the command line.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_GATE_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// Runs the command line with the arguments after the program name; reports go to `out`,
// messages to `err`. Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The catalogue as an aligned table (principle, indicator, category, name), one line each.
std::string indicators_table();
// The catalogue as a JSON array of objects.
std::string indicators_json();

}  // namespace quarnel::cli
