#pragma once

// The shared types of an assessment: catalogue records, check results, scores and levels.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::models {

enum class FAIRCategory { FINDABLE, ACCESSIBLE, INTEROPERABLE, REUSABLE };

// "findable", "accessible", "interoperable", "reusable".
std::string_view to_string(FAIRCategory category);
// The member whose lower-case name is exactly `value`; ValueError for any other text.
FAIRCategory parse_category(std::string_view value);

struct FAIRPrinciple {
  std::string_view id;
  std::string_view name;
  FAIRCategory category;
  std::string_view description;
  bool operator==(const FAIRPrinciple&) const = default;
};

struct FAIRIndicator {
  std::string_view id;
  std::string_view name;
  std::string_view principle;  // principle id
  FAIRCategory category;
  std::string_view description;
  bool operator==(const FAIRIndicator&) const = default;
};

enum class ComplianceLevel { NONE, BRONZE, SILVER, GOLD, PLATINUM };

// "none", "bronze", "silver", "gold", "platinum".
std::string_view to_string(ComplianceLevel level);

struct CategoryScore {
  FAIRCategory category = FAIRCategory::FINDABLE;
  std::string grade;
  double score = 0.0;
  int indicators_passed = 0;
  int indicators_total = 0;
  bool operator==(const CategoryScore&) const = default;
};

// What a principle needs to pass when no threshold is given.
inline constexpr double PASS_THRESHOLD = 7.0;

enum class CheckStatus { PASS, FAIL, UNKNOWN, ERROR };

// "pass", "fail", "unknown", "error".
std::string_view to_string(CheckStatus status);
// The member with that value; ValueError otherwise.
CheckStatus parse_status(std::string_view value);

struct CheckResult {
  std::string indicator_id;
  std::string plugin;
  double score = 0.0;
  CheckStatus status = CheckStatus::UNKNOWN;
  std::string principle;  // empty when the indicator is not in the catalogue
  std::string category;   // any case, empty when unknown
  bool passed = false;
  std::string process;
  std::string output;
  std::string evidence;
  bool operator==(const CheckResult&) const = default;
};

// The way to the next compliance level.
struct Progress {
  std::string next_level;
  std::vector<std::string> missing;  // principle ids, sorted by code point
  int met = 0;
  int total = 0;
  int pct = 0;
  bool operator==(const Progress&) const = default;
};

// The quality gate's verdict: passed exactly when there is no violation.
struct GateVerdict {
  bool passed = true;
  std::vector<std::string> violations;
  bool operator==(const GateVerdict&) const = default;
};

struct ComplianceGoal {
  std::optional<std::string> current;  // the assessed level, unchanged
  std::string target;
  bool met = false;
  bool operator==(const ComplianceGoal&) const = default;
};

struct ScoreGoal {
  double current = 0.0;
  double target = 0.0;
  bool met = false;
  bool operator==(const ScoreGoal&) const = default;
};

// The goals that are set, "compliance" before "score".
struct GoalsReport {
  std::optional<ComplianceGoal> compliance;
  std::optional<ScoreGoal> score;
  bool operator==(const GoalsReport&) const = default;
};

// The category scores in the order their categories first occur among the results.
struct CategoryEntry {
  std::string key;  // lower-case category name
  CategoryScore score;
  bool operator==(const CategoryEntry&) const = default;
};

// Where the assessed checkout came from.
struct RepositoryInfo {
  std::string path;
  std::optional<std::string> url;  // user information removed
  std::optional<std::string> commit;
  std::optional<std::string> branch;
  bool operator==(const RepositoryInfo&) const = default;
};

// The outcome of one assessment, as the reports receive it.
struct Assessment {
  std::vector<CheckResult> indicators;
  std::vector<std::string> passed_indicators;  // indicator ids
  std::vector<std::string> skipped;            // indicator ids not assessed
  std::int64_t duration_ms = 0;
  std::string compliance_level;  // level name, may be empty
  double overall_score = 0.0;

  // Beyond what every renderer reads: the full picture for the JSON and Markdown reports.
  RepositoryInfo repository;
  std::vector<CategoryEntry> categories;
  std::optional<Progress> progress;
  std::optional<GateVerdict> quality_gate;  // none when no gate is set
  GoalsReport quality_goals;
};

struct PluginDependency {
  std::string type;
  std::string name;
  std::string version_constraint;
  std::string install_hint;
  std::optional<std::string> fallback_behavior;
  std::string check_command;
  std::string repo_url;
  std::string commit_hash;
  std::string release_tag;
  bool required = false;
  bool operator==(const PluginDependency&) const = default;
};

}  // namespace quarnel::core::models
