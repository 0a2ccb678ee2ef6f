#pragma once

// Metadata that makes a repository findable: which recognised metadata files sit at the
// checkout root, and whether they name the software, its code repository and an identifier.

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::quillan {

// Points and the labels of the self-reference fields one metadata file holds.
using ScorerResult = std::pair<double, std::vector<std::string>>;

class QuillanPlugin final : public base::DeclaredPlugin<QuillanPlugin> {
 public:
  static constexpr std::string_view NAME = "quillan";
  static constexpr std::string_view VERSION = "0.2.0";
  static constexpr std::array<std::string_view, 2> SUPPORTED_INDICATORS = {
      "metadata_self_reference", "searchable_metadata"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_self_reference(const base::Context& context) const;
  base::CheckResult check_searchable(const base::Context& context) const;
};

namespace detail {

// Order of the existence tests and of the names in every result text.
inline constexpr std::array<std::string_view, 8> METADATA_FILES = {
    "codemeta.json", ".zenodo.json", "pyproject.toml", "package.json",
    "DESCRIPTION",   "setup.py",     "setup.cfg",      "CITATION.cff"};

// One scorer per metadata file directly below `repo`. A file that is absent, not a regular
// file, unreadable, not UTF-8 (except the citation file, read leniently) or of the wrong shape
// never raises: it earns 0.0 and no labels, or for codemeta.json 1.0 with the label
// "codemeta.json present but unparseable".
ScorerResult score_codemeta(const std::filesystem::path& repo);
ScorerResult score_citation_cff(const std::filesystem::path& repo);
ScorerResult score_package_json(const std::filesystem::path& repo);
ScorerResult score_pyproject(const std::filesystem::path& repo);
ScorerResult score_setup_cfg(const std::filesystem::path& repo);
ScorerResult score_setup_py(const std::filesystem::path& repo);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::quillan
