#include "quarnel/plugins/builtin/yarrowin.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "support/fixtures.hpp"

namespace {

using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::yarrowin::YarrowinPlugin;
using quarnel::testing::TempDir;
namespace detail = quarnel::plugins::builtin::yarrowin::detail;
namespace stdfs = std::filesystem;

constexpr const char* VALID_CFF =
    "cff-version: 1.2.0\n"
    "title: Tool\n"
    "authors:\n"
    "  - family-names: Doe\n";

constexpr const char* NOT_FOUND_EVIDENCE =
    "Checked: CITATION.cff, CITATION.bib, CITATION.md, CITATION, citation.cff, codemeta.json";

// --- The citation check --------------------------------------------------------------------

enum class Entry { File, Directory, Fifo, LinkOutside };

struct Item {
  std::string name;
  std::string content;
  Entry kind = Entry::File;
};

struct CheckCase {
  std::string name;
  std::vector<Item> items;
  double score;
  std::string process;
  std::string output;  // a trailing "*" compares only what comes before it
  std::string evidence;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class YarrowinCheck : public ::testing::TestWithParam<CheckCase> {
 protected:
  void lay_out(const std::vector<Item>& items) {
    for (const auto& item : items) {
      switch (item.kind) {
        case Entry::File:
          repo_.write(item.name, item.content);
          break;
        case Entry::Directory:
          repo_.mkdir(item.name);
          break;
        case Entry::Fifo:
          ASSERT_EQ(::mkfifo((repo_ / item.name).c_str(), 0600), 0);
          break;
        case Entry::LinkOutside:
          stdfs::create_symlink(outside_.write("secret.cff", item.content), repo_ / item.name);
          break;
      }
    }
  }

  TempDir outside_;
  TempDir repo_;
};

TEST_P(YarrowinCheck, ScoresWhatItFinds) {
  const CheckCase& c = GetParam();
  lay_out(c.items);
  const CheckResult result = YarrowinPlugin{}.check("rich_metadata", Context(repo_.path()));

  EXPECT_EQ(result.indicator_id, "rich_metadata");
  EXPECT_EQ(result.plugin, "yarrowin");
  EXPECT_EQ(result.score, c.score);
  // The check never reports that it had nothing to assess.
  EXPECT_EQ(result.status, c.score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
  EXPECT_EQ(result.process, c.process);
  if (c.output.ends_with('*')) {
    EXPECT_TRUE(result.output.starts_with(c.output.substr(0, c.output.size() - 1)))
        << result.output;
  } else {
    EXPECT_EQ(result.output, c.output);
  }
  EXPECT_EQ(result.evidence, c.evidence);
}

const std::string VALIDATED = "Found and validated CITATION.cff";
const std::string HAS_ISSUES = "CITATION.cff exists but has issues";
const std::string NOT_CFF = "Found citation file (not CFF format)";

INSTANTIATE_TEST_SUITE_P(
    Checkouts, YarrowinCheck,
    ::testing::Values(
        CheckCase{"nothing",
                  {},
                  0.0,
                  "Searched for citation files",
                  "No citation file found",
                  NOT_FOUND_EVIDENCE},
        CheckCase{"an_unrelated_cff_name",
                  {{"citation.CFF", VALID_CFF}, {"README.md", "tool\n"}},
                  0.0,
                  "Searched for citation files",
                  "No citation file found",
                  NOT_FOUND_EVIDENCE},
        CheckCase{"codemeta_only",
                  {{"codemeta.json", "{}"}},
                  7.0,
                  NOT_CFF,
                  "Citation files: codemeta.json",
                  "Files: codemeta.json"},
        CheckCase{"other_formats_in_table_order",
                  {{"codemeta.json", "{}"}, {"CITATION.bib", "@misc{x}"}, {"CITATION", "x"}},
                  7.0,
                  NOT_CFF,
                  "Citation files: CITATION.bib, CITATION, codemeta.json",
                  "Files: CITATION.bib, CITATION, codemeta.json"},
        CheckCase{"valid_cff_with_codemeta",
                  {{"CITATION.cff", VALID_CFF}, {"codemeta.json", "{}"}},
                  10.0,
                  VALIDATED,
                  "Valid CFF structure",
                  "Files: CITATION.cff, codemeta.json"},
        CheckCase{"lower_case_cff_only",
                  {{"citation.cff", VALID_CFF}},
                  10.0,
                  VALIDATED,
                  "Valid CFF structure",
                  "Files: citation.cff"},
        // The upper-case name is the one validated when both exist.
        CheckCase{
            "upper_case_cff_wins",
            {{"CITATION.cff", "cff-version: 1.2.0\ntitle: Tool\n"}, {"citation.cff", VALID_CFF}},
            5.0,
            HAS_ISSUES,
            "Missing keys: authors",
            "Files: CITATION.cff, citation.cff"},
        CheckCase{"cff_with_issues_scores_below_other_formats",
                  {{"CITATION.cff", "- just\n- a list of things\n"}, {"CITATION.md", "# Cite"}},
                  5.0,
                  HAS_ISSUES,
                  "CFF root must be a mapping",
                  "Files: CITATION.cff, CITATION.md"},
        CheckCase{"cff_directory",
                  {{"CITATION.cff", "", Entry::Directory}, {"citation.cff", VALID_CFF}},
                  5.0,
                  HAS_ISSUES,
                  "Could not read: *",
                  "Files: CITATION.cff, citation.cff"},
        CheckCase{"lower_case_cff_unreadable",
                  {{"citation.cff", "", Entry::Fifo}},
                  5.0,
                  HAS_ISSUES,
                  "Could not read: *",
                  "Files: citation.cff"},
        CheckCase{"cff_not_utf8",
                  {{"CITATION.cff", "cff-version: 1.2.0\ntitle: Caf\xe9 tool\nauthors: []\n"}},
                  5.0,
                  HAS_ISSUES,
                  "Could not read: *",
                  "Files: CITATION.cff"},
        CheckCase{"cff_linked_outside_the_checkout",
                  {{"CITATION.cff", VALID_CFF, Entry::LinkOutside}},
                  5.0,
                  HAS_ISSUES,
                  "Could not read: *",
                  "Files: CITATION.cff"},
        CheckCase{"cff_invalid_yaml",
                  {{"CITATION.cff", "cff-version: 1.2.0\ntitle: [unclosed\n"}},
                  5.0,
                  HAS_ISSUES,
                  "Invalid YAML: error at line *",
                  "Files: CITATION.cff"},
        CheckCase{"cff_anchor_defined_twice",
                  {{"CITATION.cff", std::string(VALID_CFF) + "a: &x 1\nb: &x 2\n"}},
                  5.0,
                  HAS_ISSUES,
                  "Invalid YAML: error at line 5, column 4: found duplicate anchor 'x'; first "
                  "occurrence, second occurrence at line 6, column 4",
                  "Files: CITATION.cff"},
        // A last line without a colon is no key with a null value: the text is not YAML.
        CheckCase{"cff_last_line_without_colon",
                  {{"CITATION.cff",
                    "cff-version: 1.2.0\ntitle: Tool\nauthors:\n  - name: A\nlicense MIT\n"}},
                  5.0,
                  HAS_ISSUES,
                  "Invalid YAML: error at line 5, column 1: *",
                  "Files: CITATION.cff"},
        CheckCase{"cff_required_key_without_colon",
                  {{"CITATION.cff", "title: Tool name\nauthors: []\ncff-version\n"}},
                  5.0,
                  HAS_ISSUES,
                  "Invalid YAML: error at line 3, column 1: *",
                  "Files: CITATION.cff"}),
    [](const auto& info) { return info.param.name; });

TEST(YarrowinIds, AnyIdGetsTheCitationCheckUnderItsOwnName) {
  TempDir repo;
  repo.write("CITATION.cff", VALID_CFF);
  for (const std::string id : {"rich_metadata", "searchable_metadata", "no_such_indicator", ""}) {
    const CheckResult result = YarrowinPlugin{}.check(id, Context(repo.path()));
    EXPECT_EQ(result.indicator_id, id);
    EXPECT_EQ(result.score, 10.0) << id;
    EXPECT_EQ(result.output, "Valid CFF structure") << id;
  }
}

// --- Structure of one CFF file -------------------------------------------------------------

struct CffCase {
  std::string name;
  std::string content;
  bool valid;
  std::string message;  // a trailing "*" compares only what comes before it
};

void PrintTo(const CffCase& c, std::ostream* os) { *os << c.name; }

class YarrowinCffStructure : public ::testing::TestWithParam<CffCase> {};

TEST_P(YarrowinCffStructure, ValidatesInOrder) {
  const CffCase& c = GetParam();
  TempDir repo;
  const auto path = repo.write("CITATION.cff", c.content);
  const auto [valid, message] = detail::basic_cff_check(path, repo.path());
  EXPECT_EQ(valid, c.valid) << message;
  if (c.message.ends_with('*')) {
    EXPECT_TRUE(message.starts_with(c.message.substr(0, c.message.size() - 1))) << message;
  } else {
    EXPECT_EQ(message, c.message);
  }
}

const std::string VALID = "Valid CFF structure";
const std::string TOO_SHORT = "File is too short";
const std::string NOT_MAPPING = "CFF root must be a mapping";

INSTANTIATE_TEST_SUITE_P(
    Contents, YarrowinCffStructure,
    ::testing::Values(
        CffCase{"valid", VALID_CFF, true, VALID},
        CffCase{"all_values_empty", "cff-version:\ntitle: ''\nauthors: []\n", true, VALID},
        CffCase{"crlf_line_ends", "cff-version: 1.2.0\r\ntitle: T\r\nauthors: []\r\n", true, VALID},
        CffCase{"leading_byte_order_mark", "\xef\xbb\xbf" + std::string(VALID_CFF), true, VALID},
        CffCase{"quoted_and_tagged_keys", "\"cff-version\": 1.2.0\n'title': T\n!!str authors: []\n",
                true, VALID},
        CffCase{"keys_through_a_merge",
                "base: &base\n  title: T\n  authors: []\n<<: *base\ncff-version: 1.2.0\n", true,
                VALID},
        CffCase{"keys_through_a_list_of_merges",
                "a: &a {title: T}\nb: &b {authors: []}\n<<: [*a, *b]\ncff-version: 1.2.0\n", true,
                VALID},
        CffCase{"repeated_key", "cff-version: 1.2.0\ntitle: A\ntitle: B\nauthors: []\n", true,
                VALID},
        // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR end lines in YAML 1.1.
        CffCase{"unicode_line_breaks", "cff-version: 1.2.0\u0085title: Tool\u2028authors: []\u2029",
                true, VALID},
        CffCase{"typed_values",
                std::string(VALID_CFF) + "version: 1.0\ndate-released: 2024-02-29\nyear: 2024\n"
                                         "open: yes\nmessage: \"2023-02-30\"\n",
                true, VALID},

        CffCase{"point_and_underscore_are_text", "cff-version: 1.2.0\ntitle: ._\nauthors: []\n",
                true, VALID},

        CffCase{"missing_file_content", "", false, TOO_SHORT},
        CffCase{"eighteen_characters", "cff-version: 1.2.0", false, TOO_SHORT},
        CffCase{"blank_surroundings_do_not_count",
                "\n\n   cff-version: 1.2.0  \t\n\u3000\u2003\n\n", false, TOO_SHORT},
        CffCase{"nineteen_characters", "cff-version: 1.2.0a", false, TOO_SHORT},
        CffCase{"nineteen_code_points_in_more_bytes",
                "title: \u00e9\u00e9\u00e9\u00e9\u00e9"
                "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9",
                false, TOO_SHORT},
        CffCase{"twenty_characters_go_on", "cff-version: 1.2.0ab", false,
                "Missing keys: title, authors"},

        CffCase{"unclosed_bracket", "cff-version: [1.2.0, 1.1.0\n", false, "Invalid YAML: *"},
        CffCase{"unclosed_quote_swallowing_the_rest",
                "cff-version: 1.2.0\nauthors: []\ntitle: \"Tool\nabstract: x\n", false,
                "Invalid YAML: *"},
        CffCase{"bad_indentation", "cff-version: 1.2.0\n  title: T\n authors: []\n", false,
                "Invalid YAML: *"},
        CffCase{"two_documents", std::string(VALID_CFF) + "---\n" + VALID_CFF, false,
                "Invalid YAML: error at line 5, column 1: expected a single document in the "
                "stream, but found another document"},
        CffCase{"unknown_tag", std::string(VALID_CFF) + "x: !!exec/shell ls\n", false,
                "Invalid YAML: error at line 5, column 4: could not determine a constructor for "
                "the tag 'tag:yaml.org,2002:exec/shell'"},
        CffCase{"local_tag", std::string(VALID_CFF) + "x: !custom 1\n", false,
                "Invalid YAML: error at line 5, column 4: could not determine a constructor for "
                "the tag '!custom'"},
        CffCase{"impossible_date", std::string(VALID_CFF) + "date-released: 2023-02-30\n", false,
                "Invalid YAML: error at line 5, column 16: could not construct a timestamp from "
                "'2023-02-30'"},
        CffCase{"control_character", "cff-version: 1.2.0\ntitle: T\x01\nauthors: []\n", false,
                "Invalid YAML: error at line 2, column 9: unacceptable character #x0001: control "
                "characters are not allowed"},
        CffCase{"list_as_key", std::string(VALID_CFF) + "? [a, b]\n: c\n", false,
                "Invalid YAML: error at line 5, column 3: found unhashable key"},

        CffCase{"comments_only", "# cff-version: 1.2.0\n# title: nothing here\n", false,
                NOT_MAPPING},
        CffCase{"empty_document", "---\n# nothing but a comment\n...\n", false, NOT_MAPPING},
        CffCase{"top_level_list", "- cff-version: 1.2.0\n- title: T\n", false, NOT_MAPPING},
        CffCase{"top_level_text", "\"cff-version: 1.2.0 title: T\"\n", false, NOT_MAPPING},
        CffCase{"top_level_set", "!!set {cff-version, title, authors}\n", false, NOT_MAPPING},

        CffCase{"one_key_missing", "cff-version: 1.2.0\ntitle: Tool\n", false,
                "Missing keys: authors"},
        CffCase{"all_keys_missing", "name: Tool\nversion: 1.0.0\n", false,
                "Missing keys: cff-version, title, authors"},
        CffCase{"keys_that_are_not_text",
                "cff-version: 1.2.0\n? !!binary dGl0bGU=\n: T\nauthors: []\n", false,
                "Missing keys: title"},
        CffCase{"keys_only_nested", "meta:\n  cff-version: 1.2.0\n  title: T\n  authors: []\n",
                false, "Missing keys: cff-version, title, authors"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
