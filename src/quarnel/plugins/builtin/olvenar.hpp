#pragma once

// Persistent identifiers and component identifiers (package names and versions of six
// packaging ecosystems, workspaces and monorepos included).

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::olvenar {

// Points and finding texts of one detector.
using Detection = std::pair<double, std::vector<std::string>>;

class OlvenarPlugin final : public base::DeclaredPlugin<OlvenarPlugin> {
 public:
  static constexpr std::string_view NAME = "olvenar";
  static constexpr std::string_view VERSION = "0.2.0";
  static constexpr std::array<std::string_view, 2> SUPPORTED_INDICATORS = {"persistent_identifier",
                                                                           "component_identifiers"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_pid(const base::Context& context) const;
  base::CheckResult check_components(const base::Context& context) const;
};

namespace detail {

// The checkout directory both checks look at: `repo_path`, or "." when it is empty.
std::filesystem::path checkout_root(const base::Context& context);

// The codemeta.json members searched for a DOI, in this order.
inline constexpr std::array<std::string_view, 5> PID_KEYS = {"identifier", "@id", "doi", "url",
                                                             "codeRepository"};

inline constexpr std::size_t COMPONENT_SCAN_CAP = 50;
inline constexpr std::array<std::string_view, 9> SKIP_DIRS = {
    "node_modules", "vendor", ".git", ".venv", "venv", "__pycache__", "dist", "build", "target"};

// The regular files named exactly `basename` below `repo`, depth-first, at most
// COMPONENT_SCAN_CAP, never through a symbolic link or into a skipped or hidden directory.
std::vector<std::filesystem::path> iter_files(const std::filesystem::path& repo,
                                              std::string_view basename);

Detection python_component(const std::filesystem::path& repo);
Detection js_components(const std::filesystem::path& repo);
Detection rust_components(const std::filesystem::path& repo);
Detection go_component(const std::filesystem::path& repo);
Detection composer_component(const std::filesystem::path& repo);
Detection java_component(const std::filesystem::path& repo);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::olvenar
