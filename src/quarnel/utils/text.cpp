#include "quarnel/utils/text.hpp"

#include <string.h>  // memmem
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "quarnel/error.hpp"

namespace quarnel::utils::text {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Outcome of reading one code point at a position. `length` is the number of bytes consumed:
// for a valid sequence its whole length, for an invalid one the maximal invalid subpart (the
// lead byte plus the continuation bytes that were still acceptable), never less than one.
struct Step {
  char32_t cp = 0;
  std::size_t length = 1;
  bool valid = false;
  const char* reason = "";
};

// Reads one UTF-8 sequence. The acceptable range of the second byte depends on the lead byte;
// that is what rules out overlong forms, surrogates and values above U+10FFFF, and it also
// fixes where a maximal invalid subpart ends.
Step read_one(std::string_view bytes, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(pos);
  Step step;
  if (lead < 0x80) {
    step.cp = lead;
    step.valid = true;
    return step;
  }
  std::size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    step.reason = "invalid start byte";
    return step;
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < need; ++k, ++i) {
    if (i >= bytes.size()) {
      step.length = i - pos;
      step.reason = "unexpected end of data";
      return step;
    }
    const unsigned char b = byte(i);
    const unsigned char lo = k == 0 ? low : 0x80;
    const unsigned char hi = k == 0 ? high : 0xBF;
    if (b < lo || b > hi) {
      step.length = i - pos;
      step.reason = "invalid continuation byte";
      return step;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  step.cp = cp;
  step.length = need + 1;
  step.valid = true;
  return step;
}

// Names the whole invalid subpart: a single byte by its value, several by their range.
std::string decode_error_message(std::string_view bytes, std::size_t pos, const Step& step) {
  char buffer[160];
  if (step.length > 1) {
    std::snprintf(buffer, sizeof buffer, "'utf-8' codec can't decode bytes in position %zu-%zu: %s",
                  pos, pos + step.length - 1, step.reason);
  } else {
    std::snprintf(buffer, sizeof buffer,
                  "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  static_cast<unsigned>(static_cast<unsigned char>(bytes[pos])), pos, step.reason);
  }
  return buffer;
}

// Next code point of text that is assumed valid; an invalid byte reads as U+FFFD so that a
// caller breaking that promise gets a sensible result rather than an overrun.
char32_t next_cp(std::string_view text, std::size_t& pos) {
  const Step step = read_one(text, pos);
  pos += step.length;
  return step.valid ? step.cp : REPLACEMENT;
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Start of the code point that ends just before `end`.
std::size_t previous_start(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  std::size_t steps = 0;
  while (start > 0 && steps < 3 && is_continuation(static_cast<unsigned char>(text[start]))) {
    --start;
    ++steps;
  }
  return start;
}

bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::u16string to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = next_cp(text, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string from_utf16(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    append_utf8(out, cp);
  }
  return out;
}

using CaseFunction = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

// Full case mapping through ICU in the root locale, which has the context rules (final sigma)
// but none of the language-specific ones (Turkish dotless i and the like).
std::string map_case(std::string_view text, CaseFunction function) {
  const std::u16string source = to_utf16(text);
  std::u16string dest(source.size() + 16, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t written =
        function(reinterpret_cast<UChar*>(dest.data()), static_cast<int32_t>(dest.size()),
                 reinterpret_cast<const UChar*>(source.data()), static_cast<int32_t>(source.size()),
                 "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      dest.assign(static_cast<std::size_t>(written), u'\0');
      continue;
    }
    if (U_FAILURE(status))
      throw ValueError(std::string("case mapping failed: ") + u_errorName(status));
    dest.resize(static_cast<std::size_t>(written));
    return from_utf16(dest);
  }
  throw ValueError("case mapping failed: buffer size");
}

bool is_printable(char32_t cp) {
  if (cp == 0x20) return true;
  switch (u_charType(static_cast<UChar32>(cp))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

void append_hex(std::string& out, char prefix, char32_t cp, int digits) {
  static constexpr char HEX[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(prefix);
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out.push_back(HEX[(cp >> shift) & 0xF]);
  }
}

// NaN prints without a sign whatever its sign bit, as the reports have always shown it.
std::optional<std::string> non_finite_text(double value) {
  if (std::isnan(value)) return std::string("nan");
  if (std::isinf(value)) return std::string(value < 0 ? "-inf" : "inf");
  return std::nullopt;
}

}  // namespace

std::string decode_raw(std::string_view bytes, DecodeMode mode) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = read_one(bytes, pos);
    if (step.valid) {
      out.append(bytes.substr(pos, step.length));
    } else if (mode == DecodeMode::Strict) {
      throw DecodeError(decode_error_message(bytes, pos, step));
    } else if (mode == DecodeMode::Replace) {
      append_utf8(out, REPLACEMENT);
    }
    pos += step.length;
  }
  return out;
}

std::string decode(std::string_view bytes, DecodeMode mode) {
  // Validation first, on the original bytes, so an error names the offset in the file.
  return translate_newlines(decode_raw(bytes, mode));
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = read_one(bytes, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
  return true;
}

std::string translate_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::u32string to_u32(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) out.push_back(next_cp(text, pos));
  return out;
}

std::string from_u32(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char32_t cp : text) append_utf8(out, cp);
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  // Surrogates and values past U+10FFFF cannot be encoded; writing them would produce bytes
  // that every strict reader rejects.
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = REPLACEMENT;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t length(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if (!is_continuation(static_cast<unsigned char>(c))) ++count;
  }
  return count;
}

bool is_space(char32_t cp) {
  if (cp <= 0x20) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
  if (cp < 0x85) return false;
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string lstrip(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!is_space(next_cp(text, next))) break;
    pos = next;
  }
  return std::string(text.substr(pos));
}

std::string rstrip(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    const std::size_t start = previous_start(text, end);
    std::size_t pos = start;
    const char32_t cp = next_cp(text, pos);
    if (pos != end || !is_space(cp)) break;
    end = start;
  }
  return std::string(text.substr(0, end));
}

std::string strip(std::string_view text) { return lstrip(rstrip(text)); }

std::string lower(std::string_view text) {
  if (is_ascii(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  return map_case(text, &u_strToLower);
}

std::string upper(std::string_view text) {
  if (is_ascii(text)) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  return map_case(text, &u_strToUpper);
}

std::string repr(std::string_view text) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back(quote);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = next_cp(text, pos);
    if (cp == static_cast<char32_t>(quote) || cp == U'\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(cp));
    } else if (cp == U'\t') {
      out += "\\t";
    } else if (cp == U'\n') {
      out += "\\n";
    } else if (cp == U'\r') {
      out += "\\r";
    } else if (cp < 0x20 || cp == 0x7F) {
      append_hex(out, 'x', cp, 2);
    } else if (cp < 0x7F) {
      out.push_back(static_cast<char>(cp));
    } else if (cp == REPLACEMENT) {
      // Also what an undecodable byte reads as; copying that byte would make the result
      // invalid UTF-8.
      append_utf8(out, cp);
    } else if (is_printable(cp)) {
      out.append(text.substr(start, pos - start));
    } else if (cp <= 0xFF) {
      append_hex(out, 'x', cp, 2);
    } else if (cp <= 0xFFFF) {
      append_hex(out, 'u', cp, 4);
    } else {
      append_hex(out, 'U', cp, 8);
    }
  }
  out.push_back(quote);
  return out;
}

std::string_view first_characters(std::string_view text, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t seen = 0; end < text.size() && seen < count; ++seen) next_cp(text, end);
  return text.substr(0, end);
}

std::string repr_cut(std::string_view text) {
  const std::string_view shown = first_characters(text, MAX_QUOTED);
  if (shown.size() == text.size()) return repr(text);
  return repr(shown) + "\xE2\x80\xA6";  // U+2026
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = next_cp(text, pos);
    if (cp == U'\t') {
      out += "\\t";
    } else if (cp == U'\n') {
      out += "\\n";
    } else if (cp == U'\r') {
      out += "\\r";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      append_hex(out, 'x', cp, 2);
    } else if (cp == REPLACEMENT) {
      append_utf8(out, cp);
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::string format_fixed1(double value) {
  if (auto special = non_finite_text(value)) return *special;
  // to_chars with a precision is exact and rounds ties to even, like glibc's printf, but does
  // not depend on the locale's decimal point.
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr);
}

double round1(double value) {
  if (!std::isfinite(value)) return value;
  const std::string text = format_fixed1(value);
  double parsed = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), parsed);
  return parsed;
}

double round_half_even(double value) {
  const int saved = std::fegetround();
  if (saved != FE_TONEAREST) std::fesetround(FE_TONEAREST);
  const double rounded = std::nearbyint(value);
  if (saved != FE_TONEAREST) std::fesetround(saved);
  return rounded;
}

std::string float_repr(double value) {
  if (auto special = non_finite_text(value)) return *special;
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
  // sci is "[-]d[.ddd]e[+-]XX": split it into sign, digits and decimal exponent.
  std::string out;
  std::size_t pos = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    pos = 1;
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (std::size_t i = pos; i < e_pos; ++i) {
    if (sci[i] != '.') digits.push_back(sci[i]);
  }
  int exponent = 0;
  const char* exp_begin = sci.data() + e_pos + 1;
  if (*exp_begin == '+') ++exp_begin;
  std::from_chars(exp_begin, sci.data() + sci.size(), exponent);
  const int count = static_cast<int>(digits.size());

  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (count <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
  }
  out.push_back(digits[0]);
  if (count > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  char exp_text[16];
  std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+',
                exponent < 0 ? -exponent : exponent);
  out += exp_text;
  return out;
}

void CompensatedSum::add(double value) {
  const double total = sum_ + value;
  if (std::fabs(sum_) >= std::fabs(value)) {
    compensation_ += (sum_ - total) + value;
  } else {
    compensation_ += (value - total) + sum_;
  }
  sum_ = total;
}

double CompensatedSum::value() const {
  // An infinite or overflowed sum makes the compensation NaN; adding it would turn a correct
  // infinity into NaN.
  if (compensation_ != 0.0 && std::isfinite(compensation_)) return sum_ + compensation_;
  return sum_;
}

double compensated_sum(const std::vector<double>& values) {
  CompensatedSum sum;
  for (const double value : values) sum.add(value);
  return sum.value();
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  for_each_part(text, separator, [&parts](std::string_view part) { parts.emplace_back(part); });
  return parts;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.append(separator);
    out += parts[i];
  }
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

std::size_t find_linear(std::string_view haystack, std::string_view needle, std::size_t from) {
  if (from > haystack.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  // glibc's memmem is the Two-Way algorithm: linear time, constant space. It is handed windows
  // that double from twice the needle's length, overlapping by the needle's length less one, so
  // that a search costs about the distance to the match however much haystack follows it:
  // memory checkers that vet the whole range given to memmem would otherwise make a walk from
  // match to match cost the square of the haystack.
  const std::size_t m = needle.size();
  std::size_t window = std::max<std::size_t>(2 * m, 256);
  for (std::size_t start = from; haystack.size() - start >= m;) {
    const std::size_t length = std::min(window, haystack.size() - start);
    const void* found = ::memmem(haystack.data() + start, length, needle.data(), m);
    if (found != nullptr) {
      return static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
    }
    if (start + length == haystack.size()) break;
    start += length - m + 1;
    window = window > SIZE_MAX / 2 ? window : window * 2;
  }
  return std::string_view::npos;
}

void for_each_part(std::string_view text, std::string_view separator,
                   const std::function<void(std::string_view)>& visit) {
  if (separator.empty()) throw ValueError("empty separator");
  std::size_t start = 0;
  for (auto at = find_linear(text, separator); at != std::string_view::npos;
       at = find_linear(text, separator, start)) {
    visit(text.substr(start, at - start));
    start = at + separator.size();
  }
  visit(text.substr(start));
}

}  // namespace quarnel::utils::text
