#include "quarnel/core/indicators.hpp"

namespace quarnel::core::indicators {

const FAIRPrinciple* get_principle(std::string_view principle_id) {
  for (const auto& principle : PRINCIPLES) {
    if (principle.id == principle_id) return &principle;
  }
  return nullptr;
}

const FAIRIndicator* get_indicator(std::string_view indicator_id) {
  for (const auto& indicator : INDICATORS) {
    if (indicator.id == indicator_id) return &indicator;
  }
  return nullptr;
}

std::vector<const FAIRIndicator*> get_indicators_by_category(FAIRCategory category) {
  std::vector<const FAIRIndicator*> result;
  for (const auto& indicator : INDICATORS) {
    if (indicator.category == category) result.push_back(&indicator);
  }
  return result;
}

}  // namespace quarnel::core::indicators
