#include "quarnel/core/models.hpp"

#include <array>
#include <string>

#include "quarnel/error.hpp"

namespace quarnel::core::models {

namespace {

constexpr std::array<std::string_view, 4> CATEGORY_NAMES = {"findable", "accessible",
                                                            "interoperable", "reusable"};
constexpr std::array<std::string_view, 5> LEVEL_NAMES = {"none", "bronze", "silver", "gold",
                                                         "platinum"};
constexpr std::array<std::string_view, 4> STATUS_VALUES = {"pass", "fail", "unknown", "error"};

}  // namespace

std::string_view to_string(FAIRCategory category) {
  return CATEGORY_NAMES[static_cast<std::size_t>(category)];
}

FAIRCategory parse_category(std::string_view value) {
  for (std::size_t i = 0; i < CATEGORY_NAMES.size(); ++i) {
    if (CATEGORY_NAMES[i] == value) return static_cast<FAIRCategory>(i);
  }
  throw ValueError("'" + std::string(value) + "' is not a valid FAIRCategory");
}

std::string_view to_string(ComplianceLevel level) {
  return LEVEL_NAMES[static_cast<std::size_t>(level)];
}

std::string_view to_string(CheckStatus status) {
  return STATUS_VALUES[static_cast<std::size_t>(status)];
}

CheckStatus parse_status(std::string_view value) {
  for (std::size_t i = 0; i < STATUS_VALUES.size(); ++i) {
    if (STATUS_VALUES[i] == value) return static_cast<CheckStatus>(i);
  }
  throw ValueError("'" + std::string(value) + "' is not a valid CheckStatus");
}

}  // namespace quarnel::core::models
