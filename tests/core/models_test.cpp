#include "quarnel/core/models.hpp"

#include <gtest/gtest.h>

#include "quarnel/error.hpp"

namespace quarnel::core::models {
namespace {

TEST(FAIRCategoryNames, RoundTripTheLowerCaseName) {
  const std::vector<std::pair<FAIRCategory, std::string_view>> rows = {
      {FAIRCategory::FINDABLE, "findable"},
      {FAIRCategory::ACCESSIBLE, "accessible"},
      {FAIRCategory::INTEROPERABLE, "interoperable"},
      {FAIRCategory::REUSABLE, "reusable"},
  };
  for (const auto& [category, name] : rows) {
    EXPECT_EQ(to_string(category), name);
    EXPECT_EQ(parse_category(name), category);
  }
}

TEST(FAIRCategoryNames, OnlyTheExactNameParses) {
  // Callers lower-case first; the parser itself must not guess.
  for (const std::string_view text :
       {"Findable", "FINDABLE", " findable", "findable ", "", "misc", "FINDABLE\n", "find"}) {
    EXPECT_THROW(parse_category(text), ValueError) << "'" << text << "'";
  }
}

TEST(CheckStatusValues, RoundTripTheTextValue) {
  const std::vector<std::pair<CheckStatus, std::string_view>> rows = {
      {CheckStatus::PASS, "pass"},
      {CheckStatus::FAIL, "fail"},
      {CheckStatus::UNKNOWN, "unknown"},
      {CheckStatus::ERROR, "error"},
  };
  for (const auto& [status, value] : rows) {
    EXPECT_EQ(to_string(status), value);
    EXPECT_EQ(parse_status(value), status);
  }
  for (const std::string_view text : {"PASS", "passed", "", "ok"}) {
    EXPECT_THROW(parse_status(text), ValueError) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace quarnel::core::models
