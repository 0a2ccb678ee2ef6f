#include "quarnel/utils/json.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::utils::json {

namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";

// "line L column C" of a byte offset, the column counted in characters as a reader sees them.
std::string where(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start =
      before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  std::size_t column = 1;
  for (std::size_t i = line_start; i < offset; ++i) {
    // Continuation bytes belong to the character before them.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + " column " + std::to_string(column);
}

[[noreturn]] void syntax_error(std::string_view what, std::string_view text, std::size_t offset) {
  throw JsonSyntaxError(std::string(what) + ": " + where(text, offset));
}

// Calls `visit(i)` for the offset of every character of the document that stands outside its
// texts (the quotes that open and close a text included).
template <typename Visit>
void for_each_outside_texts(std::string_view text, Visit visit) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else {
      if (c == '"') in_string = true;
      visit(i);
    }
  }
}

bool is_break(char c) { return c == '\n' || c == '\r' || c == '\t'; }

// Refuses nesting deeper than MAX_DEPTH before the library builds the value, and tells whether
// a tab or line break stands outside the document's texts.
bool check_depth(std::string_view text) {
  int depth = 0;
  bool breaks = false;
  for_each_outside_texts(text, [&](std::size_t i) {
    const char c = text[i];
    if (c == '[' || c == '{') {
      if (++depth > detail::MAX_DEPTH) {
        syntax_error("Too deeply nested", text, i);
      }
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (is_break(c)) {
      breaks = true;
    }
  });
  return breaks;
}

// The text with every tab and line break outside its texts read as a blank. The library keeps
// every character since the last text, number or literal for its error message, and spells a
// control character there in eight ("<U+000A>"): a document of megabytes of line breaks would
// give a message eight times its size, built several times over. Outside texts the four are
// alike to the grammar, and a blank takes the same byte, so the value and every place in the
// message stay the same (the places are counted in the original text).
std::string blanks_for_breaks(std::string_view text) {
  std::string out(text);
  for_each_outside_texts(text, [&](std::size_t i) {
    if (is_break(out[i])) out[i] = ' ';
  });
  return out;
}

// The library's explanation without its prefix and the echo of what it last read (which can
// be a long stretch of the document), in a form close to what a JSON reader says elsewhere.
// Only the short explanation is copied, never the echo.
std::string describe(std::string_view library_message) {
  std::string_view detail = library_message;
  if (const auto column = detail.find(", column "); column != std::string_view::npos) {
    if (const auto colon = detail.find(": ", column); colon != std::string_view::npos) {
      detail = detail.substr(colon + 2);
    }
  }
  if (detail.find("expected '[', '{', or a literal") != std::string_view::npos) {
    return "Expecting value";
  }
  if (detail.find("; expected end of input") != std::string_view::npos) {
    return "Extra data";
  }
  if (const auto dash = detail.find(" - "); dash != std::string_view::npos) {
    detail = detail.substr(dash + 3);
  }
  std::string shown;
  if (const auto echo = detail.find("; last read: "); echo != std::string_view::npos) {
    // The echo may itself hold "; ", so the clause after it is looked for from the end.
    auto rest = detail.rfind("; expected ");
    if (rest != std::string_view::npos && rest < echo) rest = std::string_view::npos;
    shown = std::string(detail.substr(0, echo));
    if (rest != std::string_view::npos) shown += detail.substr(rest);
  } else {
    shown = std::string(detail);
  }
  if (!shown.empty()) {
    shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
  }
  return shown.empty() ? "Invalid JSON" : shown;
}

[[noreturn]] void number_error(std::string_view library_message, std::string_view text) {
  // The library names the literal ("number overflow parsing '1e400'") but not its place.
  std::string_view literal;
  if (const auto open = library_message.find('\''); open != std::string_view::npos) {
    const auto close = library_message.find('\'', open + 1);
    if (close != std::string_view::npos) {
      literal = library_message.substr(open + 1, close - open - 1);
    }
  }
  std::string what = "Number out of range";
  if (!literal.empty()) {
    what +=
        " (" +
        (literal.size() > 32 ? std::string(literal.substr(0, 32)) + "..." : std::string(literal)) +
        ")";
    // A text of the same digits may stand just before it: a search that compares afresh at
    // every place would take the product of the two lengths.
    if (const auto at = text::find_linear(text, literal); at != std::string_view::npos) {
      syntax_error(what, text, at);
    }
  }
  throw JsonSyntaxError(what);
}

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

HashKey draw_hash_key() noexcept {
  try {
    std::random_device device;
    const auto word = [&] { return (std::uint64_t{device()} << 32) | device(); };
    return {word(), word()};
  } catch (...) {
    // No source of randomness: the clock and where the stack lies are still unknown to a
    // document's writer in advance.
    const int here = 0;
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return {now * 0x9e3779b97f4a7c15, reinterpret_cast<std::uintptr_t>(&here) ^ now};
  }
}

// SipHash-1-3, as hash tables that take keys from their input use it: a keyed function whose
// collisions cannot be found without the key.
std::uint64_t sip_hash(std::string_view bytes, const HashKey& key) noexcept {
  std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575;
  std::uint64_t v1 = key.k1 ^ 0x646f72616e646f6d;
  std::uint64_t v2 = key.k0 ^ 0x6c7967656e657261;
  std::uint64_t v3 = key.k1 ^ 0x7465646279746573;
  const auto round = [&] {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  };
  const auto absorb = [&](std::uint64_t block) {
    v3 ^= block;
    round();
    v0 ^= block;
  };
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t block = 0;
    std::memcpy(&block, bytes.data() + at, 8);
    absorb(block);
  }
  std::uint64_t last = static_cast<std::uint64_t>(bytes.size()) << 56;
  for (std::size_t i = 0; at + i < bytes.size(); ++i) {
    last |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  absorb(last);
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

void append_repr(std::string& out, const Json& value);

void append_str(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      out += "None";
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "True" : "False";
      return;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return;
    case Json::value_t::number_float:
      out += text::float_repr(value.get<double>());
      return;
    case Json::value_t::string:
      out += value.get_ref<const std::string&>();
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) {
          out += ", ";
        }
        first = false;
        append_repr(out, element);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) {
          out += ", ";
        }
        first = false;
        out += text::repr(key);
        out += ": ";
        append_repr(out, element);
      }
      out += '}';
      return;
    }
    case Json::value_t::binary:
      out += "b''";
      return;
  }
}

// Inside containers texts are shown quoted, everything else as at the top level.
void append_repr(std::string& out, const Json& value) {
  if (value.is_string()) {
    out += text::repr(value.get_ref<const std::string&>());
  } else {
    append_str(out, value);
  }
}

}  // namespace

std::size_t detail::key_hash(std::string_view key) noexcept {
  static const HashKey hash_key = draw_hash_key();
  return static_cast<std::size_t>(sip_hash(key, hash_key));
}

Json parse(std::string_view text) {
  // The library would skip a byte-order mark silently; a document that starts with one is
  // refused here as elsewhere.
  if (text.starts_with(BOM)) {
    syntax_error("Unexpected UTF-8 BOM", text, 0);
  }
  const bool breaks = check_depth(text);
  const std::string blanked = breaks ? blanks_for_breaks(text) : std::string();
  const std::string_view read = breaks ? std::string_view(blanked) : text;
  try {
    return Json::parse(read.begin(), read.end());
  } catch (const nlohmann::json::parse_error& e) {
    // `byte` counts from 1 and points at the last character read.
    const std::size_t offset = e.byte == 0 ? 0 : e.byte - 1;
    syntax_error(describe(e.what()), text, offset);
  } catch (const nlohmann::json::out_of_range& e) {
    number_error(e.what(), text);
  }
}

Json parse_object(std::string_view text) {
  Json value = parse(text);
  if (!value.is_object()) {
    throw JsonTypeError("expected a JSON object at the top level, got " + type_name(value));
  }
  return value;
}

bool truthy(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      // -0.0 compares equal to 0.0; NaN compares unequal and is true, as in Python.
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      // The library's empty() treats any scalar, a text included, as one element.
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary:
      return !value.empty();
  }
  return false;
}

std::string type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return "NoneType";
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "int";
    case Json::value_t::number_float:
      return "float";
    case Json::value_t::string:
      return "str";
    case Json::value_t::array:
      return "list";
    case Json::value_t::object:
      return "dict";
    case Json::value_t::binary:
      return "bytes";
  }
  return "NoneType";
}

std::string py_str(const Json& value) {
  std::string out;
  append_str(out, value);
  return out;
}

const Json* find(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool member_truthy(const Json& object, std::string_view key) {
  const Json* value = find(object, key);
  return value != nullptr && truthy(*value);
}

std::optional<Json> read_object_or_none(const std::filesystem::path& path,
                                        const std::optional<std::filesystem::path>& root) {
  const auto content = fs::read_text_or_none(path, text::DecodeMode::Strict, root);
  if (!content) return std::nullopt;
  try {
    Json value = parse(*content);
    if (value.is_object()) return value;
  } catch (const JsonSyntaxError&) {
  }
  return std::nullopt;
}

}  // namespace quarnel::utils::json
