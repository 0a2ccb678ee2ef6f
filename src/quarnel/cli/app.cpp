#include "quarnel/cli/app.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "quarnel/cli/runner.hpp"
#include "quarnel/config/schema.hpp"
#include "quarnel/core/indicators.hpp"
#include "quarnel/error.hpp"
#include "quarnel/plugins/registry.hpp"
#include "quarnel/reports/orchestrator.hpp"
#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/git.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"
#include "quarnel/version.hpp"

namespace quarnel::cli {

namespace {

namespace indicators = core::indicators;
namespace models = core::models;

std::string pad(std::string_view text, std::size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

}  // namespace

std::string indicators_table() {
  const std::string headers[4] = {"Principle", "Indicator", "Category", "Name"};
  std::size_t widths[3] = {headers[0].size(), headers[1].size(), headers[2].size()};
  for (const auto& indicator : indicators::INDICATORS) {
    widths[0] = std::max(widths[0], indicator.principle.size());
    widths[1] = std::max(widths[1], indicator.id.size());
    widths[2] = std::max(widths[2], models::to_string(indicator.category).size());
  }
  std::ostringstream out;
  auto row = [&](std::string_view a, std::string_view b, std::string_view c, std::string_view d) {
    out << pad(a, widths[0]) << "  " << pad(b, widths[1]) << "  " << pad(c, widths[2]) << "  " << d
        << '\n';
  };
  row(headers[0], headers[1], headers[2], headers[3]);
  for (const auto& indicator : indicators::INDICATORS) {
    row(indicator.principle, indicator.id, models::to_string(indicator.category), indicator.name);
  }
  return out.str();
}

std::string indicators_json() {
  utils::json::Json list = utils::json::Json::array();
  for (const auto& indicator : indicators::INDICATORS) {
    const auto* principle = indicators::get_principle(indicator.principle);
    list.push_back({{"principle", indicator.principle},
                    {"principle_name", principle ? principle->name : ""},
                    {"indicator", indicator.id},
                    {"category", models::to_string(indicator.category)},
                    {"name", indicator.name},
                    {"description", indicator.description}});
  }
  return list.dump(2) + "\n";
}

bool guard_standard_descriptors() noexcept {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // One that refuses writes, so that a write to it fails and is reported rather than lost.
    if (!utils::fs::stand_in_for_closed(fd)) return false;
  }
  return true;
}

namespace {

namespace schema = config::schema;

// Text as it is shown on standard error: what a target, a checkout or git gives may hold line
// breaks and terminal escape sequences, so its control characters are shown escaped and every
// message stays the one line it is.
std::string shown_text(std::string_view text) { return utils::text::escape_controls(text); }

// Writes all of `text` to standard output and flushes it. A report lost to a full disk or a
// closed descriptor must not end in exit 0: when the text did not arrive, one line on standard
// error says so and the result is false.
bool write_stdout(std::ostream& out, std::ostream& err, std::string_view text) {
  errno = 0;
  out << text;
  out.flush();
  if (out) return true;
  const int reason = errno;
  err << "quarnel: error: cannot write to standard output"
      << (reason != 0 ? ": " + std::generic_category().message(reason) : std::string()) << '\n';
  return false;
}

// The temporary clone that an interruption must remove: empty when there is none, or when it
// is to be kept. The mutex also covers making and removing the directory, so that an
// interruption never finds one half made or half removed.
struct PendingClone {
  std::mutex mutex;
  std::filesystem::path dir;
};

PendingClone& pending_clone() {
  // Never destroyed: an interruption may come while static objects go away.
  static PendingClone* const pending = new PendingClone;
  return *pending;
}

// A shallow clone in a temporary directory that is removed again unless asked to keep it.
class TemporaryClone {
 public:
  TemporaryClone(const std::string& url, int depth, bool keep) : keep_(keep) {
    {
      const std::lock_guard lock(pending_clone().mutex);
      std::filesystem::path base;
      try {
        base = utils::git::temp_directory();
      } catch (const OsError& e) {
        throw OsError(std::string("cannot create a temporary directory for the clone: ") +
                      e.what());
      }
      std::string tmpl = (base / (std::string(utils::git::TEMP_PREFIX) + "XXXXXX")).string();
      if (::mkdtemp(tmpl.data()) == nullptr) {
        throw OsError("cannot create a temporary directory for the clone in " + base.string());
      }
      dir_ = tmpl;
      if (!keep_) pending_clone().dir = dir_;
    }
    try {
      utils::git::clone_repo(url, dir_, std::nullopt, depth);
    } catch (...) {
      // The destructor does not run for an object whose constructor failed.
      remove();
      throw;
    }
  }
  ~TemporaryClone() {
    if (!keep_) remove();
  }
  TemporaryClone(const TemporaryClone&) = delete;
  TemporaryClone& operator=(const TemporaryClone&) = delete;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  void remove() {
    const std::lock_guard lock(pending_clone().mutex);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    pending_clone().dir.clear();
  }

  std::filesystem::path dir_;
  bool keep_;
};

// The stop signals, and what ending the process involves. `exit_mutex` is held by whichever
// comes first: the stop, which then ends the process itself, or the ordinary end of the run,
// which then no longer lets a stop start. `stopping` is set as soon as a stop signal arrives,
// before the children are killed: a child that dies of that kill must not be reported as a
// failure of its own (a failed clone, exit 2) by the thread that was waiting for it.
struct StopState {
  std::mutex exit_mutex;
  std::atomic<bool> stopping{false};
};

StopState& stop_state() {
  // Never destroyed: a stop may come while static objects go away.
  static StopState* const state = new StopState;
  return *state;
}

// For a thread that finds that the process is being stopped: the stopping thread ends it.
[[noreturn]] void wait_for_stop() {
  for (;;) ::pause();
}

bool stopping() { return stop_state().stopping.load(); }

// Runs on the thread that waits for the stop signals, never in a signal handler.
[[noreturn]] void stop_on_signal(int signal) {
  StopState& state = stop_state();
  // Taken for good: the process ends below, with this thread still holding it.
  state.exit_mutex.lock();
  state.stopping.store(true);
  utils::process::kill_running_children();
  {
    PendingClone& pending = pending_clone();
    const std::lock_guard lock(pending.mutex);
    // A killed git may still be writing for a moment: remove until nothing is left, bounded.
    for (int attempt = 0; !pending.dir.empty() && attempt < 100; ++attempt) {
      std::error_code ec;
      std::filesystem::remove_all(pending.dir, ec);
      if (!std::filesystem::exists(std::filesystem::symlink_status(pending.dir, ec))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Output still buffered is a report cut short: better none than half of one. 128 + the signal
  // number is the status a shell gives a command stopped by it (129, 130, 131, 143).
  std::_Exit(128 + signal);
}

// Wider JSON indentation only makes the report larger; a huge one would exhaust memory.
constexpr long long MAX_INDENT = 32;
constexpr long long MAX_JOBS_OPTION = 1024;

// The library reads no environment itself: the command line hands these on as values.
std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::vector<std::string> split_ids(const std::vector<std::string>& values) {
  std::vector<std::string> ids;
  for (const auto& value : values) {
    for (auto& part : utils::text::split(value, ",")) {
      auto id = utils::text::strip(part);
      if (!id.empty()) ids.push_back(id);
    }
  }
  return ids;
}

// Level names are accepted in any letter case, as the gate and goals rank them.
std::string check_level(const std::string& value) {
  const auto lowered = utils::text::lower(value);
  for (auto name : {"none", "bronze", "silver", "gold", "platinum"}) {
    if (lowered == name) return {};
  }
  return "must be one of none, bronze, silver, gold, platinum";
}

// Numeric options are checked on their text, before CLI11 converts it: CLI11's range check lets
// NaN through and prints its bounds in full float form, and its integer conversion reads "010"
// as octal. A value that passes is handed on in plain decimal form, so that what was checked is
// what gets converted.
std::string bound_text(double bound) {
  if (bound == std::floor(bound) && std::fabs(bound) < 1e15) {
    return std::to_string(static_cast<long long>(bound));
  }
  return utils::text::float_repr(bound);
}

std::string_view without_plus(std::string_view value) {
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  return value;
}

std::string refusal(std::string_view expected, double low, double high, const std::string& value) {
  return "expected " + std::string(expected) + " from " + bound_text(low) + " to " +
         bound_text(high) + ", got " + utils::text::repr_cut(value);
}

CLI::Validator whole_number_in(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& value) -> std::string {
        const std::string_view digits = without_plus(value);
        long long number = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error != std::errc() || end != digits.data() + digits.size() || number < low ||
            number > high) {
          return refusal("a whole number", static_cast<double>(low), static_cast<double>(high),
                         value);
        }
        value = std::to_string(number);
        return {};
      },
      "INT in [" + std::to_string(low) + " - " + std::to_string(high) + "]");
}

CLI::Validator number_in(double low, double high) {
  return CLI::Validator(
      [low, high](std::string& value) -> std::string {
        const std::string_view digits = without_plus(value);
        double number = 0.0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                                  number, std::chars_format::general);
        // Written so that NaN fails the range test too.
        if (error != std::errc() || end != digits.data() + digits.size() ||
            !(number >= low && number <= high)) {
          return refusal("a number", low, high, value);
        }
        if (number == 0.0) number = 0.0;  // no "-0.0" in the verdicts
        value = utils::text::float_repr(number);
        return {};
      },
      "FLOAT in [" + bound_text(low) + " - " + bound_text(high) + "]");
}

struct AssessArgs {
  std::string target = ".";
  std::string url;
  std::string format = "text";
  std::string output;
  std::optional<long long> indent;
  std::string config_file;
  std::optional<std::string> min_compliance;
  std::optional<double> min_score;
  std::vector<std::string> require;
  std::optional<std::string> target_compliance;
  std::optional<double> target_score;
  std::vector<std::string> only;
  std::vector<std::string> skip;
  unsigned jobs = 0;
  bool keep_clone = false;
  int depth = utils::git::DEFAULT_CLONE_DEPTH;
};

void add_assess_options(CLI::App& assess, AssessArgs& a) {
  assess.add_option("target", a.target, "Checkout directory or repository URL to assess")
      ->capture_default_str();
  assess.add_option("--url", a.url, "Repository URL of a local checkout (forge checks use it)");
  assess.add_option("-f,--format", a.format, "Report format")
      ->check(CLI::IsMember({"text", "json", "markdown"}))
      ->capture_default_str();
  assess.add_option(
      "-o,--output", a.output,
      "Write the report to this file, or into this directory (existing, or ending in /)");
  assess.add_option("--indent", a.indent, "Indentation of the JSON report (default 2)")
      ->transform(whole_number_in(0, MAX_INDENT));
  assess.add_option("-c,--config", a.config_file,
                    "Quality gate and goals file (default: .quarnel.yml in the checkout)");
  assess.add_option("--min-compliance", a.min_compliance, "Gate: lowest acceptable level")
      ->check(check_level);
  assess.add_option("--min-score", a.min_score, "Gate: lowest acceptable overall score")
      ->transform(number_in(0.0, 10.0));
  // One value per occurrence, so that a list option never swallows the target after it.
  assess.add_option("--require", a.require, "Gate: an indicator that must pass (repeatable)")
      ->allow_extra_args(false);
  assess.add_option("--target-compliance", a.target_compliance, "Goal: compliance level")
      ->check(check_level);
  assess.add_option("--target-score", a.target_score, "Goal: overall score")
      ->transform(number_in(0.0, 10.0));
  assess.add_option("--only", a.only, "Assess only these indicators (comma-separated)")
      ->allow_extra_args(false);
  assess.add_option("--skip", a.skip, "Do not assess these indicators (comma-separated)")
      ->allow_extra_args(false);
  assess.add_option("-j,--jobs", a.jobs, "Checks run at once (default: processors, at most 17)")
      ->transform(whole_number_in(1, MAX_JOBS_OPTION));
  assess.add_flag("--keep-clone", a.keep_clone, "Keep the temporary clone of a URL target");
  assess.add_option("--depth", a.depth, "Depth of the shallow clone of a URL target")
      ->transform(whole_number_in(1, std::numeric_limits<int>::max()))
      ->capture_default_str();
}

// Why the checkout directory cannot be listed or entered, or none when it can. Every check would
// otherwise find nothing, and the run would pass for the assessment of an empty directory.
std::optional<std::string> unlistable_reason(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::generic_category().message(errno);
  ::close(fd);
  if (::faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) != 0) {
    return std::generic_category().message(errno);
  }
  return std::nullopt;
}

// Whether the directory was removed: one that has no name left lists as empty, and would pass for
// the assessment of an empty directory.
bool was_removed(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool removed = ::fstat(fd, &st) == 0 && st.st_nlink == 0;
  ::close(fd);
  return removed;
}

std::vector<std::string_view> catalogue_ids() {
  std::vector<std::string_view> ids;
  for (const auto& indicator : core::indicators::INDICATORS) ids.push_back(indicator.id);
  return ids;
}

// `text` with every occurrence of `what` left out, walked once.
std::string without(std::string_view text, std::string_view what) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at = utils::text::find_linear(text, what); at != std::string_view::npos;
       at = utils::text::find_linear(text, what, from)) {
    out.append(text.substr(from, at - from));
    from = at + what.size();
  }
  out.append(text.substr(from));
  return out;
}

// The checkout's own configuration. `cloned_from` is the URL (as shown) of a checkout that is a
// temporary clone: its path is gone by the time the user reads an error, so the file is named
// as the repository's, paths in the clone as the repository's own, and the error says how to
// assess the repository all the same.
schema::Config checkout_config(const std::filesystem::path& checkout,
                               const std::optional<std::string>& cloned_from) {
  const auto file = checkout / schema::CONFIG_FILE_NAME;
  const std::string name =
      cloned_from ? std::string(schema::CONFIG_FILE_NAME) + " of " + *cloned_from : file.string();
  try {
    // The checkout is untrusted: its configuration is read like any file of it, never through
    // a link that leads outside.
    std::string text;
    try {
      text = utils::fs::read_text(file, utils::text::DecodeMode::Strict, checkout);
    } catch (const Error& e) {
      const std::string reason =
          cloned_from ? without(e.what(), checkout.string() + "/") : std::string(e.what());
      throw ConfigError("cannot read " + name + ": " + reason);
    }
    return schema::parse_config(text, name, catalogue_ids());
  } catch (const ConfigError& e) {
    if (!cloned_from) throw;
    throw ConfigError(std::string(e.what()) + "; give -c FILE to use another configuration");
  }
}

schema::Config build_config(const AssessArgs& a, const std::filesystem::path& checkout,
                            const std::optional<std::string>& cloned_from) {
  schema::Config config;
  const auto known = catalogue_ids();
  if (!a.config_file.empty()) {
    config = schema::load_config(a.config_file, known);
  } else if (utils::fs::entry_exists(checkout / schema::CONFIG_FILE_NAME)) {
    // Any entry of the name counts: a broken link silently ignored would switch the gate off.
    config = checkout_config(checkout, cloned_from);
  }
  auto& gate = config.quality_gate;
  auto& goals = config.quality_goals;
  if (a.min_compliance) gate.min_compliance = a.min_compliance;
  if (a.min_score) gate.min_score = a.min_score;
  const auto required = split_ids(a.require);
  if (!required.empty()) {
    runner::require_known_ids(required, "--require");
    gate.required_indicators = required;
  }
  if (a.target_compliance) goals.target_compliance = a.target_compliance;
  if (a.target_score) goals.target_score = a.target_score;
  return config;
}

// Under `quiet` only a failing gate is shown: its violations are the reason for exit 1, which a
// CI log must not lose; the goals never fail a run.
void print_verdicts(const core::models::Assessment& assessment, bool quiet, std::ostream& err) {
  if (assessment.quality_gate && !(quiet && assessment.quality_gate->passed)) {
    const auto& gate = *assessment.quality_gate;
    err << "Quality gate: " << (gate.passed ? "passed" : "FAILED") << '\n';
    for (const auto& violation : gate.violations) err << "  - " << shown_text(violation) << '\n';
  }
  if (quiet) return;
  const auto& goals = assessment.quality_goals;
  if (goals.compliance) {
    const auto& g = *goals.compliance;
    err << "Goal compliance " << shown_text(g.target) << ": " << (g.met ? "met" : "not met")
        << " (now " << shown_text(utils::text::truthy(g.current) ? *g.current : "none") << ")\n";
  }
  if (goals.score) {
    const auto& g = *goals.score;
    err << "Goal score " << utils::text::format_fixed1(g.target) << ": "
        << (g.met ? "met" : "not met") << " (now " << utils::text::format_fixed1(g.current)
        << ")\n";
  }
}

int assess_command(const AssessArgs& a, bool quiet, std::ostream& out, std::ostream& err) {
  const bool local = utils::fs::exists(a.target);
  const bool remote = runner::is_remote_target(a.target) && !local;
  // Any spelling of a target may carry a token; an error line shows it as every URL is shown.
  const std::string shown = utils::forge::redact_url(a.target);
  std::filesystem::path checkout = a.target;
  std::optional<std::string> repo_url;
  if (!a.url.empty()) repo_url = a.url;

  std::optional<TemporaryClone> clone;
  if (remote) {
    const std::string url = runner::clone_url(a.target);
    if (!quiet) err << "quarnel: cloning " << shown_text(utils::forge::redact_url(url)) << '\n';
    clone.emplace(url, a.depth, a.keep_clone);
    checkout = clone->dir();
    if (!repo_url) repo_url = url;
    // Where the kept clone is, is a result the user asked for: said under --quiet too.
    if (a.keep_clone) err << "quarnel: clone kept in " << shown_text(checkout.native()) << '\n';
  } else if (const auto scheme = runner::url_scheme(a.target); scheme && !local) {
    err << "quarnel: error: " << shown_text(*scheme)
        << " is not a supported URL scheme; give an https, http, ssh, git or file URL, or the "
           "path of a checkout directory\n";
    return EXIT_USAGE;
  } else if (!local) {
    err << "quarnel: error: " << shown_text(shown)
        << " does not exist; give the path of a checkout directory or a repository URL\n";
    return EXIT_USAGE;
  } else if (!utils::fs::is_directory(checkout)) {
    err << "quarnel: error: " << shown_text(shown)
        << " is not a directory; give the path of a checkout directory\n";
    return EXIT_USAGE;
  } else if (was_removed(checkout)) {
    err << "quarnel: error: " << shown_text(shown)
        << " was removed; change into the checkout again or give its path\n";
    return EXIT_USAGE;
  } else if (const auto reason = unlistable_reason(checkout)) {
    err << "quarnel: error: " << shown_text(shown) << " cannot be read (" << *reason
        << "); give the path of a checkout directory you can list and enter\n";
    return EXIT_USAGE;
  }

  // With a report file the checkout is taken now, as the run starts: the rule for the report
  // compares with this directory, whatever its name leads to by the time the report is written.
  std::optional<utils::fs::Checkout> taken;
  if (!a.output.empty()) taken.emplace(utils::fs::Checkout::take(checkout));

  runner::Settings settings;
  settings.only = split_ids(a.only);
  settings.skip = split_ids(a.skip);
  settings.display_path = remote ? utils::forge::redact_url(runner::clone_url(a.target)) : a.target;
  settings.config = build_config(
      a, checkout, remote ? std::optional<std::string>(settings.display_path) : std::nullopt);
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  settings.jobs = a.jobs != 0 ? a.jobs : std::min(processors, runner::MAX_JOBS);

  const bool live = !quiet && ::isatty(STDERR_FILENO) == 1;
  if (live) {
    settings.progress = [&err](std::size_t done, std::size_t total, std::string_view id) {
      err << "\r\033[K[" << done << '/' << total << "] " << id << std::flush;
    };
  }

  const core::context::Context context(checkout, repo_url, env_value("GITHUB_TOKEN"),
                                       env_value("GITLAB_TOKEN"), env_value("GITEA_TOKEN"),
                                       env_value("GITLAB_HOST"));
  const auto plugins = plugins::registry::builtin_plugins();
  const auto assessment = runner::assess(context, plugins, settings);
  if (live) err << "\r\033[K" << std::flush;

  reports::orchestrator::RenderOptions options;
  if (a.indent) options["indent"] = *a.indent;
  std::optional<std::filesystem::path> output;
  if (!a.output.empty()) output = a.output;
  // The checkout is untrusted: a report path inside it must not be a link it planted.
  const auto report =
      taken ? reports::orchestrator::generate_report(assessment, a.format, output, options, *taken)
            : reports::orchestrator::generate_report(assessment, a.format, output, options);
  if (output) {
    // At -v the report writer's own record says it already.
    const bool writer_says_it = utils::log::level() <= utils::log::Level::INFO;
    if (!quiet && !writer_says_it) {
      err << "quarnel: report written to " << shown_text(report) << '\n';
    }
  } else {
    const bool ends_line = report.empty() || report.back() == '\n';
    if (!write_stdout(out, err, ends_line ? report : report + '\n')) return EXIT_USAGE;
  }
  print_verdicts(assessment, quiet, err);
  if (assessment.quality_gate && !assessment.quality_gate->passed) return EXIT_GATE_FAILED;
  return EXIT_OK;
}

// The most of git's clone message that the error line keeps: its end, where git's cause is.
constexpr std::size_t MAX_CLONE_MESSAGE_BYTES = 1000;

// "cannot clone URL: MESSAGE" for a CloneError's message ("git clone failed: " and git's output,
// in which the URL's credentials are already hidden). The cause is often not on git's first line
// (the errno after "unable to connect", ssh's or the server's reason before git's generic
// follow-up), so the whole message is kept, its lines joined by spaces into the one line; only
// git's announcement of the clone goes, which names the temporary directory, already removed.
// A server can make it long: past the bound only its end is kept, from the start of a character.
std::string clone_failure(const std::string& url, std::string_view message) {
  constexpr std::string_view prefix = "git clone failed: ";
  if (message.starts_with(prefix)) message.remove_prefix(prefix.size());
  std::string joined;
  utils::text::for_each_part(message, "\n", [&](std::string_view raw) {
    const std::string line = utils::text::strip(raw);
    if (line.empty() || line.starts_with("Cloning into ")) return;
    if (!joined.empty()) joined += ' ';
    joined += line;
  });
  if (joined.size() > MAX_CLONE_MESSAGE_BYTES) {
    std::size_t start = joined.size() - MAX_CLONE_MESSAGE_BYTES;
    while (start < joined.size() && (static_cast<unsigned char>(joined[start]) & 0xC0) == 0x80) {
      ++start;
    }
    joined = "\u2026" + joined.substr(start);
  }
  return "cannot clone " + utils::forge::redact_url(url) +
         (joined.empty() ? std::string() : ": " + joined);
}

// A command or option typed that does not exist, and the command whose --help lists the right
// ones ("quarnel", "quarnel assess").
struct Mistake {
  std::string message;
  std::string help;
};

const CLI::Option* find_option(const CLI::App& app, const CLI::App* command,
                               const std::string& name) {
  if (command != nullptr) {
    if (const CLI::Option* option = command->get_option_no_throw(name)) return option;
  }
  // The program's own options (-q, -v) are taken after a command too.
  return app.get_option_no_throw(name);
}

bool takes_value(const CLI::Option& option) { return option.get_expected_max() > 0; }

struct OptionReading {
  bool known = false;
  // The option's value is the next argument.
  bool value_follows = false;
};

// An argument that starts with "-": "--name", "--name=value", "-x", a cluster of short flags
// ("-vq") or a short option with its value attached ("-fjson").
OptionReading read_option(const CLI::App& app, const CLI::App* command, const std::string& arg) {
  if (arg.starts_with("--")) {
    const auto equals = arg.find('=');
    const CLI::Option* option = find_option(app, command, arg.substr(0, equals));
    return {option != nullptr,
            option != nullptr && equals == std::string::npos && takes_value(*option)};
  }
  for (std::size_t at = 1; at < arg.size(); ++at) {
    const CLI::Option* option = find_option(app, command, std::string("-") + arg[at]);
    if (option == nullptr) return {};
    if (takes_value(*option)) return {true, at + 1 == arg.size()};
  }
  return {true, false};
}

// A typed word as a message quotes it: it may be a URL with a token in it, or megabytes long.
std::string quoted_word(std::string_view word) {
  return utils::text::repr_cut(utils::forge::redact_url(word));
}

// The first command or option of `args` that does not exist, read as the parser reads them. The
// parser itself would say "A subcommand is required" of a mistyped command and list what it did
// not expect, values included, in an order of its own; the user needs the word they mistyped.
std::optional<Mistake> first_unknown(const CLI::App& app, const std::vector<CLI::App*>& commands,
                                     const std::vector<std::string>& args) {
  const CLI::App* command = nullptr;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Everything after "--" is a value, whatever it looks like.
    if (arg == "--") break;
    if (arg.size() > 1 && arg.front() == '-') {
      const OptionReading reading = read_option(app, command, arg);
      if (!reading.known) {
        const std::string typed = arg.starts_with("--") ? arg.substr(0, arg.find('=')) : arg;
        return Mistake{"unknown option " + quoted_word(typed),
                       command != nullptr ? "quarnel " + command->get_name() : "quarnel"};
      }
      if (reading.value_follows) ++i;
      continue;
    }
    // After the command, a word is its own argument (the target).
    if (command != nullptr) continue;
    for (const CLI::App* candidate : commands) {
      if (candidate->check_name(arg)) command = candidate;
    }
    if (command == nullptr) {
      std::vector<std::string> names;
      for (const CLI::App* candidate : commands) names.push_back(candidate->get_name());
      std::sort(names.begin(), names.end());
      const std::string last = names.back();
      names.pop_back();
      return Mistake{"unknown command " + quoted_word(arg) + "; the commands are " +
                         utils::text::join(names, ", ") + " and " + last,
                     "quarnel"};
    }
  }
  return std::nullopt;
}

}  // namespace

void handle_stop_signals() {
  // A reader that went away (`quarnel ... | head`, a closed SSH session) would otherwise kill the
  // process mid-write, leaving its git children running and its clone behind; ignored, the
  // write fails like any other and the run ends the ordinary way. Children get the default
  // action back when they start.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : STOP_SIGNALS) sigaddset(&signals, signal);
  // Blocked before any other thread exists, so every thread inherits the mask and only the
  // waiting thread below ever takes these signals.
  if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  try {
    std::thread([signals] {
      int signal = 0;
      while (::sigwait(&signals, &signal) != 0) {
      }
      stop_on_signal(signal);
    }).detach();
  } catch (const std::system_error&) {
    // Without the thread the signals keep their default action of ending the process.
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  }
}

void finish_unless_stopping() {
  StopState& state = stop_state();
  state.exit_mutex.lock();
  // Left locked on purpose: the process is about to end, and a stop must not start now.
  if (state.stopping.load()) wait_for_stop();
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "quarnel assesses a software repository against the FAIR principles for research "
      "software.",
      "quarnel"};
  app.set_version_flag("--version", std::string("quarnel ") + std::string(VERSION));
  app.require_subcommand(1);
  app.fallthrough();
  bool verbose = false;
  bool quiet = false;
  app.add_flag("-v,--verbose", verbose, "Show debug messages on standard error");
  app.add_flag("-q,--quiet", quiet,
               "Show only errors, and warnings of what the assessment could not see, on "
               "standard error");

  auto* list = app.add_subcommand("indicators", "List the 17 FAIR indicators in catalogue order");
  std::string format = "text";
  list->add_option("--format", format, "Output format")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();

  auto* assess = app.add_subcommand(
      "assess", "Assess a checkout (or a repository URL, through a shallow clone)");
  AssessArgs assess_args;
  add_assess_options(*assess, assess_args);
  assess->footer(
      "Exit status: 0 assessed and the quality gate passed (or none is set), 1 the gate failed,\n"
      "2 the assessment could not run, 129 / 130 / 131 / 143 stopped by SIGHUP / SIGINT /\n"
      "SIGQUIT / SIGTERM. Forge tokens are read from GITHUB_TOKEN, GITLAB_TOKEN and GITEA_TOKEN;\n"
      "each is sent over HTTPS only and to its own host, GITLAB_TOKEN to gitlab.com or, when\n"
      "set, to GITLAB_HOST (a name or URL).");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return write_stdout(out, err, app.help()) ? EXIT_OK : EXIT_USAGE;
  } catch (const CLI::CallForAllHelp&) {
    return write_stdout(out, err, app.help("", CLI::AppFormatMode::All)) ? EXIT_OK : EXIT_USAGE;
  } catch (const CLI::CallForVersion& e) {
    return write_stdout(out, err, std::string(e.what()) + '\n') ? EXIT_OK : EXIT_USAGE;
  } catch (const CLI::ParseError& e) {
    if (const auto mistake = first_unknown(app, {list, assess}, args)) {
      err << "quarnel: error: " << shown_text(mistake->message) << "\nRun '" << mistake->help
          << " --help' for usage.\n";
      return EXIT_USAGE;
    }
    // The parser quotes what it refuses, and that may be a URL with a token in it.
    std::string message = e.what();
    for (const auto& arg : args) message = utils::url::redact_in(message, arg);
    err << "quarnel: error: " << shown_text(message) << "\nRun 'quarnel --help' for usage.\n";
    return EXIT_USAGE;
  }

  utils::log::set_level(verbose ? utils::log::Level::DEBUG
                        : quiet ? utils::log::Level::ERROR
                                : utils::log::Level::WARNING);

  try {
    if (list->parsed()) {
      const auto listing = format == "json" ? indicators_json() : indicators_table();
      return write_stdout(out, err, listing) ? EXIT_OK : EXIT_USAGE;
    }
    if (assess->parsed()) return assess_command(assess_args, quiet, out, err);
  } catch (const CloneError& e) {
    // A clone that failed because a stop killed its git is no failure to report.
    if (stopping()) wait_for_stop();
    err << "quarnel: error: "
        << shown_text(clone_failure(runner::clone_url(assess_args.target), e.what())) << '\n';
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    if (stopping()) wait_for_stop();
    err << "quarnel: error: " << shown_text(e.what()) << '\n';
    return EXIT_USAGE;
  }
  return EXIT_OK;
}

}  // namespace quarnel::cli
