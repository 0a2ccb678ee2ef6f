#pragma once

// Quality gate and quality goal settings, and the configuration file that holds them.

#include <array>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::config::schema {

inline constexpr std::string_view CONFIG_FILE_NAME = ".quarnel.yml";

// The settings a configuration file may hold, in the order they are listed in messages.
inline constexpr std::array<std::string_view, 5> KEYS = {
    "min_compliance", "min_score", "required_indicators", "target_compliance", "target_score"};

// The compliance level names a configuration may name (any letter case), in rank order.
inline constexpr std::array<std::string_view, 5> LEVEL_NAMES = {"none", "bronze", "silver", "gold",
                                                                "platinum"};

struct QualityGateConfig {
  std::optional<std::string> min_compliance;  // level name, any case; empty or none: no rule
  std::optional<double> min_score;            // none: no rule; 0.0 is a rule
  std::vector<std::string> required_indicators;
  bool operator==(const QualityGateConfig&) const = default;
};

struct QualityGoalsConfig {
  std::optional<std::string> target_compliance;
  std::optional<double> target_score;
  bool operator==(const QualityGoalsConfig&) const = default;
};

struct Config {
  QualityGateConfig quality_gate;
  QualityGoalsConfig quality_goals;
  bool operator==(const Config&) const = default;
};

// True when the gate has any rule.
bool gate_is_set(const QualityGateConfig& gate);

// Reads a YAML mapping with the keys min_compliance, min_score, required_indicators,
// target_compliance and target_score (all optional; an empty file or a null value sets
// nothing). Raises ConfigError naming the file and the key for an unreadable file, invalid
// YAML, more than one document, a top level that is no mapping, an unknown or repeated key, a
// value of the wrong type, a score outside 0 to 10 or a level that is none of LEVEL_NAMES.
// Level names are kept as written; indicator ids are not checked against the catalogue.
Config load_config(const std::filesystem::path& file);

// Parses the same from text; `origin` names the source in error messages.
Config parse_config(std::string_view yaml_text, std::string_view origin);

// As above, and also raises ConfigError for a required indicator id that is not one of
// `known_indicators` (the catalogue's ids, which the caller passes: configuration sits below the
// catalogue and does not know it).
Config load_config(const std::filesystem::path& file,
                   std::span<const std::string_view> known_indicators);
Config parse_config(std::string_view yaml_text, std::string_view origin,
                    std::span<const std::string_view> known_indicators);

}  // namespace quarnel::config::schema
