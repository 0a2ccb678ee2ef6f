#include <iostream>
#include <string>
#include <vector>

#include "quarnel/cli/app.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quarnel::cli::run(args, std::cout, std::cerr);
}
