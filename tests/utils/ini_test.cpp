#include "quarnel/utils/ini.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/error.hpp"
#include "support/fixtures.hpp"

namespace quarnel::utils::ini {
namespace {

struct Lookup {
  std::string section;
  std::string option;
  std::optional<std::string> value;  // none: the option is not present
};

struct ParseCase {
  std::string label;
  std::string text;
  std::vector<Lookup> lookups;
};

TEST(IniFile, ParsesOptionsAsSetupCfgWritesThem) {
  const std::vector<ParseCase> cases = {
      {"both separators",
       "[metadata]\nname = quarnel\nversion: 1.0\n",
       {{"metadata", "name", "quarnel"}, {"metadata", "version", "1.0"}}},
      {"first separator wins",
       "[s]\nurl = http://host:80/x\nkey: a=b\n",
       {{"s", "url", "http://host:80/x"}, {"s", "key", "a=b"}}},
      {"option names fold to lower case, lookups too",
       "[metadata]\nName = x\nVERSION = 2\nN\xC3\x84ME = u\n",
       {{"metadata", "name", "x"},
        {"metadata", "NAME", "x"},
        {"metadata", "version", "2"},
        {"metadata", "n\xC3\xa4me", "u"}}},
      {"section names keep their case",
       "[Metadata]\nname = x\n",
       {{"metadata", "name", std::nullopt}, {"Metadata", "name", "x"}}},
      {"comment lines, also indented, and blank lines before the first header",
       "\n# top\n; also top\n\n[s]\n   # indented comment\na = 1\n",
       {{"s", "a", "1"}}},
      {"no inline comments",
       "[s]\nname = x ; c\nother = y # z\n",
       {{"s", "name", "x ; c"}, {"s", "other", "y # z"}}},
      {"empty value is present",
       "[metadata]\nname =\nversion:\n",
       {{"metadata", "name", ""}, {"metadata", "version", ""}}},
      {"continuation lines join with line feeds",
       "[s]\nclassifiers =\n    A\n    B\nname = x\n",
       {{"s", "classifiers", "\nA\nB"}, {"s", "name", "x"}}},
      {"blank line inside a continued value is kept, trailing ones are not",
       "[s]\nk = a\n\n  b\n\n\n",
       {{"s", "k", "a\n\nb"}}},
      {"indented continuation with an ideographic space",
       "[s]\nk = a\n\xE3\x80\x80"
       "b\n",
       {{"s", "k", "a\nb"}}},
      {"indentation counts characters, so two blanks go deeper than one tab",
       "[s]\n\tk = a\n  j = b\n",
       {{"s", "k", "a\nj = b"}, {"s", "j", std::nullopt}}},
      {"a deeper indented header line continues the value",
       "[s]\nk = a\n [t]\n",
       {{"s", "k", "a\n[t]"}, {"t", "k", std::nullopt}}},
      {"equally indented lines are separate options",
       "[s]\n  k = a\n  j = b\n",
       {{"s", "k", "a"}, {"s", "j", "b"}}},
      {"an indented line right after a header is an option",
       "[s]\n    name = x\n",
       {{"s", "name", "x"}}},
      {"an indented comment does not end a continued value",
       "[s]\nk = a\n  # note\n  b\n",
       {{"s", "k", "a\nb"}}},
      {"header text after the closing bracket",
       "[metadata] ; note\nname = x\n[a]b]\nc = 1\n",
       {{"metadata", "name", "x"}, {"a]b", "c", "1"}}},
      {"DEFAULT is seen from every existing section",
       "[DEFAULT]\nname = d\nversion = 1\n[metadata]\nname = m\n",
       {{"metadata", "name", "m"},
        {"metadata", "version", "1"},
        {"missing", "version", std::nullopt},
        {"DEFAULT", "version", "1"}}},
      {"DEFAULT given twice is no duplicate",
       "[DEFAULT]\na = 1\n[s]\n[DEFAULT]\nb = 2\n",
       {{"s", "a", "1"}, {"s", "b", "2"}}},
      {"the same option in different sections",
       "[a]\nname = 1\n[b]\nname = 2\n",
       {{"a", "name", "1"}, {"b", "name", "2"}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.label);
    const IniFile file = IniFile::parse(c.text);
    for (const Lookup& lookup : c.lookups) {
      SCOPED_TRACE(lookup.section + "/" + lookup.option);
      EXPECT_EQ(file.get(lookup.section, lookup.option), lookup.value);
      EXPECT_EQ(file.has_option(lookup.section, lookup.option), lookup.value.has_value());
    }
  }
}

TEST(IniFile, SectionsExistOnlyWhenTheirHeaderWasSeen) {
  const IniFile file = IniFile::parse("[DEFAULT]\nx = 1\n[metadata]\n");
  EXPECT_TRUE(file.has_section("metadata"));
  EXPECT_FALSE(file.has_section("Metadata"));
  EXPECT_FALSE(file.has_section("DEFAULT"));
  EXPECT_FALSE(file.has_option("options", "x"));
}

TEST(IniFile, EmptyTextHasNoSections) {
  const IniFile file = IniFile::parse("");
  EXPECT_FALSE(file.has_section("metadata"));
  EXPECT_FALSE(file.has_option("metadata", "name"));
}

TEST(IniFile, RejectsMalformedFiles) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"option before the first header", "name = x\n[metadata]\n"},
      {"byte-order mark hides the first header", "\xEF\xBB\xBF[metadata]\nname = x\n"},
      {"section given twice", "[s]\na = 1\n[s]\nb = 2\n"},
      {"option given twice, letter case aside", "[metadata]\nname = a\nName = b\n"},
      {"option given twice in DEFAULT across its headers", "[DEFAULT]\na = 1\n[DEFAULT]\na = 2\n"},
      {"line without separator", "[s]\njust words\n"},
      {"empty brackets are no header", "[s]\n[]\n"},
      {"empty option name", "[s]\n= x\n"},
      {"blank option name", "[s]\n  : x\n"},
      {"less indented line is no continuation", "[s]\n  k = a\n b\n"},
  };
  for (const auto& [label, text] : cases) {
    SCOPED_TRACE(label);
    EXPECT_THROW(IniFile::parse(text), IniError);
  }
}

// An error line quotes what it found wrong, cut to its first 80 characters.
TEST(IniFile, ErrorsQuoteTheLineAndNamesShortened) {
  const std::string long_name(100, 'n');
  const std::string cut_name = "'" + long_name.substr(0, 80) + "'\u2026";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"name = x\n", "no section header before at line 1: 'name = x'"},
      {"[s]\njust words\n", "not an option, header or comment at line 2: 'just words'"},
      {"[s]\n" + std::string(80, 'w') + "\n",
       "not an option, header or comment at line 2: '" + std::string(80, 'w') + "'"},
      {"[s]\n" + std::string(81, 'w') + "\n",
       "not an option, header or comment at line 2: '" + std::string(80, 'w') + "'\u2026"},
      {"[s]\n\n  = x\n", "empty option name at line 3: '  = x'"},
      {"[s]\na = 1\n[s]\n", "section 's' repeated at line 3: '[s]'"},
      {"[" + long_name + "]\n[" + long_name + "]\n",
       "section " + cut_name + " repeated at line 2: '[" + long_name.substr(0, 79) + "'\u2026"},
      {"[s]\nName = a\nname = b\n", "option 'name' repeated in section 's' at line 3: 'name = b'"},
      {"[" + long_name + "]\n" + long_name + " = a\n" + long_name + " = b\n",
       "option " + cut_name + " repeated in section " + cut_name + " at line 3: '" +
           long_name.substr(0, 80) + "'\u2026"},
  };
  for (const auto& [text, message] : cases) {
    try {
      IniFile::parse(text);
      ADD_FAILURE() << "parsed: " << text.substr(0, 40);
    } catch (const IniError& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

// Runs in a death test's child with its processor time and address space capped, and prints
// the value of "name" in section `section`, or the parse error.
[[noreturn]] void parse_bounded_and_exit(const std::string& text, const std::string& section) {
  testing::limit_cpu_time(20);
  testing::limit_address_space(std::size_t{256} << 20);
  try {
    std::cerr << IniFile::parse(text).get(section, "name").value_or("(none)").size();
  } catch (const IniError& error) {
    std::cerr << std::string(error.what()).size();
  }
  std::cerr << std::flush;
  ::_exit(0);
}

// A setup.cfg fills at most the read limit; whatever its shape, reading it takes memory in
// proportion to it, with nothing kept once per line or once per option.
TEST(IniFile, MemoryBoundedByTheText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr std::size_t LENGTH = std::size_t{8} << 20;
  const std::string name(std::size_t{1} << 20, 's');
  std::string options;
  for (int i = 0; i < 1000; ++i) options += "o" + std::to_string(i) + " = v\n";
  EXPECT_EXIT(parse_bounded_and_exit("[" + name + "]\n" + options + "name = tool\n", name),
              ::testing::ExitedWithCode(0), "^4$");
  EXPECT_EXIT(parse_bounded_and_exit(std::string(LENGTH, '\n'), "metadata"),
              ::testing::ExitedWithCode(0), "^6$");
  // Blank lines inside a value, and trailing ones.
  EXPECT_EXIT(parse_bounded_and_exit("[metadata]\nname = a\n" + std::string(LENGTH, '\n') +
                                         "  b\n" + std::string(LENGTH, '\n'),
                                     "metadata"),
              ::testing::ExitedWithCode(0), "^" + std::to_string(LENGTH + 3) + "$");
}

}  // namespace
}  // namespace quarnel::utils::ini
