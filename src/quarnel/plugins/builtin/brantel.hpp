#pragma once

// Clear license: a REUSE license directory, a root license file matched to an SPDX identifier,
// or, failing both, SPDX-License-Identifier headers in source files.

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::brantel {

class BrantelPlugin final : public base::DeclaredPlugin<BrantelPlugin> {
 public:
  static constexpr std::string_view NAME = "brantel";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::string_view DESCRIPTION =
      "Checks for a recognized open-source license file and SPDX identifier.";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {"clear_license"};

  // Any id gets the same answer, labelled with the id given.
  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_license(std::string_view indicator_id,
                                  const base::Context& context) const;
  base::CheckResult check_license_file(std::string_view indicator_id,
                                       const std::filesystem::path& repo,
                                       const std::filesystem::path& file) const;
};

namespace detail {

// Looked for at the checkout root, in this order.
inline constexpr std::array<std::string_view, 9> LICENSE_FILES = {
    "LICENSE",    "LICENSE.md",  "LICENSE.txt", "LICENSE.rst", "LICENCE",
    "LICENCE.md", "LICENCE.txt", "COPYING",     "COPYING.md"};
inline constexpr std::string_view REUSE_DIR = "LICENSES";

// One license of the detection table; the pattern is always case-insensitive, and only the
// dot-all ones let ".*" reach across line ends.
struct SpdxPattern {
  std::string_view spdx_id;
  std::string_view pattern;
  bool dotall;
};

// Tried in this order; the first match names the license.
inline constexpr std::array<SpdxPattern, 13> SPDX_PATTERNS = {{
    {"Apache-2.0", R"(Apache License.*Version 2)", false},
    {"MIT", R"(MIT License|Permission is hereby granted)", false},
    {"GPL-3.0-only", R"(GNU GENERAL PUBLIC LICENSE.*Version 3)", true},
    {"GPL-2.0-only", R"(GNU GENERAL PUBLIC LICENSE.*Version 2)", true},
    {"AGPL-3.0-only", R"(GNU AFFERO GENERAL PUBLIC LICENSE.*Version 3)", true},
    {"BSD-3-Clause", R"(BSD 3-Clause|Redistribution and use.*three conditions)", false},
    {"BSD-2-Clause", R"(BSD 2-Clause|Simplified BSD)", false},
    {"LGPL-3.0-only", R"(GNU LESSER GENERAL PUBLIC LICENSE.*Version 3)", true},
    {"EUPL-1.2", R"(European Union Public Licen[cs]e.*1\.2)", false},
    {"MPL-2.0", R"(Mozilla Public License.*2\.0)", false},
    {"ISC", R"(ISC License)", false},
    {"Unlicense", R"(This is free and unencumbered software)", false},
    {"CC0-1.0", R"(CC0 1\.0 Universal|Creative Commons.*Zero)", false},
}};

// Licenses whose texts quote other licenses of the table (the AGPL and LGPL the GPL, the MPL
// and EUPL all three), with the name that opens their own text (the LGPL's older name, the GNU
// Library General Public License, included). A text that names one of them
// before any other license of the table is that license's text: its pattern alone decides, so
// that a version the table does not know (LGPL-2.1, MPL-1.1) gets no identifier rather than
// that of a license it quotes. Names are matched case-insensitively.
struct QuotingLicense {
  std::string_view spdx_id;
  std::string_view name;
};
inline constexpr std::array<QuotingLicense, 4> QUOTING_LICENSES = {{
    {"AGPL-3.0-only", "GNU AFFERO GENERAL PUBLIC LICENSE"},
    {"LGPL-3.0-only", "GNU (?:LESSER|LIBRARY) GENERAL PUBLIC LICENSE"},
    {"MPL-2.0", "Mozilla Public License"},
    {"EUPL-1.2", R"(European Union Public Licen[cs]e)"},
}};

inline constexpr std::string_view SPDX_HEADER_PATTERN =
    R"(SPDX-License-Identifier:\s*([A-Za-z0-9.+\-]+))";
// Most files the header scan reads, and how much of each.
inline constexpr std::size_t SPDX_HEADER_SAMPLE = 20;
inline constexpr std::size_t SPDX_HEADER_CHARS = 2048;

// Directories whose content the header scan never reads, and the suffixes it reads.
inline constexpr std::array<std::string_view, 12> SKIP_DIRS = {
    ".git",  "node_modules", "vendor",      ".venv", "venv",        "dist",
    "build", "target",       "__pycache__", ".tox",  ".mypy_cache", "site-packages"};
inline constexpr std::array<std::string_view, 23> TEXT_EXTS = {
    ".py", ".js", ".ts",  ".tsx", ".jsx", ".vue", ".rs", ".go",  ".java", ".kt",   ".rb", ".php",
    ".c",  ".h",  ".cpp", ".hpp", ".cs",  ".sh",  ".md", ".rst", ".toml", ".yaml", ".yml"};

// From the last dot of a file name to its end, unless that dot is the first character or the
// last; otherwise empty. The stem is the name without it.
std::string_view file_suffix(std::string_view name);
std::string_view file_stem(std::string_view name);

// The SPDX identifier of a license text, or none. A text whose first license name is that of
// one of QUOTING_LICENSES is that license's: its own pattern gives the identifier, or none.
// Otherwise the first entry of SPDX_PATTERNS found anywhere in `content` names it.
std::optional<std::string> detect_spdx(std::string_view content);

// The identifier of the first SPDX-License-Identifier header in the first SPDX_HEADER_CHARS
// characters of up to SPDX_HEADER_SAMPLE source files below `repo`, or none. Links to
// directories are not followed, skipped directories below `repo` are not entered (the names in
// `repo`'s own path play no part), and files that cannot be read are passed over without
// counting. The walk is not bounded otherwise.
std::optional<std::string> scan_spdx_headers(const std::filesystem::path& repo);

// Stems of the qualifying files of the license directory below `repo`, sorted; empty when the
// directory is missing or does not resolve inside the checkout. OsError when it cannot be
// listed.
std::vector<std::string> reuse_license_stems(const std::filesystem::path& repo);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::brantel
