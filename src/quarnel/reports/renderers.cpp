#include "quarnel/reports/renderers.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/core/schema.hpp"
#include "quarnel/error.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::reports::renderers {

namespace text = utils::text;
using core::models::Assessment;
using utils::json::Json;

Renderer::~Renderer() = default;

namespace detail {

std::string pad_left_aligned(std::string_view value, std::size_t width) {
  std::string out(value);
  const std::size_t length = text::length(value);
  if (length < width) out.append(width - length, ' ');
  return out;
}

std::string pad_right_aligned(std::string_view value, std::size_t width) {
  const std::size_t length = text::length(value);
  std::string out;
  if (length < width) out.append(width - length, ' ');
  out.append(value);
  return out;
}

namespace {

void append_u_escape(std::string& out, unsigned unit) {
  constexpr std::string_view HEX = "0123456789abcdef";
  out.append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(HEX[(unit >> shift) & 0xf]);
}

}  // namespace

std::string quote_json(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out.push_back('"');
  // Report texts come from checks that decode leniently, but a stray invalid byte must not
  // produce a report that no JSON reader accepts.
  const std::u32string code_points =
      text::to_u32(text::is_valid_utf8(value) ? std::string(value)
                                              : text::decode_raw(value, text::DecodeMode::Replace));
  for (const char32_t cp : code_points) {
    switch (cp) {
      case U'"':
        out.append("\\\"");
        break;
      case U'\\':
        out.append("\\\\");
        break;
      case U'\n':
        out.append("\\n");
        break;
      case U'\r':
        out.append("\\r");
        break;
      case U'\t':
        out.append("\\t");
        break;
      case U'\b':
        out.append("\\b");
        break;
      case U'\f':
        out.append("\\f");
        break;
      default:
        if (cp >= 0x20 && cp <= 0x7e) {
          out.push_back(static_cast<char>(cp));
        } else if (cp > 0xffff) {
          const unsigned rest = static_cast<unsigned>(cp) - 0x10000;
          append_u_escape(out, 0xd800 + (rest >> 10));
          append_u_escape(out, 0xdc00 + (rest & 0x3ff));
        } else {
          append_u_escape(out, static_cast<unsigned>(cp));
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace detail

namespace {

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return text::float_repr(value);
}

class JsonWriter {
 public:
  // `unit` none means the single-line layout.
  explicit JsonWriter(std::optional<std::string> unit) : unit_(std::move(unit)) {}

  std::string write(const Json& value) {
    out_.clear();
    write_value(value, 0);
    return std::move(out_);
  }

 private:
  void newline(std::size_t level) {
    out_.push_back('\n');
    for (std::size_t i = 0; i < level; ++i) out_.append(*unit_);
  }

  void separator(bool first, std::size_t level) {
    if (unit_) {
      if (!first) out_.push_back(',');
      newline(level);
    } else if (!first) {
      out_.append(", ");
    }
  }

  void write_value(const Json& value, std::size_t level) {
    switch (value.type()) {
      case Json::value_t::null:
        out_.append("null");
        return;
      case Json::value_t::boolean:
        out_.append(value.get<bool>() ? "true" : "false");
        return;
      case Json::value_t::number_integer:
        out_.append(std::to_string(value.get<std::int64_t>()));
        return;
      case Json::value_t::number_unsigned:
        out_.append(std::to_string(value.get<std::uint64_t>()));
        return;
      case Json::value_t::number_float:
        out_.append(float_text(value.get<double>()));
        return;
      case Json::value_t::string:
        out_.append(detail::quote_json(value.get_ref<const std::string&>()));
        return;
      case Json::value_t::array: {
        if (value.empty()) {
          out_.append("[]");
          return;
        }
        out_.push_back('[');
        bool first = true;
        for (const auto& element : value) {
          separator(first, level + 1);
          first = false;
          write_value(element, level + 1);
        }
        if (unit_) newline(level);
        out_.push_back(']');
        return;
      }
      case Json::value_t::object: {
        if (value.empty()) {
          out_.append("{}");
          return;
        }
        out_.push_back('{');
        bool first = true;
        for (const auto& [key, member] : value.items()) {
          separator(first, level + 1);
          first = false;
          out_.append(detail::quote_json(key));
          out_.append(": ");
          write_value(member, level + 1);
        }
        if (unit_) newline(level);
        out_.push_back('}');
        return;
      }
      case Json::value_t::binary:
      case Json::value_t::discarded:
        break;
    }
    throw JsonTypeError("Object of type " + std::string(value.type_name()) +
                        " is not JSON serializable");
  }

  std::optional<std::string> unit_;
  std::string out_;
};

std::optional<std::string> indent_unit(const OptionValue* indent) {
  if (indent == nullptr) return std::string(2, ' ');
  if (std::holds_alternative<std::monostate>(*indent)) return std::nullopt;
  if (const auto* spaces = std::get_if<long long>(indent)) {
    return std::string(*spaces > 0 ? static_cast<std::size_t>(*spaces) : 0, ' ');
  }
  return std::get<std::string>(*indent);
}

}  // namespace

std::string dump_json(const Json& value, const OptionValue* indent) {
  return JsonWriter(indent_unit(indent)).write(value);
}

std::string TextRenderer::render(const Assessment& assessment, const RenderOptions&) const {
  using detail::pad_left_aligned;
  using detail::pad_right_aligned;
  const auto row = [](std::string_view indicator, std::string_view plugin, std::string_view score,
                      std::string_view status) {
    return pad_left_aligned(indicator, detail::INDICATOR_WIDTH) + " " +
           pad_left_aligned(plugin, detail::PLUGIN_WIDTH) + " " +
           pad_right_aligned(score, detail::SCORE_WIDTH) + "  " +
           pad_left_aligned(status, detail::STATUS_WIDTH);
  };

  const std::string header = row("Indicator", "Plugin", "Score", "Status");
  std::vector<std::string> lines;
  lines.reserve(assessment.indicators.size() + 8);
  lines.emplace_back("Assessment Results");
  lines.emplace_back(60, '=');
  lines.push_back(header);
  lines.emplace_back(text::length(header), '-');
  for (const auto& result : assessment.indicators) {
    lines.push_back(row(result.indicator_id, result.plugin, text::format_fixed1(result.score),
                        text::upper(core::models::to_string(result.status))));
  }
  lines.emplace_back();
  lines.push_back(std::to_string(assessment.passed_indicators.size()) + "/" +
                  std::to_string(assessment.indicators.size()) + " passed (" +
                  std::to_string(assessment.skipped.size()) + " skipped, " +
                  std::to_string(assessment.duration_ms) + "ms)");
  lines.push_back("Compliance: " + (assessment.compliance_level.empty()
                                        ? std::string("none")
                                        : assessment.compliance_level));
  lines.push_back("Overall score: " + text::format_fixed1(assessment.overall_score));
  return text::join(lines, "\n");
}

std::string JsonRenderer::render(const Assessment& assessment, const RenderOptions& options) const {
  const auto found = options.find("indent");
  const OptionValue* indent = found == options.end() ? nullptr : &found->second;
  return dump_json(core::schema::to_json(assessment), indent);
}

}  // namespace quarnel::reports::renderers
