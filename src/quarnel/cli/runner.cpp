#include "quarnel/cli/runner.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

#include "quarnel/core/compliance.hpp"
#include "quarnel/core/indicators.hpp"
#include "quarnel/error.hpp"
#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/git.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::cli::runner {

namespace {

namespace indicators = core::indicators;
namespace compliance = core::compliance;
using core::models::CheckStatus;

std::string valid_ids_text() {
  std::vector<std::string> ids;
  for (const auto& indicator : indicators::INDICATORS) ids.emplace_back(indicator.id);
  return utils::text::join(ids, ", ");
}

bool listed(const std::vector<std::string>& ids, std::string_view id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

void require_known_ids(const std::vector<std::string>& ids, std::string_view option) {
  for (const auto& id : ids) {
    if (indicators::get_indicator(id) == nullptr) {
      throw ConfigError("unknown indicator " + utils::text::repr_cut(id) + " in " +
                        std::string(option) + "; valid indicators are: " + valid_ids_text());
    }
  }
}

std::vector<std::string> select_indicators(const std::vector<std::string>& only,
                                           const std::vector<std::string>& skip) {
  require_known_ids(only, "--only");
  require_known_ids(skip, "--skip");
  std::vector<std::string> selected;
  for (const auto& indicator : indicators::INDICATORS) {
    if (!only.empty() && !listed(only, indicator.id)) continue;
    if (listed(skip, indicator.id)) continue;
    selected.emplace_back(indicator.id);
  }
  return selected;
}

std::vector<const BasePlugin*> route(const Plugins& plugins, const std::vector<std::string>& ids) {
  std::vector<const BasePlugin*> routes;
  routes.reserve(ids.size());
  for (const auto& id : ids) {
    const BasePlugin* chosen = nullptr;
    for (const auto& plugin : plugins) {
      const auto supported = plugin->supported_indicators();
      if (std::find(supported.begin(), supported.end(), id) != supported.end()) {
        chosen = plugin.get();
        break;
      }
    }
    routes.push_back(chosen);
  }
  return routes;
}

CheckResult error_result(const BasePlugin& plugin, std::string_view indicator_id,
                         std::string_view message) {
  CheckResult result;
  result.indicator_id = std::string(indicator_id);
  result.plugin = std::string(plugin.name());
  result.score = 0.0;
  result.status = CheckStatus::ERROR;
  result.passed = false;
  if (const auto* indicator = indicators::get_indicator(indicator_id)) {
    result.principle = std::string(indicator->principle);
    result.category = std::string(core::models::to_string(indicator->category));
  }
  result.process = "Ran the " + std::string(plugin.name()) + " check";
  result.output = "The check failed with an error";
  result.evidence = std::string(message);
  return result;
}

std::vector<CheckResult> run_checks(const std::vector<std::string>& ids,
                                    const std::vector<const BasePlugin*>& routes,
                                    const Context& context, unsigned jobs,
                                    const ProgressFn& progress) {
  std::vector<std::size_t> work;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (routes[i] != nullptr) work.push_back(i);
  }
  std::vector<std::optional<CheckResult>> slots(ids.size());
  std::atomic<std::size_t> next{0};
  // Counted under the lock that shows it: counted before, a check that finished later could
  // show its count first, and the line would count backwards.
  std::size_t done = 0;
  std::mutex progress_mutex;

  auto worker = [&] {
    for (std::size_t k = next++; k < work.size(); k = next++) {
      const std::size_t i = work[k];
      const BasePlugin& plugin = *routes[i];
      try {
        slots[i] = plugin.check(ids[i], context);
      } catch (const std::exception& e) {
        slots[i] = error_result(plugin, ids[i], e.what());
      }
      if (progress) {
        std::lock_guard lock(progress_mutex);
        progress(++done, work.size(), ids[i]);
      }
    }
  };

  const unsigned threads =
      std::clamp<unsigned>(jobs, 1, static_cast<unsigned>(std::max<std::size_t>(work.size(), 1)));
  if (threads <= 1) {
    worker();
  } else {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  }

  std::vector<CheckResult> results;
  for (auto& slot : slots) {
    if (slot) results.push_back(std::move(*slot));
  }
  return results;
}

Assessment assess(const Context& context, const Plugins& plugins, const Settings& settings) {
  const auto started = std::chrono::steady_clock::now();
  const auto ids = select_indicators(settings.only, settings.skip);
  const auto routes = route(plugins, ids);

  Assessment assessment;
  assessment.indicators = run_checks(ids, routes, context, settings.jobs, settings.progress);

  for (const auto& indicator : indicators::INDICATORS) {
    const bool assessed =
        std::any_of(assessment.indicators.begin(), assessment.indicators.end(),
                    [&](const CheckResult& r) { return r.indicator_id == indicator.id; });
    if (!assessed) assessment.skipped.emplace_back(indicator.id);
  }
  for (const auto& result : assessment.indicators) {
    if (result.passed) assessment.passed_indicators.push_back(result.indicator_id);
  }

  const auto& results = assessment.indicators;
  const auto level = compliance::calculate_compliance(results);
  assessment.compliance_level = std::string(core::models::to_string(level));
  assessment.overall_score = compliance::calculate_overall_score(results);
  assessment.categories = compliance::calculate_category_scores(results);
  assessment.progress = compliance::progress_to_next_level(assessment.compliance_level, results);
  const auto& gate = settings.config.quality_gate;
  if (config::schema::gate_is_set(gate)) {
    assessment.quality_gate = compliance::evaluate_quality_gate(
        assessment.compliance_level, assessment.overall_score, results, gate);
  }
  assessment.quality_goals =
      compliance::evaluate_quality_goals(assessment.compliance_level, assessment.overall_score,
                                         results, settings.config.quality_goals);

  assessment.repository.path = settings.display_path;
  if (utils::text::truthy(context.repo_url)) {
    assessment.repository.url = utils::forge::redact_url(*context.repo_url);
  } else if (auto remote = context.git_repo.remote_url(); utils::text::truthy(remote)) {
    assessment.repository.url = utils::forge::redact_url(*remote);
  }
  assessment.repository.commit = context.git_repo.current_commit();
  assessment.repository.branch = context.git_repo.current_branch();

  assessment.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
  return assessment;
}

std::optional<std::string> url_scheme(std::string_view target) {
  const auto end = target.find("://");
  if (end == std::string_view::npos || end == 0) return std::nullopt;
  const std::string_view scheme = target.substr(0, end);
  const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  const auto scheme_char = [&](char c) {
    return alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  };
  if (!alpha(scheme.front()) || !std::all_of(scheme.begin(), scheme.end(), scheme_char)) {
    return std::nullopt;
  }
  return utils::text::lower(scheme);
}

bool is_remote_target(std::string_view target) {
  // What git may clone is what is cloned: a URL whose scheme has transports git may use, or the
  // scp-like "user@host:path".
  return utils::git::clone_transports(target).has_value();
}

std::string clone_url(std::string_view target) {
  const auto scheme = url_scheme(target);
  if (!scheme) return std::string(target);
  return *scheme + std::string(target.substr(scheme->size()));
}

}  // namespace quarnel::cli::runner
