#include "quarnel/utils/json.hpp"

#include <gtest/gtest.h>

#include "support/fixtures.hpp"

#include <string>
#include <vector>

#include "quarnel/error.hpp"

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
        SyntaxCase{"too_deep", nested(detail::MAX_DEPTH + 1), "Too deeply nested"}),
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
