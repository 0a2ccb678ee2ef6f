#include "quarnel/core/schema.hpp"

#include <optional>
#include <string>

#include "quarnel/version.hpp"

namespace quarnel::core::schema {

using utils::json::Json;

namespace {

Json optional_text(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json texts(const std::vector<std::string>& values) {
  Json out = Json::array();
  for (const auto& value : values) out.push_back(value);
  return out;
}

Json repository_json(const models::RepositoryInfo& repository) {
  Json out = Json::object();
  out["path"] = repository.path;
  out["url"] = optional_text(repository.url);
  out["commit"] = optional_text(repository.commit);
  out["branch"] = optional_text(repository.branch);
  return out;
}

Json categories_json(const std::vector<models::CategoryEntry>& categories) {
  Json out = Json::object();
  for (const auto& entry : categories) {
    Json category = Json::object();
    category["score"] = entry.score.score;
    category["grade"] = entry.score.grade;
    category["indicators_passed"] = entry.score.indicators_passed;
    category["indicators_total"] = entry.score.indicators_total;
    out[entry.key] = std::move(category);
  }
  return out;
}

Json progress_json(const std::optional<models::Progress>& progress) {
  if (!progress) return nullptr;
  Json out = Json::object();
  out["next_level"] = progress->next_level;
  out["missing"] = texts(progress->missing);
  out["met"] = progress->met;
  out["total"] = progress->total;
  out["pct"] = progress->pct;
  return out;
}

Json gate_json(const std::optional<models::GateVerdict>& gate) {
  if (!gate) return nullptr;
  Json out = Json::object();
  out["passed"] = gate->passed;
  out["violations"] = texts(gate->violations);
  return out;
}

Json goals_json(const models::GoalsReport& goals) {
  Json out = Json::object();
  if (goals.compliance) {
    Json compliance = Json::object();
    compliance["current"] = optional_text(goals.compliance->current);
    compliance["target"] = goals.compliance->target;
    compliance["met"] = goals.compliance->met;
    out["compliance"] = std::move(compliance);
  }
  if (goals.score) {
    Json score = Json::object();
    score["current"] = goals.score->current;
    score["target"] = goals.score->target;
    score["met"] = goals.score->met;
    out["score"] = std::move(score);
  }
  return out;
}

Json result_json(const models::CheckResult& result) {
  Json out = Json::object();
  out["indicator_id"] = result.indicator_id;
  out["plugin"] = result.plugin;
  out["principle"] = result.principle;
  out["category"] = result.category;
  out["score"] = result.score;
  out["status"] = std::string(models::to_string(result.status));
  out["passed"] = result.passed;
  out["process"] = result.process;
  out["output"] = result.output;
  out["evidence"] = result.evidence;
  return out;
}

}  // namespace

Json to_json(const models::Assessment& assessment) {
  Json out = Json::object();
  out["schema_version"] = SCHEMA_VERSION;
  Json tool = Json::object();
  tool["name"] = "quarnel";
  tool["version"] = std::string(VERSION);
  out["tool"] = std::move(tool);
  out["repository"] = repository_json(assessment.repository);
  // An empty level means none was computed; "none" is itself a level name, so null it is.
  out["compliance_level"] =
      assessment.compliance_level.empty() ? Json(nullptr) : Json(assessment.compliance_level);
  out["overall_score"] = assessment.overall_score;
  out["categories"] = categories_json(assessment.categories);
  out["progress"] = progress_json(assessment.progress);
  out["quality_gate"] = gate_json(assessment.quality_gate);
  out["quality_goals"] = goals_json(assessment.quality_goals);
  Json indicators = Json::array();
  for (const auto& result : assessment.indicators) indicators.push_back(result_json(result));
  out["indicators"] = std::move(indicators);
  out["passed_indicators"] = texts(assessment.passed_indicators);
  out["skipped"] = texts(assessment.skipped);
  out["duration_ms"] = assessment.duration_ms;
  return out;
}

}  // namespace quarnel::core::schema
