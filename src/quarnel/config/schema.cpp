#include "quarnel/config/schema.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/yaml.hpp"

namespace quarnel::config::schema {

namespace {

namespace text = utils::text;
namespace yaml = utils::yaml;

template <typename Names>
std::string listing(const Names& names) {
  std::string out;
  for (const auto name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// Every message starts with the source so that the user knows which file to fix.
[[noreturn]] void fail(std::string_view origin, const std::string& message) {
  throw ConfigError(std::string(origin) + ": " + message);
}

// A node of the loaded stream; a null counts as a value left out, never as a text.
struct View {
  const yaml::Stream& stream;
  yaml::NodeId id;

  yaml::Kind kind() const { return stream.kind(id); }
  std::string_view tag() const { return stream.tag(id); }
  std::string_view value() const { return stream.value(id); }
  std::size_t size() const { return stream.children(id).size(); }
  bool is_null() const { return stream.type(id) == yaml::Type::Null; }
  bool is_scalar() const { return kind() == yaml::Kind::Scalar && !is_null(); }
  View child(std::size_t i) const { return {stream, stream.children(id)[i]}; }
};

std::string kind_of(const View& view) {
  if (view.is_null()) return "an empty value";
  switch (view.kind()) {
    case yaml::Kind::Sequence:
      return "a list";
    case yaml::Kind::Mapping:
      return "a mapping";
    case yaml::Kind::Scalar:
      break;
  }
  return "a single value";
}

std::string level_setting(const View& node, std::string_view key, std::string_view origin) {
  const std::string expected =
      std::string(key) + " must be one of " + listing(LEVEL_NAMES) + " (in any letter case)";
  if (!node.is_scalar()) fail(origin, expected + ", not " + kind_of(node));
  const std::string_view value = node.value();
  const std::string lowered = text::lower(value);
  if (std::find(LEVEL_NAMES.begin(), LEVEL_NAMES.end(), lowered) == LEVEL_NAMES.end()) {
    fail(origin, expected + ", got " + text::repr_cut(value));
  }
  return std::string(value);
}

// YAML's decimal number forms and its spellings of infinity and not-a-number; the last two
// parse so that they can be refused as out of range with a clear message.
std::optional<double> parse_number(std::string_view raw) {
  std::string_view digits = raw;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  for (const std::string_view inf : {".inf", ".Inf", ".INF"}) {
    if (digits == inf) return negative ? -HUGE_VAL : HUGE_VAL;
  }
  for (const std::string_view nan : {".nan", ".NaN", ".NAN"}) {
    if (raw == nan) return std::numeric_limits<double>::quiet_NaN();
  }
  // Only plain decimal notation: from_chars alone would also take "inf", "nan" and hex forms.
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  while (i < digits.size() && digits[i] >= '0' && digits[i] <= '9') ++i, ++mantissa_digits;
  if (i < digits.size() && digits[i] == '.') {
    ++i;
    while (i < digits.size() && digits[i] >= '0' && digits[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (i < digits.size() && (digits[i] == 'e' || digits[i] == 'E')) {
    ++i;
    if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) ++i;
    const std::size_t exponent_start = i;
    while (i < digits.size() && digits[i] >= '0' && digits[i] <= '9') ++i;
    if (i == exponent_start) return std::nullopt;
  }
  if (i != digits.size()) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) return negative ? -HUGE_VAL : HUGE_VAL;
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return negative ? -value : value;
}

// A number is shown as written, unquoted, but cut like a quoted value: it may be a megabyte of
// digits. Its characters are all ASCII.
std::string shown_number(std::string_view raw) {
  if (raw.size() <= text::MAX_QUOTED) return std::string(raw);
  return std::string(raw.substr(0, text::MAX_QUOTED)) + "\u2026";
}

double score_setting(const View& node, std::string_view key, std::string_view origin) {
  const std::string expected = std::string(key) + " must be a number from 0 to 10";
  // A quoted or string-tagged value is text in YAML, even when it reads like a number.
  const std::string_view tag = node.tag();
  const bool numeric_tag =
      tag == "?" || tag == "tag:yaml.org,2002:float" || tag == "tag:yaml.org,2002:int";
  if (!node.is_scalar()) fail(origin, expected + ", not " + kind_of(node));
  const std::string_view raw = node.value();
  if (!numeric_tag) fail(origin, expected + ", got the text " + text::repr_cut(raw));
  const auto value = parse_number(raw);
  if (!value) fail(origin, expected + ", got " + text::repr_cut(raw));
  // Written so that not-a-number is refused too.
  if (!(*value >= 0.0 && *value <= 10.0)) {
    fail(origin, expected + ", got " + shown_number(raw) + ", which is out of range");
  }
  return *value;
}

// The ids a configuration may name, when the caller knows them, and the first entry that is
// none of them. Each entry is checked as it is read: once one is unknown the configuration is
// refused, so nothing after it is kept, and a long text that many aliases repeat is never
// copied for each. The unknown id is reported only once the whole file has been read, so that
// any other error in it comes first.
struct IdCheck {
  std::optional<std::span<const std::string_view>> known;
  std::optional<std::string_view> first_unknown;  // a view of the loaded stream
};

std::vector<std::string> id_list_setting(const View& node, std::string_view key,
                                         std::string_view origin, IdCheck& check) {
  const std::string expected = std::string(key) + " must be a list of indicator ids";
  if (node.kind() != yaml::Kind::Sequence) fail(origin, expected + ", not " + kind_of(node));
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < node.size(); ++i) {
    const View item = node.child(i);
    // An empty id can never pass and would only produce a confusing gate message.
    if (!item.is_scalar() || item.value().empty()) {
      fail(origin, expected + "; entry " + std::to_string(i + 1) + " is " +
                       (item.is_scalar() ? std::string("empty text") : kind_of(item)));
    }
    if (check.first_unknown) continue;
    const std::string_view id = item.value();
    if (check.known &&
        std::find(check.known->begin(), check.known->end(), id) == check.known->end()) {
      check.first_unknown = id;
      continue;
    }
    ids.emplace_back(id);
  }
  return ids;
}

yaml::Stream load_stream(std::string_view yaml_text, std::string_view origin) {
  try {
    // Every document is read so that their number can be told; a collection as a key is
    // reported below as a setting name that is no text.
    return yaml::load(yaml_text, {.single_document = false, .collection_keys = true});
  } catch (const yaml::YamlError& error) {
    std::string where;
    if (const auto& mark = error.mark()) {
      where = " at line " + std::to_string(mark->line + 1) + ", column " +
              std::to_string(mark->column + 1);
    }
    fail(origin, "invalid YAML" + where + ": " + error.problem());
  }
}

std::string read_file(const std::filesystem::path& file) {
  try {
    return utils::fs::read_text(file, text::DecodeMode::Strict);
  } catch (const OsError& error) {
    throw ConfigError("cannot read configuration file " + file.string() + ": " + error.what());
  } catch (const DecodeError& error) {
    throw ConfigError(file.string() + ": not valid UTF-8 text: " + error.what());
  }
}

}  // namespace

bool gate_is_set(const QualityGateConfig& gate) {
  return text::truthy(gate.min_compliance) || gate.min_score.has_value() ||
         !gate.required_indicators.empty();
}

namespace {

Config parse(std::string_view yaml_text, std::string_view origin,
             std::optional<std::span<const std::string_view>> known_indicators) {
  const yaml::Stream stream = load_stream(yaml_text, origin);
  if (stream.documents.size() > 1) {
    // Silently using the first document would ignore settings the user believes are in force.
    fail(origin, "holds " + std::to_string(stream.documents.size()) +
                     " YAML documents; a configuration file holds one mapping of settings");
  }
  Config config;
  if (stream.documents.empty()) return config;
  const View root{stream, stream.documents.front()};
  if (root.is_null()) return config;
  if (root.kind() != yaml::Kind::Mapping) {
    fail(origin, "the top level must be a mapping of settings, not " + kind_of(root));
  }

  IdCheck ids{.known = known_indicators, .first_unknown = std::nullopt};
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i + 1 < root.size(); i += 2) {
    const View key_node = root.child(i);
    const View value = root.child(i + 1);
    if (!key_node.is_scalar()) {
      fail(origin, "setting names must be texts, not " + kind_of(key_node) +
                       "; valid settings are: " + listing(KEYS));
    }
    const std::string_view key = key_node.value();
    if (std::find(KEYS.begin(), KEYS.end(), key) == KEYS.end()) {
      fail(origin,
           "unknown setting " + text::repr_cut(key) + "; valid settings are: " + listing(KEYS));
    }
    // YAML forbids repeated keys and a loader would keep the last; which one wins is not obvious.
    if (!seen.insert(key).second) {
      fail(origin, "setting " + std::string(key) + " is given more than once");
    }
    if (value.is_null()) continue;

    if (key == "min_compliance") {
      config.quality_gate.min_compliance = level_setting(value, key, origin);
    } else if (key == "min_score") {
      config.quality_gate.min_score = score_setting(value, key, origin);
    } else if (key == "required_indicators") {
      config.quality_gate.required_indicators = id_list_setting(value, key, origin, ids);
    } else if (key == "target_compliance") {
      config.quality_goals.target_compliance = level_setting(value, key, origin);
    } else {
      config.quality_goals.target_score = score_setting(value, key, origin);
    }
  }
  if (ids.first_unknown) {
    fail(origin, "required_indicators names unknown indicator " +
                     text::repr_cut(*ids.first_unknown) +
                     "; valid indicators are: " + listing(*ids.known));
  }
  return config;
}

}  // namespace

Config parse_config(std::string_view yaml_text, std::string_view origin) {
  return parse(yaml_text, origin, std::nullopt);
}

Config parse_config(std::string_view yaml_text, std::string_view origin,
                    std::span<const std::string_view> known_indicators) {
  return parse(yaml_text, origin, known_indicators);
}

Config load_config(const std::filesystem::path& file) {
  return parse_config(read_file(file), file.string());
}

Config load_config(const std::filesystem::path& file,
                   std::span<const std::string_view> known_indicators) {
  return parse_config(read_file(file), file.string(), known_indicators);
}

}  // namespace quarnel::config::schema
