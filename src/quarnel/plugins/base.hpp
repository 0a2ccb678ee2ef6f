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

}  // namespace quarnel::plugins::base
