#include "quarnel/utils/text.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel::utils::text {
namespace {

const std::string FFFD = "\xef\xbf\xbd";

std::string repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  bool valid;
  std::string replaced;  // DecodeMode::Replace (equal to bytes when valid)
  std::string dropped;   // DecodeMode::Drop
};

std::vector<DecodeCase> decode_cases() {
  return {
      {"ascii", "plain text", true, "plain text", "plain text"},
      {"two_three_four_bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true,
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"highest_code_point", "\xf4\x8f\xbf\xbf", true, "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"last_before_surrogates", "\xed\x9f\xbf", true, "\xed\x9f\xbf", "\xed\x9f\xbf"},
      {"truncated_three_byte", "\xe2\x82", false, FFFD, ""},
      {"truncated_then_ascii",
       "\xe2\x82"
       "A",
       false, FFFD + "A", "A"},
      {"truncated_four_byte", "x\xf0\x9f\x98", false, "x" + FFFD, "x"},
      {"surrogate", "\xed\xa0\x80", false, repeat(FFFD, 3), ""},
      {"overlong_two_byte", "\xc0\xaf", false, repeat(FFFD, 2), ""},
      {"overlong_c1", "\xc1\xbf", false, repeat(FFFD, 2), ""},
      {"overlong_three_byte", "\xe0\x80\xaf", false, repeat(FFFD, 3), ""},
      {"overlong_four_byte", "\xf0\x80\x80\xaf", false, repeat(FFFD, 4), ""},
      {"above_max_f4", "\xf4\x90\x80\x80", false, repeat(FFFD, 4), ""},
      {"above_max_f5", "\xf5\x80", false, repeat(FFFD, 2), ""},
      {"lone_continuation", "a\x80z", false, "a" + FFFD + "z", "az"},
      {"byte_ff", "\xff", false, FFFD, ""},
      {"lead_followed_by_lead", "\xc3\xc3\xa9", false, FFFD + "\xc3\xa9", "\xc3\xa9"},
      {"three_byte_cut_by_ascii",
       "\xe2"
       "a\xe2\x82",
       false, FFFD + "a" + FFFD, "a"},
  };
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, EachModeHandlesTheBytes) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  if (c.valid) {
    EXPECT_EQ(decode(c.bytes, DecodeMode::Strict), c.bytes);
  } else {
    EXPECT_THROW(decode(c.bytes, DecodeMode::Strict), DecodeError);
  }
  EXPECT_EQ(decode(c.bytes, DecodeMode::Replace), c.replaced);
  EXPECT_EQ(decode(c.bytes, DecodeMode::Drop), c.dropped);
  EXPECT_TRUE(is_valid_utf8(decode(c.bytes, DecodeMode::Replace)));
}

INSTANTIATE_TEST_SUITE_P(Text, DecodeTest, ::testing::ValuesIn(decode_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextDecode, StrictErrorNamesByteAndPositionInTheOriginalBytes) {
  // The CR LF before the bad byte is shortened by the newline translation; the position must
  // still be the offset in the bytes as read.
  try {
    decode("ab\r\n\xed\xa0\x80", DecodeMode::Strict);
    FAIL() << "no DecodeError";
  } catch (const DecodeError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("0xed"), std::string::npos) << message;
    EXPECT_NE(message.find("position 4"), std::string::npos) << message;
  }
}

TEST(TextDecode, StrictErrorSpansTheWholeInvalidSubpart) {
  struct Case {
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"\xe2\x82", "'utf-8' codec can't decode bytes in position 0-1: unexpected end of data"},
      {"\xe2\x82"
       "A",
       "'utf-8' codec can't decode bytes in position 0-1: invalid continuation byte"},
      {"x\xf0\x9f\x98", "'utf-8' codec can't decode bytes in position 1-3: unexpected end of data"},
      {"\xe0\x80", "'utf-8' codec can't decode byte 0xe0 in position 0: invalid continuation byte"},
      {"\xe2", "'utf-8' codec can't decode byte 0xe2 in position 0: unexpected end of data"},
      {"ok\xff", "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte"},
  };
  for (const Case& c : cases) {
    try {
      decode(c.bytes, DecodeMode::Strict);
      ADD_FAILURE() << "no DecodeError for " << repr(decode(c.bytes, DecodeMode::Replace));
    } catch (const DecodeError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
}

TEST(TextDecode, UniversalNewlinesAndByteOrderMark) {
  struct Case {
    std::string bytes;
    std::string decoded;
  };
  const std::vector<Case> cases = {
      {"a\r\nb\rc\nd", "a\nb\nc\nd"},           {"\r\r\n\n", "\n\n\n"},    {"end\r", "end\n"},
      {"\xef\xbb\xbfx\r\n", "\xef\xbb\xbfx\n"}, {"\xff\r\n", FFFD + "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.bytes, DecodeMode::Replace), c.decoded) << c.bytes;
  }
  EXPECT_EQ(decode_raw("a\r\nb\r"), "a\r\nb\r");
  EXPECT_EQ(translate_newlines("a\r\nb\r"), "a\nb\n");
}

const std::vector<char32_t> SPACES = {
    0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,   0x1E,   0x1F,   0x20,
    0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
    0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

TEST(TextSpace, ExactlyTheWhiteSpaceSet) {
  std::vector<char32_t> found;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (is_space(cp)) found.push_back(cp);
  }
  EXPECT_EQ(found, SPACES);
  for (const char32_t cp : {0x180E, 0x200B, 0xFEFF})
    EXPECT_FALSE(is_space(cp)) << static_cast<unsigned>(cp);
}

TEST(TextStrip, TrimsByTheWhiteSpaceSetOnly) {
  struct Case {
    std::string text;
    std::string both;
    std::string left;
    std::string right;
  };
  const std::vector<Case> cases = {
      {" \t a b \n", "a b", "a b \n", " \t a b"},
      {"", "", "", ""},
      {" \r\n\x0b ", "", "", ""},
      {"\xe3\x80\x80x\xc2\xa0", "x", "x\xc2\xa0", "\xe3\x80\x80x"},  // U+3000, U+00A0
      {"\xc2\x85x\xe2\x80\xa9", "x", "x\xe2\x80\xa9", "\xc2\x85x"},  // U+0085, U+2029
      {"\x1cx\x1f", "x", "x\x1f", "\x1cx"},                          // separators
      {"\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b",     // U+200B stays
       "\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b"},
      {"\xef\xbb\xbfx", "\xef\xbb\xbfx", "\xef\xbb\xbfx", "\xef\xbb\xbfx"},  // BOM stays
      {"\xe1\xa0\x8ex", "\xe1\xa0\x8ex", "\xe1\xa0\x8ex", "\xe1\xa0\x8ex"},  // U+180E stays
      {" caf\xc3\xa9 ", "caf\xc3\xa9", "caf\xc3\xa9 ", " caf\xc3\xa9"},
      // A non-space whose last byte looks like a space byte in another position.
      {"\xe2\x80\xa0", "\xe2\x80\xa0", "\xe2\x80\xa0", "\xe2\x80\xa0"},  // U+2020 dagger
  };
  for (const Case& c : cases) {
    EXPECT_EQ(strip(c.text), c.both) << repr(c.text);
    EXPECT_EQ(lstrip(c.text), c.left) << repr(c.text);
    EXPECT_EQ(rstrip(c.text), c.right) << repr(c.text);
  }
}

TEST(TextCase, FullUnicodeMappingInTheRootLocale) {
  struct Case {
    std::string text;
    std::string lowered;
    std::string uppered;
  };
  const std::vector<Case> cases = {
      {"README.Md", "readme.md", "README.MD"},
      {"\xc4\xb0", "i\xcc\x87", "\xc4\xb0"},                                    // U+0130
      {"\xe2\x84\xaa", "k", "\xe2\x84\xaa"},                                    // KELVIN SIGN
      {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82",  // final sigma
       "\xce\x9f\xce\x94\xce\x9f\xce\xa3"},
      {"\xce\xa3", "\xcf\x83", "\xce\xa3"},  // a lone sigma is not final
      {"\xce\x91\xce\xa3 \xce\x92", "\xce\xb1\xcf\x82 \xce\xb2", "\xce\x91\xce\xa3 \xce\x92"},
      {"stra\xc3\x9f"
       "e",
       "stra\xc3\x9f"
       "e",
       "STRASSE"},
      {"\xef\xac\x81", "\xef\xac\x81", "FI"},  // U+FB01 ligature
      {"\xc7\x85", "\xc7\x86", "\xc7\x84"},    // title-case DZ
      {"Ab \xc3\x89t\xc3\xa9", "ab \xc3\xa9t\xc3\xa9", "AB \xc3\x89T\xc3\x89"},
      {"\xf0\x90\x90\x80", "\xf0\x90\x90\xa8", "\xf0\x90\x90\x80"},  // Deseret, astral
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lower(c.text), c.lowered) << repr(c.text);
    EXPECT_EQ(upper(c.text), c.uppered) << repr(c.text);
  }
}

TEST(TextRepr, QuotesAndEscapesLikePython) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"abc", "'abc'"},
      {"", "''"},
      {"it's", "\"it's\""},
      {"a'\"", "'a\\'\"'"},
      {"\"", "'\"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"\t\n\r", "'\\t\\n\\r'"},
      {"\x01\x1f\x7f", "'\\x01\\x1f\\x7f'"},
      {" ", "' '"},
      {"\xc2\x85\xc2\xa0\xc2\xad", "'\\x85\\xa0\\xad'"},  // Cc, Zs, Cf below U+0100
      {"caf\xc3\xa9", "'caf\xc3\xa9'"},
      {"\xe2\x80\x8b", "'\\u200b'"},                     // Cf
      {"\xe2\x80\xa8\xe2\x80\xa9", "'\\u2028\\u2029'"},  // Zl, Zp
      {"\xe3\x80\x80", "'\\u3000'"},                     // Zs
      {"\xee\x80\x80", "'\\ue000'"},                     // Co
      {"\xcd\xb8", "'\\u0378'"},                         // Cn
      {"\xef\xbf\xbd", "'\xef\xbf\xbd'"},
      {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},
      {"\xf3\xa0\x80\x81", "'\\U000e0001'"},  // astral Cf
  };
  for (const Case& c : cases) EXPECT_EQ(repr(c.text), c.shown) << c.text;
}

TEST(TextRepr, InvalidBytesNeverLeakIntoTheQuotedForm) {
  // A caller that hands over undecoded bytes must still get text that every writer accepts.
  for (const std::string bytes : {"\xff", "a\xe2\x82", "\xed\xa0\x80z"}) {
    const std::string shown = repr(bytes);
    EXPECT_TRUE(is_valid_utf8(shown)) << decode(shown, DecodeMode::Replace);
    EXPECT_EQ(shown, repr(decode(bytes, DecodeMode::Replace)));
  }
}

TEST(TextReprCut, QuotesAtMostEightyCharactersThenAnEllipsis) {
  const std::string eighty(80, 'a');
  const std::string accented = "\xc3\xa9";  // two bytes, one character
  std::string many_accented;
  for (int i = 0; i < 81; ++i) many_accented += accented;
  std::string eighty_accented;
  for (int i = 0; i < 80; ++i) eighty_accented += accented;
  struct Case {
    std::string text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"", "''"},
      {"it's", "\"it's\""},
      {eighty, "'" + eighty + "'"},
      {eighty + "b", "'" + eighty + "'\xe2\x80\xa6"},
      {std::string(1 << 20, 'x'), "'" + std::string(80, 'x') + "'\xe2\x80\xa6"},
      // Characters are counted, not bytes; the cut text picks its own quotes and escapes.
      {many_accented, "'" + eighty_accented + "'\xe2\x80\xa6"},
      {std::string(79, 'q') + "\n" + "tail", "'" + std::string(79, 'q') + "\\n'\xe2\x80\xa6"},
  };
  for (const Case& c : cases) EXPECT_EQ(repr_cut(c.text), c.shown) << c.text.substr(0, 100);
}

TEST(TextEscapeControls, EscapesC0C1AndDelOnly) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"plain caf\xc3\xa9 \\ 'q' \"d\"", "plain caf\xc3\xa9 \\ 'q' \"d\""},
      {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
      {"\x1b[2J", "\\x1b[2J"},
      {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
      {std::string("\0z", 2), "\\x00z"},
      {"\x7f", "\\x7f"},
      {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\x80\\x9b\\x9f\xc2\xa0"},
      // Characters that are no controls stay, even where repr would escape them.
      {"\xe2\x80\x8b\xe2\x80\xa8\xf0\x9f\x98\x80", "\xe2\x80\x8b\xe2\x80\xa8\xf0\x9f\x98\x80"},
      // A lone byte never passes raw: 0x9b alone is a CSI to an 8-bit terminal.
      {"a\x9b"
       "b",
       "a\xef\xbf\xbd"
       "b"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_controls(c.text), c.shown) << repr(c.text);
}

TEST(TextFixed, OneDecimalFromTheExactBinaryValue) {
  struct Case {
    double value;
    std::string text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {6.25, "6.2"},
      {6.75, "6.8"},
      {-6.25, "-6.2"},
      {0.25, "0.2"},
      {0.05, "0.1"},  // stored just above 0.05
      {0.35, "0.3"},  // stored just below 0.35
      {(7.9 + 8.0) / 2, "8.0"},
      {(9.9 + 10.0) / 2, "9.9"},
      {-0.0, "-0.0"},
      {-0.04, "-0.0"},
      {10.0, "10.0"},
      {1e20, "100000000000000000000.0"},
      {nan, "nan"},
      {-nan, "nan"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_fixed1(c.value), c.text) << c.value;
}

TEST(TextFixed, AgreesWithPrintfAcrossTies) {
  // Multiples of 1/200 include every exactly representable tie (x.x5 with x.x5 * 4 whole).
  for (int k = -4000; k <= 4000; ++k) {
    const double value = k / 200.0;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.1f", value);
    ASSERT_EQ(format_fixed1(value), expected) << value;
  }
}

TEST(TextRound, RoundOneAndHalfEven) {
  EXPECT_EQ(round1(6.25), 6.2);
  EXPECT_EQ(round1(6.75), 6.8);
  EXPECT_EQ(round1((7.9 + 8.0) / 2), 8.0);
  EXPECT_EQ(round1((9.9 + 10.0) / 2), 9.9);
  EXPECT_TRUE(std::isnan(round1(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_EQ(round1(std::numeric_limits<double>::infinity()),
            std::numeric_limits<double>::infinity());

  struct Case {
    double value;
    double rounded;
  };
  const std::vector<Case> cases = {
      {0.5, 0.0},
      {1.5, 2.0},
      {2.5, 2.0},
      {3.5, 4.0},
      {-2.5, -2.0},
      {62.5, 62.0},
      {2.4999999999999996, 2.0},
      {2.5000000000000004, 3.0},
      {7.0, 7.0},
  };
  for (const Case& c : cases) EXPECT_EQ(round_half_even(c.value), c.rounded) << c.value;
  EXPECT_TRUE(std::signbit(round_half_even(-0.5)));
}

TEST(TextRound, HalfEvenWhateverTheCurrentRoundingMode) {
  const int saved = std::fegetround();
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  const double down_tie = round_half_even(2.5);
  const double fraction = round_half_even(2.2);
  const int after = std::fegetround();
  std::fesetround(saved);
  EXPECT_EQ(down_tie, 2.0);
  EXPECT_EQ(fraction, 2.0);
  EXPECT_EQ(after, FE_UPWARD);  // the caller's mode is left as it was
}

TEST(TextFloatRepr, ShortestRoundTripInPythonLayout) {
  struct Case {
    double value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {7.0, "7.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3, "0.3333333333333333"},
      {-1.5, "-1.5"},
      {100.0, "100.0"},
      {1234.5, "1234.5"},
      {12345678.9, "12345678.9"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {1e22, "1e+22"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {1e-5, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1.2345e-300, "1.2345e-300"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(float_repr(c.value), c.text);
}

TEST(TextSum, NeumaierCompensation) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::vector<double> values;
    double sum;
  };
  const std::vector<Case> cases = {
      {std::vector<double>(10, 0.1), 1.0},
      {{1e100, 1.0, -1e100}, 1.0},
      {{1.0, 1e100, 1.0, -1e100}, 2.0},
      {{}, 0.0},
      {{2.5}, 2.5},
      {{inf, 1.0}, inf},
      {{1.0, inf}, inf},
      {{-inf, 1.0}, -inf},
      {{1e308, 1e308}, inf},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compensated_sum(c.values), c.sum) << ::testing::PrintToString(c.values);
  }
  EXPECT_TRUE(std::isnan(compensated_sum({inf, -inf})));

  CompensatedSum running;
  for (int i = 0; i < 5; ++i) running.add(0.1);
  EXPECT_EQ(running.value(), 0.5);
  for (int i = 0; i < 5; ++i) running.add(0.1);
  EXPECT_EQ(running.value(), 1.0);
}

TEST(TextCodePoints, EncodeDecodeAndCount) {
  struct Case {
    char32_t cp;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {0x00, std::string(1, '\0')},
      {0x7F, "\x7f"},
      {0x80, "\xc2\x80"},
      {0x7FF, "\xdf\xbf"},
      {0x800, "\xe0\xa0\x80"},
      {0xFFFF, "\xef\xbf\xbf"},
      {0x10000, "\xf0\x90\x80\x80"},
      {0x10FFFF, "\xf4\x8f\xbf\xbf"},
      {0xD800, FFFD},  // not encodable: written as U+FFFD
      {0x110000, FFFD},
  };
  for (const Case& c : cases) {
    std::string out;
    append_utf8(out, c.cp);
    EXPECT_EQ(out, c.utf8) << static_cast<unsigned>(c.cp);
  }

  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  EXPECT_EQ(length(text), 4u);
  EXPECT_EQ(length(""), 0u);
  EXPECT_EQ(to_u32(text), (std::u32string{U'a', 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(from_u32(to_u32(text)), text);
}

TEST(TextSplit, ExplicitSeparatorKeepsEmptyParts) {
  struct Case {
    std::string text;
    std::string separator;
    std::vector<std::string> parts;
  };
  const std::vector<Case> cases = {
      {"a,,b", ",", {"a", "", "b"}},    {"", ",", {""}},       {",", ",", {"", ""}},
      {"a::b::", "::", {"a", "b", ""}}, {"abc", "x", {"abc"}}, {"a:::b", "::", {"a", ":b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(split(c.text, c.separator), c.parts) << c.text;
    EXPECT_EQ(join(c.parts, c.separator), c.text) << c.text;
  }
  EXPECT_THROW(split("abc", ""), ValueError);
  EXPECT_EQ(join({}, ", "), "");
  EXPECT_TRUE(contains("license: MIT", "MIT"));
  EXPECT_FALSE(contains("license", "License"));
}

// The search hands memmem windows of growing size: a match across any window's edge, at the
// very end, or overlapping an earlier near-match is found where std::string_view::find finds it.
TEST(TextFindLinear, FindsWhatFindFinds) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"abc", ""}, {"", "a"}, {"abc", "abcd"}, {"abc", "c"}, {"aaab", "aab"},
  };
  for (const std::size_t at : {0u, 1u, 255u, 256u, 257u, 511u, 767u, 1000u, 5000u, 70000u}) {
    for (const std::string& needle :
         std::vector<std::string>{"x", "xy", std::string(300, 'x') + "y"}) {
      std::string haystack(at, 'x');
      haystack += needle;
      haystack += std::string(100, 'x');
      cases.emplace_back(haystack, needle);
      cases.emplace_back(haystack.substr(0, at + needle.size()), needle);
    }
  }
  for (const auto& [haystack, needle] : cases) {
    for (const std::size_t from :
         {std::size_t{0}, std::size_t{1}, haystack.size(), haystack.size() + 1}) {
      EXPECT_EQ(find_linear(haystack, needle, from),
                from > haystack.size() ? std::string_view::npos
                                       : std::string_view(haystack).find(needle, from))
          << haystack.size() << " " << needle.size() << " " << from;
    }
  }
}

TEST(TextForEachPart, VisitsWhatSplitGives) {
  for (const auto& [text, separator] : std::vector<std::pair<std::string, std::string>>{
           {"a,,b", ","}, {"", ","}, {",", ","}, {"a::b::", "::"}, {"a:::b", "::"}}) {
    std::vector<std::string> parts;
    for_each_part(text, separator, [&parts](std::string_view part) { parts.emplace_back(part); });
    EXPECT_EQ(parts, split(text, separator)) << text;
  }
  EXPECT_THROW(for_each_part("abc", "", [](std::string_view) {}), ValueError);
}

}  // namespace
}  // namespace quarnel::utils::text
