#pragma once

// Development provenance: what git reports about the checkout (remote, commits, branch, tag).

#include <array>
#include <string_view>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::palderon {

class PalderonPlugin final : public base::DeclaredPlugin<PalderonPlugin> {
 public:
  static constexpr std::string_view NAME = "palderon";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {
      "development_provenance"};
  static constexpr bool REQUIRES_GIT = true;

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

}  // namespace quarnel::plugins::builtin::palderon
