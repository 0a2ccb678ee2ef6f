#include <iostream>
#include <string>
#include <vector>

#include "quarnel/cli/app.hpp"

int main(int argc, char** argv) {
  if (!quarnel::cli::guard_standard_descriptors()) return quarnel::cli::EXIT_USAGE;
  quarnel::cli::handle_stop_signals();
  std::vector<std::string> args(argv + 1, argv + argc);
  const int status = quarnel::cli::run(args, std::cout, std::cerr);
  quarnel::cli::finish_unless_stopping();
  return status;
}
