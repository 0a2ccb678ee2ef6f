#include "quarnel/plugins/builtin/yarrowin.hpp"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quarnel/utils/files.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::yarrowin {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;
using utils::regex::Regex;

namespace detail {

namespace {

constexpr std::string_view STANDARD_TAG_PREFIX = "tag:yaml.org,2002:";

std::string at(const YAML::Mark& mark, std::string_view message) {
  if (mark.is_null()) return std::string(message);
  return "error at line " + std::to_string(mark.line + 1) + ", column " +
         std::to_string(mark.column + 1) + ": " + std::string(message);
}

// Long scalars are cut in messages: the position already says where the value is.
std::string shown_value(std::string_view value) {
  constexpr std::size_t MAX_SHOWN = 50;
  const std::u32string points = text::to_u32(value);
  if (points.size() <= MAX_SHOWN) return text::repr(value);
  return text::repr(text::from_u32(std::u32string_view(points).substr(0, MAX_SHOWN))) + "...";
}

// YAML admits only printable characters; a loader that kept control characters would hand on
// text the format forbids.
bool is_printable(char32_t cp) {
  return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0x7E) || cp == 0x85 ||
         (cp >= 0xA0 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         (cp >= 0x10000 && cp <= 0x10FFFF);
}

void check_printable(std::string_view text_in) {
  int line = 0;
  int column = 0;
  for (const char32_t cp : text::to_u32(text_in)) {
    if (!is_printable(cp)) {
      YAML::Mark mark;
      mark.line = line;
      mark.column = column;
      char code[16];
      std::snprintf(code, sizeof code, "#x%04x", static_cast<unsigned>(cp));
      throw YamlError(at(mark, "unacceptable character " + std::string(code) +
                                   ": special characters are not allowed"));
    }
    if (cp == U'\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
}

enum class Shape { Scalar, Sequence, Mapping };

std::string_view shape_name(Shape shape) {
  switch (shape) {
    case Shape::Scalar:
      return "scalar";
    case Shape::Sequence:
      return "sequence";
    case Shape::Mapping:
      return "mapping";
  }
  return "node";
}

// One node as composed from the event stream; an alias is a second reference to the same node.
struct RawNode {
  Shape shape;
  std::string tag;
  std::string value;
  YAML::Mark mark;
  std::vector<std::size_t> children;  // items, or keys and values alternating
};

class Composer final : public YAML::EventHandler {
 public:
  std::vector<RawNode> nodes;
  std::optional<std::size_t> root;
  std::vector<YAML::Mark> non_plain_marks;

  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents_++ > 0) {
      throw YamlError(at(mark,
                         "expected a single document in the stream, but found another "
                         "document"));
    }
  }
  void OnDocumentEnd() override {}
  // The parser reports empty, "~" and "null" plain scalars this way; all three are null.
  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    add(Shape::Scalar, "?", "", mark, anchor);
  }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const auto it = anchors_.find(anchor);
    if (it == anchors_.end()) throw YamlError(at(mark, "found undefined alias"));
    attach(it->second);
  }
  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    // Only a scalar that is not plain, or carries a tag, can have been written in quotes.
    if (tag != "?") non_plain_marks.push_back(mark);
    add(Shape::Scalar, tag, value, mark, anchor);
  }
  void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open_.push_back(add(Shape::Sequence, tag, "", mark, anchor));
  }
  void OnSequenceEnd() override { open_.pop_back(); }
  void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open_.push_back(add(Shape::Mapping, tag, "", mark, anchor));
  }
  void OnMapEnd() override { open_.pop_back(); }

 private:
  std::size_t add(Shape shape, const std::string& tag, const std::string& value,
                  const YAML::Mark& mark, YAML::anchor_t anchor) {
    const std::size_t id = nodes.size();
    nodes.push_back({shape, tag, value, mark, {}});
    // Registered before the children arrive, so a collection may refer to itself.
    if (anchor != YAML::NullAnchor) anchors_[anchor] = id;
    attach(id);
    return id;
  }
  void attach(std::size_t id) {
    if (open_.empty()) {
      root = id;
    } else {
      nodes[open_.back()].children.push_back(id);
    }
  }

  int documents_ = 0;
  std::vector<std::size_t> open_;
  std::unordered_map<YAML::anchor_t, std::size_t> anchors_;
};

// The parser lets a quoted scalar that is never closed run to the end of the text and takes
// it as complete, so a stray quote would silently swallow every key after it. Each scalar that
// may be quoted is looked up in the text from its mark (the byte offset after a leading BOM,
// which points at the node's tag or anchor when it has any) and must find its closing quote.
void reject_unclosed_quotes(std::string_view yaml_text, const std::vector<YAML::Mark>& marks) {
  constexpr std::string_view BOM = "\xEF\xBB\xBF";
  const std::size_t base = yaml_text.starts_with(BOM) ? BOM.size() : 0;
  for (const YAML::Mark& mark : marks) {
    if (mark.pos < 0) continue;
    std::size_t i = base + static_cast<std::size_t>(mark.pos);
    // Past the node's properties, and the blanks and comments between them and the value.
    while (i < yaml_text.size()) {
      const char c = yaml_text[i];
      if (c == ' ' || c == '\t' || c == '\n') {
        ++i;
      } else if (c == '#') {
        while (i < yaml_text.size() && yaml_text[i] != '\n') ++i;
      } else if (c == '!' || c == '&') {
        while (i < yaml_text.size() && yaml_text[i] != ' ' && yaml_text[i] != '\t' &&
               yaml_text[i] != '\n') {
          ++i;
        }
      } else {
        break;
      }
    }
    if (i >= yaml_text.size()) continue;
    const char quote = yaml_text[i];
    if (quote != '"' && quote != '\'') continue;
    bool closed = false;
    for (++i; i < yaml_text.size(); ++i) {
      const char c = yaml_text[i];
      if (quote == '"' && c == '\\') {
        ++i;  // the escaped character, a quote included
      } else if (c == quote) {
        // In single quotes a doubled quote stands for one quote.
        if (quote == '\'' && i + 1 < yaml_text.size() && yaml_text[i + 1] == '\'') {
          ++i;
          continue;
        }
        closed = true;
        break;
      }
    }
    if (!closed) {
      throw YamlError(at(mark, "while scanning a quoted scalar, found unexpected end of stream"));
    }
  }
}

enum class Type {
  Null,
  Bool,
  Int,
  Float,
  Timestamp,
  Binary,
  Str,
  Merge,
  Value,
  Seq,
  Map,
  Set,
  Omap,
  Pairs
};

bool is_collection(Type type) {
  return type == Type::Seq || type == Type::Map || type == Type::Set || type == Type::Omap ||
         type == Type::Pairs;
}

// The type a plain scalar takes without a tag, by the YAML 1.1 patterns, tried in the order a
// YAML 1.1 resolver tries them.
Type implicit_type(const std::string& value) {
  static const Regex bool_re(
      "^(?:yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF)$");
  static const Regex float_re(
      "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?|\\.[0-9_]+(?:[eE][-+][0-9]+)?"
      "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(?:inf|Inf|INF)"
      "|\\.(?:nan|NaN|NAN))$");
  static const Regex int_re(
      "^(?:[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+"
      "|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$");
  static const Regex null_re("^(?:~|null|Null|NULL|)$");
  static const Regex timestamp_re(
      "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]"
      "|[0-9][0-9][0-9][0-9]-[0-9][0-9]?-[0-9][0-9]?(?:[Tt]|[ \\t]+)[0-9][0-9]?:[0-9][0-9]"
      ":[0-9][0-9](?:\\.[0-9]*)?(?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$");
  if (bool_re.match(value)) return Type::Bool;
  if (float_re.match(value)) return Type::Float;
  if (int_re.match(value)) return Type::Int;
  if (value == "<<") return Type::Merge;
  if (null_re.match(value)) return Type::Null;
  if (timestamp_re.match(value)) return Type::Timestamp;
  if (value == "=") return Type::Value;
  return Type::Str;
}

struct StandardTag {
  std::string_view name;
  Type type;
};

constexpr std::array<StandardTag, 14> STANDARD_TAGS = {{{"null", Type::Null},
                                                        {"bool", Type::Bool},
                                                        {"int", Type::Int},
                                                        {"float", Type::Float},
                                                        {"timestamp", Type::Timestamp},
                                                        {"binary", Type::Binary},
                                                        {"str", Type::Str},
                                                        {"merge", Type::Merge},
                                                        {"value", Type::Value},
                                                        {"seq", Type::Seq},
                                                        {"map", Type::Map},
                                                        {"set", Type::Set},
                                                        {"omap", Type::Omap},
                                                        {"pairs", Type::Pairs}}};

// The shape of node each type is built from, and how a loader says it wanted that shape.
Shape shape_of(Type type) {
  switch (type) {
    case Type::Seq:
    case Type::Omap:
    case Type::Pairs:
      return Shape::Sequence;
    case Type::Map:
    case Type::Set:
      return Shape::Mapping;
    default:
      return Shape::Scalar;
  }
}

std::string_view expected_text(Type type) {
  switch (type) {
    case Type::Seq:
      return "expected a sequence node";
    case Type::Omap:
    case Type::Pairs:
      return "expected a sequence";
    case Type::Map:
    case Type::Set:
      return "expected a mapping node";
    default:
      return "expected a scalar node";
  }
}

[[noreturn]] void no_constructor(const RawNode& node, std::string_view tag) {
  throw YamlError(
      at(node.mark, "could not determine a constructor for the tag " + text::repr(tag)));
}

Type resolve(const RawNode& node) {
  if (node.tag == "?") {
    if (node.shape == Shape::Scalar) return implicit_type(node.value);
    return node.shape == Shape::Sequence ? Type::Seq : Type::Map;
  }
  if (node.tag == "!") {
    if (node.shape == Shape::Scalar) return Type::Str;
    return node.shape == Shape::Sequence ? Type::Seq : Type::Map;
  }
  const std::string_view tag = node.tag;
  if (!tag.starts_with(STANDARD_TAG_PREFIX)) no_constructor(node, tag);
  const std::string_view name = tag.substr(STANDARD_TAG_PREFIX.size());
  const auto it = std::find_if(STANDARD_TAGS.begin(), STANDARD_TAGS.end(),
                               [&](const StandardTag& entry) { return entry.name == name; });
  if (it == STANDARD_TAGS.end()) no_constructor(node, tag);
  if (shape_of(it->type) != node.shape) {
    throw YamlError(at(node.mark, std::string(expected_text(it->type)) + ", but found " +
                                      std::string(shape_name(node.shape))));
  }
  return it->type;
}

bool all_of_chars(std::string_view digits, std::string_view allowed) {
  return !digits.empty() && digits.find_first_not_of(allowed) == std::string_view::npos;
}

std::string without_underscores(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c != '_') out.push_back(c);
  }
  return out;
}

std::string_view without_sign(std::string_view value) {
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) value.remove_prefix(1);
  return value;
}

constexpr std::string_view DIGITS = "0123456789";

bool valid_int(std::string_view raw) {
  const std::string cleaned = without_underscores(raw);
  const std::string_view value = without_sign(cleaned);
  if (value == "0") return true;
  if (value.starts_with("0b")) return all_of_chars(value.substr(2), "01");
  if (value.starts_with("0x")) return all_of_chars(value.substr(2), "0123456789abcdefABCDEF");
  if (value.starts_with('0')) return all_of_chars(value, "01234567");
  if (value.find(':') != std::string_view::npos) {
    const auto parts = text::split(value, ":");
    return std::all_of(parts.begin(), parts.end(),
                       [](const std::string& part) { return all_of_chars(part, DIGITS); });
  }
  return all_of_chars(value, DIGITS);
}

bool valid_float(std::string_view raw) {
  static const Regex number_re(
      "^(?:(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][-+]?[0-9]+)?|inf|infinity|nan|\\.inf|\\.nan)$",
      utils::regex::IGNORECASE);
  const std::string cleaned = without_underscores(raw);
  const std::string_view value = without_sign(cleaned);
  if (value.find(':') != std::string_view::npos) {
    const auto parts = text::split(value, ":");
    return std::all_of(parts.begin(), parts.end(),
                       [](const std::string& part) { return number_re.match(part).has_value(); });
  }
  return number_re.match(value).has_value();
}

bool valid_bool(std::string_view value) {
  static constexpr std::array<std::string_view, 6> WORDS = {"yes",   "no", "true",
                                                            "false", "on", "off"};
  std::string lowered(value);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return std::find(WORDS.begin(), WORDS.end(), lowered) != WORDS.end();
}

bool valid_binary(std::string_view value) {
  std::size_t data = 0;
  std::size_t padding = 0;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return false;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '/') {
      ++data;
    } else if (c == '=') {
      ++padding;
    }
  }
  const std::size_t rest = data % 4;
  return rest == 0 || (rest != 1 && padding >= 4 - rest);
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int number(const utils::regex::Match& match, std::size_t group) {
  const auto digits = match.group(group);
  return digits ? std::stoi(*digits) : 0;
}

// A real calendar date and clock time, and a zone offset of less than a day.
bool valid_timestamp(std::string_view value) {
  static const Regex parts_re(
      "^([0-9][0-9][0-9][0-9])-([0-9][0-9]?)-([0-9][0-9]?)"
      "(?:(?:[Tt]|[ \\t]+)([0-9][0-9]?):([0-9][0-9]):([0-9][0-9])(?:\\.([0-9]*))?"
      "(?:[ \\t]*(Z|([-+])([0-9][0-9]?)(?::([0-9][0-9]))?))?)?$");
  const auto match = parts_re.match(value);
  if (!match) return false;
  const int year = number(*match, 1);
  const int month = number(*match, 2);
  const int day = number(*match, 3);
  static constexpr std::array<int, 12> DAYS = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int month_days = DAYS[static_cast<std::size_t>(month - 1)] + (month == 2 && is_leap(year));
  if (day > month_days) return false;
  if (!match->matched(4)) return true;
  if (number(*match, 4) > 23 || number(*match, 5) > 59 || number(*match, 6) > 59) return false;
  if (!match->matched(9)) return true;
  return number(*match, 10) * 60 + number(*match, 11) < 24 * 60;
}

std::string_view type_word(Type type) {
  switch (type) {
    case Type::Bool:
      return "bool";
    case Type::Int:
      return "int";
    case Type::Float:
      return "float";
    case Type::Timestamp:
      return "timestamp";
    case Type::Binary:
      return "binary";
    default:
      return "value";
  }
}

void check_scalar(const RawNode& node, Type type) {
  bool valid = true;
  switch (type) {
    case Type::Bool:
      valid = valid_bool(node.value);
      break;
    case Type::Int:
      valid = valid_int(node.value);
      break;
    case Type::Float:
      valid = valid_float(node.value);
      break;
    case Type::Timestamp:
      valid = valid_timestamp(node.value);
      break;
    case Type::Binary:
      valid = valid_binary(node.value);
      break;
    default:
      break;
  }
  if (!valid) {
    throw YamlError(at(node.mark, "could not construct a " + std::string(type_word(type)) +
                                      " from " + shown_value(node.value)));
  }
}

// Where a node is used: merge ("<<") and value ("=") scalars only mean something as the key of
// a mapping; anywhere else a loader has nothing to build from them.
enum class Slot { Key, Other };

struct Loaded {
  const std::vector<RawNode>& nodes;
  std::vector<std::optional<Type>> types;
  std::unordered_map<std::size_t, std::vector<std::size_t>> merges;  // mapping -> merged ones

  Type type_of(std::size_t id) {
    auto& type = types[id];
    if (!type) type = resolve(nodes[id]);
    return *type;
  }
};

// The mappings that a merge key's value brings in.
std::vector<std::size_t> merged_mappings(Loaded& loaded, std::size_t value_id) {
  const RawNode& value = loaded.nodes[value_id];
  if (value.shape == Shape::Mapping) return {value_id};
  if (value.shape != Shape::Sequence) {
    throw YamlError(
        at(value.mark, "expected a mapping or list of mappings for merging, but found " +
                           std::string(shape_name(value.shape))));
  }
  for (const std::size_t item : value.children) {
    const RawNode& entry = loaded.nodes[item];
    if (entry.shape != Shape::Mapping) {
      throw YamlError(at(entry.mark, "expected a mapping for merging, but found " +
                                         std::string(shape_name(entry.shape))));
    }
  }
  return value.children;
}

// Builds, in the loader's sense, every node reachable from the root, once per way it is used.
// Iterative, since aliases can chain nested collections far deeper than the parser's own limit.
void build_all(Loaded& loaded, std::size_t root) {
  std::vector<std::pair<std::size_t, Slot>> pending = {{root, Slot::Other}};
  std::array<std::unordered_set<std::size_t>, 2> seen;
  while (!pending.empty()) {
    const auto [id, slot] = pending.back();
    pending.pop_back();
    if (!seen[static_cast<std::size_t>(slot)].insert(id).second) continue;
    const RawNode& node = loaded.nodes[id];
    const Type type = loaded.type_of(id);
    switch (type) {
      case Type::Merge:
      case Type::Value:
        if (slot != Slot::Key) {
          no_constructor(
              node, std::string(STANDARD_TAG_PREFIX) + (type == Type::Merge ? "merge" : "value"));
        }
        break;
      case Type::Seq:
        for (const std::size_t item : node.children) pending.emplace_back(item, Slot::Other);
        break;
      case Type::Omap:
      case Type::Pairs:
        for (const std::size_t item : node.children) {
          const RawNode& entry = loaded.nodes[item];
          if (entry.shape != Shape::Mapping) {
            throw YamlError(at(entry.mark, "expected a mapping of length 1, but found " +
                                               std::string(shape_name(entry.shape))));
          }
          if (entry.children.size() != 2) {
            throw YamlError(at(entry.mark, "expected a single mapping item, but found " +
                                               std::to_string(entry.children.size() / 2) +
                                               " items"));
          }
          pending.emplace_back(entry.children[0], Slot::Other);
          pending.emplace_back(entry.children[1], Slot::Other);
        }
        break;
      case Type::Map:
      case Type::Set:
        for (std::size_t i = 0; i + 1 < node.children.size(); i += 2) {
          const std::size_t key = node.children[i];
          const std::size_t value = node.children[i + 1];
          const Type key_type = loaded.type_of(key);
          if (key_type == Type::Merge) {
            for (const std::size_t merged : merged_mappings(loaded, value)) {
              loaded.merges[id].push_back(merged);
              pending.emplace_back(merged, Slot::Other);
            }
            continue;
          }
          if (is_collection(key_type)) {
            throw YamlError(at(loaded.nodes[key].mark, "found unhashable key"));
          }
          pending.emplace_back(key, Slot::Key);
          pending.emplace_back(value, Slot::Other);
        }
        break;
      default:
        check_scalar(node, type);
        break;
    }
  }
}

// A mapping that merges itself, directly or through others, has no finite set of keys.
void reject_merge_cycles(const Loaded& loaded) {
  enum class Colour { White, Grey, Black };
  std::unordered_map<std::size_t, Colour> colour;
  for (const auto& [start, unused] : loaded.merges) {
    if (colour[start] != Colour::White) continue;
    // Each frame is a mapping and the index of the next merged mapping to follow.
    std::vector<std::pair<std::size_t, std::size_t>> stack = {{start, 0}};
    colour[start] = Colour::Grey;
    while (!stack.empty()) {
      auto& [id, next] = stack.back();
      const auto edges = loaded.merges.find(id);
      if (edges == loaded.merges.end() || next >= edges->second.size()) {
        colour[id] = Colour::Black;
        stack.pop_back();
        continue;
      }
      const std::size_t target = edges->second[next++];
      if (colour[target] == Colour::Grey) {
        throw YamlError(at(loaded.nodes[target].mark, "found a mapping that merges itself"));
      }
      if (colour[target] == Colour::White) {
        colour[target] = Colour::Grey;
        stack.emplace_back(target, 0);
      }
    }
  }
}

std::vector<std::string> root_text_keys(Loaded& loaded, std::size_t root) {
  std::vector<std::string> keys;
  std::unordered_set<std::string> listed;
  std::unordered_set<std::size_t> visited = {root};
  std::vector<std::size_t> queue = {root};
  for (std::size_t at_index = 0; at_index < queue.size(); ++at_index) {
    const RawNode& mapping = loaded.nodes[queue[at_index]];
    for (std::size_t i = 0; i + 1 < mapping.children.size(); i += 2) {
      const std::size_t key = mapping.children[i];
      const Type type = loaded.type_of(key);
      // As a key, "=" is plain text.
      if ((type == Type::Str || type == Type::Value) &&
          listed.insert(loaded.nodes[key].value).second) {
        keys.push_back(loaded.nodes[key].value);
      }
    }
    const auto merged = loaded.merges.find(queue[at_index]);
    if (merged == loaded.merges.end()) continue;
    for (const std::size_t next : merged->second) {
      if (visited.insert(next).second) queue.push_back(next);
    }
  }
  return keys;
}

}  // namespace

YamlDocument safe_load(std::string_view yaml_text) {
  check_printable(yaml_text);
  Composer composer;
  try {
    std::istringstream input{std::string(yaml_text)};
    YAML::Parser parser(input);
    while (parser.HandleNextDocument(composer)) {
    }
  } catch (const YAML::Exception& error) {
    throw YamlError(at(error.mark, error.msg));
  }
  reject_unclosed_quotes(yaml_text, composer.non_plain_marks);
  if (!composer.root) return {};
  Loaded loaded{composer.nodes, std::vector<std::optional<Type>>(composer.nodes.size()), {}};
  build_all(loaded, *composer.root);
  reject_merge_cycles(loaded);
  if (loaded.type_of(*composer.root) != Type::Map) return {};
  return {.is_mapping = true, .text_keys = root_text_keys(loaded, *composer.root)};
}

std::pair<bool, std::string> basic_cff_check(const stdfs::path& path, const stdfs::path& root) {
  std::string content;
  try {
    content = fs::read_text(path, text::DecodeMode::Strict, root);
  } catch (const OsError& error) {
    return {false, "Could not read: " + std::string(error.what())};
  } catch (const DecodeError& error) {
    // Bytes that are not UTF-8 make the file as unusable as one that cannot be opened.
    return {false, "Could not read: " + std::string(error.what())};
  }
  if (text::length(text::strip(content)) < 20) return {false, "File is too short"};

  YamlDocument document;
  try {
    document = safe_load(content);
  } catch (const YamlError& error) {
    return {false, "Invalid YAML: " + std::string(error.what())};
  }
  if (!document.is_mapping) return {false, "CFF root must be a mapping"};

  static constexpr std::array<std::string_view, 3> REQUIRED = {"cff-version", "title", "authors"};
  std::vector<std::string> missing;
  for (const auto key : REQUIRED) {
    if (std::find(document.text_keys.begin(), document.text_keys.end(), key) ==
        document.text_keys.end()) {
      missing.emplace_back(key);
    }
  }
  if (!missing.empty()) return {false, "Missing keys: " + text::join(missing, ", ")};
  return {true, "Valid CFF structure"};
}

}  // namespace detail

base::CheckResult YarrowinPlugin::check(std::string_view indicator_id,
                                        const base::Context& context) const {
  const stdfs::path& root = context.repo_path;
  std::vector<std::string> found;
  for (const auto& path : utils::files::find_files(root, detail::CITATION_FILES)) {
    found.push_back(path.filename().string());
  }

  if (found.empty()) {
    std::vector<std::string> checked(detail::CITATION_FILES.begin(), detail::CITATION_FILES.end());
    return make_result(indicator_id, {.score = 0.0,
                                      .process = "Searched for citation files",
                                      .output = "No citation file found",
                                      .evidence = "Checked: " + text::join(checked, ", ")});
  }

  const std::string files = text::join(found, ", ");
  const bool has_cff = std::any_of(found.begin(), found.end(), [](const std::string& name) {
    return text::lower(name).ends_with(".cff");
  });
  if (!has_cff) {
    return make_result(indicator_id, {.score = 7.0,
                                      .process = "Found citation file (not CFF format)",
                                      .output = "Citation files: " + files,
                                      .evidence = "Files: " + files});
  }

  stdfs::path cff_path = root / "CITATION.cff";
  if (!fs::exists(cff_path)) cff_path = root / "citation.cff";
  auto [valid, msg] = detail::basic_cff_check(cff_path, root);
  if (valid) {
    return make_result(indicator_id, {.score = 10.0,
                                      .process = "Found and validated CITATION.cff",
                                      .output = std::move(msg),
                                      .evidence = "Files: " + files});
  }
  return make_result(indicator_id, {.score = 5.0,
                                    .process = "CITATION.cff exists but has issues",
                                    .output = std::move(msg),
                                    .evidence = "Files: " + files});
}

}  // namespace quarnel::plugins::builtin::yarrowin
