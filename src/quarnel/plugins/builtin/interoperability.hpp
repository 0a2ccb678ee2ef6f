#pragma once

// Interoperability: standard data formats and schema files, qualified references to other
// software through dependency manifests, and metadata that persists beside the software.

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::interoperability {

class InteroperabilityPlugin final : public base::DeclaredPlugin<InteroperabilityPlugin> {
 public:
  static constexpr std::string_view NAME = "interoperability";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 3> SUPPORTED_INDICATORS = {
      "community_data_standards", "software_references", "metadata_persistence"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_data_standards(const base::Context& context) const;
  base::CheckResult check_references(const base::Context& context) const;
  base::CheckResult check_persistence(const base::Context& context) const;
};

namespace detail {

// Format name and one file-name suffix that indicates it. A format's suffixes stand next to
// each other in their order; the formats stand in table order.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 12> DATA_FORMAT_FILES = {
    {{"json", ".json"},
     {"yaml", ".yml"},
     {"yaml", ".yaml"},
     {"csv", ".csv"},
     {"csv", ".tsv"},
     {"xml", ".xml"},
     {"xml", ".xsd"},
     {"hdf5", ".h5"},
     {"hdf5", ".hdf5"},
     {"netcdf", ".nc"},
     {"netcdf", ".nc4"},
     {"parquet", ".parquet"}}};

inline constexpr std::array<std::string_view, 6> SCHEMA_FILES = {
    "schema.json", "schema.yaml", "openapi.yaml", "openapi.json", "swagger.yaml", "swagger.json"};

// The directory the data-format search covers: "src", else "lib", else the checkout itself,
// the first that is a directory by the rule of fs::named_directory (a link resolving inside the
// checkout is that directory; one resolving outside, dangling or looping is absent); none when
// none is.
std::optional<std::filesystem::path> search_directory(const std::filesystem::path& repo);

// The format names of DATA_FORMAT_FILES for which some entry at any depth below `dir` has a
// name ending in one of the format's suffixes (case-sensitive; entries of every kind count).
// Symbolic links are matched by name but never descended into; directories that cannot be
// listed add nothing.
std::set<std::string> formats_below(const std::filesystem::path& dir);

// Calls `visit` with each line of a text, in order, the text split at every line boundary: LF,
// CR, CR LF, VT, FF, the ASCII file, group and record separators, U+0085, U+2028 and U+2029.
// No trailing empty line is produced for a final boundary. The lines are views into `text`:
// a manifest of millions of lines is walked, never copied line by line.
void for_each_line(std::string_view text, const std::function<void(std::string_view)>& visit);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::interoperability
