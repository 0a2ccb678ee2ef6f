#include "quarnel/reports/markdown.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quarnel/utils/text.hpp"
#include "reports/sample_assessment.hpp"

namespace {

using quarnel::core::models::Assessment;
using quarnel::core::models::CheckStatus;
using quarnel::reports::markdown::MarkdownRenderer;
using quarnel::reports::markdown::detail::code_span;
using quarnel::reports::markdown::detail::escape_text;
using quarnel::reports::renderers::OptionValue;
using quarnel::testing::sample_assessment;
using quarnel::testing::sample_result;

std::string render(const Assessment& a) { return MarkdownRenderer().render(a, {}); }

std::vector<std::string> lines_of(const std::string& text) {
  return quarnel::utils::text::split(text, "\n");
}

// Cell boundaries as a GFM table reads them: pipes not preceded by a backslash.
std::size_t unescaped_pipes(const std::string& line) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '|') {
      ++count;
    }
  }
  return count;
}

TEST(MarkdownEscapeTest, TextIsMadeInert) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"7.5 of 10, ok.", "7.5 of 10, ok."},
      {"a|b", "a\\|b"},
      {"back\\slash|", "back\\\\slash\\|"},  // the pipe stays escaped after a backslash
      {"one\ntwo\r\nthree\rfour", "one<br>two<br>three<br>four"},
      {"*bold* _it_", "\\*bold\\* \\_it\\_"},
      {"`code`", "\\`code\\`"},
      {"[link](x)", "\\[link\\](x)"},
      {"<script>", "\\<script\\>"},
      {"&amp;", "\\&amp;"},
      {"~~gone~~ $x$", "\\~\\~gone\\~\\~ \\$x\\$"},
      {"caf\u00e9", "caf\u00e9"},
      {"", ""},
  };
  for (const auto& [raw, expected] : cases) EXPECT_EQ(escape_text(raw), expected) << raw;
}

TEST(MarkdownEscapeTest, CodeSpans) {
  struct Case {
    std::string raw;
    bool in_table;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"clear_license", false, "`clear_license`"},
      {"a`b", false, "``a`b``"},
      {"``x", false, "``` ``x ```"},
      {"x`", true, "`` x` ``"},
      {"a|b", true, "`a\\|b`"},
      {"a|b", false, "`a|b`"},
      {"a\nb", true, "`a b`"},
      {"", true, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(code_span(c.raw, c.in_table), c.expected) << c.raw;
}

// A checkout's texts (an origin URL, file names, findings quoting them) may carry terminal escape
// sequences; whoever reads the report with cat or in a terminal pager must not have them obeyed.
TEST(MarkdownEscapeTest, ControlCharactersAreShownEscaped) {
  struct Case {
    std::string raw;
    std::string text;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"\x1b]0;title\x07", "\\\\x1b\\]0;title\\\\x07", "`\\x1b]0;title\\x07`"},
      {"\x1b[2J", "\\\\x1b\\[2J", "`\\x1b[2J`"},
      {"a\tb\x7f", "a\\\\tb\\\\x7f", "`a\\tb\\x7f`"},
      {"\xc2\x9b"
       "31m",
       "\\\\x9b"
       "31m",
       "`\\x9b"
       "31m`"},  // C1 CSI
      {std::string("\0", 1), "\\\\x00", "`\\x00`"},
      // Line breaks keep their own forms; other characters stay.
      {"a\nb \xc2\xa0\xe2\x80\x8b", "a<br>b \xc2\xa0\xe2\x80\x8b", "`a b \xc2\xa0\xe2\x80\x8b`"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escape_text(c.raw), c.text) << quarnel::utils::text::repr(c.raw);
    EXPECT_EQ(code_span(c.raw, true), c.code) << quarnel::utils::text::repr(c.raw);
  }
}

TEST(MarkdownRendererTest, NoControlCharacterReachesTheReport) {
  Assessment a = sample_assessment();
  a.repository.url = "https://example.org/\x1b]0;owned\x07/r\x1b[2J";
  a.indicators[0].output = "Remote: https://example.org/\x1b]0;owned\x07";
  a.indicators[0].evidence = "URL: \x1b[2J\xc2\x9b";
  const std::string report = render(a);
  for (const char c : report) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 && byte != '\n') || byte == 0x7f) << static_cast<int>(byte);
  }
  EXPECT_EQ(report.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(report.find("`https://example.org/\\x1b]0;owned\\x07/r\\x1b[2J`"), std::string::npos);
}

TEST(MarkdownRendererTest, HeadlineAndLevel) {
  for (const auto& [level, shown] : std::vector<std::pair<std::string, std::string>>{
           {"silver", "silver"}, {"", "none"}, {"gold_*", "gold\\_\\*"}}) {
    Assessment a;
    a.compliance_level = level;
    a.overall_score = 7.35;
    const auto lines = lines_of(render(a));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "# quarnel FAIR assessment");
    EXPECT_EQ(lines[2], "**Compliance:** " + shown + " \u00b7 **Overall score:** 7.3/10");
  }
}

TEST(MarkdownRendererTest, TableRowsKeepTheirCellsWhateverTheTexts) {
  Assessment a = sample_assessment();
  a.indicators[0].output = "a | b\nsecond line\r\nthird `x|y` \\|";
  a.indicators[0].indicator_id = "odd|id`";
  a.indicators[1].principle = "F1|x";
  a.categories[0].score.grade = "A|B";
  const auto lines = lines_of(render(a));
  std::size_t result_rows = 0;
  bool in_results = false;
  for (const auto& line : lines) {
    if (line == "| Indicator | Principle | Score | Status | Finding |") in_results = true;
    if (line.empty()) in_results = false;
    if (!line.empty() && line[0] == '|') {
      EXPECT_EQ(unescaped_pipes(line), in_results ? 6u : 5u) << line;
      if (in_results) ++result_rows;
    }
  }
  EXPECT_EQ(result_rows, 2u + 2u);  // header, delimiter and one row per result
  EXPECT_NE(render(a).find("| a \\| b<br>second line<br>third \\`x\\|y\\` \\\\\\| |"),
            std::string::npos);
}

TEST(MarkdownRendererTest, EmptyAssessment) {
  const std::string report = render(Assessment{});
  EXPECT_EQ(report,
            "# quarnel FAIR assessment\n"
            "\n"
            "**Compliance:** none \u00b7 **Overall score:** 0.0/10\n"
            "\n"
            "0 of 0 indicators passed \u00b7 0 skipped \u00b7 0 ms\n"
            "\n"
            "## Categories\n"
            "\n"
            "| Category | Score | Grade | Passed |\n"
            "| --- | ---: | :---: | ---: |\n"
            "| Findable | \u2014 | \u2014 | \u2014 |\n"
            "| Accessible | \u2014 | \u2014 | \u2014 |\n"
            "| Interoperable | \u2014 | \u2014 | \u2014 |\n"
            "| Reusable | \u2014 | \u2014 | \u2014 |\n"
            "\n"
            "## Results\n"
            "\n"
            "No indicator was assessed.\n");
}

TEST(MarkdownRendererTest, FullReport) {
  EXPECT_EQ(render(sample_assessment()), R"md(# quarnel FAIR assessment

**Compliance:** none · **Overall score:** 5.8/10

1 of 2 indicators passed · 1 skipped · 1234 ms

**Repository:** `/src/demo` · `https://example.org/o/demo` · branch `main` · commit `0123abc`

## Categories

| Category | Score | Grade | Passed |
| --- | ---: | :---: | ---: |
| Findable | 2.5 | E | 0/1 |
| Accessible | — | — | — |
| Interoperable | — | — | — |
| Reusable | 9.0 | A | 1/1 |

## Results

| Indicator | Principle | Score | Status | Finding |
| --- | --- | ---: | --- | --- |
| `clear_license` | R1.1 | 9.0 | pass | MIT license found |
| `persistent_identifier` | F1 | 2.5 | fail | No DOI |

## Next level

Towards **bronze**: 1 of 4 principles met (25%).

Missing:

- **A1.1** Open and free protocol
- **F1** Globally unique and persistent identifier
- **R3** Domain-relevant community standards

## Quality gate

**Failed:**

- Compliance none is below bronze

## Quality goals

- Compliance: none, target silver: **not met**
- Score: 5.8, target 5.0: **met**

## Skipped

- `rich_metadata`

## Details

### `clear_license`

- **Plugin:** brantel
- **Principle:** R1.1 Clear license
- **Category:** reusable
- **Score:** 9.0 (pass)
- **Process:** Looked for LICENSE files
- **Output:** MIT license found
- **Evidence:** LICENSE

### `persistent_identifier`

- **Plugin:** olvenar
- **Principle:** F1 Globally unique and persistent identifier
- **Category:** findable
- **Score:** 2.5 (fail)
- **Process:** Searched metadata for a DOI
- **Output:** No DOI
- **Evidence:** README.md; CITATION.cff
)md");
}

TEST(MarkdownRendererTest, MissingPrinciplesCarryTheirCatalogueNames) {
  Assessment a;
  a.progress = quarnel::core::models::Progress{"silver", {"F2", "X9"}, 8, 10, 80};
  const std::string report = render(a);
  EXPECT_NE(report.find("## Next level\n\nTowards **silver**: 8 of 10 principles met (80%).\n\n"
                        "Missing:\n\n- **F2** Rich metadata\n- **X9**\n"),
            std::string::npos)
      << report;
}

TEST(MarkdownRendererTest, GateAndGoalSectionsOnlyWhenSet) {
  Assessment a;
  EXPECT_EQ(render(a).find("## Quality"), std::string::npos);
  a.quality_gate = quarnel::core::models::GateVerdict{};
  EXPECT_NE(render(a).find("## Quality gate\n\n**Passed.**\n"), std::string::npos);
  EXPECT_EQ(render(a).find("## Quality goals"), std::string::npos);
  a.quality_goals.score = quarnel::core::models::ScoreGoal{6.25, 8.0, false};
  EXPECT_NE(render(a).find("## Quality goals\n\n- Score: 6.2, target 8.0: **not met**\n"),
            std::string::npos);
}

TEST(MarkdownRendererTest, DetailsLeaveOutEmptyTexts) {
  Assessment a;
  a.indicators = {sample_result("clear_license", "brantel", 0.0, CheckStatus::UNKNOWN)};
  a.indicators[0].evidence = "LICENSE, COPYING";
  const std::string report = render(a);
  EXPECT_NE(report.find("### `clear_license`\n\n- **Plugin:** brantel\n- **Principle:** \u2014\n"
                        "- **Category:** \u2014\n- **Score:** 0.0 (unknown)\n"
                        "- **Evidence:** LICENSE, COPYING\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("**Process:**"), std::string::npos);
  EXPECT_EQ(report.find("**Output:**"), std::string::npos);
}

TEST(MarkdownRendererTest, OptionsChangeNothing) {
  const Assessment a = sample_assessment();
  EXPECT_EQ(MarkdownRenderer().render(a, {{"indent", OptionValue{4LL}}}), render(a));
}

}  // namespace
