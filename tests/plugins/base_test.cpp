#include "quarnel/plugins/base.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "support/fixtures.hpp"

namespace quarnel::plugins::base {
namespace {

// The smallest plug-in: it answers every id with a fixed finding.
class ProbePlugin : public BasePlugin {
 public:
  static constexpr std::string_view NAME = "probe";
  static constexpr std::array<std::string_view, 1> SUPPORTED = {"clear_license"};

  std::string_view name() const override { return NAME; }
  std::string_view version() const override { return "1.0.0"; }
  std::span<const std::string_view> supported_indicators() const override { return SUPPORTED; }

  CheckResult check(std::string_view indicator_id, const Context& /*context*/) const override {
    return make_result(indicator_id, {.score = 8.0,
                                      .status = std::nullopt,
                                      .process = "Looked for a licence",
                                      .output = "Found one",
                                      .evidence = "LICENSE"});
  }

  using BasePlugin::make_result;
};

ResultFields fields(double score, std::optional<CheckStatus> status = std::nullopt,
                    std::string process = "", std::string output = "", std::string evidence = "") {
  return {.score = score,
          .status = status,
          .process = std::move(process),
          .output = std::move(output),
          .evidence = std::move(evidence)};
}

struct ResultCase {
  std::string name;
  std::string indicator_id;
  ResultFields fields;
  CheckStatus status;
  bool passed;
  std::string principle;
  std::string category;

  friend void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }
};

class MakeResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(MakeResult, FillsWhatThePluginDoesNotSet) {
  const auto& c = GetParam();
  const ProbePlugin plugin;
  const auto result = plugin.make_result(c.indicator_id, c.fields);
  EXPECT_EQ(result.indicator_id, c.indicator_id);
  EXPECT_EQ(result.plugin, "probe");
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.passed, c.passed);
  EXPECT_EQ(result.principle, c.principle);
  EXPECT_EQ(result.category, c.category);
  if (std::isnan(c.fields.score)) {
    EXPECT_TRUE(std::isnan(result.score));
  } else {
    EXPECT_EQ(result.score, c.fields.score);
  }
  EXPECT_EQ(result.process, c.fields.process);
  EXPECT_EQ(result.output, c.fields.output);
  EXPECT_EQ(result.evidence, c.fields.evidence);
}

constexpr auto PASS = CheckStatus::PASS;
constexpr auto FAIL = CheckStatus::FAIL;

INSTANTIATE_TEST_SUITE_P(
    Rows, MakeResult,
    ::testing::Values(
        ResultCase{"AtThresholdPasses", "clear_license",
                   fields(7.0, std::nullopt, "", "", "LICENSE"), PASS, true, "R1.1", "reusable"},
        ResultCase{"JustBelowFails", "clear_license", fields(6.99), FAIL, false, "R1.1",
                   "reusable"},
        ResultCase{"FullScore", "persistent_identifier", fields(10.0, std::nullopt, "p", "o", "e"),
                   PASS, true, "F1", "findable"},
        ResultCase{"ZeroFails", "qualified_references", fields(0.0), FAIL, false, "I2",
                   "interoperable"},
        ResultCase{"NanNeverPasses", "clear_license",
                   fields(std::numeric_limits<double>::quiet_NaN()), FAIL, false, "R1.1",
                   "reusable"},
        ResultCase{"GivenUnknownKept", "metadata_persistence",
                   fields(0.0, CheckStatus::UNKNOWN, "Searched", "Nothing found", "Checked: a, b"),
                   CheckStatus::UNKNOWN, false, "A2", "accessible"},
        ResultCase{"GivenPassBeatsALowScore", "clear_license", fields(2.0, PASS), PASS, true,
                   "R1.1", "reusable"},
        ResultCase{"GivenFailBeatsAHighScore", "clear_license", fields(9.0, FAIL), FAIL, false,
                   "R1.1", "reusable"},
        ResultCase{"GivenErrorNeverPasses", "clear_license", fields(10.0, CheckStatus::ERROR),
                   CheckStatus::ERROR, false, "R1.1", "reusable"},
        ResultCase{"IdOutsideTheCatalogue", "not_an_indicator", fields(9.0), PASS, true, "", ""},
        ResultCase{"PrincipleIdIsNoIndicator", "F1", fields(9.0), PASS, true, "", ""},
        ResultCase{"IdsMatchExactly", "Clear_License", fields(1.0), FAIL, false, "", ""}),
    [](const auto& info) { return info.param.name; });

TEST(BasePluginCheck, ReturnsTheResultThroughTheBase) {
  const testing::TempDir dir;
  const core::context::Context context(dir.path());
  const ProbePlugin probe;
  const BasePlugin& plugin = probe;
  EXPECT_EQ(plugin.supported_indicators().size(), 1u);
  const auto result = plugin.check("descriptive_attributes", context);
  EXPECT_EQ(result.indicator_id, "descriptive_attributes");
  EXPECT_EQ(result.plugin, "probe");
  EXPECT_EQ(result.principle, "R1");
  EXPECT_EQ(result.category, "reusable");
  EXPECT_EQ(result.status, PASS);
  EXPECT_TRUE(result.passed);
  EXPECT_EQ(result.evidence, "LICENSE");
}

}  // namespace
}  // namespace quarnel::plugins::base
