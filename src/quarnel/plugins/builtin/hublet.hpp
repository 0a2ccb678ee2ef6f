#pragma once

// Test steps in CI configuration: whether any CI configuration file of the checkout mentions
// one of a few test keywords.

#include <array>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/plugins/base.hpp"
#include "quarnel/utils/ci.hpp"

namespace quarnel::plugins::builtin::hublet {

// Lists no indicator, so the runner assigns it none; asked anyway, it answers any id.
class HubletPlugin final : public base::DeclaredPlugin<HubletPlugin> {
 public:
  static constexpr std::string_view NAME = "hublet";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 0> SUPPORTED_INDICATORS = {};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_ci(const base::Context& context, std::string_view indicator_id) const;
};

namespace detail {

// utils::ci::find_ci_configs, unchanged, errors included.
std::vector<utils::ci::CiConfig> find_ci_configs(const std::filesystem::path& repo);

// `path` relative to `base`, by their components alone ("." components and a trailing
// separator ignored), with "/" between components; "." when both are the same. ValueError when
// `path` does not lie below `base`.
std::string relative_to(const std::filesystem::path& path, const std::filesystem::path& base);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::hublet
