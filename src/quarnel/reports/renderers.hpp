#pragma once

// The renderer contract and the two built-in renderers: a fixed-width plain-text table and the
// JSON form of the assessment, written by our own JSON writer: the library's own dump differs in
// separators, escaping and float form, and CI jobs diff the report text.

#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "quarnel/core/models.hpp"
#include "quarnel/utils/json.hpp"

namespace quarnel::reports::renderers {

// A named renderer option: none, a whole number or a text.
using OptionValue = std::variant<std::monostate, long long, std::string>;
// Options by name; a name that is not in the map was not given.
using RenderOptions = std::map<std::string, OptionValue>;

// Built without arguments; render returns the whole report. Renderers keep no state, so one
// instance serves one report and is dropped.
class Renderer {
 public:
  virtual ~Renderer();
  virtual std::string render(const core::models::Assessment& assessment,
                             const RenderOptions& options) const = 0;
};

// The results as a table followed by a summary; reads no option.
class TextRenderer : public Renderer {
 public:
  std::string render(const core::models::Assessment& assessment,
                     const RenderOptions& options) const override;
};

// The tree of core::schema::to_json as JSON text; reads the option "indent".
class JsonRenderer : public Renderer {
 public:
  std::string render(const core::models::Assessment& assessment,
                     const RenderOptions& options) const override;
};

// JSON text of a tree, pure ASCII (\uXXXX escapes, surrogate pairs): members in the tree's
// order; `indent` nullptr (not given) means 2, none means one line with ", " and ": ", a
// number n puts every member on its own line indented by n spaces per level (none for n <= 0),
// a text is the indentation unit itself. Floats in shortest round-trip form, NaN and the
// infinities as bare words. No final line feed. JsonTypeError for a binary or discarded value.
std::string dump_json(const utils::json::Json& value, const OptionValue* indent);

namespace detail {

// The column widths of the text table; a longer value is written whole and shifts its row.
inline constexpr std::size_t INDICATOR_WIDTH = 28;
inline constexpr std::size_t PLUGIN_WIDTH = 18;
inline constexpr std::size_t SCORE_WIDTH = 5;
inline constexpr std::size_t STATUS_WIDTH = 6;

// `text` followed (left) or preceded (right) by spaces up to `width` code points.
std::string pad_left_aligned(std::string_view text, std::size_t width);
std::string pad_right_aligned(std::string_view text, std::size_t width);

// A JSON string literal with ensure_ascii escaping; invalid UTF-8 is written as U+FFFD.
std::string quote_json(std::string_view text);

}  // namespace detail

}  // namespace quarnel::reports::renderers
