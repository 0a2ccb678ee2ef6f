#include "quarnel/core/compliance.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "quarnel/core/indicators.hpp"
#include "quarnel/error.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::core::compliance {

// The configuration accepts exactly the level names ranked here; a drift between the two lists
// would let a configured level pass validation and then rank as "none".
static_assert(detail::LEVEL_ORDER == config::schema::LEVEL_NAMES);

namespace {

namespace text = utils::text;
using models::CategoryScore;
using models::CheckStatus;

const utils::log::Logger& logger() {
  static const utils::log::Logger& instance = utils::log::get_logger(LOGGER_NAME);
  return instance;
}

// The best-score table with a lookup beside it; a principle without an entry scores 0.
class ScoreTable {
 public:
  explicit ScoreTable(std::vector<std::pair<std::string, double>> entries)
      : entries_(std::move(entries)) {
    for (const auto& [id, score] : entries_) lookup_.emplace(id, score);
  }

  bool empty() const { return entries_.empty(); }
  bool has(std::string_view id) const { return lookup_.contains(std::string(id)); }
  double score(std::string_view id) const {
    const auto found = lookup_.find(std::string(id));
    return found == lookup_.end() ? 0.0 : found->second;
  }

 private:
  std::vector<std::pair<std::string, double>> entries_;
  std::unordered_map<std::string, double> lookup_;
};

template <typename Ids>
bool all_reach(const ScoreTable& table, const Ids& ids, double threshold) {
  return std::all_of(ids.begin(), ids.end(),
                     [&](std::string_view id) { return table.score(id) >= threshold; });
}

template <typename Ids>
int count_reaching(const ScoreTable& table, const Ids& ids, double threshold) {
  return static_cast<int>(std::count_if(
      ids.begin(), ids.end(), [&](std::string_view id) { return table.score(id) >= threshold; }));
}

// ERROR and UNKNOWN results say nothing about quality, so they stay out of every mean.
bool is_scored(const CheckResult& result) {
  return result.status != CheckStatus::ERROR && result.status != CheckStatus::UNKNOWN;
}

struct Mean {
  double value = 0.0;
  int count = 0;
};

Mean mean_of_scored(const std::vector<const CheckResult*>& results) {
  text::CompensatedSum sum;
  int count = 0;
  for (const auto* result : results) {
    if (!is_scored(*result)) continue;
    sum.add(result->score);
    ++count;
  }
  return {count == 0 ? 0.0 : sum.value() / count, count};
}

}  // namespace

const std::vector<std::string_view>& all_principle_ids() {
  static const std::vector<std::string_view> ids = [] {
    std::vector<std::string_view> collected;
    for (const auto& principle : indicators::PRINCIPLES) collected.push_back(principle.id);
    return collected;
  }();
  return ids;
}

const std::vector<std::string_view>& silver_required() {
  static const std::vector<std::string_view> ids = [] {
    std::vector<std::string_view> collected(BRONZE_REQUIRED.begin(), BRONZE_REQUIRED.end());
    collected.insert(collected.end(), SILVER_EXTRAS.begin(), SILVER_EXTRAS.end());
    return collected;
  }();
  return ids;
}

namespace detail {

std::vector<std::pair<std::string, double>> principle_scores(
    const std::vector<CheckResult>& results) {
  std::vector<std::pair<std::string, double>> table;
  std::unordered_map<std::string, std::size_t> position;
  for (const auto& result : results) {
    if (result.principle.empty()) continue;
    const auto found = position.find(result.principle);
    const double prev = found == position.end() ? -1.0 : table[found->second].second;
    // A NaN score compares false here and so never enters the table.
    if (!(result.score > prev)) continue;
    if (found == position.end()) {
      position.emplace(result.principle, table.size());
      table.emplace_back(result.principle, result.score);
    } else {
      table[found->second].second = result.score;
    }
  }
  return table;
}

std::string letter_grade(double score) {
  if (score >= 8.0) return "A";
  if (score >= 6.0) return "B";
  if (score >= 4.0) return "C";
  if (score >= 2.0) return "D";
  return "E";
}

int level_index(const std::optional<std::string>& level) {
  if (!text::truthy(level)) return 0;
  const std::string lowered = text::lower(*level);
  for (std::size_t i = 0; i < LEVEL_ORDER.size(); ++i) {
    if (LEVEL_ORDER[i] == lowered) return static_cast<int>(i);
  }
  logger().warning("Unknown compliance level %r, treating as 'none'", *level);
  return 0;
}

}  // namespace detail

ComplianceLevel calculate_compliance(const std::vector<CheckResult>& results,
                                     std::optional<double> pass_threshold) {
  const double threshold = pass_threshold.value_or(models::PASS_THRESHOLD);
  const ScoreTable scores(detail::principle_scores(results));
  if (scores.empty()) return ComplianceLevel::NONE;

  const auto& all_ids = all_principle_ids();
  const bool has_all = std::all_of(all_ids.begin(), all_ids.end(),
                                   [&](std::string_view id) { return scores.has(id); });

  // Platinum is judged against its own fixed bar before gold, whatever the pass threshold.
  if (has_all && all_reach(scores, all_ids, PLATINUM_THRESHOLD)) return ComplianceLevel::PLATINUM;
  if (has_all && all_reach(scores, all_ids, threshold)) return ComplianceLevel::GOLD;

  const bool bronze_ok = all_reach(scores, BRONZE_REQUIRED, threshold);
  const int extras_passing = count_reaching(scores, SILVER_EXTRAS, threshold);
  if (bronze_ok && extras_passing >= SILVER_EXTRAS_REQUIRED_TO_PASS) {
    return ComplianceLevel::SILVER;
  }
  if (bronze_ok) return ComplianceLevel::BRONZE;
  return ComplianceLevel::NONE;
}

std::optional<Progress> progress_to_next_level(const std::optional<std::string>& current_level,
                                               const std::vector<CheckResult>& results,
                                               std::optional<double> pass_threshold) {
  const double threshold = pass_threshold.value_or(models::PASS_THRESHOLD);
  const ScoreTable scores(detail::principle_scores(results));
  if (scores.empty()) return std::nullopt;

  const std::string level = text::lower(text::truthy(current_level) ? *current_level : "none");
  if (level == "platinum") return std::nullopt;

  Progress progress;
  const std::vector<std::string_view>* required = nullptr;
  double target = threshold;
  if (level == "gold") {
    progress.next_level = "platinum";
    required = &all_principle_ids();
    target = PLATINUM_THRESHOLD;
  } else if (level == "silver") {
    progress.next_level = "gold";
    required = &all_principle_ids();
  } else if (level == "bronze") {
    progress.next_level = "silver";
    required = &silver_required();
  } else {
    static const std::vector<std::string_view> bronze(BRONZE_REQUIRED.begin(),
                                                      BRONZE_REQUIRED.end());
    progress.next_level = "bronze";
    required = &bronze;
  }

  for (const auto id : *required) {
    if (scores.score(id) < target) progress.missing.emplace_back(id);
  }
  // std::string compares its bytes as unsigned char, which for UTF-8 is code-point order.
  std::sort(progress.missing.begin(), progress.missing.end());

  progress.total = static_cast<int>(required->size());
  progress.met = progress.total - static_cast<int>(progress.missing.size());
  if (progress.total > 0) {
    const double share = static_cast<double>(progress.met) / progress.total;
    progress.pct = static_cast<int>(text::round_half_even(share * 100.0));
  }
  return progress;
}

std::vector<CategoryEntry> calculate_category_scores(const std::vector<CheckResult>& results) {
  std::vector<std::pair<std::string, std::vector<const CheckResult*>>> groups;
  std::unordered_map<std::string, std::size_t> position;
  for (const auto& result : results) {
    if (result.category.empty()) continue;
    std::string key = text::lower(result.category);
    const auto found = position.find(key);
    if (found == position.end()) {
      position.emplace(key, groups.size());
      groups.emplace_back(std::move(key), std::vector<const CheckResult*>{&result});
    } else {
      groups[found->second].second.push_back(&result);
    }
  }

  std::vector<CategoryEntry> entries;
  for (const auto& [key, members] : groups) {
    models::FAIRCategory category;
    try {
      category = models::parse_category(key);
    } catch (const ValueError&) {
      logger().warning("Skipping unknown category %r", key);
      continue;
    }
    const Mean mean = mean_of_scored(members);
    CategoryScore score{.category = category,
                        .grade = detail::letter_grade(mean.value),
                        .score = text::round1(mean.value),
                        .indicators_passed = 0,
                        .indicators_total = 0};
    for (const auto* result : members) {
      if (result->status == CheckStatus::ERROR) continue;
      ++score.indicators_total;
      if (is_scored(*result) && result->passed) ++score.indicators_passed;
    }
    entries.push_back({key, std::move(score)});
  }
  return entries;
}

double calculate_overall_score(const std::vector<CheckResult>& results) {
  std::vector<const CheckResult*> all;
  all.reserve(results.size());
  for (const auto& result : results) all.push_back(&result);
  const Mean mean = mean_of_scored(all);
  if (mean.count == 0) return 0.0;
  return text::round1(mean.value);
}

GateVerdict evaluate_quality_gate(const std::optional<std::string>& compliance_level,
                                  double overall_score, const std::vector<CheckResult>& results,
                                  const config::schema::QualityGateConfig& gate) {
  GateVerdict verdict;
  if (text::truthy(gate.min_compliance)) {
    // The configured level is ranked first so that its warning, if any, comes first.
    const int required = detail::level_index(gate.min_compliance);
    const int actual = detail::level_index(compliance_level);
    if (actual < required) {
      verdict.violations.push_back("Compliance " +
                                   (text::truthy(compliance_level) ? *compliance_level : "none") +
                                   " < required " + *gate.min_compliance);
    }
  }
  // Written as "not reaching" rather than "below" so that a score that cannot be compared (NaN)
  // fails the gate instead of slipping through it.
  if (gate.min_score.has_value() && !(overall_score >= *gate.min_score)) {
    verdict.violations.push_back("Score " + text::format_fixed1(overall_score) + " < required " +
                                 text::format_fixed1(*gate.min_score));
  }
  if (!gate.required_indicators.empty()) {
    std::unordered_set<std::string> passing;
    for (const auto& result : results) {
      if (result.passed) passing.insert(result.indicator_id);
    }
    for (const auto& id : gate.required_indicators) {
      if (!passing.contains(id))
        verdict.violations.push_back("Required indicator not passing: " + id);
    }
  }
  verdict.passed = verdict.violations.empty();
  return verdict;
}

GoalsReport evaluate_quality_goals(const std::optional<std::string>& compliance_level,
                                   double overall_score,
                                   const std::vector<CheckResult>& /*results*/,
                                   const config::schema::QualityGoalsConfig& goals) {
  GoalsReport report;
  if (text::truthy(goals.target_compliance)) {
    const int target = detail::level_index(goals.target_compliance);
    const int actual = detail::level_index(compliance_level);
    report.compliance = models::ComplianceGoal{
        .current = compliance_level, .target = *goals.target_compliance, .met = actual >= target};
  }
  if (goals.target_score.has_value()) {
    report.score = models::ScoreGoal{.current = overall_score,
                                     .target = *goals.target_score,
                                     .met = overall_score >= *goals.target_score};
  }
  return report;
}

}  // namespace quarnel::core::compliance
