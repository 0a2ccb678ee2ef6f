#pragma once

// Reading JSON the way the checks need it: one whole document, member order kept, the last of
// repeated members wins, and a leading byte-order mark is an error (the library would skip it).
// Objects are the library's ordered objects with an index of their keys beside them, so that a
// key is found, or a member added, without walking the other keys.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "quarnel/utils/json_object.hpp"

namespace quarnel::utils::json {

using Json = nlohmann::basic_json<IndexedMap>;

// Parses decoded text. Raises JsonSyntaxError for empty text, trailing text, a leading BOM,
// numbers out of range and anything else that is not one JSON document.
Json parse(std::string_view text);

// Parses and requires an object at the top level: JsonTypeError otherwise.
Json parse_object(std::string_view text);

// Truth of a value: null, false, 0, 0.0, "", [] and {} are false; everything else is true.
bool truthy(const Json& value);

// The name of the value's kind as a Python program would print it: "dict", "list", "str",
// "int", "float", "bool", "NoneType".
std::string type_name(const Json& value);

// The value printed as Python's str() would print the decoded value ("None", "True", "7",
// "1.5", "abc", "{'a': 1}", "[1, 'x']").
std::string py_str(const Json& value);

// The member's value when `object` is an object holding `key`, else nullptr.
const Json* find(const Json& object, std::string_view key);

// The member is present and its value is true (see truthy).
bool member_truthy(const Json& object, std::string_view key);

// The top-level object of a JSON file (read strictly, through fs::read_text with `root`), or none
// when the file cannot be read or decoded, is not JSON, or holds another kind of value.
std::optional<Json> read_object_or_none(const std::filesystem::path& path,
                                        const std::optional<std::filesystem::path>& root = {});

namespace detail {

// Deepest nesting of arrays and objects that parse accepts. Deeper documents are refused as
// syntax errors: walking them recursively (printing, copying) could exhaust the stack.
inline constexpr int MAX_DEPTH = 1000;

}  // namespace detail

}  // namespace quarnel::utils::json
