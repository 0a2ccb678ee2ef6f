#pragma once

// Small assessments shared by the report tests.

#include <string>

#include "quarnel/core/models.hpp"

namespace quarnel::testing {

inline core::models::CheckResult sample_result(std::string indicator_id, std::string plugin,
                                               double score, core::models::CheckStatus status) {
  core::models::CheckResult result;
  result.indicator_id = std::move(indicator_id);
  result.plugin = std::move(plugin);
  result.score = score;
  result.status = status;
  result.passed = status == core::models::CheckStatus::PASS;
  return result;
}

// Two results (one passed), one skipped indicator, categories, progress, gate and goals.
inline core::models::Assessment sample_assessment() {
  using core::models::CheckStatus;
  core::models::Assessment a;
  auto license = sample_result("clear_license", "brantel", 9.0, CheckStatus::PASS);
  license.principle = "R1.1";
  license.category = "reusable";
  license.process = "Looked for LICENSE files";
  license.output = "MIT license found";
  license.evidence = "LICENSE";
  auto pid = sample_result("persistent_identifier", "olvenar", 2.5, CheckStatus::FAIL);
  pid.principle = "F1";
  pid.category = "findable";
  pid.process = "Searched metadata for a DOI";
  pid.output = "No DOI";
  pid.evidence = "README.md; CITATION.cff";
  a.indicators = {license, pid};
  a.passed_indicators = {"clear_license"};
  a.skipped = {"rich_metadata"};
  a.duration_ms = 1234;
  a.compliance_level = "none";
  a.overall_score = 5.75;
  a.repository = {"/src/demo", "https://example.org/o/demo", "0123abc", "main"};
  a.categories = {
      {"reusable", {core::models::FAIRCategory::REUSABLE, "A", 9.0, 1, 1}},
      {"findable", {core::models::FAIRCategory::FINDABLE, "E", 2.5, 0, 1}},
  };
  a.progress = core::models::Progress{"bronze", {"A1.1", "F1", "R3"}, 1, 4, 25};
  a.quality_gate = core::models::GateVerdict{false, {"Compliance none is below bronze"}};
  a.quality_goals.compliance = core::models::ComplianceGoal{"none", "silver", false};
  a.quality_goals.score = core::models::ScoreGoal{5.75, 5.0, true};
  return a;
}

}  // namespace quarnel::testing
