#pragma once

// The contract of every check plug-in. A plug-in is stateless: its name, version and the
// indicators it answers are static constants exposed through the accessors below, and each
// check builds its result through make_result.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"

namespace quarnel::plugins::base {

using core::context::Context;
using core::models::CheckResult;
using core::models::CheckStatus;

// The fields a check passes to make_result, mirroring its keyword arguments.
struct ResultFields {
  double score = 0.0;
  std::optional<CheckStatus> status;
  std::string process;
  std::string output;
  std::string evidence;
};

class BasePlugin {
 public:
  virtual ~BasePlugin() = default;

  virtual std::string_view name() const = 0;
  virtual std::string_view version() const = 0;
  // Indicator ids in dispatch order; may be empty.
  virtual std::span<const std::string_view> supported_indicators() const = 0;
  virtual std::string_view description() const { return ""; }
  virtual bool requires_git() const { return false; }
  virtual bool requires_forge() const { return false; }

  virtual CheckResult check(std::string_view indicator_id, const Context& context) const = 0;

 protected:
  // A new result for `indicator_id`. Without a status it is PASS at PASS_THRESHOLD or above,
  // else FAIL; `passed` is status PASS; principle and category come from the catalogue entry
  // of the id (empty when it has none); plugin is this plug-in's name.
  CheckResult make_result(std::string_view indicator_id, ResultFields fields) const;
};

// The accessors of BasePlugin answered from a plug-in's static declarations: NAME, VERSION,
// SUPPORTED_INDICATORS, and optionally DESCRIPTION, REQUIRES_GIT and REQUIRES_FORGE (the base's
// defaults when a plug-in leaves one out). A plug-in derives from DeclaredPlugin<itself>.
template <typename Derived>
class DeclaredPlugin : public BasePlugin {
 public:
  std::string_view name() const override { return Derived::NAME; }
  std::string_view version() const override { return Derived::VERSION; }
  std::span<const std::string_view> supported_indicators() const override {
    return Derived::SUPPORTED_INDICATORS;
  }
  std::string_view description() const override {
    if constexpr (requires { Derived::DESCRIPTION; }) {
      return Derived::DESCRIPTION;
    } else {
      return BasePlugin::description();
    }
  }
  bool requires_git() const override {
    if constexpr (requires { Derived::REQUIRES_GIT; }) {
      return Derived::REQUIRES_GIT;
    } else {
      return BasePlugin::requires_git();
    }
  }
  bool requires_forge() const override {
    if constexpr (requires { Derived::REQUIRES_FORGE; }) {
      return Derived::REQUIRES_FORGE;
    } else {
      return BasePlugin::requires_forge();
    }
  }
};

}  // namespace quarnel::plugins::base
