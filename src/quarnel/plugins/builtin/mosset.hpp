#pragma once

// Community standards: contribution, conduct, security and governance documents, tests, CI
// configuration and code-style configuration, each worth a fixed amount.

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/plugins/base.hpp"
#include "quarnel/utils/ci.hpp"

namespace quarnel::plugins::builtin::mosset {

class MossetPlugin final : public base::DeclaredPlugin<MossetPlugin> {
 public:
  static constexpr std::string_view NAME = "community_standards";
  static constexpr std::string_view VERSION = "0.2.0";
  static constexpr std::string_view DESCRIPTION =
      "Checks for community-standard files (CONTRIBUTING, CODE_OF_CONDUCT, SECURITY, "
      "GOVERNANCE), test presence, CI configuration, and code-style configs. Awards partial "
      "credit per concern; caps at 10.";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {"community_standards"};

  // Any id gets the same check, labelled with that id.
  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

namespace detail {

namespace stdfs = std::filesystem;

// Lower-case stems of each kind of community document.
inline constexpr std::array<std::string_view, 1> CONTRIB_NAMES = {"contributing"};
inline constexpr std::array<std::string_view, 3> COC_NAMES = {"code_of_conduct", "code-of-conduct",
                                                              "codeofconduct"};
inline constexpr std::array<std::string_view, 1> SECURITY_NAMES = {"security"};
inline constexpr std::array<std::string_view, 1> GOVERNANCE_NAMES = {"governance"};
// Accepted lower-case suffixes; "" is a name without one.
inline constexpr std::array<std::string_view, 4> DOC_EXTS = {".md", ".rst", ".txt", ""};
// Relative to the checkout; "" is the checkout itself.
inline constexpr std::array<std::string_view, 3> SEARCH_DIRS = {"", ".github", "docs"};
inline constexpr std::array<std::string_view, 9> TEST_DIR_PATTERNS = {
    "tests",      "test",     "spec", "test_suite", "backend-tests", "e2e", "integration-tests",
    "unit-tests", "__tests__"};
inline constexpr std::array<std::string_view, 10> TEST_FILE_PATTERNS = {
    "test_*.py", "*_test.py", "test_*.js",  "*.test.js", "*.spec.js",
    "*.test.ts", "*.spec.ts", "*Test.java", "*_test.go", "test_*.R"};
// At the checkout root, in search order.
// clang-format off
inline constexpr std::array<std::string_view, 21> STYLE_CONFIG_NAMES = {
    ".editorconfig", ".pre-commit-config.yaml", ".pre-commit-config.yml", ".eslintrc",
    ".eslintrc.js", ".eslintrc.json", "eslint.config.js", ".prettierrc", ".prettierrc.json",
    ".prettierrc.yaml", "prettier.config.js", "ruff.toml", ".ruff.toml", ".flake8", "setup.cfg",
    ".golangci.yml", ".golangci.yaml", ".rubocop.yml", ".rubocop.yaml", ".stylelintrc",
    ".stylelintrc.json"};
// clang-format on

// The suffix of a file name: from its last dot, when that dot is not the first character and
// something follows it; else empty. The stem is the rest.
std::string_view name_suffix(std::string_view name);
std::string_view name_stem(std::string_view name);

// Shell-style match where only "*" is special (any run, the empty one included).
bool glob_match(std::string_view pattern, std::string_view name);

// The first document, relative to `repo` with "/" between components, whose lower-cased stem
// is one of `basenames` and lower-cased suffix one of DOC_EXTS, searched in SEARCH_DIRS order
// and within a directory in listing order; none when there is none. A search directory is taken
// by the rule of fs::named_directory. OsError when an existing search directory cannot be
// listed.
std::optional<std::string> find_doc(const stdfs::path& repo,
                                    std::span<const std::string_view> basenames);

// Whether tests are present, and the evidence texts ("dir tests/", "dir pkg/tests/",
// "3 test_*.py"); the list is empty when there are none.
std::pair<bool, std::vector<std::string>> has_tests(const stdfs::path& repo);

using CiFinder = std::function<std::vector<utils::ci::CiConfig>(const stdfs::path&)>;

// The distinct CI type names the finder reports, sorted by code point; empty when it reports
// none or fails.
std::vector<std::string> has_ci(const stdfs::path& repo,
                                const CiFinder& finder = utils::ci::find_ci_configs);

// The style configuration found: the first STYLE_CONFIG_NAMES entry that is a regular file,
// else "pyproject.toml ([tool.ruff/black/isort])" when pyproject.toml holds one of those
// section markers; none otherwise.
std::optional<std::string> has_style_config(const stdfs::path& repo);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::mosset
