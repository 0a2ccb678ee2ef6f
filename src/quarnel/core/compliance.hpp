#pragma once

// Pure scoring of check results: the compliance level, the way to the next level, category and
// overall scores, and the verdicts against the quality gate and goals.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/config/schema.hpp"
#include "quarnel/core/models.hpp"

namespace quarnel::core::compliance {

using models::CategoryEntry;
using models::CheckResult;
using models::ComplianceLevel;
using models::GateVerdict;
using models::GoalsReport;
using models::Progress;

inline constexpr std::string_view LOGGER_NAME = "quarnel.core.compliance";

inline constexpr std::array<std::string_view, 4> BRONZE_REQUIRED = {"F1", "R1.1", "A1.1", "R3"};
inline constexpr std::array<std::string_view, 6> SILVER_EXTRAS = {"F2", "F4", "A2",
                                                                  "R1", "R2", "I2"};
inline constexpr int SILVER_EXTRAS_REQUIRED_TO_PASS = static_cast<int>(SILVER_EXTRAS.size()) - 1;
inline constexpr double PLATINUM_THRESHOLD = 8.0;

// Every principle id of the catalogue (17).
const std::vector<std::string_view>& all_principle_ids();
// BRONZE_REQUIRED and SILVER_EXTRAS together (10).
const std::vector<std::string_view>& silver_required();

ComplianceLevel calculate_compliance(const std::vector<CheckResult>& results,
                                     std::optional<double> pass_threshold = std::nullopt);

// None when no result carries a principle, or when the level is already platinum.
std::optional<Progress> progress_to_next_level(const std::optional<std::string>& current_level,
                                               const std::vector<CheckResult>& results,
                                               std::optional<double> pass_threshold = std::nullopt);

// Keyed by lower-case category name, in order of first occurrence; unknown categories are
// left out with one warning each.
std::vector<CategoryEntry> calculate_category_scores(const std::vector<CheckResult>& results);

double calculate_overall_score(const std::vector<CheckResult>& results);

GateVerdict evaluate_quality_gate(const std::optional<std::string>& compliance_level,
                                  double overall_score, const std::vector<CheckResult>& results,
                                  const config::schema::QualityGateConfig& gate);

GoalsReport evaluate_quality_goals(const std::optional<std::string>& compliance_level,
                                   double overall_score, const std::vector<CheckResult>& results,
                                   const config::schema::QualityGoalsConfig& goals);

namespace detail {

inline constexpr std::array<std::string_view, 5> LEVEL_ORDER = {"none", "bronze", "silver", "gold",
                                                                "platinum"};

// Best score per principle id, in order of first insertion.
std::vector<std::pair<std::string, double>> principle_scores(
    const std::vector<CheckResult>& results);

std::string letter_grade(double score);

// Rank of a level name in LEVEL_ORDER; 0 (with a warning) for a name that is no level.
int level_index(const std::optional<std::string>& level);

}  // namespace detail

}  // namespace quarnel::core::compliance
