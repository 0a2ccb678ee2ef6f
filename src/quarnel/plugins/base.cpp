#include "quarnel/plugins/base.hpp"

#include <utility>

#include "quarnel/core/indicators.hpp"

namespace quarnel::plugins::base {

CheckResult BasePlugin::make_result(std::string_view indicator_id, ResultFields fields) const {
  CheckResult result;
  result.indicator_id = std::string(indicator_id);
  result.plugin = std::string(name());
  result.score = fields.score;
  result.status = fields.status.value_or(
      fields.score >= core::models::PASS_THRESHOLD ? CheckStatus::PASS : CheckStatus::FAIL);
  result.passed = result.status == CheckStatus::PASS;
  if (const auto* indicator = core::indicators::get_indicator(indicator_id)) {
    result.principle = std::string(indicator->principle);
    result.category = std::string(core::models::to_string(indicator->category));
  }
  result.process = std::move(fields.process);
  result.output = std::move(fields.output);
  result.evidence = std::move(fields.evidence);
  return result;
}

}  // namespace quarnel::plugins::base
