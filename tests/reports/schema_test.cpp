#include "quarnel/core/schema.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quarnel/reports/renderers.hpp"
#include "quarnel/version.hpp"
#include "reports/sample_assessment.hpp"

namespace {

using quarnel::core::models::Assessment;
using quarnel::core::models::CheckStatus;
using quarnel::core::schema::to_json;
using quarnel::reports::renderers::dump_json;
using quarnel::reports::renderers::OptionValue;
using quarnel::testing::sample_assessment;
using quarnel::testing::sample_result;
using quarnel::utils::json::Json;

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

TEST(SchemaTest, TopLevelMembersInContractOrder) {
  const Json tree = to_json(sample_assessment());
  EXPECT_EQ(keys_of(tree),
            (std::vector<std::string>{"schema_version", "tool", "repository", "compliance_level",
                                      "overall_score", "categories", "progress", "quality_gate",
                                      "quality_goals", "indicators", "passed_indicators", "skipped",
                                      "duration_ms"}));
  EXPECT_EQ(tree["schema_version"], 1);
  EXPECT_EQ(tree["tool"], (Json{{"name", "quarnel"}, {"version", std::string(quarnel::VERSION)}}));
}

TEST(SchemaTest, FullAssessment) {
  const Json tree = to_json(sample_assessment());
  EXPECT_EQ(tree["repository"], (Json{{"path", "/src/demo"},
                                      {"url", "https://example.org/o/demo"},
                                      {"commit", "0123abc"},
                                      {"branch", "main"}}));
  EXPECT_EQ(tree["compliance_level"], "none");
  EXPECT_EQ(tree["overall_score"], 5.75);
  EXPECT_EQ(keys_of(tree["categories"]), (std::vector<std::string>{"reusable", "findable"}));
  EXPECT_EQ(
      tree["categories"]["findable"],
      (Json{{"score", 2.5}, {"grade", "E"}, {"indicators_passed", 0}, {"indicators_total", 1}}));
  EXPECT_EQ(tree["progress"], (Json{{"next_level", "bronze"},
                                    {"missing", {"A1.1", "F1", "R3"}},
                                    {"met", 1},
                                    {"total", 4},
                                    {"pct", 25}}));
  EXPECT_EQ(tree["quality_gate"],
            (Json{{"passed", false}, {"violations", {"Compliance none is below bronze"}}}));
  EXPECT_EQ(tree["quality_goals"],
            (Json{{"compliance", {{"current", "none"}, {"target", "silver"}, {"met", false}}},
                  {"score", {{"current", 5.75}, {"target", 5.0}, {"met", true}}}}));
  ASSERT_EQ(tree["indicators"].size(), 2u);
  EXPECT_EQ(tree["indicators"][1], (Json{{"indicator_id", "persistent_identifier"},
                                         {"plugin", "olvenar"},
                                         {"principle", "F1"},
                                         {"category", "findable"},
                                         {"score", 2.5},
                                         {"status", "fail"},
                                         {"passed", false},
                                         {"process", "Searched metadata for a DOI"},
                                         {"output", "No DOI"},
                                         {"evidence", "README.md; CITATION.cff"}}));
  EXPECT_EQ(tree["passed_indicators"], Json({"clear_license"}));
  EXPECT_EQ(tree["skipped"], Json({"rich_metadata"}));
  EXPECT_EQ(tree["duration_ms"], 1234);
}

TEST(SchemaTest, AbsentPartsAreNullOrEmpty) {
  Assessment a;
  a.quality_goals.compliance = quarnel::core::models::ComplianceGoal{std::nullopt, "gold", false};
  const Json tree = to_json(a);
  EXPECT_EQ(tree["repository"],
            (Json{{"path", ""}, {"url", nullptr}, {"commit", nullptr}, {"branch", nullptr}}));
  EXPECT_TRUE(tree["compliance_level"].is_null());
  EXPECT_TRUE(tree["progress"].is_null());
  EXPECT_TRUE(tree["quality_gate"].is_null());
  EXPECT_EQ(tree["quality_goals"],
            (Json{{"compliance", {{"current", nullptr}, {"target", "gold"}, {"met", false}}}}));
  EXPECT_TRUE(tree["categories"].is_object() && tree["categories"].empty());
  EXPECT_TRUE(tree["indicators"].is_array() && tree["indicators"].empty());
  EXPECT_TRUE(tree["skipped"].is_array() && tree["skipped"].empty());
}

TEST(SchemaTest, PassedGateHasNoViolations) {
  Assessment a;
  a.quality_gate = quarnel::core::models::GateVerdict{};
  EXPECT_EQ(to_json(a)["quality_gate"], (Json{{"passed", true}, {"violations", Json::array()}}));
}

TEST(SchemaTest, StatusTravelsAsItsValue) {
  for (const auto& [status, value] :
       std::vector<std::pair<CheckStatus, std::string>>{{CheckStatus::PASS, "pass"},
                                                        {CheckStatus::FAIL, "fail"},
                                                        {CheckStatus::UNKNOWN, "unknown"},
                                                        {CheckStatus::ERROR, "error"}}) {
    Assessment a;
    a.indicators = {sample_result("x", "p", 0.0, status)};
    EXPECT_EQ(to_json(a)["indicators"][0]["status"], value);
  }
}

// What a CI job does with the report: parse it and read the same values back.
TEST(SchemaTest, JsonReportParsesBackToTheSameTree) {
  Assessment a = sample_assessment();
  a.indicators[0].output = "caf\u00e9 \U0001F600 \"quoted\" back\\slash\ttab\nline \x01";
  a.indicators[0].score = 0.1;
  a.indicators[1].score = 1e-05;
  a.overall_score = 6.25;
  a.duration_ms = 9007199254740993;
  const Json tree = to_json(a);
  const std::vector<std::optional<OptionValue>> indents = {
      std::nullopt, OptionValue{}, OptionValue{0LL}, OptionValue{std::string("\t")}};
  for (const auto& indent : indents) {
    const std::string text = dump_json(tree, indent ? &*indent : nullptr);
    const Json parsed = quarnel::utils::json::parse(text);
    EXPECT_EQ(parsed, tree) << text;
    EXPECT_EQ(parsed["indicators"][0]["output"].get<std::string>(), a.indicators[0].output);
    EXPECT_EQ(parsed["indicators"][1]["score"].get<double>(), 1e-05);
    EXPECT_EQ(parsed["duration_ms"].get<std::int64_t>(), 9007199254740993);
  }
}

}  // namespace
