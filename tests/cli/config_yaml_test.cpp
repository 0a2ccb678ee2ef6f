// A configuration file in the checkout that is no YAML stops `assess` before any check runs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "quarnel/cli/app.hpp"
#include "support/fixtures.hpp"

namespace quarnel::cli {
namespace {

struct BrokenConfig {
  std::string name;
  std::string content;

  friend void PrintTo(const BrokenConfig& c, std::ostream* os) { *os << c.name; }
};

class BrokenConfigFile : public ::testing::TestWithParam<BrokenConfig> {};

// Runs in the death test's child: the alarm only keeps a loader that never ends from hanging
// the suite; what is checked is the exit status and the message.
[[noreturn]] void assess_and_exit(const std::string& checkout) {
  ::alarm(60);
  std::ostringstream out;
  std::ostringstream err;
  const int status = run({"assess", checkout}, out, err);
  std::cerr << err.str() << std::flush;
  ::_exit(status);
}

TEST_P(BrokenConfigFile, ExitsWithUsageErrorOnOneLineNamingTheFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const testing::TempDir checkout;
  checkout.write(".quarnel.yml", GetParam().content);
  EXPECT_EXIT(assess_and_exit(checkout.path().string()), ::testing::ExitedWithCode(EXIT_USAGE),
              "^quarnel: error: [^\n]*/\\.quarnel\\.yml: invalid YAML at line [0-9]+, "
              "column [0-9]+: [^\n]+\n$");
}

INSTANTIATE_TEST_SUITE_P(Inputs, BrokenConfigFile,
                         ::testing::Values(BrokenConfig{"LoneComma", ","},
                                           BrokenConfig{"TextAfterAQuotedScalar", "\"\",St6e"},
                                           BrokenConfig{"ControlCharacterAndCarriageReturns",
                                                        "!\x0fl\r?\r"},
                                           BrokenConfig{"DirectivesPastTheBound",
                                                        [] {
                                                          std::string text;
                                                          for (int i = 0; i < 1000; ++i) {
                                                            text += "%TAG !t" + std::to_string(i) +
                                                                    "! x:\n";
                                                          }
                                                          return text + "---\nmin_score: 7\n";
                                                        }()}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quarnel::cli
