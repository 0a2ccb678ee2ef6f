#pragma once

// Development provenance: what git reports about the checkout (remote, commits, branch, tag).

#include <array>
#include <string_view>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::palderon {

class PalderonPlugin final : public base::BasePlugin {
 public:
  static constexpr std::string_view NAME = "palderon";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {
      "development_provenance"};
  static constexpr bool REQUIRES_GIT = true;

  std::string_view name() const override { return NAME; }
  std::string_view version() const override { return VERSION; }
  std::span<const std::string_view> supported_indicators() const override {
    return SUPPORTED_INDICATORS;
  }
  bool requires_git() const override { return REQUIRES_GIT; }

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

}  // namespace quarnel::plugins::builtin::palderon
