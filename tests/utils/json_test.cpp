#include "quarnel/utils/json.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "support/fixtures.hpp"

namespace quarnel::utils::json {
namespace {

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct SyntaxCase {
  std::string label;
  std::string text;
  // Expected start of the message; empty when only the error kind matters.
  std::string message;
};

class JsonSyntaxTest : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(JsonSyntaxTest, RaisesJsonSyntaxError) {
  const SyntaxCase& c = GetParam();
  try {
    parse(c.text);
    FAIL() << "parsed";
  } catch (const JsonSyntaxError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rejected, JsonSyntaxTest,
    ::testing::Values(
        SyntaxCase{"empty", "", "Expecting value: line 1 column 1"},
        SyntaxCase{"only_white_space", " \t\r\n ", "Expecting value: line 2 column 2"},
        SyntaxCase{"trailing_value", "1 2", "Extra data: line 1 column 3"},
        SyntaxCase{"second_document", "{}\n{}", "Extra data: line 2 column 1"},
        SyntaxCase{"leading_bom", "\xEF\xBB\xBF{}", "Unexpected UTF-8 BOM: line 1 column 1"},
        SyntaxCase{"number_overflow", "[1e400]", "Number out of range (1e400): line 1 column 2"},
        SyntaxCase{"negative_overflow", "{\"a\": -1e400}", "Number out of range (-1e400)"},
        SyntaxCase{"trailing_comma", "[1,]", ""}, SyntaxCase{"single_quotes", "{'a': 1}", ""},
        SyntaxCase{"bad_literal_column_counts_characters", "{\"\xC3\xA9\": tru}",
                   "Invalid literal: line 1 column"},
        SyntaxCase{"comment", "// note\n1", ""}, SyntaxCase{"unterminated_string", "\"abc", ""},
        SyntaxCase{"nan_literal", "NaN", ""},
        SyntaxCase{"no_break_space_is_not_json_space", "\xC2\xA0{}", ""},
        SyntaxCase{"too_deep", nested(detail::MAX_DEPTH + 1), "Too deeply nested"},
        // Places after line breaks and tabs, outside texts and inside them.
        SyntaxCase{"end_after_line_breaks", "[1,\n\t\r\n", "Expecting value: line 3 column 1"},
        SyntaxCase{"member_without_value", "{\"a\"\n:\n}", "Expecting value: line 3 column 1"},
        SyntaxCase{"line_break_in_text", "\"a\nb\"",
                   "Invalid string: control character U+000A (LF) must be escaped to \\u000A or "
                   "\\n: line 1 column 3"},
        SyntaxCase{"literal_after_line_breaks", "\n\n  x", "Invalid literal: line 3 column 3"},
        SyntaxCase{"literal_cut_by_line_break", "{\"a\": tru\n}",
                   "Invalid literal: line 1 column 10"},
        SyntaxCase{"missing_comma", "[\n  1\n  2\n]",
                   "Unexpected number literal; expected ']': line 3 column 3"},
        SyntaxCase{"missing_colon", "{\"a\":1,\n\"b\"}",
                   "Unexpected '}'; expected ':': line 2 column 4"},
        SyntaxCase{"second_document_after_line_breaks", "[1]\n\n[2]",
                   "Extra data: line 3 column 1"},
        SyntaxCase{"number_cut_by_line_break", "[1.\n]",
                   "Invalid number; expected digit after '.': line 1 column 4"},
        // The place of an overflowing number is where its text first occurs.
        SyntaxCase{"overflow_quoted_before", "[\"1e400\", 1e400]",
                   "Number out of range (1e400): line 1 column 3"},
        SyntaxCase{"long_overflow_shortened", "[" + std::string(40, '9') + "e999]",
                   "Number out of range (" + std::string(32, '9') + "...): line 1 column 2"}),
    [](const auto& info) { return info.param.label; });

TEST(JsonParse, AcceptsOneDocumentWithSurroundingWhiteSpace) {
  EXPECT_EQ(parse(" \n{\"a\": [1, 2.5, \"x\", null, true]}\r\n\t"),
            Json::parse(R"({"a": [1, 2.5, "x", null, true]})"));
  EXPECT_EQ(parse("\"\\u00e9\\ud83d\\ude00\""), "\xC3\xA9\xF0\x9F\x98\x80");
  // The deepest allowed nesting still parses.
  EXPECT_EQ(type_name(parse(nested(detail::MAX_DEPTH))), "list");
  // Brackets inside texts do not count as nesting.
  EXPECT_EQ(parse("\"" + std::string(2000, '[') + "\\\"\"").get<std::string>().size(), 2001u);
}

TEST(JsonParse, LastDuplicateKeyWinsAtItsFirstPosition) {
  const Json value = parse(R"({"a": 1, "b": 2, "a": 3})");
  EXPECT_EQ(value.size(), 2u);
  EXPECT_EQ(value.dump(), R"({"a":3,"b":2})");
}

TEST(JsonParse, ParseObjectRequiresAnObject) {
  EXPECT_EQ(parse_object(R"({"name": "x"})").at("name"), "x");
  EXPECT_THROW(parse_object("[]"), JsonTypeError);
  EXPECT_THROW(parse_object("\"text\""), JsonTypeError);
  EXPECT_THROW(parse_object("null"), JsonTypeError);
  EXPECT_THROW(parse_object(""), JsonSyntaxError);
}

struct ValueCase {
  std::string text;
  bool truthy;
  std::string type_name;
  std::string str;
};

class JsonValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(JsonValueTest, TruthTypeNameAndStr) {
  const ValueCase& c = GetParam();
  const Json value = parse(c.text);
  EXPECT_EQ(truthy(value), c.truthy);
  EXPECT_EQ(type_name(value), c.type_name);
  EXPECT_EQ(py_str(value), c.str);
}

INSTANTIATE_TEST_SUITE_P(
    Values, JsonValueTest,
    ::testing::Values(
        ValueCase{"null", false, "NoneType", "None"}, ValueCase{"false", false, "bool", "False"},
        ValueCase{"true", true, "bool", "True"}, ValueCase{"0", false, "int", "0"},
        ValueCase{"-0", false, "int", "0"}, ValueCase{"7", true, "int", "7"},
        ValueCase{"-12", true, "int", "-12"},
        ValueCase{"18446744073709551615", true, "int", "18446744073709551615"},
        ValueCase{"0.0", false, "float", "0.0"}, ValueCase{"-0.0", false, "float", "-0.0"},
        ValueCase{"1e-400", false, "float", "0.0"}, ValueCase{"1.5", true, "float", "1.5"},
        ValueCase{"1e16", true, "float", "1e+16"}, ValueCase{"\"\"", false, "str", ""},
        ValueCase{"\"0\"", true, "str", "0"}, ValueCase{"\"it's\"", true, "str", "it's"},
        ValueCase{"[]", false, "list", "[]"}, ValueCase{"{}", false, "dict", "{}"},
        ValueCase{"[0]", true, "list", "[0]"},
        ValueCase{R"({"a": 1, "b": [1, "x"]})", true, "dict", "{'a': 1, 'b': [1, 'x']}"},
        ValueCase{R"(["it's", "a\nb", null, false, 2.0, {}])", true, "list",
                  R"(["it's", 'a\nb', None, False, 2.0, {}])"}));

TEST(JsonFind, LooksUpMembersOfObjectsOnly) {
  const Json object = parse(R"({"name": "x", "empty": null})");
  ASSERT_NE(find(object, "name"), nullptr);
  EXPECT_EQ(*find(object, "name"), "x");
  ASSERT_NE(find(object, "empty"), nullptr);
  EXPECT_TRUE(find(object, "empty")->is_null());
  EXPECT_EQ(find(object, "missing"), nullptr);
  EXPECT_EQ(find(parse(R"(["name"])"), "name"), nullptr);
  EXPECT_EQ(find(parse(R"("name")"), "name"), nullptr);
}

// An object of members "k<first>" to "k<end - 1>", each holding its number, added one by one.
Json numbered_object(std::size_t end, std::size_t first = 0) {
  Json object = Json::object();
  for (std::size_t i = first; i < end; ++i) object["k" + std::to_string(i)] = i;
  return object;
}

// The keys of an object in their order, each followed by a comma.
std::string keys_of(const Json& object) {
  std::string keys;
  for (const auto& [key, value] : object.items()) keys += key + ",";
  return keys;
}

// What keys_of gives for numbered_object(end, first).
std::string numbered_keys(std::size_t end, std::size_t first = 0) {
  std::string keys;
  for (std::size_t i = first; i < end; ++i) keys += "k" + std::to_string(i) + ",";
  return keys;
}

// Whether `object` holds "k<i>" with the value i, looked up by every key type basic_json takes.
::testing::AssertionResult holds_numbered(const Json& object, std::size_t i) {
  const std::string key = "k" + std::to_string(i);
  const auto found = [&](auto it) { return it != object.end() && *it == i; };
  if (!found(object.find(key)) || !found(object.find(std::string_view(key))) ||
      !found(object.find(key.c_str())) || object.count(std::string_view(key)) != 1 ||
      !object.contains(key.c_str()) || object.at(std::string_view(key)) != i ||
      find(object, key) == nullptr || *find(object, key) != i) {
    return ::testing::AssertionFailure() << key << " not found holding " << i;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult lacks(const Json& object, const std::string& key) {
  if (object.find(key) != object.end() || object.contains(std::string_view(key)) ||
      object.count(key.c_str()) != 0 || find(object, key) != nullptr) {
    return ::testing::AssertionFailure() << key << " found";
  }
  return ::testing::AssertionSuccess();
}

// Objects of as many members as the parameter, on either side of the size from which their
// keys are indexed and across the index's growth.
class JsonObjectTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(JsonObjectTest, MembersKeepTheirOrderAndAreFoundByEveryKeyType) {
  const std::size_t count = GetParam();
  const Json object = numbered_object(count);
  EXPECT_EQ(object.size(), count);
  EXPECT_EQ(keys_of(object), numbered_keys(count));
  for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(holds_numbered(object, i));
  EXPECT_TRUE(lacks(object, "k" + std::to_string(count)));
  EXPECT_TRUE(lacks(object, "k"));
}

TEST_P(JsonObjectTest, RepeatedKeyKeepsItsFirstPlaceWithTheLastValue) {
  const std::size_t count = GetParam();
  std::string text = numbered_object(count).dump();
  text.back() = ',';
  const Json value = parse(text + "\"k0\":\"last\",\"k" + std::to_string(count - 1) + "\":true}");
  EXPECT_EQ(value.size(), count);
  EXPECT_EQ(keys_of(value), numbered_keys(count));
  EXPECT_EQ(value.at("k0"), count == 1 ? Json(true) : Json("last"));
  EXPECT_EQ(value.at("k" + std::to_string(count - 1)), true);
  for (std::size_t i = 1; i + 1 < count; ++i) EXPECT_TRUE(holds_numbered(value, i));
}

TEST_P(JsonObjectTest, ErasedMembersAreNotFoundAndTheRestAre) {
  const std::size_t count = GetParam();
  Json object = numbered_object(count);
  // The last member by its key, the first through an iterator, then the middle one.
  std::vector<std::size_t> erased = {count - 1};
  EXPECT_EQ(object.erase("k" + std::to_string(count - 1)), 1u);
  if (count > 1) {
    erased.push_back(0);
    object.erase(object.begin());
  }
  if (count > 2) {
    erased.push_back(count / 2);
    EXPECT_EQ(object.erase(std::string_view("k" + std::to_string(count / 2))), 1u);
  }
  EXPECT_EQ(object.size(), count - erased.size());
  const auto is_erased = [&](std::size_t i) {
    return std::find(erased.begin(), erased.end(), i) != erased.end();
  };
  std::string expected;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string key = "k" + std::to_string(i);
    if (is_erased(i)) {
      EXPECT_TRUE(lacks(object, key));
      EXPECT_EQ(object.erase(key), 0u);
    } else {
      expected += key + ",";
      EXPECT_TRUE(holds_numbered(object, i));
    }
  }
  EXPECT_EQ(keys_of(object), expected);
  // Added again, they come last.
  for (const std::size_t i : erased) {
    object["k" + std::to_string(i)] = i;
    expected += "k" + std::to_string(i) + ",";
  }
  EXPECT_EQ(keys_of(object), expected);
  for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(holds_numbered(object, i));
  object.clear();
  EXPECT_TRUE(lacks(object, "k0"));
  for (std::size_t i = 1; i <= count; ++i) object["k" + std::to_string(i)] = i;
  EXPECT_EQ(keys_of(object), numbered_keys(count + 1, 1));
  EXPECT_TRUE(lacks(object, "k0"));
  for (std::size_t i = 1; i <= count; ++i) EXPECT_TRUE(holds_numbered(object, i));
}

TEST_P(JsonObjectTest, ChangesToACopyLeaveTheOriginal) {
  const std::size_t count = GetParam();
  const Json original = numbered_object(count);
  Json copy = original;
  Json assigned = Json::object();
  assigned.get_ref<Json::object_t&>() = original.get_ref<const Json::object_t&>();
  for (Json* changed : {&copy, &assigned}) {
    (*changed)["new"] = 1;
    changed->erase("k0");
    changed->update(numbered_object(2 * count, count));
    EXPECT_TRUE(lacks(*changed, "k0"));
    EXPECT_EQ((*changed)["new"], 1);
    for (std::size_t i = 1; i < 2 * count; ++i) EXPECT_TRUE(holds_numbered(*changed, i));
  }
  EXPECT_EQ(keys_of(original), numbered_keys(count));
  EXPECT_TRUE(lacks(original, "new"));
  for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(holds_numbered(original, i));
  // A moved object takes its index along and leaves an empty one behind.
  const Json moved(std::move(copy.get_ref<Json::object_t&>()));
  EXPECT_EQ(moved, assigned);
  for (std::size_t i = 1; i < 2 * count; ++i) EXPECT_TRUE(holds_numbered(moved, i));
  EXPECT_TRUE(copy.empty());
  copy["k1"] = 1;
  EXPECT_TRUE(holds_numbered(copy, 1));
  EXPECT_TRUE(lacks(copy, "new"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, JsonObjectTest,
                         ::testing::Values(std::size_t{1}, std::size_t{2},
                                           Json::object_t::LINEAR_MEMBERS,
                                           Json::object_t::LINEAR_MEMBERS + 1, std::size_t{1000}),
                         [](const auto& info) { return "members_" + std::to_string(info.param); });

// Runs in a death test's child with its processor time and address space capped, and prints
// the syntax error that parsing `text` gives.
[[noreturn]] void parse_bounded_and_exit(const std::string& text) {
  quarnel::testing::limit_cpu_time(20);
  quarnel::testing::limit_address_space(std::size_t{256} << 20);
  try {
    parse(text);
    std::cerr << "parsed";
  } catch (const JsonSyntaxError& e) {
    std::cerr << e.what();
  }
  std::cerr << std::flush;
  ::_exit(0);
}

// A manifest fills at most the read limit; whatever its shape, parsing and explaining it takes
// time and memory in proportion to it.
TEST(JsonParse, SyntaxErrorsOfLongDocumentsBoundedByTheirLength) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr std::size_t LENGTH = std::size_t{4} << 20;
  const std::string digits(LENGTH, '9');
  // The text of an overflowing number is looked for in the document, where a text of the same
  // digits ends just before its exponent.
  EXPECT_EXIT(parse_bounded_and_exit("[\"" + digits + "\", " + digits + "e999]"),
              ::testing::ExitedWithCode(0),
              "^Number out of range \\(9{32}\\.\\.\\.\\): line 1 column " +
                  std::to_string(LENGTH + 6) + "$");
  // The library keeps every character since the last value for its message, each line break
  // spelled out in eight.
  const std::string breaks(2 * LENGTH, '\n');
  EXPECT_EXIT(parse_bounded_and_exit(breaks), ::testing::ExitedWithCode(0),
              "^Expecting value: line " + std::to_string(2 * LENGTH + 1) + " column 1$");
  EXPECT_EXIT(parse_bounded_and_exit("[" + breaks + "x]"), ::testing::ExitedWithCode(0),
              "^Invalid literal: line " + std::to_string(2 * LENGTH + 1) + " column 1$");
  EXPECT_EXIT(parse_bounded_and_exit("{\"a\":\r\n" + std::string(2 * LENGTH, '\t') + "}"),
              ::testing::ExitedWithCode(0),
              "^Expecting value: line 2 column " + std::to_string(2 * LENGTH + 1) + "$");
}

// The text of an object of members with the keys next_key() gives, each holding its number,
// up to the first that makes it hold at least `length` bytes; `keys` receives their keys.
template <class NextKey>
std::string object_filling(std::size_t length, NextKey next_key, std::vector<std::string>& keys) {
  std::string text = "{";
  while (text.size() < length) {
    const std::size_t i = keys.size();
    keys.push_back(next_key());
    if (i != 0) text += ',';
    text += '"';
    for (const char c : keys.back()) {
      if (static_cast<unsigned char>(c) < 0x20) {
        static constexpr char HEX[] = "0123456789abcdef";
        text += "\\u00";
        text += HEX[c >> 4];
        text += HEX[c & 0xF];
      } else {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
      }
    }
    text += "\":" + std::to_string(i);
  }
  return text + "}";
}

// Keys of 16 bytes that all have one hash under libstdc++'s std::hash of strings on a 64-bit
// machine, MurmurHash64A with a fixed seed. Each step of it is invertible, so for the first 8
// bytes of a key, its own, there are last 8 that bring the hash's state to 0 before the final
// mix. Those are kept only when they are ASCII, so that the keys can be written in a document.
class KeysOfOneLibraryHash {
 public:
  std::string operator()() {
    for (;; ++next_) {
      char first[8];
      std::uint64_t rest = next_;
      for (char& c : first) {
        c = static_cast<char>('a' + rest % 26);
        rest /= 26;
      }
      std::uint64_t block = 0;
      std::memcpy(&block, first, 8);
      const std::uint64_t state = (START ^ mix(block)) * MUL;
      const std::uint64_t last = unmix(state);
      if ((last & 0x8080808080808080) != 0) continue;
      ++next_;
      std::string key(first, 8);
      key.append(reinterpret_cast<const char*>(&last), 8);
      return key;
    }
  }

 private:
  static constexpr std::uint64_t MUL = 0xc6a4a7935bd1e995;
  // The state before the first block of a 16-byte key.
  static constexpr std::uint64_t START = 0xc70f6907 ^ (16 * MUL);
  // MUL is odd, so it has an inverse modulo 2^64 (found by Newton's method), and a shift by 47
  // undoes itself.
  static constexpr std::uint64_t inverse() {
    std::uint64_t inverse = MUL;
    for (int step = 0; step < 5; ++step) inverse *= 2 - MUL * inverse;
    return inverse;
  }
  static constexpr std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }
  static constexpr std::uint64_t mix(std::uint64_t block) { return shift_mix(block * MUL) * MUL; }
  static constexpr std::uint64_t unmix(std::uint64_t mixed) {
    return shift_mix(mixed * inverse()) * inverse();
  }

  std::uint64_t next_ = 0;
};

// Runs in a death test's child with its processor time and address space capped: parses
// `text`, goes down `depth` objects through their member "o", and prints the size of the
// object there, the value of the last of `keys` and, when `look_up_each`, how many of `keys`
// find finds holding their number.
[[noreturn]] void parse_members_bounded_and_exit(const std::string& text, int depth,
                                                 const std::vector<std::string>& keys,
                                                 bool look_up_each) {
  quarnel::testing::limit_cpu_time(20);
  quarnel::testing::limit_address_space(std::size_t{512} << 20);
  const Json value = parse(text);
  const Json* object = &value;
  for (int i = 0; i < depth; ++i) object = find(*object, "o");
  std::cerr << "members " << object->size() << " last " << find(*object, keys.back())->dump();
  if (look_up_each) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const Json* member = find(*object, keys[i]);
      if (member != nullptr && *member == i) ++found;
    }
    std::cerr << " found " << found;
  }
  std::cerr << std::flush;
  ::_exit(0);
}

// What parse_members_bounded_and_exit prints for `keys` when all is well.
std::string members_found(const std::vector<std::string>& keys, bool look_up_each) {
  const std::string count = std::to_string(keys.size());
  return "^members " + count + " last " + std::to_string(keys.size() - 1) +
         (look_up_each ? " found " + count : std::string()) + "$";
}

// A manifest of hundreds of thousands of distinct members: each one is added and looked up
// without walking the others.
TEST(JsonParse, ObjectsOfManyMembersBoundedByTheirLength) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<std::string> keys;
  const std::string members = object_filling(
      std::size_t{4} << 20, [&keys] { return "k" + std::to_string(keys.size()); }, keys);
  struct Shape {
    const char* label;
    int depth;
    bool look_up_each;
  };
  for (const Shape& shape : {Shape{"top_level", 0, false}, Shape{"one_deeper", 1, false},
                             Shape{"each_looked_up", 0, true}}) {
    SCOPED_TRACE(shape.label);
    const std::string text = shape.depth == 0 ? members : "{\"o\":" + members + "}";
    EXPECT_EXIT(parse_members_bounded_and_exit(text, shape.depth, keys, shape.look_up_each),
                ::testing::ExitedWithCode(0), members_found(keys, shape.look_up_each));
  }
}

// The keys come from the document, so whoever wrote it knows them before the index hashes them:
// keys chosen to share a hash the index used would make each key walk all those before it.
TEST(JsonParse, KeysOfOneLibraryHashBoundedByTheirLength) {
#if defined(__GLIBCXX__) && SIZE_MAX == UINT64_MAX
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<std::string> keys;
  const std::string text = object_filling(fs::MAX_READ_BYTES, KeysOfOneLibraryHash(), keys);
  const std::size_t hash = std::hash<std::string_view>{}(keys.front());
  for (const std::string& key : {keys[1], keys.back()}) {
    ASSERT_EQ(std::hash<std::string_view>{}(key), hash) << "the library's string hash changed";
  }
  EXPECT_EXIT(parse_members_bounded_and_exit(text, 0, keys, true), ::testing::ExitedWithCode(0),
              members_found(keys, true));
#else
  GTEST_SKIP() << "keys of one hash are known for libstdc++ on 64-bit machines only";
#endif
}

}  // namespace
}  // namespace quarnel::utils::json

namespace quarnel::utils::json {
namespace {

TEST(ReadObjectOrNone, AnyUnusableFileIsNone) {
  quarnel::testing::TempDir dir;
  dir.write("ok.json", R"({"name": "tool", "version": ""})");
  dir.write("array.json", "[1, 2]");
  dir.write("broken.json", "{");
  dir.write("latin1.json", "{\"name\": \"caf\xe9\"}");
  dir.mkdir("dir.json");
  const auto ok = read_object_or_none(dir / "ok.json", dir.path());
  ASSERT_TRUE(ok.has_value());
  EXPECT_TRUE(member_truthy(*ok, "name"));
  EXPECT_FALSE(member_truthy(*ok, "version"));
  EXPECT_FALSE(member_truthy(*ok, "missing"));
  for (const char* name : {"array.json", "broken.json", "latin1.json", "dir.json", "none.json"}) {
    EXPECT_EQ(read_object_or_none(dir / name, dir.path()), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace quarnel::utils::json
