#include "quarnel/core/compliance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "quarnel/core/indicators.hpp"
#include "quarnel/utils/log.hpp"

namespace quarnel::core::compliance {
namespace {

using models::CategoryScore;
using models::CheckStatus;
using models::ComplianceGoal;
using models::FAIRCategory;
using models::ScoreGoal;
using utils::log::Level;
using utils::log::LogCapture;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

CheckResult for_principle(std::string principle, double score,
                          CheckStatus status = CheckStatus::PASS) {
  CheckResult result;
  result.principle = std::move(principle);
  result.score = score;
  result.status = status;
  return result;
}

// One result per catalogue principle at `score`, leaving out `without` and with `overrides`.
std::vector<CheckResult> all_principles(double score, std::set<std::string> without = {},
                                        std::map<std::string, double> overrides = {}) {
  std::vector<CheckResult> results;
  for (const auto& principle : indicators::PRINCIPLES) {
    const std::string id(principle.id);
    if (without.contains(id)) continue;
    const auto found = overrides.find(id);
    results.push_back(for_principle(id, found == overrides.end() ? score : found->second));
  }
  return results;
}

std::vector<CheckResult> these(std::initializer_list<std::pair<std::string, double>> scores) {
  std::vector<CheckResult> results;
  for (const auto& [principle, score] : scores) results.push_back(for_principle(principle, score));
  return results;
}

// The compliance logger's records; every one must be a warning.
std::vector<std::string> compliance_warnings(const LogCapture& capture) {
  std::vector<std::string> messages;
  for (const auto& record : capture.records()) {
    if (record.logger != LOGGER_NAME) continue;
    EXPECT_EQ(record.level, Level::WARNING) << record.message;
    messages.push_back(record.message);
  }
  return messages;
}

TEST(ComplianceConstants, PrincipleSetsFollowTheCatalogue) {
  const auto& all = all_principle_ids();
  ASSERT_EQ(all.size(), 17u);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], indicators::PRINCIPLES[i].id);

  const auto& silver = silver_required();
  const std::set<std::string_view> silver_set(silver.begin(), silver.end());
  EXPECT_EQ(silver_set, (std::set<std::string_view>{"F1", "R1.1", "A1.1", "R3", "F2", "F4", "A2",
                                                    "R1", "R2", "I2"}));
  EXPECT_EQ(silver.size(), 10u);
  EXPECT_EQ(SILVER_EXTRAS_REQUIRED_TO_PASS, 5);
  // Every required id must be a catalogue principle, or no repository could ever reach it.
  for (const auto id : silver) EXPECT_NE(indicators::get_principle(id), nullptr) << id;
}

TEST(PrincipleScores, KeepsTheBestScoreWhereThePrincipleFirstAppeared) {
  std::vector<CheckResult> results =
      these({{"F2", 3.0}, {"F1", 5.0}, {"", 9.0}, {"F2", 7.0}, {"F1", 2.0}, {"f1", 4.0}});
  results.push_back(for_principle("F1", 10.0, CheckStatus::ERROR));
  results.push_back(for_principle("R3", NaN));
  const std::vector<std::pair<std::string, double>> expected = {
      {"F2", 7.0}, {"F1", 10.0}, {"f1", 4.0}};
  EXPECT_EQ(detail::principle_scores(results), expected);
}

TEST(PrincipleScores, FirstOfEqualScoresStays) {
  const auto table = detail::principle_scores(these({{"F1", 0.0}, {"F1", -0.0}}));
  ASSERT_EQ(table.size(), 1u);
  EXPECT_FALSE(std::signbit(table[0].second));
}

TEST(PrincipleScores, ANanScoreNeverEnters) {
  const auto table = detail::principle_scores(these({{"F1", NaN}, {"F2", NaN}, {"F2", 6.0}}));
  const std::vector<std::pair<std::string, double>> expected = {{"F2", 6.0}};
  EXPECT_EQ(table, expected);
}

struct LevelCase {
  std::string name;
  std::vector<CheckResult> results;
  std::optional<double> threshold;
  ComplianceLevel expected;

  friend void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }
};

class CalculateCompliance : public ::testing::TestWithParam<LevelCase> {};

TEST_P(CalculateCompliance, DecidesTheLevel) {
  const auto& c = GetParam();
  LogCapture capture;
  EXPECT_EQ(calculate_compliance(c.results, c.threshold), c.expected);
  EXPECT_TRUE(compliance_warnings(capture).empty());
}

std::vector<CheckResult> bronze_at(double score) {
  return these({{"F1", score}, {"R1.1", score}, {"A1.1", score}, {"R3", score}});
}

std::vector<CheckResult> with(std::vector<CheckResult> results, std::vector<CheckResult> more) {
  results.insert(results.end(), more.begin(), more.end());
  return results;
}

INSTANTIATE_TEST_SUITE_P(
    Levels, CalculateCompliance,
    ::testing::Values(
        LevelCase{"NoResults", {}, std::nullopt, ComplianceLevel::NONE},
        LevelCase{"NoResultsAtZero", {}, 0.0, ComplianceLevel::NONE},
        LevelCase{"NoPrincipleAtZero", these({{"", 10.0}}), 0.0, ComplianceLevel::NONE},
        LevelCase{"OnlyNanScoresAtZero", these({{"F1", NaN}}), 0.0, ComplianceLevel::NONE},
        LevelCase{"OnlyUnknownPrinciples", these({{"X1", 10.0}, {"f1", 10.0}}), 7.0,
                  ComplianceLevel::NONE},
        // Lower-case ids are principles of their own, so every catalogue principle is missing.
        LevelCase{"LowerCaseIdsAreOtherPrinciples",
                  these({{"f1", 10.0}, {"r1.1", 10.0}, {"a1.1", 10.0}, {"r3", 10.0}}), 7.0,
                  ComplianceLevel::NONE},
        LevelCase{"BronzeAtThreshold", bronze_at(7.0), 7.0, ComplianceLevel::BRONZE},
        LevelCase{"BronzeJustBelow", bronze_at(6.99), 7.0, ComplianceLevel::NONE},
        LevelCase{"BestOfTwoLowFirst", with(bronze_at(7.0), these({{"F1", 3.0}})), 7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"BestOfTwoLowLast", with(these({{"F1", 3.0}}), bronze_at(7.0)), 7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"ErrorResultBesideAPass",
                  with(bronze_at(7.0), {for_principle("R3", 0.0, CheckStatus::ERROR)}), 7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"ErrorResultsCountLikeOthers",
                  {for_principle("F1", 9.0, CheckStatus::ERROR),
                   for_principle("R1.1", 9.0, CheckStatus::UNKNOWN), for_principle("A1.1", 9.0),
                   for_principle("R3", 9.0)},
                  7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"AllAtSeven", all_principles(7.0), 7.0, ComplianceLevel::GOLD},
        LevelCase{"AllAtEight", all_principles(8.0), 7.0, ComplianceLevel::PLATINUM},
        LevelCase{"AllAtEightPlusStrangers", with(all_principles(8.0), these({{"X9", 0.0}})), 7.0,
                  ComplianceLevel::PLATINUM},
        LevelCase{"ProvenanceMissing", all_principles(10.0, {"R1.2"}), 7.0,
                  ComplianceLevel::SILVER},
        LevelCase{"OneExtraMissing", all_principles(10.0, {"R2"}), 7.0, ComplianceLevel::SILVER},
        LevelCase{"TwoExtrasMissing", all_principles(10.0, {"R2", "I2"}), 7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"TwoExtrasFailing", all_principles(10.0, {}, {{"F2", 6.9}, {"A2", 1.0}}), 7.0,
                  ComplianceLevel::BRONZE},
        LevelCase{"BronzePrincipleFailing", all_principles(10.0, {}, {{"F1", 6.9}}), 7.0,
                  ComplianceLevel::NONE},
        LevelCase{"GoldNeedsAnEntryForEach", all_principles(10.0, {"A1.2"}), 0.0,
                  ComplianceLevel::SILVER},
        LevelCase{"PlatinumBeforeGoldAtNine", all_principles(8.0), 9.0, ComplianceLevel::PLATINUM},
        LevelCase{"AllBelowNine", all_principles(7.9), 9.0, ComplianceLevel::NONE},
        LevelCase{"ZeroThresholdOneResult", these({{"F2", 0.0}}), 0.0, ComplianceLevel::SILVER},
        LevelCase{"ZeroThresholdAllZero", all_principles(0.0), 0.0, ComplianceLevel::GOLD},
        LevelCase{"ZeroThresholdAllEight", all_principles(8.0), 0.0, ComplianceLevel::PLATINUM},
        LevelCase{"DefaultThresholdIsSeven", all_principles(7.0), std::nullopt,
                  ComplianceLevel::GOLD},
        LevelCase{"DefaultThresholdRejectsBelowSeven", all_principles(6.99), std::nullopt,
                  ComplianceLevel::NONE},
        LevelCase{"LowerThresholdGiven", all_principles(6.99), 6.0, ComplianceLevel::GOLD}),
    [](const auto& info) { return info.param.name; });

struct ProgressCase {
  std::string name;
  std::optional<std::string> level;
  std::vector<CheckResult> results;
  std::optional<double> threshold;
  std::optional<Progress> expected;

  friend void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }
};

class ProgressToNextLevel : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressToNextLevel, ReportsTheWayUp) {
  const auto& c = GetParam();
  LogCapture capture;
  EXPECT_EQ(progress_to_next_level(c.level, c.results, c.threshold), c.expected);
  EXPECT_TRUE(compliance_warnings(capture).empty());
}

std::vector<std::string> all_ids_sorted() {
  std::vector<std::string> ids(all_principle_ids().begin(), all_principle_ids().end());
  std::sort(ids.begin(), ids.end());
  return ids;
}

const Progress towards_bronze_untouched{"bronze", {"A1.1", "F1", "R1.1", "R3"}, 0, 4, 0};

INSTANTIATE_TEST_SUITE_P(
    Rows, ProgressToNextLevel,
    ::testing::Values(
        ProgressCase{"NoResults", "none", {}, std::nullopt, std::nullopt},
        ProgressCase{"NoResultsPlatinum", "platinum", {}, std::nullopt, std::nullopt},
        ProgressCase{"NoPrincipleCarried", std::nullopt, these({{"", 9.0}}), std::nullopt,
                     std::nullopt},
        ProgressCase{"PlatinumAnyCase", "PlaTinum", these({{"F1", 1.0}}), std::nullopt,
                     std::nullopt},
        ProgressCase{"LevelNone", std::nullopt, these({{"X1", 9.0}}), 7.0,
                     towards_bronze_untouched},
        ProgressCase{"LevelEmpty", "", these({{"X1", 9.0}}), 7.0, towards_bronze_untouched},
        ProgressCase{"LevelNoneCapitals", "NONE", these({{"X1", 9.0}}), 7.0,
                     towards_bronze_untouched},
        ProgressCase{"NotALevel", "diamond", these({{"X1", 9.0}}), 7.0, towards_bronze_untouched},
        ProgressCase{"LevelWithBlank", " gold", these({{"X1", 9.0}}), 7.0,
                     towards_bronze_untouched},
        ProgressCase{"LevelWithTrailingBlank", "silver ", these({{"X1", 9.0}}), 7.0,
                     towards_bronze_untouched},
        ProgressCase{"GoldAtSevenTowardsPlatinum", "gold", all_principles(7.0), 5.0,
                     Progress{"platinum", all_ids_sorted(), 0, 17, 0}},
        ProgressCase{"GoldAtEightTowardsPlatinum", "Gold", all_principles(8.0), 5.0,
                     Progress{"platinum", {}, 17, 17, 100}},
        ProgressCase{"SilverTwoMissing", "silver", all_principles(7.0, {"F1", "R3"}), 7.0,
                     Progress{"gold", {"F1", "R3"}, 15, 17, 88}},
        ProgressCase{"BronzeAllTenCount", "bronze",
                     these({{"F1", 7.0},
                            {"R1.1", 7.0},
                            {"A1.1", 7.0},
                            {"R3", 7.0},
                            {"F2", 7.0},
                            {"F4", 7.0},
                            {"A2", 7.0},
                            {"R1", 7.0},
                            {"R2", 7.0},
                            {"I2", 6.9}}),
                     7.0, Progress{"silver", {"I2"}, 9, 10, 90}},
        ProgressCase{"NoneOneBronzePrinciple", "none", these({{"F1", 7.0}}), 7.0,
                     Progress{"bronze", {"A1.1", "R1.1", "R3"}, 1, 4, 25}},
        ProgressCase{"DefaultThreshold", "none", these({{"F1", 7.0}, {"R3", 6.99}}), std::nullopt,
                     Progress{"bronze", {"A1.1", "R1.1", "R3"}, 1, 4, 25}},
        ProgressCase{"ZeroThresholdTowardsGold", "silver", these({{"X1", 0.0}}), 0.0,
                     Progress{"gold", {}, 17, 17, 100}},
        ProgressCase{"ZeroThresholdTowardsSilver", "bronze", these({{"F1", 0.0}}), 0.0,
                     Progress{"silver", {}, 10, 10, 100}},
        ProgressCase{"ZeroThresholdTowardsPlatinum", "gold",
                     all_principles(8.0, {}, {{"R2", 7.99}}), 0.0,
                     Progress{"platinum", {"R2"}, 16, 17, 94}},
        ProgressCase{"ScoreAtTargetIsMet", "none", bronze_at(7.0), 7.0,
                     Progress{"bronze", {}, 4, 4, 100}}),
    [](const auto& info) { return info.param.name; });

// Percentages of every count towards each level, as whole numbers with ties to even.
TEST(ProgressToNextLevelPct, RoundsEveryShare) {
  struct Row {
    std::string level;
    std::vector<std::string_view> required;
    std::vector<int> pct;  // by number met, from 0
  };
  const std::vector<std::string_view> bronze(BRONZE_REQUIRED.begin(), BRONZE_REQUIRED.end());
  const std::vector<Row> rows = {
      {"none", bronze, {0, 25, 50, 75, 100}},
      {"bronze", silver_required(), {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
      {"silver",
       all_principle_ids(),
       {0, 6, 12, 18, 24, 29, 35, 41, 47, 53, 59, 65, 71, 76, 82, 88, 94, 100}},
  };
  for (const auto& row : rows) {
    for (std::size_t met = 0; met <= row.required.size(); ++met) {
      // An unrelated principle keeps the table non-empty when nothing is met.
      std::vector<CheckResult> results = these({{"X1", 10.0}});
      for (std::size_t i = 0; i < met; ++i) {
        results.push_back(for_principle(std::string(row.required[i]), 7.0));
      }
      const auto progress = progress_to_next_level(row.level, results, 7.0);
      ASSERT_TRUE(progress.has_value());
      EXPECT_EQ(progress->met, static_cast<int>(met)) << row.level;
      EXPECT_EQ(progress->total, static_cast<int>(row.required.size())) << row.level;
      EXPECT_EQ(progress->pct, row.pct[met]) << row.level << " met " << met;
    }
  }
}

CheckResult in_category(std::string category, double score, CheckStatus status = CheckStatus::PASS,
                        std::optional<bool> passed = std::nullopt) {
  CheckResult result;
  result.category = std::move(category);
  result.score = score;
  result.status = status;
  result.passed = passed.value_or(status == CheckStatus::PASS);
  return result;
}

struct CategoryCase {
  std::string name;
  std::vector<CheckResult> results;
  std::vector<CategoryEntry> expected;
  std::vector<std::string> warnings;

  friend void PrintTo(const CategoryCase& c, std::ostream* os) { *os << c.name; }
};

class CalculateCategoryScores : public ::testing::TestWithParam<CategoryCase> {};

TEST_P(CalculateCategoryScores, GroupsAndScores) {
  const auto& c = GetParam();
  LogCapture capture;
  EXPECT_EQ(calculate_category_scores(c.results), c.expected);
  EXPECT_EQ(compliance_warnings(capture), c.warnings);
}

CategoryEntry entry(std::string key, FAIRCategory category, std::string grade, double score,
                    int passed, int total) {
  return {std::move(key), CategoryScore{category, std::move(grade), score, passed, total}};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CalculateCategoryScores,
    ::testing::Values(
        CategoryCase{"NoResults", {}, {}, {}},
        CategoryCase{"AllUnknown",
                     {in_category("findable", 0.0, CheckStatus::UNKNOWN),
                      in_category("findable", 0.0, CheckStatus::UNKNOWN)},
                     {entry("findable", FAIRCategory::FINDABLE, "E", 0.0, 0, 2)},
                     {}},
        CategoryCase{"AllError",
                     {in_category("accessible", 10.0, CheckStatus::ERROR, true)},
                     {entry("accessible", FAIRCategory::ACCESSIBLE, "E", 0.0, 0, 0)},
                     {}},
        CategoryCase{
            "CaseMergesInOrderOfFirstOccurrence",
            {in_category("Reusable", 9.0), in_category("Findable", 4.0),
             in_category("REUSABLE", 7.0), in_category("FINDABLE", 2.0, CheckStatus::FAIL)},
            {entry("reusable", FAIRCategory::REUSABLE, "A", 8.0, 2, 2),
             entry("findable", FAIRCategory::FINDABLE, "D", 3.0, 1, 2)},
            {}},
        CategoryCase{"EmptyCategoryIsInNoEntry",
                     {in_category("", 10.0), in_category("interoperable", 5.0)},
                     {entry("interoperable", FAIRCategory::INTEROPERABLE, "C", 5.0, 1, 1)},
                     {}},
        CategoryCase{
            "UnknownCategoryWarnsOncePerKey",
            {in_category("Misc", 5.0), in_category("reusable", 6.0), in_category("misc", 5.0),
             in_category("OTHER", 1.0), in_category("MISC", 1.0)},
            {entry("reusable", FAIRCategory::REUSABLE, "B", 6.0, 1, 1)},
            {"Skipping unknown category 'misc'", "Skipping unknown category 'other'"}},
        CategoryCase{"BlankAroundANameIsUnknown",
                     {in_category(" findable", 5.0)},
                     {},
                     {"Skipping unknown category ' findable'"}},
        CategoryCase{
            "TieRoundsToEven",
            {in_category("reusable", 6.5), in_category("reusable", 6.0, CheckStatus::FAIL)},
            {entry("reusable", FAIRCategory::REUSABLE, "B", 6.2, 1, 2)},
            {}},
        CategoryCase{"GradeFromTheUnroundedMean",
                     {in_category("findable", 8.0), in_category("findable", 7.9)},
                     {entry("findable", FAIRCategory::FINDABLE, "B", 8.0, 2, 2)},
                     {}},
        CategoryCase{"PassedUnknownCountsOnlyInTotal",
                     {in_category("findable", 9.0, CheckStatus::UNKNOWN, true),
                      in_category("findable", 4.0, CheckStatus::FAIL)},
                     {entry("findable", FAIRCategory::FINDABLE, "C", 4.0, 0, 2)},
                     {}},
        CategoryCase{"ErrorChangesNoFigure",
                     {in_category("accessible", 3.0, CheckStatus::FAIL),
                      in_category("accessible", 10.0, CheckStatus::ERROR, true)},
                     {entry("accessible", FAIRCategory::ACCESSIBLE, "D", 3.0, 0, 1)},
                     {}},
        CategoryCase{"PassedFollowsTheFieldNotTheScore",
                     {in_category("reusable", 9.0, CheckStatus::FAIL, false),
                      in_category("reusable", 1.0, CheckStatus::FAIL, true)},
                     {entry("reusable", FAIRCategory::REUSABLE, "C", 5.0, 1, 2)},
                     {}},
        // A naive running sum gives a mean just above 0.25 and so 0.3.
        CategoryCase{"CompensatedSum",
                     {in_category("findable", 0.15), in_category("findable", 0.55),
                      in_category("findable", 0.05)},
                     {entry("findable", FAIRCategory::FINDABLE, "E", 0.2, 3, 3)},
                     {}}),
    [](const auto& info) { return info.param.name; });

struct OverallCase {
  std::string name;
  std::vector<CheckResult> results;
  double expected;

  friend void PrintTo(const OverallCase& c, std::ostream* os) { *os << c.name; }
};

class CalculateOverallScore : public ::testing::TestWithParam<OverallCase> {};

TEST_P(CalculateOverallScore, AveragesScoredResults) {
  const auto& c = GetParam();
  EXPECT_EQ(calculate_overall_score(c.results), c.expected);
}

std::vector<CheckResult> scored(std::initializer_list<double> scores) {
  std::vector<CheckResult> results;
  for (const double score : scores) results.push_back(in_category("findable", score));
  return results;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CalculateOverallScore,
    ::testing::Values(
        OverallCase{"NoResults", {}, 0.0},
        OverallCase{"OnlyErrorAndUnknown",
                    {in_category("findable", 10.0, CheckStatus::ERROR),
                     in_category("findable", 9.0, CheckStatus::UNKNOWN)},
                    0.0},
        OverallCase{"IgnoresCategory",
                    {in_category("", 4.0), in_category("misc", 6.0), in_category("reusable", 8.0)},
                    6.0},
        OverallCase{
            "ErrorLeavesTheMean",
            {in_category("findable", 2.0), in_category("findable", 10.0, CheckStatus::ERROR)},
            2.0},
        OverallCase{"TieToEvenDown", scored({6.25}), 6.2},
        OverallCase{"TieToEvenUp", scored({6.75}), 6.8},
        OverallCase{"StoredAboveTheTie", scored({7.95}), 8.0},
        OverallCase{"StoredBelowTheTie", scored({9.95}), 9.9},
        OverallCase{"TenTenths", scored({0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1}), 0.1},
        // A naive running sum gives a mean just below 3.35 and so 3.3.
        OverallCase{"CompensatedSum", scored({1.1, 7.85, 1.1}), 3.4}),
    [](const auto& info) { return info.param.name; });

TEST(LetterGrade, Bounds) {
  const std::vector<std::pair<double, std::string>> rows = {
      {10.0, "A"}, {8.0, "A"}, {7.99, "B"}, {6.0, "B"}, {5.99, "C"}, {4.0, "C"},
      {3.99, "D"}, {2.0, "D"}, {1.99, "E"}, {0.0, "E"}, {-1.0, "E"}, {NaN, "E"}};
  for (const auto& [score, grade] : rows) EXPECT_EQ(detail::letter_grade(score), grade) << score;
}

struct LevelIndexCase {
  std::optional<std::string> level;
  int expected;
  std::vector<std::string> warnings;
};

TEST(LevelIndex, RanksExactNamesInAnyCase) {
  const std::vector<LevelIndexCase> rows = {
      {std::nullopt, 0, {}},
      {"", 0, {}},
      {"none", 0, {}},
      {"NONE", 0, {}},
      {"bronze", 1, {}},
      {"Silver", 2, {}},
      {"GOLD", 3, {}},
      {"platinum", 4, {}},
      {"diamond", 0, {"Unknown compliance level 'diamond', treating as 'none'"}},
      {" Gold", 0, {"Unknown compliance level ' Gold', treating as 'none'"}},
  };
  for (const auto& row : rows) {
    LogCapture capture;
    EXPECT_EQ(detail::level_index(row.level), row.expected) << row.level.value_or("<none>");
    EXPECT_EQ(compliance_warnings(capture), row.warnings) << row.level.value_or("<none>");
  }
}

TEST(LevelOrder, MatchesTheLevelNames) {
  for (std::size_t i = 0; i < detail::LEVEL_ORDER.size(); ++i) {
    EXPECT_EQ(models::to_string(static_cast<ComplianceLevel>(i)), detail::LEVEL_ORDER[i]);
  }
}

CheckResult for_indicator(std::string id, bool passed, CheckStatus status = CheckStatus::PASS) {
  CheckResult result;
  result.indicator_id = std::move(id);
  result.passed = passed;
  result.status = status;
  return result;
}

struct GateCase {
  std::string name;
  std::optional<std::string> level;
  double overall;
  std::vector<CheckResult> results;
  config::schema::QualityGateConfig gate;
  std::vector<std::string> violations;
  std::vector<std::string> warnings;

  friend void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }
};

class EvaluateQualityGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(EvaluateQualityGate, ListsViolationsInOrder) {
  const auto& c = GetParam();
  LogCapture capture;
  const auto verdict = evaluate_quality_gate(c.level, c.overall, c.results, c.gate);
  EXPECT_EQ(verdict.violations, c.violations);
  EXPECT_EQ(verdict.passed, c.violations.empty());
  EXPECT_EQ(compliance_warnings(capture), c.warnings);
}

using Gate = config::schema::QualityGateConfig;

INSTANTIATE_TEST_SUITE_P(
    Rows, EvaluateQualityGate,
    ::testing::Values(
        GateCase{"NothingSet", "weird", 0.0, {}, Gate{}, {}, {}},
        GateCase{"EmptyTextsAreNoRule", "weird", 0.0, {}, Gate{"", std::nullopt, {}}, {}, {}},
        GateCase{"LevelBelowMinimum",
                 "silver",
                 9.0,
                 {},
                 Gate{"gold", std::nullopt, {}},
                 {"Compliance silver < required gold"},
                 {}},
        GateCase{"LevelAtMinimum", "gold", 9.0, {}, Gate{"gold", std::nullopt, {}}, {}, {}},
        GateCase{"LevelAboveMinimum", "platinum", 9.0, {}, Gate{"gold", std::nullopt, {}}, {}, {}},
        GateCase{"NoLevelShowsNone",
                 std::nullopt,
                 9.0,
                 {},
                 Gate{"bronze", std::nullopt, {}},
                 {"Compliance none < required bronze"},
                 {}},
        GateCase{"EmptyLevelShowsNone",
                 "",
                 9.0,
                 {},
                 Gate{"bronze", std::nullopt, {}},
                 {"Compliance none < required bronze"},
                 {}},
        GateCase{"MinimumNone", std::nullopt, 9.0, {}, Gate{"none", std::nullopt, {}}, {}, {}},
        GateCase{"CaseDoesNotMatter", "Gold", 9.0, {}, Gate{"GOLD", std::nullopt, {}}, {}, {}},
        GateCase{"MessageKeepsTheCase",
                 "Silver",
                 9.0,
                 {},
                 Gate{"GOLD", std::nullopt, {}},
                 {"Compliance Silver < required GOLD"},
                 {}},
        GateCase{"UnknownMinimumNeverViolates",
                 "none",
                 9.0,
                 {},
                 Gate{"Diamond", std::nullopt, {}},
                 {},
                 {"Unknown compliance level 'Diamond', treating as 'none'"}},
        GateCase{"ConfiguredLevelWarnsFirst",
                 "weird",
                 9.0,
                 {},
                 Gate{"Diamond", std::nullopt, {}},
                 {},
                 {"Unknown compliance level 'Diamond', treating as 'none'",
                  "Unknown compliance level 'weird', treating as 'none'"}},
        GateCase{"UnknownAssessedLevelRanksNone",
                 "weird",
                 9.0,
                 {},
                 Gate{"bronze", std::nullopt, {}},
                 {"Compliance weird < required bronze"},
                 {"Unknown compliance level 'weird', treating as 'none'"}},
        GateCase{"ScoreJustBelowShowsRounded",
                 "gold",
                 6.96,
                 {},
                 Gate{std::nullopt, 7.0, {}},
                 {"Score 7.0 < required 7.0"},
                 {}},
        GateCase{"ScoreEqualToMinimum", "gold", 7.0, {}, Gate{std::nullopt, 7.0, {}}, {}, {}},
        GateCase{"ScoreMessageRoundsTheExactValue",
                 "gold",
                 6.25,
                 {},
                 Gate{std::nullopt, 6.35, {}},
                 {"Score 6.2 < required 6.3"},
                 {}},
        GateCase{"ZeroMinimumIsARule",
                 "gold",
                 -0.1,
                 {},
                 Gate{std::nullopt, 0.0, {}},
                 {"Score -0.1 < required 0.0"},
                 {}},
        GateCase{"ZeroMinimumMetByZero", "gold", 0.0, {}, Gate{std::nullopt, 0.0, {}}, {}, {}},
        // A score that cannot be compared must not pass the gate.
        GateCase{"NanScoreFails",
                 "gold",
                 NaN,
                 {},
                 Gate{std::nullopt, 5.0, {}},
                 {"Score nan < required 5.0"},
                 {}},
        GateCase{"RequiredPassing",
                 "gold",
                 9.0,
                 {for_indicator("clear_license", true), for_indicator("rich_metadata", false)},
                 Gate{std::nullopt, std::nullopt, {"clear_license"}},
                 {},
                 {}},
        GateCase{"RequiredFailing",
                 "gold",
                 9.0,
                 {for_indicator("clear_license", false), for_indicator("rich_metadata", true)},
                 Gate{std::nullopt, std::nullopt, {"rich_metadata", "clear_license"}},
                 {"Required indicator not passing: clear_license"},
                 {}},
        GateCase{"ErrorButPassedCounts",
                 "gold",
                 9.0,
                 {for_indicator("clear_license", true, CheckStatus::ERROR)},
                 Gate{std::nullopt, std::nullopt, {"clear_license"}},
                 {},
                 {}},
        GateCase{"RequiredIdsMatchExactly",
                 "gold",
                 9.0,
                 {for_indicator("Clear_License", true)},
                 Gate{std::nullopt, std::nullopt, {"clear_license"}},
                 {"Required indicator not passing: clear_license"},
                 {}},
        GateCase{"AllThreeInOrder",
                 "bronze",
                 5.0,
                 {},
                 Gate{"silver", 6.0, {"clear_license", "clear_license"}},
                 {"Compliance bronze < required silver", "Score 5.0 < required 6.0",
                  "Required indicator not passing: clear_license",
                  "Required indicator not passing: clear_license"},
                 {}}),
    [](const auto& info) { return info.param.name; });

struct GoalsCase {
  std::string name;
  std::optional<std::string> level;
  double overall;
  config::schema::QualityGoalsConfig goals;
  GoalsReport expected;
  std::vector<std::string> warnings;

  friend void PrintTo(const GoalsCase& c, std::ostream* os) { *os << c.name; }
};

class EvaluateQualityGoals : public ::testing::TestWithParam<GoalsCase> {};

TEST_P(EvaluateQualityGoals, ReportsEachGoalSet) {
  const auto& c = GetParam();
  LogCapture capture;
  EXPECT_EQ(evaluate_quality_goals(c.level, c.overall, {}, c.goals), c.expected);
  EXPECT_EQ(compliance_warnings(capture), c.warnings);
}

using Goals = config::schema::QualityGoalsConfig;

INSTANTIATE_TEST_SUITE_P(
    Rows, EvaluateQualityGoals,
    ::testing::Values(
        GoalsCase{"NothingSet", "gold", 9.0, Goals{}, GoalsReport{}, {}},
        GoalsCase{"EmptyTargetIsNoGoal", "gold", 9.0, Goals{"", std::nullopt}, GoalsReport{}, {}},
        GoalsCase{"LevelOnly",
                  "silver",
                  9.0,
                  Goals{"gold", std::nullopt},
                  GoalsReport{ComplianceGoal{"silver", "gold", false}, std::nullopt},
                  {}},
        GoalsCase{"LevelMetAnyCase",
                  "Gold",
                  9.0,
                  Goals{"GOLD", std::nullopt},
                  GoalsReport{ComplianceGoal{"Gold", "GOLD", true}, std::nullopt},
                  {}},
        GoalsCase{"NoLevelKeptAsNone",
                  std::nullopt,
                  9.0,
                  Goals{"bronze", std::nullopt},
                  GoalsReport{ComplianceGoal{std::nullopt, "bronze", false}, std::nullopt},
                  {}},
        GoalsCase{"TargetNoneAlwaysMet",
                  std::nullopt,
                  9.0,
                  Goals{"none", std::nullopt},
                  GoalsReport{ComplianceGoal{std::nullopt, "none", true}, std::nullopt},
                  {}},
        GoalsCase{"UnknownTargetMet",
                  "",
                  9.0,
                  Goals{"diamond", std::nullopt},
                  GoalsReport{ComplianceGoal{"", "diamond", true}, std::nullopt},
                  {"Unknown compliance level 'diamond', treating as 'none'"}},
        GoalsCase{"TargetRankedBeforeLevel",
                  "weird",
                  9.0,
                  Goals{"Diamond", std::nullopt},
                  GoalsReport{ComplianceGoal{"weird", "Diamond", true}, std::nullopt},
                  {"Unknown compliance level 'Diamond', treating as 'none'",
                   "Unknown compliance level 'weird', treating as 'none'"}},
        GoalsCase{"ScoreBelow",
                  "gold",
                  6.9,
                  Goals{std::nullopt, 7.0},
                  GoalsReport{std::nullopt, ScoreGoal{6.9, 7.0, false}},
                  {}},
        GoalsCase{"ScoreAtTarget",
                  "gold",
                  7.0,
                  Goals{std::nullopt, 7.0},
                  GoalsReport{std::nullopt, ScoreGoal{7.0, 7.0, true}},
                  {}},
        GoalsCase{"ZeroTargetIsAGoal",
                  "gold",
                  0.0,
                  Goals{std::nullopt, 0.0},
                  GoalsReport{std::nullopt, ScoreGoal{0.0, 0.0, true}},
                  {}},
        GoalsCase{"Both",
                  "bronze",
                  8.5,
                  Goals{"silver", 8.0},
                  GoalsReport{ComplianceGoal{"bronze", "silver", false}, ScoreGoal{8.5, 8.0, true}},
                  {}}),
    [](const auto& info) { return info.param.name; });

TEST(EvaluateQualityGoals, NanScoreIsNotMet) {
  const auto report = evaluate_quality_goals("gold", NaN, {}, Goals{std::nullopt, 0.0});
  ASSERT_TRUE(report.score.has_value());
  EXPECT_FALSE(report.score->met);
}

}  // namespace
}  // namespace quarnel::core::compliance
