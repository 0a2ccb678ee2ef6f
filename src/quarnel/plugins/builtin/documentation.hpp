#pragma once

// Descriptive attributes: a README at the checkout root and its size, a documentation
// directory holding Markdown or reStructuredText files, and a documentation tool's
// configuration. Only names and sizes are looked at; no file is opened.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::documentation {

class DocumentationPlugin final : public base::DeclaredPlugin<DocumentationPlugin> {
 public:
  static constexpr std::string_view NAME = "documentation";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::string_view DESCRIPTION =
      "Checks README presence, length, and key sections like installation and usage.";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {
      "descriptive_attributes"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

namespace detail {

inline constexpr std::array<std::string_view, 4> README_NAMES = {"README.md", "README.rst",
                                                                 "README.txt", "README"};
inline constexpr std::array<std::string_view, 3> DOC_DIRS = {"docs", "doc", "documentation"};
inline constexpr std::array<std::string_view, 7> DOC_CONFIGS = {
    "mkdocs.yml",      "mkdocs.yaml", ".readthedocs.yml", ".readthedocs.yaml",
    "readthedocs.yml", "conf.py",     "book.toml"};
// Size in bytes from which a README counts as long.
inline constexpr std::uintmax_t MIN_README_LENGTH = 200;

// The first README name that exists directly in `repo` (any kind of entry, following links;
// a broken link counts as absent), or none.
std::optional<std::filesystem::path> find_readme(const std::filesystem::path& repo);

// Entries below `dir`, at any depth, whose names end in ".md" or ".rst" (files and
// directories alike, `dir` itself not counted). Links to directories are not descended into,
// and a directory that cannot be listed is passed over.
std::size_t count_doc_files(const std::filesystem::path& dir);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::documentation
