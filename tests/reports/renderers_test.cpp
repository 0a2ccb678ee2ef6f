#include "quarnel/reports/renderers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/text.hpp"
#include "reports/sample_assessment.hpp"

namespace {

using quarnel::core::models::Assessment;
using quarnel::core::models::CheckStatus;
using quarnel::reports::renderers::dump_json;
using quarnel::reports::renderers::JsonRenderer;
using quarnel::reports::renderers::OptionValue;
using quarnel::reports::renderers::RenderOptions;
using quarnel::reports::renderers::TextRenderer;
using quarnel::testing::sample_assessment;
using quarnel::testing::sample_result;
using quarnel::utils::json::Json;

std::vector<std::string> lines_of(const std::string& text) {
  return quarnel::utils::text::split(text, "\n");
}

const std::string HEADER = "Indicator                    Plugin             Score  Status";

// ---------------------------------------------------------------------------------------------
// Text report

TEST(TextRendererTest, FullReportLayout) {
  const std::string report = TextRenderer().render(sample_assessment(), {});
  EXPECT_EQ(report, "Assessment Results\n" + std::string(60, '=') + "\n" + HEADER + "\n" +
                        std::string(61, '-') +
                        "\n"
                        "clear_license                brantel              9.0  PASS  \n"
                        "persistent_identifier        olvenar              2.5  FAIL  \n"
                        "\n"
                        "1/2 passed (1 skipped, 1234ms)\n"
                        "Compliance: none\n"
                        "Overall score: 5.8");
}

TEST(TextRendererTest, HeaderColumnsStandWhereTheTableNeedsThem) {
  const auto lines = lines_of(TextRenderer().render(Assessment{}, {}));
  ASSERT_GE(lines.size(), 4u);
  const std::string& header = lines[2];
  ASSERT_EQ(header.size(), 61u);
  EXPECT_EQ(header.find("Indicator"), 0u);
  EXPECT_EQ(header.find("Plugin"), 29u);
  EXPECT_EQ(header.find("Score"), 48u);
  EXPECT_EQ(header.find("Status"), 55u);
  EXPECT_EQ(lines[1], std::string(60, '='));
  EXPECT_EQ(lines[3], std::string(61, '-'));
}

struct RowCase {
  const char* name;
  std::string indicator_id;
  std::string plugin;
  double score;
  CheckStatus status;
  std::string expected;
};

class TextRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(TextRowTest, RowLayout) {
  const RowCase& c = GetParam();
  Assessment a;
  a.indicators = {sample_result(c.indicator_id, c.plugin, c.score, c.status)};
  const auto lines = lines_of(TextRenderer().render(a, {}));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[4], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TextRowTest,
    ::testing::Values(
        RowCase{"half_score", "clear_license", "brantel", 7.5, CheckStatus::PASS,
                "clear_license                brantel              7.5  PASS  "},
        RowCase{"full_score", "clear_license", "brantel", 10.0, CheckStatus::FAIL,
                "clear_license                brantel             10.0  FAIL  "},
        RowCase{"zero_score_error", "clear_license", "brantel", 0.0, CheckStatus::ERROR,
                "clear_license                brantel              0.0  ERROR "},
        RowCase{"tie_rounds_to_even_and_status_overflows", "clear_license", "brantel", 6.25,
                CheckStatus::UNKNOWN,
                "clear_license                brantel              6.2  UNKNOWN"},
        RowCase{"whole_number_score", "clear_license", "brantel", 7, CheckStatus::PASS,
                "clear_license                brantel              7.0  PASS  "},
        RowCase{"plugin_of_19_shifts_the_rest", "clear_license", "nineteen_chars_plug", 7.0,
                CheckStatus::PASS,
                "clear_license                nineteen_chars_plug   7.0  PASS  "},
        RowCase{"long_id_shifts_the_rest", "an_indicator_id_of_29_chars__", "brantel", 7.0,
                CheckStatus::PASS,
                "an_indicator_id_of_29_chars__ brantel              7.0  PASS  "},
        RowCase{"padding_counts_code_points", "clear_license", "pl\u00fcgin", 7.0,
                CheckStatus::PASS,
                "clear_license                pl\u00fcgin               7.0  PASS  "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextRendererTest, EmptyAssessmentHasEightLines) {
  Assessment a;
  a.skipped = {"x", "y", "z"};
  const auto lines = lines_of(TextRenderer().render(a, {}));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Assessment Results");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "0/0 passed (3 skipped, 0ms)");
  EXPECT_EQ(lines[6], "Compliance: none");
  EXPECT_EQ(lines[7], "Overall score: 0.0");
}

TEST(TextRendererTest, ComplianceLineShowsTheLevelAsStored) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Compliance: none"},
      {"none", "Compliance: none"},
      {"gold", "Compliance: gold"},
      {"Silver", "Compliance: Silver"},
  };
  for (const auto& [level, expected] : cases) {
    Assessment a;
    a.compliance_level = level;
    EXPECT_EQ(lines_of(TextRenderer().render(a, {}))[6], expected) << "level " << level;
  }
}

TEST(TextRendererTest, SummaryAndScoreLines) {
  Assessment a;
  a.indicators = {sample_result("a", "p", 1.0, CheckStatus::PASS),
                  sample_result("b", "p", 1.0, CheckStatus::FAIL)};
  a.passed_indicators = {"a"};
  a.duration_ms = 98765432101;
  a.overall_score = 6.25;
  const std::string report = TextRenderer().render(a, {});
  const auto lines = lines_of(report);
  EXPECT_EQ(lines[7], "1/2 passed (0 skipped, 98765432101ms)");
  EXPECT_EQ(lines.back(), "Overall score: 6.2");
  EXPECT_NE(report.back(), '\n');
}

TEST(TextRendererTest, OptionsChangeNothing) {
  const Assessment a = sample_assessment();
  const RenderOptions options = {{"indent", OptionValue{4LL}}, {"colour", OptionValue{"yes"}}};
  EXPECT_EQ(TextRenderer().render(a, options), TextRenderer().render(a, {}));
}

// ---------------------------------------------------------------------------------------------
// JSON writer

Json layout_tree() {
  Json tree = Json::object();
  tree["a"] = Json::array({1, Json::object()});
  tree["b"] = Json::object();
  tree["b"]["c"] = nullptr;
  tree["b"]["d"] = Json::array({true, false});
  tree["e"] = Json::array();
  tree["f"] = "x";
  return tree;
}

struct IndentCase {
  const char* name;
  std::optional<OptionValue> indent;  // nullopt: not given
  std::string expected;
};

class JsonIndentTest : public ::testing::TestWithParam<IndentCase> {};

TEST_P(JsonIndentTest, Layout) {
  const IndentCase& c = GetParam();
  const OptionValue* indent = c.indent ? &*c.indent : nullptr;
  EXPECT_EQ(dump_json(layout_tree(), indent), c.expected);
}

const std::string NO_INDENT =
    "{\n\"a\": [\n1,\n{}\n],\n\"b\": {\n\"c\": null,\n\"d\": [\ntrue,\nfalse\n]\n},\n\"e\": "
    "[],\n\"f\": \"x\"\n}";
const std::string TWO_SPACES =
    "{\n  \"a\": [\n    1,\n    {}\n  ],\n  \"b\": {\n    \"c\": null,\n    \"d\": [\n      "
    "true,\n      false\n    ]\n  },\n  \"e\": [],\n  \"f\": \"x\"\n}";

INSTANTIATE_TEST_SUITE_P(
    Indents, JsonIndentTest,
    ::testing::Values(
        IndentCase{"absent", std::nullopt, TWO_SPACES},
        IndentCase{"two", OptionValue{2LL}, TWO_SPACES},
        IndentCase{"none", OptionValue{std::monostate{}},
                   "{\"a\": [1, {}], \"b\": {\"c\": null, \"d\": [true, false]}, \"e\": [], "
                   "\"f\": \"x\"}"},
        IndentCase{"zero", OptionValue{0LL}, NO_INDENT},
        IndentCase{"negative", OptionValue{-3LL}, NO_INDENT},
        IndentCase{"empty_text", OptionValue{std::string()}, NO_INDENT},
        IndentCase{"four", OptionValue{4LL},
                   "{\n    \"a\": [\n        1,\n        {}\n    ],\n    \"b\": {\n        "
                   "\"c\": null,\n        \"d\": [\n            true,\n            false\n    "
                   "    ]\n    },\n    \"e\": [],\n    \"f\": \"x\"\n}"},
        IndentCase{"tab", OptionValue{std::string("\t")},
                   "{\n\t\"a\": [\n\t\t1,\n\t\t{}\n\t],\n\t\"b\": {\n\t\t\"c\": null,\n\t\t\"d\": "
                   "[\n\t\t\ttrue,\n\t\t\tfalse\n\t\t]\n\t},\n\t\"e\": [],\n\t\"f\": \"x\"\n}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriterTest, ScalarsAndEmptyContainersAtTopLevel) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json::object(), "{}"},
      {Json::array(), "[]"},
      {Json(nullptr), "null"},
      {Json(true), "true"},
      {Json("a"), "\"a\""},
      {Json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Json(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(dump_json(value, nullptr), expected);
  }
}

TEST(JsonWriterTest, MembersKeepTheirOrder) {
  Json tree = Json::object();
  tree["zeta"] = 1;
  tree["alpha"] = 2;
  const OptionValue none;
  EXPECT_EQ(dump_json(tree, &none), "{\"zeta\": 1, \"alpha\": 2}");
}

TEST(JsonWriterTest, EscapesTextsAsAscii) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain text", "\"plain text\""},
      {"/~", "\"/~\""},
      {"\"\\", "\"\\\"\\\\\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\x01", 1), "\"\\u0001\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"\x1f", "\"\\u001f\""},
      {"\x7f", "\"\\u007f\""},
      {"\u00e9", "\"\\u00e9\""},
      {"\u2028", "\"\\u2028\""},
      {"\uffff", "\"\\uffff\""},
      {"\U0001F600", "\"\\ud83d\\ude00\""},
      {"\U0010FFFF", "\"\\udbff\\udfff\""},
      // A stray byte still yields a document every JSON reader accepts.
      {"a\xff"
       "b",
       "\"a\\ufffdb\""},
  };
  for (const auto& [raw, expected] : cases) {
    EXPECT_EQ(dump_json(Json(raw), nullptr), expected) << "text " << raw;
    Json keyed = Json::object();
    keyed[raw] = 0;
    const OptionValue none;
    EXPECT_EQ(dump_json(keyed, &none), "{" + expected + ": 0}") << "key " << raw;
  }
}

TEST(JsonWriterTest, FloatsInShortestRoundTripForm) {
  const std::vector<std::pair<double, std::string>> cases = {
      {7.0, "7.0"},
      {0.1, "0.1"},
      {2.5, "2.5"},
      {-0.0, "-0.0"},
      {0.0001, "0.0001"},
      {1e-05, "1e-05"},
      {-1e-07, "-1e-07"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"},
      {123456789.123, "123456789.123"},
      {std::nan(""), "NaN"},
      {std::numeric_limits<double>::infinity(), "Infinity"},
      {-std::numeric_limits<double>::infinity(), "-Infinity"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(dump_json(Json(value), nullptr), expected) << expected;
  }
}

TEST(JsonWriterTest, RefusesValuesWithoutJsonForm) {
  const Json tree = {{"blob", Json::binary({1, 2, 3})}};
  try {
    dump_json(tree, nullptr);
    FAIL() << "binary value was written";
  } catch (const quarnel::JsonTypeError& error) {
    EXPECT_NE(std::string(error.what()).find("binary"), std::string::npos) << error.what();
  }
}

// ---------------------------------------------------------------------------------------------
// JSON report

TEST(JsonRendererTest, IndentOption) {
  const Assessment a = sample_assessment();
  const std::string by_default = JsonRenderer().render(a, {});
  EXPECT_EQ(by_default.rfind("{\n  \"schema_version\": 1,\n  \"tool\": {\n    \"name\"", 0), 0u)
      << by_default.substr(0, 80);
  EXPECT_EQ(JsonRenderer().render(a, {{"indent", OptionValue{2LL}}}), by_default);
  EXPECT_NE(by_default.back(), '\n');

  const std::string one_line = JsonRenderer().render(a, {{"indent", OptionValue{}}});
  EXPECT_EQ(one_line.find('\n'), std::string::npos);
  EXPECT_EQ(one_line.rfind("{\"schema_version\": 1, \"tool\": {\"name\": \"quarnel\"", 0), 0u);

  const std::string flat = JsonRenderer().render(a, {{"indent", OptionValue{0LL}}});
  EXPECT_EQ(flat.rfind("{\n\"schema_version\": 1,\n\"tool\": {\n\"name\"", 0), 0u);
}

TEST(JsonRendererTest, UnknownOptionsAreIgnored) {
  const Assessment a = sample_assessment();
  EXPECT_EQ(JsonRenderer().render(a, {{"colour", OptionValue{"red"}}}),
            JsonRenderer().render(a, {}));
}

TEST(JsonRendererTest, ReportIsPureAscii) {
  Assessment a = sample_assessment();
  a.indicators[0].output = "Lizenz gefunden: \u00e9t\u00e9 \U0001F600";
  const std::string report = JsonRenderer().render(a, {});
  for (const char c : report) {
    ASSERT_TRUE(static_cast<unsigned char>(c) < 0x80) << "non-ASCII byte in report";
  }
  EXPECT_NE(report.find("Lizenz gefunden: \\u00e9t\\u00e9 \\ud83d\\ude00"), std::string::npos);
}

}  // namespace
