#pragma once

// The assessment as GitHub-flavoured Markdown, for an issue, a pull request or a CI job
// summary: level and score, category grades, every result, the way to the next level, the gate
// and goal verdicts, and what each check examined.

#include <string>
#include <string_view>

#include "quarnel/core/models.hpp"
#include "quarnel/reports/renderers.hpp"

namespace quarnel::reports::markdown {

// Reads no option. The text ends with one line feed.
class MarkdownRenderer : public renderers::Renderer {
 public:
  std::string render(const core::models::Assessment& assessment,
                     const renderers::RenderOptions& options) const override;
};

namespace detail {

// Free text made inert: the characters that could start emphasis, code, links, HTML,
// strike-through, math or a table cell boundary get a backslash, and each line break becomes
// "<br>", so the text stays on its line and inside its table cell.
std::string escape_text(std::string_view text);

// `text` as a code span (empty for an empty text), its fence longer than any run of backticks
// inside. Line breaks become spaces; inside a table "|" is written "\|", which the table reads
// as part of the cell.
std::string code_span(std::string_view text, bool in_table);

}  // namespace detail

}  // namespace quarnel::reports::markdown
