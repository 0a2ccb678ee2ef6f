#include "quarnel/utils/yaml.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <iostream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/fixtures.hpp"

namespace quarnel::utils::yaml {
namespace {

struct LoadCase {
  std::string name;
  std::string text;
  std::string error;  // a fragment of the message; empty when the text loads
  bool is_mapping = false;
  std::vector<std::string> text_keys = {};
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class SafeLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(SafeLoad, BuildsOrRefuses) {
  const LoadCase& c = GetParam();
  if (c.error.empty()) {
    const SafeDocument document = safe_load(c.text);
    EXPECT_EQ(document.is_mapping, c.is_mapping);
    EXPECT_EQ(document.text_keys, c.text_keys);
    return;
  }
  try {
    safe_load(c.text);
    ADD_FAILURE() << "loaded, expected: " << c.error;
  } catch (const YamlError& error) {
    EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
  }
}

std::string repeated(std::string_view unit, std::size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// A mapping whose keys spell every scalar type, with the plain ones that read as text.
const std::string EVERY_KEY_TYPE =
    "1: int\n0x1F: int\n1.5: float\n.inf: float\nyes: bool\nOff: bool\n~: null\nnull: null\n"
    "2023-01-01: timestamp\n'yes': text\n\"1\": text\n! 2: text\n!!str 3: text\n"
    "!!float 4: float\n=: text\ny: text\n1e5: text\nnUll: text\n";

INSTANTIATE_TEST_SUITE_P(
    Documents, SafeLoad,
    ::testing::Values(
        LoadCase{"empty_stream", ""}, LoadCase{"null_document", "---\n"},
        LoadCase{"scalar_document", "title"}, LoadCase{"sequence_document", "[a, b]"},
        LoadCase{"omap_document", "!!omap [a: 1, b: 2]"},
        LoadCase{"tagged_mapping", "!!map {a: 1}", "", true, {"a"}},
        LoadCase{
            "key_types", EVERY_KEY_TYPE, "", true, {"yes", "1", "2", "3", "=", "y", "1e5", "nUll"}},
        LoadCase{"merged_keys_after_own_and_once",
                 "x: &x {b: 1, a: 2}\n<<: [*x, {c: 3}]\na: 0\n",
                 "",
                 true,
                 {"x", "a", "b", "c"}},
        LoadCase{"self_containing_list", "a: &a [*a]\n", "", true, {"a"}},
        LoadCase{"alias_bomb",
                 "a: &a [x, x, x, x, x, x, x, x, x]\n"
                 "b: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
                 "c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b]\n"
                 "d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c]\n"
                 "e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d]\n"
                 "f: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e]\n"
                 "g: &g [*f, *f, *f, *f, *f, *f, *f, *f, *f]\n"
                 "h: &h [*g, *g, *g, *g, *g, *g, *g, *g, *g]\n"
                 "i: &i [*h, *h, *h, *h, *h, *h, *h, *h, *h]\n",
                 "",
                 true,
                 {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
        // Each level merges the one before nine times: the keys are still listed once.
        LoadCase{"merge_bomb",
                 "a: &a {k: 1}\n"
                 "b: &b {<<: [*a, *a, *a, *a, *a, *a, *a, *a, *a]}\n"
                 "c: &c {<<: [*b, *b, *b, *b, *b, *b, *b, *b, *b]}\n"
                 "d: &d {<<: [*c, *c, *c, *c, *c, *c, *c, *c, *c]}\n"
                 "e: &e {<<: [*d, *d, *d, *d, *d, *d, *d, *d, *d]}\n"
                 "<<: [*e, *e, *e, *e, *e, *e, *e, *e, *e]\n",
                 "",
                 true,
                 {"a", "b", "c", "d", "e", "k"}},
        LoadCase{"octal_of_a_later_yaml_is_no_int", "a: !!int 0o7\n",
                 "error at line 1, column 4: could not construct a int from '0o7'"},
        LoadCase{"valid_explicit_values",
                 "a: !!int 0b101\nb: !!int -017\nc: !!float 1e5\nd: !!bool On\n"
                 "e: !!binary aGVsbG8=\nf: 2000-02-29 23:59:59.5 -05:30\ng: !!null x\n"
                 "h: !!timestamp 2023-1-2\ni: 190:20:30\nj: !!float 1:30.5\n",
                 "",
                 true,
                 {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}},

        LoadCase{"syntax", "a: {b: 1", "error at line"},
        // A quoted scalar left open is refused where it starts; it never swallows the keys after
        // it.
        LoadCase{
            "unclosed_double_quote", "a: 1\nb: \"two\nc: 3\n",
            "error at line 2, column 4: while scanning a quoted scalar, found unexpected end of "
            "stream"},
        LoadCase{"unclosed_single_quote", "a: 'it''s\n", "found unexpected end of stream"},
        LoadCase{"quote_closed_only_by_an_escape", "a: \"x\\\"\nb: 2\n",
                 "found unexpected end of stream"},
        LoadCase{"unclosed_quote_behind_properties", "a: !!str &x # note\n  \"open\n",
                 "found unexpected end of stream"},
        LoadCase{"unclosed_quoted_key", "? \"a\n", "found unexpected end of stream"},
        LoadCase{"unclosed_quoted_document", "\xef\xbb\xbf\"a: 1\n",
                 "found unexpected end of stream"},
        LoadCase{"closed_quotes_with_escapes",
                 "a: \"x\\\\\"\nb: 'it''s'\nc: !!str \"\\\"\"\nd: |\n  \"open\n",
                 "",
                 true,
                 {"a", "b", "c", "d"}},
        LoadCase{"unclosed_quote_without_final_line_feed", "a: 1\nb: \"two",
                 "error at line 2, column 4: while scanning a quoted scalar, found unexpected end "
                 "of stream"},
        LoadCase{"directive_mark_starting_a_key", "%x: 1\n",
                 "error at line 1, column 1: while scanning a directive"},
        LoadCase{"value_without_key", ": v\n",
                 "error at line 1, column 1: while parsing a block mapping, did not find expected "
                 "key"},
        LoadCase{"tab_as_indentation", "a:\n\tb: 1\n",
                 "error at line 2, column 1: while scanning for the next token, found character "
                 "that cannot start any token"},
        LoadCase{"last_line_without_colon", "a: 1\nb\n",
                 "error at line 2, column 1: while scanning a simple key, could not find "
                 "expected ':'"},
        LoadCase{"next_line", "a: 1\u0085b: 2\n", "", true, {"a", "b"}},
        LoadCase{"line_separator", "a: 1\u2028b: 2\n", "", true, {"a", "b"}},
        LoadCase{"paragraph_separator", "a: 1\u2029b: 2\n", "", true, {"a", "b"}},
        LoadCase{"undefined_alias", "a: *nowhere\n", "error at line 1, column"},
        LoadCase{"second_document", "a: 1\n...\n---\n", "found another document"},
        LoadCase{"deep_nesting", std::string(20000, '[') + std::string(20000, ']'), "error"},
        LoadCase{"flow_sequences_100000_deep", std::string(100000, '[') + std::string(100000, ']'),
                 "nested deeper than"},
        LoadCase{"flow_mappings_100000_deep", repeated("{a: ", 100000) + std::string(100000, '}'),
                 "nested deeper than"},
        LoadCase{"block_sequences_100000_deep", repeated("- ", 100000) + "x\n",
                 "nested deeper than"},
        LoadCase{"nul_character", std::string("a: b\0c\n", 7), "unacceptable character #x0000"},
        LoadCase{"noncharacter", "a: \uffff\n", "unacceptable character #xffff"},
        // The reader knows only a byte offset; the position counts characters and line breaks.
        LoadCase{"control_character_after_wide_characters_and_a_next_line",
                 "\xef\xbb\xbf\u00e9: \u20ac\u0085b: \x01\n",
                 "error at line 2, column 4: unacceptable character #x0001"},
        LoadCase{"local_tag", "a: !x b\n",
                 "error at line 1, column 4: could not determine a "
                 "constructor for the tag '!x'"},
        LoadCase{"merge_key_as_value", "a: <<\n",
                 "constructor for the tag "
                 "'tag:yaml.org,2002:merge'"},
        LoadCase{"value_key_as_value", "- =\n",
                 "constructor for the tag "
                 "'tag:yaml.org,2002:value'"},
        LoadCase{"merge_of_a_scalar", "<<: 1\n",
                 "expected a mapping or list of mappings for "
                 "merging, but found scalar"},
        LoadCase{"merge_of_a_list_of_scalars", "<<: [1]\n",
                 "expected a mapping for merging, "
                 "but found scalar"},
        LoadCase{"self_merge", "a: &a {<<: *a}\n", "merges itself"},
        LoadCase{"mapping_as_key", "? {a: 1}\n: b\n", "found unhashable key"},
        LoadCase{"set_as_key", "? !!set {a}\n: b\n", "found unhashable key"},
        LoadCase{"map_tag_on_a_list", "a: !!map [1]\n",
                 "expected a mapping node, but found "
                 "sequence"},
        LoadCase{"text_tag_on_a_list", "a: !!str [1]\n",
                 "expected a scalar node, but found "
                 "sequence"},
        LoadCase{"omap_of_a_mapping", "a: !!omap {b: 1}\n",
                 "expected a sequence, but found "
                 "mapping"},
        LoadCase{"omap_of_scalars", "a: !!omap [b]\n", "expected a mapping of length 1"},
        LoadCase{"omap_of_wide_entries", "a: !!omap [{b: 1, c: 2}]\n",
                 "expected a single "
                 "mapping item, but found "
                 "2 items"},
        LoadCase{"bool_from_other_word", "a: !!bool maybe\n", "construct a bool"},
        LoadCase{"int_without_digits", "a: !!int 0x\n", "construct a int"},
        LoadCase{"implicit_binary_int_without_digits", "a: 0b_\n", "construct a int"},
        LoadCase{"float_from_word", "a: !!float one\n", "construct a float"},
        LoadCase{"binary_without_padding", "a: !!binary aGVsbG8\n", "construct a binary"},
        LoadCase{"binary_not_ascii", "a: !!binary \u00e9\u00e9\u00e9\u00e9\n",
                 "construct a binary"},
        LoadCase{"month_thirteen", "a: 2023-13-01\n", "construct a timestamp"},
        LoadCase{"year_zero", "a: 0000-01-01\n", "construct a timestamp"},
        LoadCase{"not_a_leap_year", "a: 1900-02-29\n", "construct a timestamp"},
        LoadCase{"hour_twenty_four", "a: 2023-01-01 24:00:00\n", "construct a timestamp"},
        LoadCase{"offset_of_a_day", "a: 2023-01-01T10:00:00+24:00\n", "construct a timestamp"},
        LoadCase{"timestamp_tag_on_text", "a: !!timestamp soon\n", "construct a timestamp"}),
    [](const auto& info) { return info.param.name; });

// Each of the mappings merges one list of aliases to `merged`: a loader that records the list's
// entries again for every mapping needs gigabytes for this text of 252 KB.
std::string merges_of_an_aliased_list(std::string_view merged) {
  constexpr std::size_t ALIASES = 40000;
  constexpr std::size_t MAPPINGS = 12000;
  return "cff-version: 1.2.0\ntitle: t\nauthors: []\nm: &m " + std::string(merged) + "\ns: &s [*m" +
         repeated(",*m", ALIASES - 1) + "]\nl:\n" + repeated("- {<<: *s}\n", MAPPINGS);
}

// Runs in the death test's child, its address space capped at `cap` and its processor time
// too: the keys found or the error.
[[noreturn]] void safe_load_capped_and_exit(const std::string& text, std::size_t cap) {
  testing::limit_cpu_time(20);
  testing::limit_address_space(cap);
  try {
    for (const auto& key : safe_load(text).text_keys) std::cerr << key << "\n";
  } catch (const YamlError& error) {
    std::cerr << error.what() << "\n";
  }
  std::cerr << std::flush;
  ::_exit(0);
}

[[noreturn]] void safe_load_and_exit(const std::string& text) {
  safe_load_capped_and_exit(text, std::size_t{512} << 20);
}

TEST(SafeLoad, MergesOfOneAliasedListInMemoryBoundedByTheText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(safe_load_and_exit(merges_of_an_aliased_list("{k: v}")), ::testing::ExitedWithCode(0),
              "^cff-version\ntitle\nauthors\nm\ns\nl\n$");
  // The mapping in the list merges itself through the one inside it.
  EXPECT_EXIT(safe_load_and_exit(merges_of_an_aliased_list("{n: &n {<<: *m}, <<: *n}")),
              ::testing::ExitedWithCode(0),
              "^error at line 4, column 4: found a mapping that merges itself\n$");
}

// Every key of this mapping has a null value of its own: two nodes for every two characters,
// which took some 150 bytes each.
TEST(SafeLoad, OneNodePerCharacterInMemoryBoundedByTheText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string text =
      "{cff-version: 1.2.0, title: t, authors: [], a" + repeated(",a", 1024 * 1024) + "}\n";
  EXPECT_EXIT(safe_load_capped_and_exit(text, std::size_t{256} << 20), ::testing::ExitedWithCode(0),
              "^cff-version\ntitle\nauthors\na\n$");
}

// A number tagged as such is checked piece by piece between its colons, and a file of the read
// limit may be nothing but colons: the pieces are read in place, not made one text each.
TEST(SafeLoad, ColonsOfANumberAtTheReadLimitInBoundedMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr std::size_t SIZE = 8 * 1024 * 1024;
  const std::string fifty_colons(50, ':');
  struct Row {
    std::string text;
    std::string output;
  };
  const std::vector<Row> rows = {
      {"a: !!int \"" + std::string(SIZE, ':') + "\"\n",
       "^error at line 1, column 4: could not construct a int from '" + fifty_colons +
           "'\\.\\.\\.\n$"},
      {"a: !!float \"" + std::string(SIZE, ':') + "\"\n",
       "^error at line 1, column 4: could not construct a float from '" + fifty_colons +
           "'\\.\\.\\.\n$"},
      {"a: !!int \"1" + repeated(":1", SIZE / 2) + "\"\n", "^a\n$"},
      {"a: !!float \"1" + repeated(":1", SIZE / 2) + ".5\"\n", "^a\n$"},
  };
  for (const Row& row : rows) {
    EXPECT_EXIT(safe_load_capped_and_exit(row.text, std::size_t{256} << 20),
                ::testing::ExitedWithCode(0), row.output)
        << row.text.substr(0, 20);
  }
}

// A tag is quoted whole up to 80 characters, beyond that its first 80 and an ellipsis: it may
// be megabytes long, and the message reaches a report.
TEST(Load, AnUnknownTagIsQuotedCut) {
  std::string e_acute_79;
  for (int i = 0; i < 79; ++i) e_acute_79 += "\u00e9";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"!" + std::string(79, 'x'), "'!" + std::string(79, 'x') + "'"},
      {"!" + std::string(80, 'x'), "'!" + std::string(79, 'x') + "'\u2026"},
      // Written as escapes, since a tag holds only the characters of a URI.
      {"!" + repeated("%C3%A9", 1 << 18), "'!" + e_acute_79 + "'\u2026"},
  };
  for (const auto& [tag, quoted] : rows) {
    try {
      load("a: " + tag + " b\n");
      ADD_FAILURE() << "loaded: " << quoted;
    } catch (const YamlError& error) {
      EXPECT_EQ(error.problem(), "could not determine a constructor for the tag " + quoted);
    }
  }
}

std::string tag_directives(std::size_t count, std::size_t first = 0) {
  std::string out;
  for (std::size_t i = first; i < first + count; ++i) {
    out += "%TAG !t" + std::to_string(i) + "! tag:x," + std::to_string(i) + ":\n";
  }
  return out;
}

// The parser compares each directive with every one before it, so a document may name only a
// few. Only real directives count: a line starting with "%" inside a quoted text is none, and
// an error before the directives is still the one given.
TEST(Load, AtMostMaxDirectivesForOneDocument) {
  struct Row {
    std::string name;
    std::string text;
    std::string error;  // what() in full; empty when the text loads
  };
  // Each after a comment and a blank line.
  const auto commented_directives = [](std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += "# c\n\n%TAG !c" + std::to_string(i) + "! b\n";
    return out;
  };
  const std::string quoted_percent_lines = "a: \"x\n" + repeated("%TAG !a! b\n", 100) + "\"\n";
  // Lines the scanner skips between directives: a tab is a blank right after a directive, and a
  // byte-order mark that starts a line is dropped.
  std::string tabs_and_marks;
  for (std::size_t i = 0; i < 70; ++i) {
    tabs_and_marks += "%TAG !c" + std::to_string(i) + "! b\n\t# c\n\xEF\xBB\xBF# d\n";
  }
  const std::vector<std::string> line_ends = {"\r\n", "\r", "\u2028", "\u0085"};
  std::string other_line_ends;
  for (std::size_t i = 0; i <= MAX_DIRECTIVES; ++i) {
    other_line_ends += "%TAG !t" + std::to_string(i) + "! b" + line_ends[i % line_ends.size()];
  }
  // The parser reads a text that starts with this byte-order mark as UTF-16; these have more
  // directives than the parser reads at once, and than it reads before its input stops.
  const auto utf16 = [](std::size_t directives) {
    std::string out = "\xFF\xFE";
    for (const char c : tag_directives(directives) + "--- a\n") {
      out += c;
      out += '\0';
    }
    return out;
  };
  const std::vector<Row> rows = {
      {"as_many_as_allowed", tag_directives(MAX_DIRECTIVES) + "--- {a: !!str c}\n", ""},
      {"one_more", tag_directives(MAX_DIRECTIVES + 1) + "--- a\n",
       "error at line 65, column 1: found more than 64 directives for one document"},
      {"a_version_directive_counts_too", "%YAML 1.1\n" + tag_directives(MAX_DIRECTIVES) + "--- a\n",
       "error at line 65, column 1: found more than 64 directives for one document"},
      {"after_documents_with_comments_between",
       "# c\n" + repeated("%YAML 1.1\n--- a\n...\n", 3) + commented_directives(70) + "--- a\n",
       "error at line 205, column 1: found more than 64 directives for one document"},
      {"each_document_its_own", repeated(tag_directives(MAX_DIRECTIVES) + "--- a\n...\n", 3), ""},
      {"percent_lines_in_a_quoted_text", quoted_percent_lines, ""},
      {"error_before_them", "a: [\n" + tag_directives(100) + "--- b\n",
       "error at line 2, column 1: while parsing a flow node, did not find expected node "
       "content"},
      {"percent_lines_in_a_quoted_text_left_open_after_one",
       "%TAG !a! b\n\"x\n" + repeated("%TAG !a! b\n", 100),
       "error at line 2, column 1: while scanning a quoted scalar, found unexpected end of stream "
       "at line 103, column 1"},
      {"tabs_and_byte_order_marks_between", tabs_and_marks + "--- a\n",
       "error at line 193, column 1: found more than 64 directives for one document"},
      {"after_document_ends",
       "--- a\n...\n... # e\n" + tag_directives(MAX_DIRECTIVES + 1) + "--- a\n",
       "error at line 68, column 1: found more than 64 directives for one document"},
      {"other_line_ends", other_line_ends + "--- a\n",
       "error at line 65, column 1: found more than 64 directives for one document"},
      {"utf16_where_the_directives_start", utf16(MAX_DIRECTIVES + 1),
       "error at line 1, column 1: found more than 64 directives for one document"},
      {"utf16_past_the_input_read", utf16(2000),
       "error at line 1, column 1: found more than 64 directives for one document"},
  };
  for (const Row& row : rows) {
    try {
      load(row.text, {.single_document = false});
      EXPECT_EQ(row.error, "") << row.name;
    } catch (const YamlError& error) {
      EXPECT_EQ(error.what(), row.error) << row.name;
    }
  }
}

// Runs in the death test's child, its processor time capped: the error, or "loaded".
[[noreturn]] void load_within_seconds_and_exit(const std::string& text, unsigned seconds) {
  testing::limit_cpu_time(seconds);
  try {
    load(text);
    std::cerr << "loaded\n";
  } catch (const YamlError& error) {
    std::cerr << error.what() << "\n";
  }
  std::cerr << std::flush;
  ::_exit(0);
}

// The parser copies a %TAG directive's prefix into every tag that names its handle, so a
// prefix may be only as long as a real one is.
TEST(Load, ATagPrefixOfAtMostMaxTagPrefixBytes) {
  const std::string longest = "%TAG !a! tag:" + std::string(MAX_TAG_PREFIX - 4, 'x') + "\n";
  const std::string longer = "%TAG !a! tag:" + std::string(MAX_TAG_PREFIX - 3, 'x') + "\n";
  EXPECT_EQ(load(longest + "--- [!!str a]\n").documents.size(), 1u);
  try {
    load("%YAML 1.1\n" + longer + "--- [!!str a]\n");
    ADD_FAILURE() << "loaded";
  } catch (const YamlError& error) {
    EXPECT_STREQ(error.what(),
                 "error at line 2, column 1: found a %TAG directive with a prefix of more than "
                 "256 bytes");
  }
}

// Half the read limit of directives took the parser about a minute.
TEST(Load, ManyDirectivesAreRefusedWithoutReadingThemAll) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string text;
  for (std::size_t i = 0; text.size() < 4 * 1024 * 1024; ++i) {
    text += "%TAG !t" + std::to_string(i) + "! tag:x," + std::to_string(i) + ":\n";
  }
  EXPECT_EXIT(load_within_seconds_and_exit(text + "--- [!!str a]\n", 20),
              ::testing::ExitedWithCode(0),
              "^error at line 65, column 1: found more than 64 directives for one document\n$");
}

// A prefix of half the read limit, and tags that name it, each unlike the one before: the
// parser copied the prefix into every tag, and the loader kept every copy.
TEST(Load, ALongTagPrefixIsRefusedBeforeItIsCopied) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string text = "%TAG !a! tag:" + std::string(4 * 1024 * 1024, 'x') + "\n--- [!a!b";
  while (text.size() < 8 * 1024 * 1024) text += ", !a!c a, !a!b a";
  text += "]\n";
  const auto load_capped_and_exit = [](const std::string& yaml) {
    testing::limit_cpu_time(20);
    testing::limit_address_space(std::size_t{512} << 20);
    try {
      load(yaml);
      std::cerr << "loaded\n";
    } catch (const YamlError& error) {
      std::cerr << error.what() << "\n";
    }
    std::cerr << std::flush;
    ::_exit(0);
  };
  EXPECT_EXIT(load_capped_and_exit(text), ::testing::ExitedWithCode(0),
              "^error at line 1, column 1: found a %TAG directive with a prefix of more than 256 "
              "bytes\n$");
}

// The parser gives a document's start only once it has read all of the document's directives,
// so a refused one is found among those it read when an error stops it first: a directive the
// parser refuses was read and counts, one the scanner cannot read was never read, and a fault
// the reader meets in the input it checks ahead of the scanner comes before the directives
// the scanner has yet to reach.
TEST(Load, DirectivesCountOnceTheParserHasReadThem) {
  struct Row {
    std::string name;
    std::string text;
    std::string error;  // what() in full
  };
  const std::string run = tag_directives(MAX_DIRECTIVES + 1) + "--- a\n";
  const std::string more_than =
      "error at line 65, column 1: found more than 64 directives for one document";
  const std::string long_prefix = "found a %TAG directive with a prefix of more than 256 bytes";
  const std::vector<Row> rows = {
      {"duplicate_handle_as_the_one_too_many",
       tag_directives(MAX_DIRECTIVES) + "%TAG !t0! x\n--- a\n", more_than},
      {"duplicate_handle_before_the_limit",
       tag_directives(9) + "%TAG !t0! x\n" + tag_directives(60, 9) + "--- a\n",
       "error at line 10, column 1: found duplicate %TAG directive"},
      {"duplicate_handle_with_a_long_prefix",
       "%TAG !a! b\n%TAG !a! tag:" + std::string(MAX_TAG_PREFIX, 'x') + "\n--- a\n",
       "error at line 2, column 1: " + long_prefix},
      {"unknown_directive_as_the_one_too_many", tag_directives(MAX_DIRECTIVES) + "%FOO x\n--- a\n",
       "error at line 65, column 1: while scanning a directive, found unknown directive name at "
       "line 65, column 5"},
      {"control_character_before_them", "a: \x01\n...\n" + run,
       "error at line 1, column 4: unacceptable character #x0001: control characters are not "
       "allowed"},
      {"control_character_in_the_input_read_with_them",
       tag_directives(MAX_DIRECTIVES + 1) + "a: \x01\n--- a\n",
       "error at line 66, column 4: unacceptable character #x0001: control characters are not "
       "allowed"},
      {"control_character_far_after_them", run + std::string(64 * 1024, ' ') + "\x01\n", more_than},
  };
  for (const Row& row : rows) {
    try {
      load(row.text, {.single_document = false});
      ADD_FAILURE() << "loaded: " << row.name;
    } catch (const YamlError& error) {
      EXPECT_EQ(error.what(), row.error) << row.name;
    }
  }
}

// The scanner's work for each token grows with the flow collections open around it, so flow
// collections nest only as deep as a real file's do. Only a bracket or brace opens a level: the
// single pair a flow sequence holds as "[a: b]" has none of its own, and nesting in block
// collections is bounded by MAX_DEPTH alone.
TEST(Load, FlowCollectionsNestAtMostMaxFlowDepth) {
  struct Row {
    std::string name;
    std::string text;
    std::string error;  // what() in full; empty when the text loads
  };
  const auto sequences = [](std::size_t depth) {
    return std::string(depth, '[') + "a" + std::string(depth, ']');
  };
  const auto mappings = [](std::size_t depth) {
    return repeated("{a: ", depth) + "b" + std::string(depth, '}');
  };
  // Sequences and mappings by turns, a sequence outermost.
  const auto mixed = [](std::size_t depth) {
    std::string opened;
    std::string closed;
    for (std::size_t i = 0; i < depth; ++i) {
      opened += i % 2 == 0 ? "[" : "{a: ";
      closed.insert(0, i % 2 == 0 ? "]" : "}");
    }
    return opened + "b" + closed;
  };
  std::string block_mappings;
  for (std::size_t i = 0; i < 100; ++i) block_mappings += std::string(2 * i, ' ') + "k:\n";
  const std::string block_indent(200, ' ');
  const std::string sequence_too_deep = "found a flow sequence nested deeper than 64 flow levels";
  const std::vector<Row> rows = {
      {"sequences", sequences(MAX_FLOW_DEPTH), ""},
      {"sequences_one_deeper", sequences(MAX_FLOW_DEPTH + 1),
       "error at line 1, column 65: " + sequence_too_deep},
      {"mappings", mappings(MAX_FLOW_DEPTH), ""},
      {"mappings_one_deeper", mappings(MAX_FLOW_DEPTH + 1),
       "error at line 1, column 257: found a flow mapping nested deeper than 64 flow levels"},
      {"mixed", mixed(MAX_FLOW_DEPTH), ""},
      {"mixed_one_deeper", mixed(MAX_FLOW_DEPTH + 1),
       "error at line 1, column 161: " + sequence_too_deep},
      {"a_closed_level_is_given_back",
       "[" + sequences(MAX_FLOW_DEPTH - 1) + ", " + sequences(MAX_FLOW_DEPTH - 1) + "]", ""},
      {"single_pairs_open_no_level",
       repeated("[a: ", MAX_FLOW_DEPTH) + "b" + std::string(MAX_FLOW_DEPTH, ']'), ""},
      {"single_pairs_around_one_level_too_many",
       repeated("[a: b, ", MAX_FLOW_DEPTH + 1) + "c" + std::string(MAX_FLOW_DEPTH + 1, ']'),
       "error at line 1, column 449: " + sequence_too_deep},
      {"explicit_single_pairs_open_no_level",
       repeated("[? a : ", MAX_FLOW_DEPTH) + "b" + std::string(MAX_FLOW_DEPTH, ']'), ""},
      {"where_the_node_starts",
       std::string(MAX_FLOW_DEPTH, '[') + "!!seq &x [a]" + std::string(MAX_FLOW_DEPTH, ']'),
       "error at line 1, column 65: " + sequence_too_deep},
      {"inside_block_mappings", block_mappings + block_indent + sequences(MAX_FLOW_DEPTH) + "\n",
       ""},
      {"inside_block_mappings_one_deeper",
       block_mappings + block_indent + sequences(MAX_FLOW_DEPTH + 1) + "\n",
       "error at line 101, column 265: " + sequence_too_deep},
      {"inside_block_sequences", repeated("- ", 100) + sequences(MAX_FLOW_DEPTH) + "\n", ""},
      {"in_scalars_and_comments",
       "a: \"" + std::string(100, '[') + "\"\nb: '" + std::string(100, '{') + "'\nc: x" +
           std::string(100, '[') + "\n# " + std::string(100, '[') + "\nd: |\n  " +
           std::string(100, '[') + "\n",
       ""},
  };
  for (const Row& row : rows) {
    try {
      load(row.text);
      EXPECT_EQ(row.error, "") << row.name;
    } catch (const YamlError& error) {
      EXPECT_EQ(error.what(), row.error) << row.name;
    }
  }
}

// A line of 100 000 brackets took the scanner some 20 seconds, and a list 999 deep of millions
// of items 11: for each token it reads, it walks every flow level open around it.
TEST(Load, DeepFlowNestingIsRefusedBeforeItIsScanned) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string deep_list = std::string(MAX_DEPTH - 1, '[');
  while (deep_list.size() < 8 * 1024 * 1024) deep_list += "a, ";
  deep_list += "a" + std::string(MAX_DEPTH - 1, ']');
  const std::vector<std::string> texts = {
      std::string(100000, '[') + "\n%" + std::string(300, 'x') + "\n",
      deep_list,
  };
  for (const std::string& text : texts) {
    EXPECT_EXIT(load_within_seconds_and_exit(text, 4), ::testing::ExitedWithCode(0),
                "^error at line 1, column 65: found a flow sequence nested deeper than 64 flow "
                "levels\n$");
  }
}

struct ScalarCase {
  std::string text;
  std::string tag;
  Type type;
};

// What callers that read values themselves rely on: how a scalar was written, and its type.
TEST(Load, KeepsTheTagAsWrittenBesideTheType) {
  const std::vector<ScalarCase> cases = {
      {"7", "?", Type::Int},
      {"7.5e0", "?", Type::Str},  // YAML 1.1 wants a sign in the exponent
      {".5_", "?", Type::Float},
      {"._", "?", Type::Str},  // a float's fraction after a bare point starts with a digit
      {"._5", "?", Type::Str},
      {"'7'", "!", Type::Str},
      {"! 7", "!", Type::Str},
      {"!!float 7", "tag:yaml.org,2002:float", Type::Float},
      {"!!str 7", "tag:yaml.org,2002:str", Type::Str},
      {"~", "?", Type::Null},
      {"", "?", Type::Null},
      {"\"\"", "!", Type::Str},
  };
  for (const auto& c : cases) {
    const Stream stream = load("v: " + c.text + "\n");
    ASSERT_EQ(stream.documents.size(), 1u) << c.text;
    const NodeId value = stream.children(stream.documents[0])[1];
    EXPECT_EQ(stream.kind(value), Kind::Scalar) << c.text;
    EXPECT_EQ(stream.tag(value), c.tag) << c.text;
    EXPECT_EQ(stream.type(value), c.type) << c.text;
  }
}

TEST(Load, SeveralDocumentsWhenAsked) {
  const Stream stream = load("a: 1\n---\n- b\n---\n", {.single_document = false});
  ASSERT_EQ(stream.documents.size(), 3u);
  EXPECT_EQ(stream.type(stream.documents[0]), Type::Map);
  EXPECT_EQ(stream.type(stream.documents[1]), Type::Seq);
  EXPECT_EQ(stream.type(stream.documents[2]), Type::Null);
  EXPECT_TRUE(load("", {.single_document = false}).documents.empty());

  // An anchor names a node of its own document only.
  try {
    load("a: &x 1\n---\nb: *x\n", {.single_document = false});
    ADD_FAILURE() << "an alias reached into the document before";
  } catch (const YamlError& error) {
    EXPECT_EQ(error.mark(), (Mark{2, 3}));
    EXPECT_EQ(error.problem(), "found undefined alias 'x'");
  }
}

// Both places are given: the error where the anchor was first defined, then the second.
TEST(Load, AnAnchorDefinedTwiceInADocumentIsRefused) {
  struct Row {
    std::string text;
    Mark mark;
    std::string problem;
  };
  const std::vector<Row> rows = {
      {"a: &x 1\nb: &x 2\n",
       {0, 3},
       "found duplicate anchor 'x'; first occurrence, second occurrence at line 2, column 4"},
      {"a: &x\n  - &y [1]\n  - b: &x {}\n",
       {0, 3},
       "found duplicate anchor 'x'; first occurrence, second occurrence at line 3, column 8"},
      {"\u00e9: &x [&x 1]\n",
       {0, 3},
       "found duplicate anchor 'x'; first occurrence, second occurrence at line 1, column 8"},
  };
  for (const auto& row : rows) {
    try {
      load(row.text);
      ADD_FAILURE() << "loaded: " << row.text;
    } catch (const YamlError& error) {
      EXPECT_EQ(error.mark(), row.mark) << row.text;
      EXPECT_EQ(error.problem(), row.problem) << row.text;
    }
  }
  // An anchor belongs to its document: the next one may define it again.
  EXPECT_EQ(load("a: &x 1\n---\nb: &x 2\n", {.single_document = false}).documents.size(), 2u);
}

TEST(Load, CollectionKeysOnlyWhenAllowed) {
  const std::string text = "? [a, b]\n: 1\n";
  EXPECT_THROW(load(text), YamlError);
  const Stream stream = load(text, {.collection_keys = true});
  const auto root = stream.children(stream.documents.at(0));
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(stream.type(root[0]), Type::Seq);
}

}  // namespace
}  // namespace quarnel::utils::yaml
