#include "quarnel/config/schema.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "support/fixtures.hpp"

namespace quarnel::config::schema {
namespace {

using ::testing::HasSubstr;

struct ParseCase {
  std::string name;
  std::string yaml;
  Config expected;

  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }
};

class ParseConfig : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseConfig, ReadsTheSettings) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_config(c.yaml, "test.yml"), c.expected);
}

Config gate(QualityGateConfig gate) { return Config{std::move(gate), {}}; }
Config goals(QualityGoalsConfig goals) { return Config{{}, std::move(goals)}; }

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseConfig,
    ::testing::Values(
        ParseCase{"EmptyFile", "", Config{}},
        ParseCase{"OnlyComments", "# nothing yet\n\n", Config{}},
        ParseCase{"NullDocument", "~\n", Config{}},
        ParseCase{"ExplicitNulls",
                  "min_compliance: ~\nmin_score: null\nrequired_indicators:\n"
                  "target_compliance: Null\ntarget_score: ~\n",
                  Config{}},
        ParseCase{"Everything",
                  "min_compliance: silver\nmin_score: 6.5\n"
                  "required_indicators:\n  - clear_license\n  - rich_metadata\n"
                  "target_compliance: gold\ntarget_score: 8\n",
                  Config{{"silver", 6.5, {"clear_license", "rich_metadata"}}, {"gold", 8.0}}},
        ParseCase{"LevelKeptAsWritten", "min_compliance: Gold\ntarget_compliance: PLATINUM\n",
                  Config{{"Gold", std::nullopt, {}}, {"PLATINUM", std::nullopt}}},
        ParseCase{"QuotedLevel", "min_compliance: \"none\"\n", gate({"none", std::nullopt, {}})},
        ParseCase{"ZeroScoreIsSet", "min_score: 0\n", gate({std::nullopt, 0.0, {}})},
        ParseCase{"TopOfTheScale", "target_score: 10.0\n", goals({std::nullopt, 10.0})},
        ParseCase{"ExponentForm", "min_score: 7.5e0\n", gate({std::nullopt, 7.5, {}})},
        ParseCase{"LeadingPoint", "min_score: .5\n", gate({std::nullopt, 0.5, {}})},
        ParseCase{"LeadingPlus", "min_score: +5\n", gate({std::nullopt, 5.0, {}})},
        ParseCase{"FloatTag", "min_score: !!float 7\n", gate({std::nullopt, 7.0, {}})},
        ParseCase{"FlowList", "required_indicators: [clear_license, clear_license]\n",
                  gate({std::nullopt, std::nullopt, {"clear_license", "clear_license"}})},
        ParseCase{"EmptyList", "required_indicators: []\n", Config{}},
        ParseCase{"QuotedKey", "\"min_score\": 3\n", gate({std::nullopt, 3.0, {}})},
        ParseCase{"ByteOrderMark", "\xEF\xBB\xBFmin_score: 4\n", gate({std::nullopt, 4.0, {}})},
        ParseCase{"CrLfLines", "min_score: 4\r\ntarget_score: 5\r\n",
                  Config{{std::nullopt, 4.0, {}}, {std::nullopt, 5.0}}},
        // YAML 1.1 also ends lines with NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR.
        ParseCase{"UnicodeLineBreaks",
                  "min_score: 4\u0085target_score: 5\u2028min_compliance: gold\u2029",
                  Config{{"gold", 4.0, {}}, {std::nullopt, 5.0}}}),
    [](const auto& info) { return info.param.name; });

struct ErrorCase {
  std::string name;
  std::string yaml;
  std::vector<std::string> message_parts;

  friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
};

class ParseConfigErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseConfigErrors, NameTheSourceAndWhatIsExpected) {
  const auto& c = GetParam();
  try {
    parse_config(c.yaml, "repo/.quarnel.yml");
    FAIL() << "no ConfigError";
  } catch (const ConfigError& error) {
    const std::string message = error.what();
    EXPECT_TRUE(message.starts_with("repo/.quarnel.yml: ")) << message;
    for (const auto& part : c.message_parts) EXPECT_THAT(message, HasSubstr(part));
  }
}

const std::string VALID_SETTINGS =
    "valid settings are: min_compliance, min_score, required_indicators, target_compliance, "
    "target_score";
const std::string LEVELS = "must be one of none, bronze, silver, gold, platinum";

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseConfigErrors,
    ::testing::Values(
        ErrorCase{"UnclosedFlow", "min_score: [1\n", {"invalid YAML at line "}},
        ErrorCase{"BadIndentOnThirdLine",
                  "min_score: 7\ntarget_score: 8\n  bad: indent\n",
                  {"invalid YAML at line 3"}},
        // Not a key with a null value: a line without a colon after a mapping is no YAML.
        ErrorCase{"LastLineWithoutColon",
                  "min_score: 7\nmin_compliance\n",
                  {"invalid YAML at line 2, column 1: while scanning a simple key"}},
        ErrorCase{"TabIndentation",
                  "required_indicators:\n\t- clear_license\n",
                  {"invalid YAML at line 2, column 1: "}},
        ErrorCase{"AnchorDefinedTwice",
                  "min_score: &x 7\ntarget_score: &x 8\n",
                  {"invalid YAML at line 1, column 12: found duplicate anchor 'x'; first "
                   "occurrence, second occurrence at line 2, column 15"}},
        ErrorCase{"DirectiveTooMany",
                  [] {
                    std::string text;
                    for (int i = 0; i < 65; ++i) text += "%TAG !t" + std::to_string(i) + "! x:\n";
                    return text + "---\nmin_score: 7\n";
                  }(),
                  {"invalid YAML at line 65, column 1: found more than 64 directives for one "
                   "document"}},
        ErrorCase{"TwoDocuments", "min_score: 7\n---\nmin_score: 9\n", {"2 YAML documents"}},
        ErrorCase{"TopLevelList", "- min_score\n", {"top level must be a mapping", "a list"}},
        ErrorCase{"TopLevelText", "min_score 7\n", {"top level must be a mapping"}},
        ErrorCase{"UnknownKey", "min_scor: 7\n", {"unknown setting 'min_scor'", VALID_SETTINGS}},
        ErrorCase{"KeyCaseMatters", "Min_Score: 7\n", {"unknown setting 'Min_Score'"}},
        ErrorCase{"NestedGateSection",
                  "quality_gate:\n  min_score: 7\n",
                  {"unknown setting 'quality_gate'"}},
        ErrorCase{"ListAsKey", "? [a]\n: 1\n", {"setting names must be texts", VALID_SETTINGS}},
        ErrorCase{
            "RepeatedKey", "min_score: 7\nmin_score: 3\n", {"min_score is given more than once"}},
        ErrorCase{"ScoreWord", "min_score: seven\n", {"min_score must be a number", "'seven'"}},
        ErrorCase{"ScoreQuoted", "min_score: \"7\"\n", {"min_score must be a number", "text '7'"}},
        ErrorCase{"ScoreStringTag", "target_score: !!str 7\n", {"target_score must be a number"}},
        ErrorCase{"ScoreBoolean", "min_score: true\n", {"min_score must be a number"}},
        ErrorCase{"ScoreHex", "min_score: 0x7\n", {"min_score must be a number"}},
        ErrorCase{"ScoreList", "min_score: [7]\n", {"min_score must be a number", "not a list"}},
        ErrorCase{"ScoreAboveTen", "min_score: 10.5\n", {"min_score", "out of range"}},
        ErrorCase{"ScoreNegative", "target_score: -1\n", {"target_score", "out of range"}},
        ErrorCase{"ScoreNan", "min_score: .nan\n", {"min_score", "out of range"}},
        ErrorCase{"ScoreInfinite", "min_score: .inf\n", {"min_score", "out of range"}},
        ErrorCase{"ScoreHuge", "min_score: 1e400\n", {"min_score", "out of range"}},
        ErrorCase{"LevelUnknown",
                  "min_compliance: diamond\n",
                  {"min_compliance " + LEVELS, "got 'diamond'"}},
        ErrorCase{"LevelWithBlanks",
                  "target_compliance: ' gold'\n",
                  {"target_compliance " + LEVELS, "got ' gold'"}},
        ErrorCase{"LevelEmptyText", "min_compliance: ''\n", {"min_compliance " + LEVELS}},
        ErrorCase{"LevelNumber", "target_compliance: 3\n", {"target_compliance " + LEVELS}},
        ErrorCase{"LevelList", "min_compliance: [gold]\n", {"min_compliance " + LEVELS, "a list"}},
        ErrorCase{"IndicatorsNotAList",
                  "required_indicators: clear_license\n",
                  {"required_indicators must be a list of indicator ids", "a single value"}},
        ErrorCase{"IndicatorsMapping",
                  "required_indicators: {clear_license: 1}\n",
                  {"required_indicators must be a list", "a mapping"}},
        ErrorCase{"IndicatorNested",
                  "required_indicators: [clear_license, [a]]\n",
                  {"required_indicators must be a list", "entry 2 is a list"}},
        ErrorCase{"IndicatorNull",
                  "required_indicators: [~]\n",
                  {"required_indicators must be a list", "entry 1 is an empty value"}},
        ErrorCase{"IndicatorEmptyText",
                  "required_indicators: ['']\n",
                  {"required_indicators must be a list", "entry 1 is empty text"}}),
    [](const auto& info) { return info.param.name; });

// Many list entries that each merge one list of aliases: loading them must not take memory in
// proportion to their number times the list's length.
std::string merges_of_an_aliased_list() {
  constexpr std::size_t ALIASES = 40000;
  constexpr std::size_t MAPPINGS = 12000;
  std::string text = "required_indicators:\n- &m {k: v}\n- &s [*m";
  for (std::size_t i = 1; i < ALIASES; ++i) text += ",*m";
  text += "]\n";
  for (std::size_t i = 0; i < MAPPINGS; ++i) text += "- {<<: *s}\n";
  return text;
}

// Runs in the death test's child, whose address space is capped.
[[noreturn]] void parse_and_exit(const std::string& text) {
  testing::limit_address_space(std::size_t{512} << 20);
  try {
    parse_config(text, ".quarnel.yml");
  } catch (const ConfigError& error) {
    std::cerr << error.what() << std::flush;
    ::_exit(0);
  }
  ::_exit(1);
}

TEST(ParseConfigMemory, MergesOfOneAliasedListStayWithinTheTextsBound) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(parse_and_exit(merges_of_an_aliased_list()), ::testing::ExitedWithCode(0),
              "^\\.quarnel\\.yml: required_indicators must be a list of indicator ids; entry 1 "
              "is a mapping$");
}

// parse_config of `yaml`, named "c.yml", refused with exactly `message`.
void expect_refused(const std::string& yaml, const std::vector<std::string_view>& known,
                    const std::string& message) {
  try {
    parse_config(yaml, "c.yml", known);
    ADD_FAILURE() << "no ConfigError: " << message;
  } catch (const ConfigError& error) {
    EXPECT_EQ(error.what(), message);
  }
}
// A wrong value is quoted whole up to 80 characters, beyond that its first 80 and an ellipsis:
// an id of a megabyte must not make an error line of a megabyte.
TEST(ParseConfigErrors, AWrongValueIsQuotedCut) {
  const std::vector<std::string_view> known = {"clear_license"};
  const std::string a80(80, 'a');
  const std::string quoted_cut = "'" + a80 + "'\u2026";
  const std::string levels =
      "min_compliance must be one of none, bronze, silver, gold, platinum (in any letter case), "
      "got ";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"min_compliance: " + a80 + "\n", levels + "'" + a80 + "'"},
      {"min_compliance: " + a80 + "a\n", levels + quoted_cut},
      {"min_score: " + a80 + std::string(1 << 20, 'a') + "\n",
       "min_score must be a number from 0 to 10, got " + quoted_cut},
      {"min_score: '" + a80 + "a'\n",
       "min_score must be a number from 0 to 10, got the text " + quoted_cut},
      {"target_score: 1" + std::string(79, '0') + "\n",
       "target_score must be a number from 0 to 10, got 1" + std::string(79, '0') +
           ", which is out of range"},
      {"target_score: 1" + std::string(1 << 20, '0') + "\n",
       "target_score must be a number from 0 to 10, got 1" + std::string(79, '0') +
           "\u2026, which is out of range"},
      {a80 + "a: 1\n", "unknown setting " + quoted_cut +
                           "; valid settings are: min_compliance, min_score, "
                           "required_indicators, target_compliance, target_score"},
      {"required_indicators: [clear_license, " + a80 + std::string(1 << 20, 'a') + "]\n",
       "required_indicators names unknown indicator " + quoted_cut +
           "; valid indicators are: clear_license"},
  };
  for (const auto& [yaml, message] : rows) expect_refused(yaml, known, "c.yml: " + message);
}

// One long text listed again and again through an alias: each entry is checked as it is read,
// so the text is never copied once per alias.
TEST(ParseConfigMemory, AnUnknownIdListedThroughManyAliasesIsNotCopiedForEach) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string id(64 * 1024, 'x');
  std::string text = "required_indicators: [&a " + id;
  for (int i = 0; i < 20000; ++i) text += ", *a";
  text += "]\n";
  const auto parse_with_known_and_exit = [](const std::string& yaml) {
    testing::limit_address_space(std::size_t{512} << 20);
    const std::vector<std::string_view> known = {"clear_license"};
    try {
      parse_config(yaml, "c.yml", known);
    } catch (const ConfigError& error) {
      std::cerr << error.what() << std::flush;
      ::_exit(0);
    }
    ::_exit(1);
  };
  EXPECT_EXIT(parse_with_known_and_exit(text), ::testing::ExitedWithCode(0),
              "^c\\.yml: required_indicators names unknown indicator 'x{80}'\u2026; valid "
              "indicators are: clear_license$");
}

// The ids are checked against the known ones only once the whole file has been read: any other
// error in it is the one given.
TEST(ParseConfigKnownIndicators, OtherErrorsComeBeforeAnUnknownId) {
  const std::vector<std::string_view> known = {"clear_license"};
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"required_indicators: [nope, [a]]\n",
       "c.yml: required_indicators must be a list of indicator ids; entry 2 is a list"},
      {"required_indicators: [nope]\nmin_score: 11\n",
       "c.yml: min_score must be a number from 0 to 10, got 11, which is out of range"},
      {"required_indicators: [clear_license, nope, also_not]\nmin_score: 1\n",
       "c.yml: required_indicators names unknown indicator 'nope'; valid indicators are: "
       "clear_license"},
  };
  for (const auto& [yaml, message] : rows) expect_refused(yaml, known, message);
}

TEST(ParseConfigKnownIndicators, RejectsIdsOutsideTheGivenList) {
  const std::vector<std::string_view> known = {"clear_license", "rich_metadata"};
  EXPECT_EQ(parse_config("required_indicators: [rich_metadata]\n", "c.yml", known).quality_gate,
            (QualityGateConfig{std::nullopt, std::nullopt, {"rich_metadata"}}));
  EXPECT_EQ(parse_config("min_score: 5\n", "c.yml", known).quality_gate.min_score, 5.0);
  try {
    parse_config("required_indicators: [rich_metadata, Clear_License]\n", "c.yml", known);
    FAIL() << "no ConfigError";
  } catch (const ConfigError& error) {
    EXPECT_THAT(error.what(), HasSubstr("c.yml: required_indicators names unknown indicator "
                                        "'Clear_License'; valid indicators are: clear_license, "
                                        "rich_metadata"));
  }
}

TEST(LoadConfig, ReadsAFile) {
  const testing::TempDir dir;
  const auto file =
      dir.write(std::string(CONFIG_FILE_NAME), "min_score: 7\ntarget_compliance: gold\n");
  EXPECT_EQ(load_config(file), (Config{{std::nullopt, 7.0, {}}, {"gold", std::nullopt}}));
  const std::vector<std::string_view> known = {"clear_license"};
  EXPECT_EQ(load_config(file, known), load_config(file));
}

TEST(LoadConfig, FailuresNameTheFile) {
  const testing::TempDir dir;
  struct Row {
    std::string name;
    std::filesystem::path file;
    std::string part;
  };
  const std::vector<Row> rows = {
      {"Missing", dir / "absent.yml", "cannot read configuration file"},
      {"Directory", dir.mkdir("a-directory.yml"), "cannot read configuration file"},
      {"NotUtf8", dir.write("latin1.yml", "min_compliance: gr\xFCn\n"), "not valid UTF-8"},
      {"BadValue", dir.write("bad.yml", "min_score: 11\n"), "min_score"},
      {"UnknownIndicator", dir.write("ids.yml", "required_indicators: [nope]\n"), "'nope'"},
  };
  const std::vector<std::string_view> known = {"clear_license"};
  for (const auto& row : rows) {
    try {
      load_config(row.file, known);
      ADD_FAILURE() << row.name << ": no ConfigError";
    } catch (const ConfigError& error) {
      EXPECT_THAT(error.what(), HasSubstr(row.file.string())) << row.name;
      EXPECT_THAT(error.what(), HasSubstr(row.part)) << row.name;
    }
  }
}

TEST(GateIsSet, AnyRuleSetsIt) {
  const std::vector<std::pair<QualityGateConfig, bool>> rows = {
      {QualityGateConfig{}, false},
      {QualityGateConfig{"", std::nullopt, {}}, false},
      {QualityGateConfig{"bronze", std::nullopt, {}}, true},
      {QualityGateConfig{std::nullopt, 0.0, {}}, true},
      {QualityGateConfig{std::nullopt, std::nullopt, {"clear_license"}}, true},
  };
  for (const auto& [gate, expected] : rows) {
    EXPECT_EQ(gate_is_set(gate), expected)
        << gate.min_compliance.value_or("<none>") << " " << gate.min_score.value_or(-1.0);
  }
}

}  // namespace
}  // namespace quarnel::config::schema
