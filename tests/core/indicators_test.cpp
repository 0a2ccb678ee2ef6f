#include "quarnel/core/indicators.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace quarnel::core::indicators {
namespace {

TEST(Catalogue, ListsRunInStepAndHoldUniqueIds) {
  std::set<std::string_view> principle_ids;
  std::set<std::string_view> indicator_ids;
  for (std::size_t i = 0; i < PRINCIPLES.size(); ++i) {
    const auto& principle = PRINCIPLES[i];
    const auto& indicator = INDICATORS[i];
    EXPECT_EQ(indicator.principle, principle.id) << "position " << i;
    EXPECT_EQ(indicator.category, principle.category) << "position " << i;
    principle_ids.insert(principle.id);
    indicator_ids.insert(indicator.id);
  }
  EXPECT_EQ(principle_ids.size(), 17u);
  EXPECT_EQ(indicator_ids.size(), 17u);
}

TEST(Catalogue, TextsAreAsciiAndPunctuatedAlike) {
  const auto ascii = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  };
  const auto check = [&](std::string_view id, std::string_view name, std::string_view desc) {
    EXPECT_TRUE(ascii(id) && ascii(name) && ascii(desc)) << id;
    EXPECT_FALSE(name.ends_with('.')) << id;
    EXPECT_TRUE(desc.ends_with('.')) << id;
  };
  for (const auto& p : PRINCIPLES) check(p.id, p.name, p.description);
  for (const auto& i : INDICATORS) check(i.id, i.name, i.description);
}

TEST(GetPrinciple, MatchesTheIdExactly) {
  const auto* found = get_principle("R1.1");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->name, "Clear license");
  EXPECT_EQ(found->category, FAIRCategory::REUSABLE);
  // The lookup hands out the catalogue's own record.
  EXPECT_EQ(found, &PRINCIPLES[13]);

  for (const std::string_view miss : {"r1.1", "R1.1 ", " R1.1", "", "persistent_identifier"}) {
    EXPECT_EQ(get_principle(miss), nullptr) << "'" << miss << "'";
  }
}

TEST(GetIndicator, MatchesTheIdExactly) {
  const auto* found = get_indicator("community_standards");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->principle, "R3");
  EXPECT_EQ(found->name, "Community standards");
  EXPECT_EQ(found->category, FAIRCategory::REUSABLE);
  EXPECT_EQ(found, &INDICATORS[16]);

  const auto* data = get_indicator("community_data_standards");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->principle, "I1");

  for (const std::string_view miss : {"F1", "Clear_License", "clear_license ", ""}) {
    EXPECT_EQ(get_indicator(miss), nullptr) << "'" << miss << "'";
  }
}

std::vector<std::string_view> ids_of(const std::vector<const FAIRIndicator*>& records) {
  std::vector<std::string_view> ids;
  for (const auto* record : records) ids.push_back(record->id);
  return ids;
}

TEST(GetIndicatorsByCategory, ListsTheCategoryInCatalogueOrder) {
  const std::vector<std::pair<FAIRCategory, std::vector<std::string_view>>> rows = {
      {FAIRCategory::FINDABLE,
       {"persistent_identifier", "component_identifiers", "version_identifiers", "rich_metadata",
        "metadata_self_reference", "searchable_metadata"}},
      {FAIRCategory::ACCESSIBLE,
       {"identifier_retrieval", "open_access_protocol", "access_documentation",
        "metadata_persistence"}},
      {FAIRCategory::INTEROPERABLE, {"community_data_standards", "qualified_references"}},
      {FAIRCategory::REUSABLE,
       {"descriptive_attributes", "clear_license", "development_provenance", "software_references",
        "community_standards"}},
  };
  for (const auto& [category, ids] : rows) {
    const auto records = get_indicators_by_category(category);
    EXPECT_EQ(ids_of(records), ids) << models::to_string(category);
    for (const auto* record : records) {
      EXPECT_EQ(record, get_indicator(record->id)) << "not the catalogue's own record";
    }
  }
}

TEST(GetIndicatorsByCategory, EachCallReturnsANewList) {
  auto first = get_indicators_by_category(FAIRCategory::INTEROPERABLE);
  const auto second = get_indicators_by_category(FAIRCategory::INTEROPERABLE);
  EXPECT_EQ(first, second);
  first.clear();
  EXPECT_EQ(second.size(), 2u);
  EXPECT_EQ(get_indicators_by_category(FAIRCategory::INTEROPERABLE).size(), 2u);
}

}  // namespace
}  // namespace quarnel::core::indicators
