#include "quarnel/reports/markdown.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "quarnel/core/indicators.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::reports::markdown {

namespace text = utils::text;
using core::models::Assessment;

namespace detail {

namespace {

constexpr std::string_view ACTIVE_CHARACTERS = "\\`*_[]<>|~&$";

// Calls `on_break` for each CR LF, CR or LF, `on_control` with the escaped form of every other
// C0 or C1 control character or DEL (texts of a checkout may hold terminal escape sequences),
// and `on_char` for every other byte.
template <typename OnChar, typename OnBreak, typename OnControl>
void walk_lines(std::string_view value, OnChar on_char, OnBreak on_break, OnControl on_control) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
      on_break();
    } else if (c == '\n') {
      on_break();
    } else if (byte < 0x20 || byte == 0x7F) {
      on_control(text::escape_controls(value.substr(i, 1)));
    } else if (byte == 0xC2 && i + 1 < value.size() &&
               static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(value[i + 1]) <= 0x9F) {
      on_control(text::escape_controls(value.substr(i, 2)));
      ++i;
    } else {
      on_char(c);
    }
  }
}

}  // namespace

std::string escape_text(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  walk_lines(
      value,
      [&](char c) {
        if (ACTIVE_CHARACTERS.find(c) != std::string_view::npos) out.push_back('\\');
        out.push_back(c);
      },
      [&] { out.append("<br>"); },
      [&](const std::string& escaped) {
        // The backslash of the escape is itself active in Markdown text.
        for (const char e : escaped) {
          if (e == '\\') out.push_back('\\');
          out.push_back(e);
        }
      });
  return out;
}

std::string code_span(std::string_view value, bool in_table) {
  std::string body;
  body.reserve(value.size());
  walk_lines(
      value,
      [&](char c) {
        if (in_table && c == '|') body.push_back('\\');
        body.push_back(c);
      },
      [&] { body.push_back(' '); }, [&](const std::string& escaped) { body += escaped; });
  if (body.empty()) return body;  // "``" would be shown as two backticks

  std::size_t longest = 0;
  std::size_t run = 0;
  for (const char c : body) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(longest + 1, '`');
  // A body that starts or ends with a backtick would merge with the fence; code spans strip
  // one space from each side when both are there.
  const bool pad = !body.empty() && (body.front() == '`' || body.back() == '`');
  const std::string space = pad ? " " : "";
  return fence + space + body + space + fence;
}

}  // namespace detail

namespace {

using detail::code_span;
using detail::escape_text;

constexpr std::string_view DASH = "\u2014";
constexpr std::string_view DOT = " \u00b7 ";

constexpr std::array<core::models::FAIRCategory, 4> CATEGORY_ORDER = {
    core::models::FAIRCategory::FINDABLE, core::models::FAIRCategory::ACCESSIBLE,
    core::models::FAIRCategory::INTEROPERABLE, core::models::FAIRCategory::REUSABLE};

std::string or_dash(std::string value) { return value.empty() ? std::string(DASH) : value; }

std::string level_text(std::string_view level) {
  return level.empty() ? std::string("none") : escape_text(level);
}

std::string capitalised(std::string_view name) {
  std::string out(name);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
  return out;
}

std::string principle_label(std::string_view principle_id, bool bold_id) {
  std::string label = escape_text(principle_id);
  if (bold_id) label = "**" + label + "**";
  if (const auto* principle = core::indicators::get_principle(principle_id)) {
    label += " " + escape_text(principle->name);
  }
  return label;
}

class Document {
 public:
  void line(std::string text = {}) { lines_.push_back(std::move(text)); }
  void heading(std::string_view text) {
    line();
    line("## " + std::string(text));
    line();
  }
  std::string text() const { return text::join(lines_, "\n") + "\n"; }

 private:
  std::vector<std::string> lines_;
};

void write_headline(Document& doc, const Assessment& assessment) {
  doc.line("# quarnel FAIR assessment");
  doc.line();
  doc.line("**Compliance:** " + level_text(assessment.compliance_level) + std::string(DOT) +
           "**Overall score:** " + text::format_fixed1(assessment.overall_score) + "/10");
  doc.line();
  doc.line(std::to_string(assessment.passed_indicators.size()) + " of " +
           std::to_string(assessment.indicators.size()) + " indicators passed" + std::string(DOT) +
           std::to_string(assessment.skipped.size()) + " skipped" + std::string(DOT) +
           std::to_string(assessment.duration_ms) + " ms");

  const auto& repository = assessment.repository;
  std::vector<std::string> parts;
  if (!repository.path.empty()) parts.push_back(code_span(repository.path, false));
  if (text::truthy(repository.url)) parts.push_back(code_span(*repository.url, false));
  if (text::truthy(repository.branch)) {
    parts.push_back("branch " + code_span(*repository.branch, false));
  }
  if (text::truthy(repository.commit)) {
    parts.push_back("commit " + code_span(*repository.commit, false));
  }
  if (!parts.empty()) {
    doc.line();
    doc.line("**Repository:** " + text::join(parts, std::string(DOT)));
  }
}

void write_categories(Document& doc, const Assessment& assessment) {
  doc.heading("Categories");
  doc.line("| Category | Score | Grade | Passed |");
  doc.line("| --- | ---: | :---: | ---: |");
  for (const auto category : CATEGORY_ORDER) {
    const std::string_view key = core::models::to_string(category);
    const auto found =
        std::find_if(assessment.categories.begin(), assessment.categories.end(),
                     [&](const core::models::CategoryEntry& entry) { return entry.key == key; });
    std::string row = "| " + capitalised(key) + " | ";
    if (found == assessment.categories.end()) {
      row += std::string(DASH) + " | " + std::string(DASH) + " | " + std::string(DASH) + " |";
    } else {
      const auto& score = found->score;
      row += text::format_fixed1(score.score) + " | " + or_dash(escape_text(score.grade)) + " | " +
             std::to_string(score.indicators_passed) + "/" +
             std::to_string(score.indicators_total) + " |";
    }
    doc.line(row);
  }
}

void write_results(Document& doc, const Assessment& assessment) {
  doc.heading("Results");
  if (assessment.indicators.empty()) {
    doc.line("No indicator was assessed.");
    return;
  }
  doc.line("| Indicator | Principle | Score | Status | Finding |");
  doc.line("| --- | --- | ---: | --- | --- |");
  for (const auto& result : assessment.indicators) {
    doc.line("| " + or_dash(code_span(result.indicator_id, true)) + " | " +
             or_dash(escape_text(result.principle)) + " | " + text::format_fixed1(result.score) +
             " | " + std::string(core::models::to_string(result.status)) + " | " +
             escape_text(result.output) + " |");
  }
}

void write_progress(Document& doc, const Assessment& assessment) {
  if (!assessment.progress) return;
  const auto& progress = *assessment.progress;
  doc.heading("Next level");
  doc.line("Towards **" + level_text(progress.next_level) + "**: " + std::to_string(progress.met) +
           " of " + std::to_string(progress.total) + " principles met (" +
           std::to_string(progress.pct) + "%).");
  if (progress.missing.empty()) return;
  doc.line();
  doc.line("Missing:");
  doc.line();
  for (const auto& principle_id : progress.missing)
    doc.line("- " + principle_label(principle_id, true));
}

void write_verdicts(Document& doc, const Assessment& assessment) {
  if (assessment.quality_gate) {
    const auto& gate = *assessment.quality_gate;
    doc.heading("Quality gate");
    doc.line(gate.passed ? "**Passed.**" : "**Failed:**");
    if (!gate.violations.empty()) doc.line();
    for (const auto& violation : gate.violations) doc.line("- " + escape_text(violation));
  }
  const auto& goals = assessment.quality_goals;
  if (!goals.compliance && !goals.score) return;
  doc.heading("Quality goals");
  const auto verdict = [](bool met) { return std::string(met ? "**met**" : "**not met**"); };
  if (goals.compliance) {
    doc.line("- Compliance: " + level_text(goals.compliance->current.value_or("")) + ", target " +
             level_text(goals.compliance->target) + ": " + verdict(goals.compliance->met));
  }
  if (goals.score) {
    doc.line("- Score: " + text::format_fixed1(goals.score->current) + ", target " +
             text::format_fixed1(goals.score->target) + ": " + verdict(goals.score->met));
  }
}

void write_skipped(Document& doc, const Assessment& assessment) {
  if (assessment.skipped.empty()) return;
  doc.heading("Skipped");
  for (const auto& indicator_id : assessment.skipped) {
    doc.line("- " + code_span(indicator_id, false));
  }
}

void write_details(Document& doc, const Assessment& assessment) {
  if (assessment.indicators.empty()) return;
  doc.heading("Details");
  bool first = true;
  for (const auto& result : assessment.indicators) {
    if (!first) doc.line();
    first = false;
    doc.line("### " + or_dash(code_span(result.indicator_id, false)));
    doc.line();
    doc.line("- **Plugin:** " + or_dash(escape_text(result.plugin)));
    doc.line("- **Principle:** " + (result.principle.empty()
                                        ? std::string(DASH)
                                        : principle_label(result.principle, false)));
    doc.line("- **Category:** " + or_dash(escape_text(result.category)));
    doc.line("- **Score:** " + text::format_fixed1(result.score) + " (" +
             std::string(core::models::to_string(result.status)) + ")");
    const std::array<std::pair<std::string_view, const std::string*>, 3> texts = {{
        {"Process", &result.process},
        {"Output", &result.output},
        {"Evidence", &result.evidence},
    }};
    for (const auto& [label, value] : texts) {
      if (!value->empty()) doc.line("- **" + std::string(label) + ":** " + escape_text(*value));
    }
  }
}

}  // namespace

std::string MarkdownRenderer::render(const Assessment& assessment,
                                     const renderers::RenderOptions&) const {
  Document doc;
  write_headline(doc, assessment);
  write_categories(doc, assessment);
  write_results(doc, assessment);
  write_progress(doc, assessment);
  write_verdicts(doc, assessment);
  write_skipped(doc, assessment);
  write_details(doc, assessment);
  return doc.text();
}

}  // namespace quarnel::reports::markdown
