#pragma once

// Rich metadata: which citation files sit at the checkout root, and whether a CITATION.cff has
// the structure a Citation File Format document needs.

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
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

// Text that a YAML 1.1 safe loader refuses; the message starts with the position when known
// ("error at line L, column C: ...").
class YamlError : public Error {
 public:
  using Error::Error;
};

// What the structure check sees of one YAML document loaded by a safe loader.
struct YamlDocument {
  bool is_mapping = false;
  // The mapping's keys that are text, those brought in through merge keys ("<<") included,
  // own keys first, in document order; keys of other types are left out.
  std::vector<std::string> text_keys;

  bool operator==(const YamlDocument&) const = default;
};

// Loads `text` as exactly one YAML document with the types of a YAML 1.1 safe loader: plain
// scalars resolve to null, bool, int, float, timestamp, merge or text by the YAML 1.1 patterns;
// quoted and "!"-tagged scalars are text; only the standard tags (str, null, bool, int, float,
// binary, timestamp, seq, map, set, omap, pairs) are built. Raises YamlError for malformed
// syntax, a second document, a character YAML does not allow, a tag that is not built, a value
// its type cannot hold (such as the date 2023-02-30), a collection used as a key and a merge
// key whose value is not a mapping or a list of mappings. An empty stream is no mapping.
YamlDocument safe_load(std::string_view text);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::yarrowin
