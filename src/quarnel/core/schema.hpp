#pragma once

// The machine-readable form of an assessment. CI jobs read it, so the member names, their
// nesting and their order are a contract: a change that breaks a reader raises SCHEMA_VERSION.

#include "quarnel/core/models.hpp"
#include "quarnel/utils/json.hpp"

namespace quarnel::core::schema {

inline constexpr int SCHEMA_VERSION = 1;

// The whole assessment as a tree: schema_version, tool {name, version}, repository {path, url,
// commit, branch}, compliance_level (null when empty), overall_score, categories (by name:
// score, grade, indicators_passed, indicators_total), progress (or null), quality_gate (or null
// when no gate is set), quality_goals ("compliance" and "score", each when set), indicators
// (every field of every result, status as its text value), passed_indicators, skipped,
// duration_ms. Absent optional texts are null.
utils::json::Json to_json(const models::Assessment& assessment);

}  // namespace quarnel::core::schema
