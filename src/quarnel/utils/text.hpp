#pragma once

// Text helpers with exact semantics. Every check depends on these behaving the same way
// everywhere, so there is one implementation of each and nothing re-implements them.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::utils::text {

// How undecodable UTF-8 is handled.
enum class DecodeMode {
  Strict,   // raise DecodeError
  Replace,  // one U+FFFD per maximal invalid subpart
  Drop,     // leave invalid bytes out
};

// Decodes UTF-8 bytes. A CR LF pair and a lone CR become LF (universal newlines), a leading
// byte-order mark is kept as U+FEFF. Overlong forms, surrogates and code points above U+10FFFF
// are invalid. Strict mode raises DecodeError.
std::string decode(std::string_view bytes, DecodeMode mode = DecodeMode::Strict);

// Decoding without the newline translation.
std::string decode_raw(std::string_view bytes, DecodeMode mode = DecodeMode::Strict);

// True when the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// CR LF and lone CR to LF.
std::string translate_newlines(std::string_view text);

// Code points of valid UTF-8 text, and back.
std::u32string to_u32(std::string_view text);
std::string from_u32(std::u32string_view text);
void append_utf8(std::string& out, char32_t cp);

// Number of code points of valid UTF-8 text.
std::size_t length(std::string_view text);

// The 29 white-space code points: category Zs or bidi class WS, B or S.
bool is_space(char32_t cp);

std::string strip(std::string_view text);
std::string lstrip(std::string_view text);
std::string rstrip(std::string_view text);

// Full Unicode case mapping (root locale): U+0130 lowers to "i" + U+0307, U+212A to "k".
std::string lower(std::string_view text);
std::string upper(std::string_view text);

// The quoted printable form of a text: single quotes unless it holds ' and no ", with \\, the
// enclosing quote, \t, \n, \r escaped and other non-printable characters as \xNN, \uNNNN or
// \UNNNNNNNN.
std::string repr(std::string_view text);

// repr of at most the first MAX_QUOTED characters of a value, followed by "…" when the value is
// longer: a wrong value is quoted in an error line or a finding, and one from a checkout may be
// megabytes long. Only the characters shown are walked.
inline constexpr std::size_t MAX_QUOTED = 80;
std::string repr_cut(std::string_view text);
// The first `count` characters of `text` (all of it when it holds fewer), walking only those.
std::string_view first_characters(std::string_view text, std::size_t count);

// The text as it may reach a terminal or a Markdown report: C0 and C1 control characters and
// DEL escaped (\t, \n, \r, else \xNN), an undecodable byte as U+FFFD, every other character
// as it is. Text from a checkout can hold escape sequences that retitle or clear a terminal.
std::string escape_controls(std::string_view text);

// "%.1f" of the exact binary value, ties to even (6.25 -> "6.2", 6.75 -> "6.8").
std::string format_fixed1(double value);
// The value rounded to one decimal the same way, as a double.
double round1(double value);
// Nearest whole number, ties to even, on the exact binary value.
double round_half_even(double value);

// Shortest text that reads back as the same double, in the form "7.0", "0.1", "1e-05",
// "1e+16", "nan", "inf".
std::string float_repr(double value);

// Neumaier's compensated summation: ten 0.1 add up to exactly 1.0.
class CompensatedSum {
 public:
  void add(double value);
  double value() const;

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};
double compensated_sum(const std::vector<double>& values);

// Truth of an optional text: none and "" are false.
inline bool truthy(const std::optional<std::string>& value) {
  return value.has_value() && !value->empty();
}

std::vector<std::string> split(std::string_view text, std::string_view separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
bool contains(std::string_view haystack, std::string_view needle);

// Offset of the first `needle` in `haystack` at or after `from`, or npos, in time linear in the
// two lengths: std::string_view::find compares afresh at every place, which costs the product
// of the lengths when the needle's start recurs in the haystack (both may come from a checkout).
std::size_t find_linear(std::string_view haystack, std::string_view needle, std::size_t from = 0);

// Calls `visit` with each part of `text` between occurrences of `separator`, as split would
// give them, without copying any: a text of megabytes of separators is walked, not stored.
// ValueError for an empty separator, as for split.
void for_each_part(std::string_view text, std::string_view separator,
                   const std::function<void(std::string_view)>& visit);

}  // namespace quarnel::utils::text
