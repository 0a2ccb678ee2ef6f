#pragma once

// The assessment driver: routes catalogue indicators to the registered plug-ins, runs the
// checks concurrently, scores the results and assembles the Assessment for the reports.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/config/schema.hpp"
#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/plugins/base.hpp"

namespace quarnel::cli::runner {

using core::context::Context;
using core::models::Assessment;
using core::models::CheckResult;
using plugins::base::BasePlugin;

using Plugins = std::vector<std::unique_ptr<BasePlugin>>;

// The most threads worth starting: one per catalogue indicator.
inline constexpr unsigned MAX_JOBS = 17;

// Raises ConfigError for the first id that is not in the catalogue, naming `option` and listing
// the valid ids.
void require_known_ids(const std::vector<std::string>& ids, std::string_view option);

// Catalogue ids to assess, in catalogue order: all of them, or those of `only`, less those of
// `skip`. Raises ConfigError naming an id that is not in the catalogue and listing the valid ones.
std::vector<std::string> select_indicators(const std::vector<std::string>& only,
                                           const std::vector<std::string>& skip);

// For each id, the first plug-in that lists it, or nullptr when none does.
std::vector<const BasePlugin*> route(const Plugins& plugins, const std::vector<std::string>& ids);

// Called after each finished check with the number done so far, the total and the id.
using ProgressFn = std::function<void(std::size_t, std::size_t, std::string_view)>;

// Runs the check of every routed id on up to `jobs` threads. The results come back in the order
// of `ids` whatever the number of threads; ids without a plug-in are left out. An exception
// escaping a check becomes an ERROR result carrying the message as evidence.
std::vector<CheckResult> run_checks(const std::vector<std::string>& ids,
                                    const std::vector<const BasePlugin*>& routes,
                                    const Context& context, unsigned jobs,
                                    const ProgressFn& progress = {});

// The result recorded for a check that failed with an error.
CheckResult error_result(const BasePlugin& plugin, std::string_view indicator_id,
                         std::string_view message);

struct Settings {
  std::vector<std::string> only;
  std::vector<std::string> skip;
  unsigned jobs = 1;
  config::schema::Config config;
  std::string display_path;  // how the checkout is named in reports
  ProgressFn progress;
};

// Runs the whole assessment of one checkout and scores it.
Assessment assess(const Context& context, const Plugins& plugins, const Settings& settings);

// The scheme of a target written as a URL ("scheme://..."), in lower case as schemes are
// compared; none for any other target.
std::optional<std::string> url_scheme(std::string_view target);

// Whether a command-line target names a repository to clone rather than a local path: an
// http(s), ssh, git, git+ssh, ssh+git or file URL, the scheme in any letter case, or an scp-like
// "user@host:path" (a bare "host:path" is taken for a local name).
bool is_remote_target(std::string_view target);

// A remote target as it is cloned and judged: its scheme in lower case ("HTTPS://h/p" is
// "https://h/p", which is what git and the checks recognise), everything else as given.
std::string clone_url(std::string_view target);

}  // namespace quarnel::cli::runner
