#include "quarnel/utils/regex.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/text.hpp"
#include "support/fixtures.hpp"

namespace quarnel::utils::regex {
namespace {

std::string utf8(char32_t cp) {
  std::string out;
  text::append_utf8(out, cp);
  return out;
}

struct SpaceCase {
  char32_t cp;
  bool space;
};

std::vector<SpaceCase> space_cases() {
  std::vector<SpaceCase> cases;
  for (const char32_t cp :
       {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,   0x1E,   0x1F,   0x20,
        0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
        0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    cases.push_back({cp, true});
  }
  for (const char32_t cp : {0x180E, 0x200B, 0xFEFF, 0x08, 0x21, 0x2C, 0x61, 0x84, 0x2060}) {
    cases.push_back({cp, false});
  }
  return cases;
}

class RegexSpaceTest : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(RegexSpaceTest, SpaceClassesMatchExactlyTheWhiteSpaceSet) {
  const SpaceCase& c = GetParam();
  const std::string subject = utf8(c.cp);
  struct Form {
    const char* pattern;
    bool matches;
  };
  const bool is_lf = c.cp == 0x0A;
  const bool is_comma = c.cp == U',';
  const std::vector<Form> forms = {
      {"\\s", c.space},
      {"\\S", !c.space},
      {"[\\s]", c.space},
      {"[^\\s]", !c.space},
      {"[\\S]", !c.space},
      {"[^\\S]", c.space},
      {"[\\s,]", c.space || is_comma},
      {"[^\\s,]", !c.space && !is_comma},
      {"[^\\S\\n]", c.space && !is_lf},
      {"x?\\s+", c.space},
  };
  for (const Form& form : forms) {
    EXPECT_EQ(Regex(form.pattern).fullmatch(subject).has_value(), form.matches)
        << form.pattern << " U+" << std::hex << static_cast<unsigned>(c.cp);
  }
}

INSTANTIATE_TEST_SUITE_P(Regex, RegexSpaceTest, ::testing::ValuesIn(space_cases()),
                         [](const auto& info) {
                           return "U" + std::to_string(static_cast<unsigned>(info.param.cp));
                         });

TEST(RegexTranslate, EscapesAndClassesAreReadCorrectly) {
  struct Case {
    const char* pattern;
    const char* subject;
    bool found;
  };
  const std::vector<Case> cases = {
      {"\\\\s", "\\s", true},  // an escaped backslash, then a literal s
      {"\\\\s", " ", false},
      {"\\\\\\s", "\\ ", true},  // escaped backslash, then a real \s
      {"[\\\\s]", "s", true},    // backslash and s as class members
      {"[\\\\s]", " ", false},
      {"[]\\s]", "]", true},  // a leading ] is a member
      {"[]\\s]", "\t", true},
      {"[^]\\s]", "a", true},
      {"[^]\\s]", "]", false},
      {"[[:]", ":", true},  // '[' inside a class is a plain member
      {"[[:]", "[", true},
      {"[a^]", "^", true},
      {"\\u00e9", "\xc3\xa9", true},
      {"[\\u00e0-\\u00ff]", "\xc3\xa9", true},
      {"\\U0001f600", "\xf0\x9f\x98\x80", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Regex(c.pattern).search(c.subject).has_value(), c.found)
        << c.pattern << " on " << text::repr(c.subject);
  }
}

TEST(RegexTranslate, RejectsWhatCannotBeExpressed) {
  EXPECT_THROW(Regex("[\\S,]"), ValueError);
  EXPECT_THROW(Regex("(unclosed"), ValueError);
  EXPECT_THROW(Regex("[abc"), ValueError);
  EXPECT_THROW(translate_pattern("[a\\S]"), ValueError);
}

TEST(RegexLines, OnlyLineFeedEndsALine) {
  struct Case {
    const char* pattern;
    unsigned flags;
    const char* subject;
    bool found;
  };
  const std::vector<Case> cases = {
      {"^b", MULTILINE, "a\nb", true},
      {"(?m)^b", NONE, "a\nb", true},
      {"^b", MULTILINE, "a\rb", false},
      {"^b", MULTILINE,
       "a\xc2\x85"
       "b",
       false},
      {"^b", MULTILINE,
       "a\xe2\x80\xa8"
       "b",
       false},
      {"^b", NONE, "a\nb", false},
      {"a$", MULTILINE, "a\rb", false},
      {"a$", MULTILINE, "a\nb", true},
      {"a.b", NONE, "a\rb", true},
      {"a.b", NONE, "a\nb", false},
      {"a.b", DOTALL, "a\nb", true},
      {"(?s)a.b", NONE, "a\nb", true},
      // $ is the end or just before a final LF; \Z only the very end.
      {"b$", NONE, "ab\n", true},
      {"b$", NONE, "ab", true},
      {"b$", NONE, "ab\n\n", false},
      {"b$", NONE, "ab\nc", false},
      {"b$", NONE, "ab\r\n", false},
      {"b\\Z", NONE, "ab\n", false},
      {"b\\Z", NONE, "ab", true},
      {"\\Ab", NONE, "ab", false},
      // Under multi-line mode ^ also matches after a line feed that ends the text.
      {"^$", MULTILINE, "abc\n", true},
      {"(?m)^$", NONE, "abc\n", true},
      {"(?m)^x", NONE, "a\n", false},
      {"^$", NONE, "abc\n", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Regex(c.pattern, c.flags).search(c.subject).has_value(), c.found)
        << c.pattern << " on " << text::repr(c.subject);
  }
  const auto end = Regex("b$").search("ab\n");
  ASSERT_TRUE(end);
  EXPECT_EQ(end->start(), 1u);
  EXPECT_EQ(end->end(), 2u);
}

TEST(RegexUnicode, WordDigitAndCaseClasses) {
  struct Case {
    const char* pattern;
    unsigned flags;
    std::string subject;
    bool full;
  };
  const std::vector<Case> cases = {
      {"\\d+", NONE, "\xd9\xa1\xd9\xa2\xd9\xa3", true},  // Arabic-Indic digits
      {"\\d", NONE, "\xc2\xb2", false},                  // superscript two is No
      {"\\d", NONE, "\xe2\x85\xa7", false},              // Roman numeral eight is Nl
      {"\\w", NONE, "\xe2\x85\xa7", true},
      {"\\w", NONE, "\xc2\xb2", true},
      {"\\w", NONE, "_", true},
      {"\\w", NONE, "\xc3\xa9", true},
      {"\\w", NONE, "\xe4\xb8\xad", true},
      {"\\w", NONE, "\xcc\x81", false},      // combining acute (Mn)
      {"\\w", NONE, "\xe2\x80\xbf", false},  // undertie (Pc)
      {"\\w", NONE, "-", false},
      {"\\W", NONE, "\xcc\x81", true},
      {"[\\w.-]+", NONE, "caf\xc3\xa9-1.0", true},
      {".*\\bcaf\xc3\xa9\\b.*", NONE, "un caf\xc3\xa9!", true},
      {"k", IGNORECASE, "\xe2\x84\xaa", true},  // KELVIN SIGN
      {"(?i)readme\\.md", NONE, "README.MD", true},
      {"\xc3\xa9", IGNORECASE, "\xc3\x89", true},
      {"readme", NONE, "README", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Regex(c.pattern, c.flags).fullmatch(c.subject).has_value(), c.full)
        << c.pattern << " on " << text::repr(c.subject);
  }
}

TEST(RegexGroups, LookaheadAndLazyQuantifier) {
  const Regex scp(R"(^(?:[\w.-]+@)?([\w.-]+):(?!//)([\w.@:~/-]+?)(?:\.git)?/?$)");
  struct Case {
    const char* subject;
    std::optional<std::string> host;
    std::optional<std::string> path;
  };
  const std::vector<Case> cases = {
      {"git@host:group/tool.git", "host", "group/tool"},
      {"host:group/tool/", "host", "group/tool"},
      {"git@git.example.org:a/b.c", "git.example.org", "a/b.c"},
      {"https://host/group/tool", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto m = scp.search(c.subject);
    ASSERT_EQ(m.has_value(), c.host.has_value()) << c.subject;
    if (!m) continue;
    EXPECT_EQ(m->group(1), c.host);
    EXPECT_EQ(m->group(2), c.path);
  }
}

TEST(RegexGroups, UnmatchedAndMissingGroups) {
  const auto m = Regex("(a)|(b)").search("xb");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 3u);
  EXPECT_EQ(m->group(), "b");
  EXPECT_FALSE(m->matched(1));
  EXPECT_EQ(m->group(1), std::nullopt);
  EXPECT_EQ(m->start(1), std::string_view::npos);
  EXPECT_TRUE(m->matched(2));
  EXPECT_EQ(m->start(2), 1u);
  EXPECT_FALSE(m->matched(3));
  EXPECT_THROW(m->group(3), ValueError);
  EXPECT_THROW(m->start(3), ValueError);
}

TEST(RegexAnchoring, SearchMatchAndFullmatchUseByteOffsets) {
  const Regex b("b");
  EXPECT_FALSE(b.match("abc"));
  ASSERT_TRUE(b.match("abc", 1));
  EXPECT_EQ(b.match("abc", 1)->start(), 1u);
  EXPECT_FALSE(b.search("abcb", 4));
  EXPECT_EQ(b.search("abcb", 2)->start(), 3u);
  EXPECT_EQ(b.search("\xc3\xa9"
                     "b")
                ->start(),
            2u);
  // ^ is the start of the subject, not of the search.
  EXPECT_FALSE(Regex("^b").match("ab", 1));
  // Lookbehind sees text before the start offset.
  EXPECT_TRUE(Regex("(?<=a)b").match("ab", 1));

  EXPECT_TRUE(Regex("a|ab").fullmatch("ab"));  // the end anchor forces the longer branch
  EXPECT_FALSE(Regex("ab").fullmatch("abc"));
  EXPECT_FALSE(Regex("b").fullmatch("ab"));
  EXPECT_FALSE(Regex("ab").fullmatch("ab\n"));  // no final-newline allowance
  EXPECT_TRUE(Regex("").fullmatch(""));

  // A start past the end is the end, as with an over-long slice.
  const auto at_end = Regex("$").search("ab", 10);
  ASSERT_TRUE(at_end);
  EXPECT_EQ(at_end->start(), 2u);
}

TEST(RegexFindAll, NonOverlappingAndPastEmptyMatches) {
  struct Case {
    const char* pattern;
    std::string subject;
    std::vector<std::string> found;
  };
  const std::vector<Case> cases = {
      {"\\d+", "a1b22c333", {"1", "22", "333"}},
      {"a*", "baaa", {"", "aaa", ""}},
      {"\\w*", "ab c", {"ab", "", "c", ""}},
      {"|a", "a", {"", "a", ""}},
      {"", "\xc3\xa9", {"", ""}},  // an empty match moves on by a whole code point
      {"aa", "aaaaa", {"aa", "aa"}},
      {"x", "", {}},
      {"(?m)^\\w+", "one\ntwo\r\nthree", {"one", "two", "three"}},
      {"(?m)^", "a\n", {"", ""}},
      {"(?m)^\\s*$", "a\n\n", {"\n", ""}},
      {"(?m)^#*", "#\n##\n", {"#", "##", ""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> found;
    for (const Match& m : Regex(c.pattern).find_all(c.subject)) found.push_back(*m.group());
    EXPECT_EQ(found, c.found) << c.pattern << " on " << text::repr(c.subject);
  }
  const auto offsets = Regex("").find_all("\xc3\xa9");
  ASSERT_EQ(offsets.size(), 2u);
  EXPECT_EQ(offsets[1].start(), 2u);
}

TEST(RegexLimits, PathologicalBacktrackingEndsAsNoMatch) {
  const std::string subject = std::string(5000, 'a') + "!";
  EXPECT_FALSE(Regex(R"(^(\w+\s?)*$)").search(subject));
}

TEST(RegexLimits, DeepButOrdinaryMatchStillSucceeds) {
  // A repeated group over a long text needs more stack than JIT has; it must not be lost.
  const std::string subject = "BEGIN" + std::string(1'000'000, 'x') + "END";
  const auto m = Regex("BEGIN((?:x|y)*?)END").search(subject);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->end(1) - m->start(1), 1'000'000u);
}

// The address space this process has mapped so far: the cap below is set above it, since what
// the test binary maps before the test (libraries, ICU data) depends on the build.
std::size_t mapped_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Runs in the death test's child, with at most `headroom` bytes to map beyond what it has:
// prints whether each pattern matched its subject, or the error.
[[noreturn]] void match_capped_and_exit(
    const std::vector<std::pair<std::string, std::string>>& cases, std::size_t headroom) {
  testing::limit_cpu_time(20);
  testing::limit_address_space(mapped_bytes() + headroom);
  try {
    for (const auto& [pattern, subject] : cases) {
      std::cerr << (Regex(pattern).search(subject) ? "match" : "no match") << "\n";
    }
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
  }
  std::cerr << std::flush;
  ::_exit(0);
}

// A subject of the read limit whose match nests one level per character: the bound of one match
// is tens of megabytes, and reaching it is no match. A deep match within the bound still succeeds.
TEST(RegexLimits, AMatchTakesTensOfMegabytesAtMost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string sexagesimal = "1";
  for (std::size_t i = 0; i < 4 * 1024 * 1024; ++i) sexagesimal += ":0";
  const std::string deep = "BEGIN" + std::string(1'000'000, 'x') + "END";
  EXPECT_EXIT(match_capped_and_exit(
                  {{"^[1-9][0-9_]*(?::[0-5]?[0-9])+$", sexagesimal}, {"BEGIN((?:x|y)*?)END", deep}},
                  std::size_t{160} << 20),
              ::testing::ExitedWithCode(0), "^no match\nmatch\n$");
}

TEST(RegexSubject, InvalidUtf8IsRejected) {
  EXPECT_THROW(Regex("a").search("\xff"
                                 "a"),
               ValueError);
  EXPECT_THROW(Regex("a").find_all("a\xc0\xaf"), ValueError);
  EXPECT_THROW(Regex("b").search("\xc3\xa9"
                                 "b",
                                 1),
               ValueError);  // inside a character
}

TEST(RegexObject, MovedAndSharedBetweenThreads) {
  Regex original(R"(v(\d+)\.(\d+))");
  Regex moved(std::move(original));
  EXPECT_EQ(moved.pattern(), R"(v(\d+)\.(\d+))");

  const Regex& shared = moved;
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, &wrong, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string subject = "tag v" + std::to_string(t) + "." + std::to_string(i);
        const auto m = shared.search(subject);
        if (!m || m->group(1) != std::to_string(t) || m->group(2) != std::to_string(i)) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quarnel::utils::regex
