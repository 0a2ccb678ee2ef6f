#include "quarnel/utils/log.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quarnel::utils::log {
namespace {

struct RenderCase {
  std::string label;
  std::string tmpl;
  std::vector<Arg> args;
  std::string expected;
};

class RenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, FillsPlaceholders) {
  const RenderCase& c = GetParam();
  EXPECT_EQ(render(c.tmpl, c.args), c.expected);
}

const double NaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Placeholders, RenderTest,
    ::testing::Values(
        RenderCase{
            "r_text", "Skipping unknown category %r", {"misc"}, "Skipping unknown category 'misc'"},
        RenderCase{"r_text_with_apostrophe", "%r", {"it's"}, "\"it's\""},
        RenderCase{"r_escapes_newline", "%r", {"a\nb"}, "'a\\nb'"},
        RenderCase{"r_non_text_is_plain", "%r %r %r", {3, false, 0.5}, "3 False 0.5"},
        RenderCase{
            "s_plain_values", "%s|%s|%s|%s|%s", {"it's", 7, 7.0, true, -3}, "it's|7|7.0|True|-3"},
        RenderCase{"s_shortest_float", "%s %s", {0.1, 1e16}, "0.1 1e+16"},
        RenderCase{"d_integer", "%d", {42}, "42"},
        RenderCase{"d_truncates_toward_zero", "%d %d", {2.7, -2.7}, "2 -2"},
        RenderCase{"d_negative_fraction_is_zero", "%d", {-0.5}, "0"},
        RenderCase{"d_huge_double_exact", "%d", {1e20}, "100000000000000000000"},
        RenderCase{"d_bool", "%d%d", {true, false}, "10"},
        RenderCase{"d_not_finite", "%d", {NaN}, "nan"},
        RenderCase{"d_text_shown_plainly", "%d", {"x"}, "x"},
        RenderCase{"percent_escape", "100%% of %s", {"it"}, "100% of it"},
        RenderCase{"unknown_conversion_kept", "%x %s", {"a"}, "%x a"},
        RenderCase{"lone_trailing_percent", "50%", {}, "50%"},
        RenderCase{"missing_argument_left_visible", "%s and %r", {"a"}, "a and %r"},
        RenderCase{"extra_arguments_appended",
                   "only %s",
                   {"one", "two", 3},
                   "only one (unused arguments: 'two' 3)"},
        RenderCase{"no_placeholders_no_args", "plain", {}, "plain"}),
    [](const auto& info) { return info.param.label; });

TEST(LoggerRegistry, SameNameSameLoggerAcrossThreads) {
  std::vector<const Logger*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &get_logger("quarnel.test.registry"); });
  }
  for (auto& t : threads) t.join();
  for (const Logger* logger : seen) {
    EXPECT_EQ(logger, seen.front());
  }
  EXPECT_EQ(seen.front()->name(), "quarnel.test.registry");
  EXPECT_NE(&get_logger("quarnel.test.other"), seen.front());
}

// Keeps the process-wide level as it was, whatever a test sets.
class LogLevelTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = level(); }
  void TearDown() override { set_level(saved_); }

 private:
  Level saved_ = Level::WARNING;
};

using LogCaptureTest = LogLevelTest;

TEST_F(LogCaptureTest, SeesEveryLevelWhateverTheStderrLevel) {
  set_level(Level::OFF);
  LogCapture capture;
  const Logger& logger = get_logger("quarnel.test.capture");
  logger.debug("d %s", 1);
  logger.info("i");
  logger.warning("w %r", "x");
  logger.unseen_warning("u");
  EXPECT_EQ(capture.records(), (std::vector<Record>{
                                   {"quarnel.test.capture", Level::DEBUG, "d 1"},
                                   {"quarnel.test.capture", Level::INFO, "i"},
                                   {"quarnel.test.capture", Level::WARNING, "w 'x'"},
                                   {"quarnel.test.capture", Level::WARNING, "u"},
                               }));
  EXPECT_EQ(capture.messages("quarnel.test.capture", Level::WARNING),
            (std::vector<std::string>{"w 'x'", "u"}));
  EXPECT_TRUE(capture.messages("quarnel.test.elsewhere", Level::WARNING).empty());
  capture.clear();
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LogCaptureTest, NestedCapturesEachSeeWhatHappensWhileTheyLive) {
  set_level(Level::OFF);
  const Logger& logger = get_logger("quarnel.test.nested");
  LogCapture outer;
  logger.info("first");
  {
    LogCapture inner;
    logger.info("second");
    EXPECT_EQ(inner.messages("quarnel.test.nested", Level::INFO),
              std::vector<std::string>{"second"});
  }
  logger.info("third");
  EXPECT_EQ(outer.messages("quarnel.test.nested", Level::INFO),
            (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(LogCaptureTest, RecordsFromManyThreadsAreAllKept) {
  set_level(Level::OFF);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Each thread also creates its logger, so creation races with logging.
      const Logger& logger = get_logger("quarnel.test.thread" + std::to_string(t % 2));
      for (int i = 0; i < kPerThread; ++i) {
        logger.debug("%d-%d", t, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> messages;
  for (const auto& record : capture.records()) {
    messages.insert(record.message);
  }
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(messages.count(std::to_string(t) + "-" + std::to_string(kPerThread - 1)));
  }
}

struct StderrCase {
  std::string label;
  Level threshold;
  std::string expected;
};

class StderrLevelTest : public LogLevelTest, public ::testing::WithParamInterface<StderrCase> {};

TEST_P(StderrLevelTest, WritesOnlyRecordsAtOrAboveTheLevel) {
  const StderrCase& c = GetParam();
  set_level(c.threshold);
  EXPECT_EQ(level(), c.threshold);
  const Logger& logger = get_logger("quarnel.test.stderr");
  ::testing::internal::CaptureStderr();
  logger.debug("d %s", "x");
  logger.info("i %d", 2);
  logger.warning("w %r", "y");
  logger.unseen_warning("u %s", "z");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.expected);
}

// A warning that part of the repository went unseen passes every level but OFF.
INSTANTIATE_TEST_SUITE_P(Levels, StderrLevelTest,
                         ::testing::Values(StderrCase{"debug", Level::DEBUG,
                                                      "quarnel: debug: [quarnel.test.stderr] d x\n"
                                                      "quarnel: info: i 2\n"
                                                      "quarnel: warning: w 'y'\n"
                                                      "quarnel: warning: u z\n"},
                                           StderrCase{"info", Level::INFO,
                                                      "quarnel: info: i 2\n"
                                                      "quarnel: warning: w 'y'\n"
                                                      "quarnel: warning: u z\n"},
                                           StderrCase{"warning", Level::WARNING,
                                                      "quarnel: warning: w 'y'\n"
                                                      "quarnel: warning: u z\n"},
                                           StderrCase{"error", Level::ERROR,
                                                      "quarnel: warning: u z\n"},
                                           StderrCase{"off", Level::OFF, ""}),
                         [](const auto& info) { return info.param.label; });

// A message is one line on standard error, whatever its arguments hold: a value from a checkout
// (an origin URL, a file name) cannot break it or send a terminal its escape sequences. Every
// other character stays as it is; a capture keeps the message as it was made.
TEST_F(LogLevelTest, StandardErrorShowsControlCharactersEscaped) {
  set_level(Level::DEBUG);
  LogCapture capture;
  const Logger& logger = get_logger("quarnel.test.controls");
  const std::string url =
      "https://example.org/a\033]0;title\007/b\033[2J\r\n\t\x7f\xc2\x9b/\xc3\xa9";
  ::testing::internal::CaptureStderr();
  logger.warning("origin %s", url);
  logger.debug("%s", "line one\nline two");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "quarnel: warning: origin "
            "https://example.org/a\\x1b]0;title\\x07/b\\x1b[2J\\r\\n\\t\\x7f\\x9b/\xc3\xa9\n"
            "quarnel: debug: [quarnel.test.controls] line one\\nline two\n");
  EXPECT_EQ(capture.messages("quarnel.test.controls", Level::WARNING),
            std::vector<std::string>{"origin " + url});
}

}  // namespace
}  // namespace quarnel::utils::log
