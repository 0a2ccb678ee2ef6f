#pragma once

// Quality gate and quality goal settings, and the configuration file that holds them.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarnel::config::schema {

inline constexpr std::string_view CONFIG_FILE_NAME = ".quarnel.yml";

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
// target_compliance and target_score (all optional). Raises ConfigError naming the file and
// the key for an unreadable file, invalid YAML, an unknown key or a value of the wrong type.
Config load_config(const std::filesystem::path& file);

// Parses the same from text; `origin` names the source in error messages.
Config parse_config(std::string_view yaml_text, std::string_view origin);

}  // namespace quarnel::config::schema
