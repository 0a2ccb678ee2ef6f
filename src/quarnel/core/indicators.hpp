#pragma once

// The fixed catalogue: 17 FAIR principles for software and one indicator per principle, both
// lists in the same order (the k-th indicator belongs to the k-th principle).

#include <array>
#include <string_view>
#include <vector>

#include "quarnel/core/models.hpp"

namespace quarnel::core::indicators {

using models::FAIRCategory;
using models::FAIRIndicator;
using models::FAIRPrinciple;

inline constexpr std::array<FAIRPrinciple, 17> PRINCIPLES = {{
    {"F1", "Globally unique and persistent identifier", FAIRCategory::FINDABLE,
     "Software is assigned a globally unique and persistent identifier."},
    {"F1.1", "Component identifiers", FAIRCategory::FINDABLE,
     "Components of the software are assigned distinct identifiers."},
    {"F1.2", "Version identifiers", FAIRCategory::FINDABLE,
     "Different versions are assigned distinct identifiers."},
    {"F2", "Rich metadata", FAIRCategory::FINDABLE, "Software is described with rich metadata."},
    {"F3", "Metadata includes identifier", FAIRCategory::FINDABLE,
     "Metadata clearly and explicitly include the identifier of the software they describe."},
    {"F4", "Searchable metadata", FAIRCategory::FINDABLE,
     "Metadata are FAIR, searchable and indexable."},
    {"A1", "Retrievable by identifier", FAIRCategory::ACCESSIBLE,
     "Software is retrievable by its identifier using a standardized protocol."},
    {"A1.1", "Open and free protocol", FAIRCategory::ACCESSIBLE,
     "The protocol is open, free, and universally implementable."},
    {"A1.2", "Authentication and authorization", FAIRCategory::ACCESSIBLE,
     "The protocol allows for authentication and authorization where necessary."},
    {"A2", "Metadata persistence", FAIRCategory::ACCESSIBLE,
     "Metadata are accessible even when the software is no longer available."},
    {"I1", "Community standards", FAIRCategory::INTEROPERABLE,
     "Software reads, writes, and exchanges data in a way that meets domain-relevant community "
     "standards."},
    {"I2", "Qualified references", FAIRCategory::INTEROPERABLE,
     "Software includes qualified references to other objects."},
    {"R1", "Descriptive attributes", FAIRCategory::REUSABLE,
     "Software is described with a plurality of accurate and relevant attributes."},
    {"R1.1", "Clear license", FAIRCategory::REUSABLE,
     "Software is given a clear and accessible license."},
    {"R1.2", "Provenance", FAIRCategory::REUSABLE,
     "Software is associated with detailed provenance."},
    {"R2", "Qualified references to other software", FAIRCategory::REUSABLE,
     "Software includes qualified references to other software."},
    {"R3", "Domain-relevant community standards", FAIRCategory::REUSABLE,
     "Software meets domain-relevant community standards."},
}};

inline constexpr std::array<FAIRIndicator, 17> INDICATORS = {{
    {"persistent_identifier", "Persistent identifier", "F1", FAIRCategory::FINDABLE,
     "Software has a DOI or other persistent identifier."},
    {"component_identifiers", "Component identifiers", "F1.1", FAIRCategory::FINDABLE,
     "Software components have distinct identifiers."},
    {"version_identifiers", "Version identifiers", "F1.2", FAIRCategory::FINDABLE,
     "Software versions are tagged with identifiers."},
    {"rich_metadata", "Rich metadata", "F2", FAIRCategory::FINDABLE,
     "Software has codemeta.json, CITATION.cff, or similar metadata."},
    {"metadata_self_reference", "Metadata self-reference", "F3", FAIRCategory::FINDABLE,
     "Metadata files contain a reference back to the software identifier."},
    {"searchable_metadata", "Searchable metadata", "F4", FAIRCategory::FINDABLE,
     "Metadata are searchable and registered in a discovery resource."},
    {"identifier_retrieval", "Identifier retrieval", "A1", FAIRCategory::ACCESSIBLE,
     "Software identifier resolves to the software itself."},
    {"open_access_protocol", "Open access protocol", "A1.1", FAIRCategory::ACCESSIBLE,
     "Software is accessible via open protocols (git, https)."},
    {"access_documentation", "Access documentation", "A1.2", FAIRCategory::ACCESSIBLE,
     "Authentication and access requirements are documented."},
    {"metadata_persistence", "Metadata persistence", "A2", FAIRCategory::ACCESSIBLE,
     "Metadata is archived independently of the software."},
    {"community_data_standards", "Community data standards", "I1", FAIRCategory::INTEROPERABLE,
     "Software reads, writes and exchanges data using domain-relevant standards."},
    {"qualified_references", "Qualified references", "I2", FAIRCategory::INTEROPERABLE,
     "Software dependencies are explicitly declared with versions."},
    {"descriptive_attributes", "Descriptive attributes", "R1", FAIRCategory::REUSABLE,
     "Software has documentation covering usage and purpose."},
    {"clear_license", "Clear license", "R1.1", FAIRCategory::REUSABLE,
     "Software has a clear, machine-readable license."},
    {"development_provenance", "Development provenance", "R1.2", FAIRCategory::REUSABLE,
     "Development history, contributors, and funding are documented."},
    {"software_references", "Software references", "R2", FAIRCategory::REUSABLE,
     "Software references other software with qualified identifiers."},
    {"community_standards", "Community standards", "R3", FAIRCategory::REUSABLE,
     "Software follows testing, CI, and contribution standards."},
}};

// The record held in PRINCIPLES with exactly this id, or nullptr.
const FAIRPrinciple* get_principle(std::string_view principle_id);
// The record held in INDICATORS with exactly this id, or nullptr.
const FAIRIndicator* get_indicator(std::string_view indicator_id);
// A new list of the catalogue's own records of the category, in catalogue order.
std::vector<const FAIRIndicator*> get_indicators_by_category(FAIRCategory category);

}  // namespace quarnel::core::indicators
