#pragma once

// Rich metadata: which citation files sit at the checkout root, and whether a CITATION.cff has
// the structure a Citation File Format document needs.

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::yarrowin {

class YarrowinPlugin final : public base::DeclaredPlugin<YarrowinPlugin> {
 public:
  static constexpr std::string_view NAME = "yarrowin";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::string_view DESCRIPTION =
      "Looks for CITATION.cff or codemeta.json with metadata fields.";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {"rich_metadata"};

  // Answers every id with the citation check, labelled with the id given.
  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

namespace detail {

// Looked for at the checkout root, in this order, which is also the order of the not-found
// evidence.
inline constexpr std::array<std::string_view, 6> CITATION_FILES = {
    "CITATION.cff", "CITATION.bib", "CITATION.md", "CITATION", "citation.cff", "codemeta.json"};

// Whether the citation file at `path` is a well-formed CFF document, and why not. A file that
// cannot be read (missing, not a regular file, too large, a link leaving `root`, not UTF-8),
// is too short, is no YAML, has no mapping at the top or lacks one of the keys "cff-version",
// "title", "authors" is invalid with a message saying so; nothing is raised.
std::pair<bool, std::string> basic_cff_check(const std::filesystem::path& path,
                                             const std::filesystem::path& root);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::yarrowin
