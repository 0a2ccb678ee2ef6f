#include "quarnel/plugins/deps.hpp"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>

#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/git.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"

namespace quarnel::plugins::deps {

namespace stdfs = std::filesystem;
namespace process = utils::process;
namespace text = utils::text;

namespace {

const utils::log::Logger& logger() { return utils::log::get_logger("quarnel.plugins.deps"); }

// Runs a program that the caller names by itself ("docker", "git", the first word of a check
// command). The runner resolves it the same way; looking it up here first keeps this module's
// own wording of a program that is not there.
process::Completed run_program(std::vector<std::string> argv, std::chrono::milliseconds timeout,
                               const std::optional<stdfs::path>& cwd = std::nullopt,
                               std::vector<process::EnvVar> environment = {}) {
  if (!argv.empty() && argv.front().find('/') == std::string::npos) {
    const auto program = process::find_program(argv.front());
    if (!program) {
      throw ProcessStartError("program not found on the executable search path: " + argv.front());
    }
    argv.front() = program->string();
  }
  process::RunOptions options;
  options.timeout = timeout;
  options.cwd = cwd;
  options.environment = std::move(environment);
  return process::run(argv, options);
}

// The record's hint, or the default when the record gives none.
std::string hint_or(const PluginDependency& dep, std::string fallback) {
  return dep.install_hint.empty() ? std::move(fallback) : dep.install_hint;
}

// The lookup runs in a fixed script and takes the module name from its argument vector, so no
// name can ever become Python source. Whatever the imported parent packages of a dotted name
// print goes to standard error; the answer is the last line of standard output.
constexpr std::string_view MODULE_LOOKUP_SCRIPT = R"PY(import sys
import json
import importlib.util
name = sys.argv[1]
out = sys.stdout
sys.stdout = sys.stderr
try:
    found = importlib.util.find_spec(name) is not None
except ModuleNotFoundError:
    found = False
version = None
if found:
    try:
        import importlib.metadata
        version = importlib.metadata.version(name)
    except Exception:
        version = None
    if not isinstance(version, str):
        version = None
out.write("\n" + json.dumps([found, version]) + "\n")
out.flush()
)PY";

std::string_view last_line(std::string_view output) {
  while (!output.empty() && output.back() == '\n') output.remove_suffix(1);
  const auto at = output.rfind('\n');
  return at == std::string_view::npos ? output : output.substr(at + 1);
}

std::string_view this_abi() {
#if defined(__x86_64__) && !defined(__ILP32__)
  return "libc6,x86-64";
#elif defined(__aarch64__)
  return "libc6,AArch64";
#else
  return "";
#endif
}

bool is_executable_file(const stdfs::path& path) {
  std::error_code ec;
  return stdfs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

// --- Memo --------------------------------------------------------------------------------------

namespace detail {

std::optional<DependencyStatus> CheckCache::find(const std::string& key) const {
  const std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

DependencyStatus CheckCache::insert(const std::string& key, DependencyStatus status) {
  const std::lock_guard lock(mutex_);
  return entries_.try_emplace(key, std::move(status)).first->second;
}

void CheckCache::erase(const std::string& key) {
  const std::lock_guard lock(mutex_);
  entries_.erase(key);
}

void CheckCache::clear() {
  const std::lock_guard lock(mutex_);
  entries_.clear();
}

std::size_t CheckCache::size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

CheckCache& check_cache() {
  static CheckCache cache;
  return cache;
}

std::string cache_key(const PluginDependency& dep) { return dep.type + ":" + dep.name; }

Timeouts& timeouts() {
  static Timeouts values;
  return values;
}

// --- Platform lookups --------------------------------------------------------------------------

bool is_hex_sha(std::string_view value) {
  if (value.size() < 7 || value.size() > 40) return false;
  for (const char c : value) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

stdfs::path home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return stdfs::path(home);
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') {
    throw OsError("cannot determine the home directory");
  }
  return stdfs::path(found->pw_dir);
}

std::optional<stdfs::path> git_cache_dir(const PluginDependency& dep) {
  if (!is_hex_sha(dep.commit_hash)) return std::nullopt;
  if (dep.name.find('/') != std::string::npos || dep.name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return home_dir() / ".cache" / "quarnel" / "deps" /
         (dep.name + "-" + dep.commit_hash.substr(0, 7));
}

std::optional<stdfs::path> find_program(std::string_view name) {
  return process::find_program(name);
}

std::vector<std::string> split_command(std::string_view command) {
  enum class State { Plain, Single, Double };
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  State state = State::Plain;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    switch (state) {
      case State::Plain:
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
          if (in_word) words.push_back(std::exchange(word, {}));
          in_word = false;
        } else if (c == '\\') {
          if (i + 1 >= command.size()) throw ValueError("No escaped character");
          word += command[++i];
          in_word = true;
        } else if (c == '\'') {
          state = State::Single;
          in_word = true;
        } else if (c == '"') {
          state = State::Double;
          in_word = true;
        } else {
          word += c;
          in_word = true;
        }
        break;
      case State::Single:
        if (c == '\'') {
          state = State::Plain;
        } else {
          word += c;
        }
        break;
      case State::Double:
        if (c == '"') {
          state = State::Plain;
        } else if (c == '\\') {
          if (i + 1 >= command.size()) throw ValueError("No closing quotation");
          const char next = command[++i];
          if (next != '"' && next != '\\') word += '\\';
          word += next;
        } else {
          word += c;
        }
        break;
    }
  }
  if (state != State::Plain) throw ValueError("No closing quotation");
  if (in_word) words.push_back(std::move(word));
  return words;
}

stdfs::path python_interpreter() {
  auto path = find_program("python3");
  if (!path) throw ProcessStartError("no python3 on the executable search path");
  return *path;
}

PythonModuleInfo python_module_info(std::string_view name) {
  // -P keeps the working directory (which may be the assessed checkout) off the module path.
  process::RunOptions options;
  options.timeout = timeouts().python_lookup;
  const auto done = process::run({python_interpreter().string(), "-P", "-c",
                                  std::string(MODULE_LOOKUP_SCRIPT), std::string(name)},
                                 options);
  if (!done.ok()) {
    // The last line of a traceback names the exception.
    const std::string trimmed = text::strip(done.stderr_text);
    throw DependencyProbeError("python module lookup failed for " + text::repr(name) + ": " +
                               std::string(last_line(trimmed)));
  }
  try {
    const auto answer = utils::json::parse(last_line(done.stdout_text));
    if (answer.is_array() && answer.size() == 2 && answer[0].is_boolean() &&
        (answer[1].is_null() || answer[1].is_string())) {
      PythonModuleInfo info;
      info.found = answer[0].get<bool>();
      if (info.found && answer[1].is_string()) info.version = answer[1].get<std::string>();
      return info;
    }
  } catch (const JsonSyntaxError&) {
    // Reported below like any other answer of the wrong shape.
  }
  throw DependencyProbeError("python module lookup gave no answer for " + text::repr(name));
}

std::optional<std::string> find_library_in_listing(std::string_view listing, std::string_view name,
                                                   std::string_view abi) {
  const std::string base = "lib" + std::string(name) + ".so";
  for (const auto& raw : text::split(listing, "\n")) {
    const std::string line = text::strip(raw);
    const auto open = line.find(" (");
    if (open == std::string::npos) continue;
    const auto close = line.find(')', open);
    if (close == std::string::npos) continue;
    const std::string_view soname(line.data(), open);
    const std::string_view flags(line.data() + open + 2, close - open - 2);
    if (soname != base && !(soname.size() > base.size() + 1 && soname.starts_with(base) &&
                            soname[base.size()] == '.')) {
      continue;
    }
    if (!abi.empty() && flags != abi &&
        !(flags.size() > abi.size() && flags.starts_with(abi) && flags[abi.size()] == ',')) {
      continue;
    }
    return std::string(soname);
  }
  return std::nullopt;
}

std::optional<std::string> find_library(std::string_view name) {
  if (name.empty()) return std::nullopt;
  auto ldconfig = find_program("ldconfig");
  for (const char* fallback : {"/usr/sbin/ldconfig", "/sbin/ldconfig"}) {
    if (ldconfig) break;
    if (is_executable_file(fallback)) ldconfig = stdfs::path(fallback);
  }
  if (!ldconfig) throw ProcessStartError("ldconfig not found");
  process::RunOptions options;
  options.timeout = timeouts().library_lookup;
  const auto done = process::run({ldconfig->string(), "-p"}, options);
  if (!done.ok()) {
    throw DependencyProbeError("ldconfig -p failed: " + text::strip(done.stderr_text));
  }
  return find_library_in_listing(done.stdout_text, name, this_abi());
}

// --- Checkers ----------------------------------------------------------------------------------

DependencyStatus check_python_package(const PluginDependency& dep) {
  const auto info = python_module_info(dep.name);
  if (info.found) return {.name = dep.name, .met = true, .version_found = info.version};
  return {.name = dep.name,
          .met = false,
          .install_hint = hint_or(dep, "pip install " + dep.name),
          .fallback_behavior = dep.fallback_behavior};
}

DependencyStatus check_executable(const PluginDependency& dep) {
  if (!find_program(dep.name)) {
    return {.name = dep.name,
            .met = false,
            .install_hint = dep.install_hint,
            .fallback_behavior = dep.fallback_behavior};
  }
  std::optional<std::string> version;
  if (!dep.check_command.empty()) {
    try {
      auto words = split_command(dep.check_command);
      if (words.empty()) throw ValueError("check command has no words");
      const auto done = run_program(std::move(words), timeouts().check_command);
      std::string first = text::strip(done.stdout_text);
      if (const auto end = first.find('\n'); end != std::string::npos) first.resize(end);
      version = std::move(first);
    } catch (const std::exception&) {
      // Present all the same; only the version is unknown.
      version = std::nullopt;
    }
  }
  return {.name = dep.name, .met = true, .version_found = version};
}

DependencyStatus check_docker_image(const PluginDependency& dep) {
  const auto docker = find_program("docker");
  if (!docker) {
    return {.name = dep.name,
            .met = false,
            .install_hint = "Docker is not installed",
            .fallback_behavior = dep.fallback_behavior};
  }
  try {
    const auto done = run_program({docker->string(), "image", "inspect", "--", dep.name},
                                  timeouts().image_inspect);
    if (done.ok()) return {.name = dep.name, .met = true};
  } catch (const std::exception& error) {
    logger().debug("docker inspect failed: %s", error.what());
  }
  return {.name = dep.name,
          .met = false,
          .install_hint = hint_or(dep, "docker pull " + dep.name),
          .fallback_behavior = dep.fallback_behavior};
}

DependencyStatus check_api_service(const PluginDependency& dep) {
  return {.name = dep.name, .met = true, .install_hint = dep.install_hint};
}

DependencyStatus check_system_library(const PluginDependency& dep) {
  const auto found = find_library(dep.name);
  if (found && !found->empty()) return {.name = dep.name, .met = true, .version_found = *found};
  return {.name = dep.name,
          .met = false,
          .install_hint = dep.install_hint,
          .fallback_behavior = dep.fallback_behavior};
}

DependencyStatus check_git_repository(const PluginDependency& dep) {
  if (dep.commit_hash.empty() && dep.release_tag.empty()) {
    return {.name = dep.name,
            .met = false,
            .install_hint = dep.install_hint,
            .error = "git dep '" + dep.name + "' needs commit_hash or release_tag"};
  }
  if (dep.repo_url.empty()) {
    return {.name = dep.name, .met = false, .error = "git dep '" + dep.name + "' has no repo_url"};
  }
  if (const auto dir = git_cache_dir(dep)) {
    std::error_code ec;
    const bool present = stdfs::exists(*dir, ec);
    if (ec) throw OsError("cannot test " + dir->string() + ": " + ec.message());
    if (present) return {.name = dep.name, .met = true, .version_found = dep.commit_hash};
  }
  return {.name = dep.name,
          .met = false,
          .install_hint = hint_or(dep, "git clone " + utils::forge::redact_url(dep.repo_url)),
          .fallback_behavior = dep.fallback_behavior};
}

// --- Installers --------------------------------------------------------------------------------

bool install_python_package(const PluginDependency& dep) {
  const std::string requirement = dep.name + dep.version_constraint;
  logger().info("Installing Python package: %s", requirement);
  process::RunOptions options;
  options.timeout = timeouts().pip_install;
  // -P: the working directory may be the assessed checkout, and "-m pip" would otherwise
  // find a "pip" package there first.
  const auto done = process::run(
      {python_interpreter().string(), "-P", "-m", "pip", "install", "--", requirement}, options);
  if (done.ok()) return true;
  logger().warning("pip install failed: %s", text::strip(done.stderr_text));
  return false;
}

bool install_docker_image(const PluginDependency& dep) {
  const auto docker = find_program("docker");
  if (!docker) return false;
  logger().info("Pulling Docker image: %s", dep.name);
  return run_program({docker->string(), "pull", "--", dep.name}, timeouts().docker_pull).ok();
}

bool install_git_repo(const PluginDependency& dep) {
  if (dep.repo_url.empty() || dep.commit_hash.empty()) return false;
  if (!is_hex_sha(dep.commit_hash)) {
    logger().warning("commit_hash %r is not valid hex SHA, skipping", dep.commit_hash);
    return false;
  }
  const auto dir = git_cache_dir(dep);
  if (!dir) return false;
  stdfs::create_directories(dir->parent_path());
  logger().info("Cloning %s to %s", utils::forge::redact_url(dep.repo_url), dir->string());
  // Cloned like a URL target, by the transports that the URL's scheme allows.
  const auto clone = run_program(
      {"git", "clone", "--", dep.repo_url, dir->string()}, timeouts().git_clone, std::nullopt,
      utils::git::transport_environment(utils::git::clone_transports(dep.repo_url)));
  if (!clone.ok()) {
    logger().warning("git clone failed: %s",
                     utils::url::redact_in(text::strip(clone.stderr_text), dep.repo_url));
    return false;
  }
  // The pinned commit is in the full clone just made: the checkout needs no transport.
  const auto checkout = run_program({"git", "checkout", dep.commit_hash}, timeouts().git_checkout,
                                    *dir, utils::git::transport_environment(std::nullopt));
  if (!checkout.ok()) {
    logger().warning("git checkout failed: %s", text::strip(checkout.stderr_text));
    return false;
  }
  return true;
}

}  // namespace detail

// --- Entry points ------------------------------------------------------------------------------

namespace {

using Checker = DependencyStatus (*)(const PluginDependency&);
using Installer = bool (*)(const PluginDependency&);

template <typename F>
struct Entry {
  std::string_view type;
  F operation;
};

constexpr std::array<Entry<Checker>, 6> CHECKERS = {{
    {"python_package", &detail::check_python_package},
    {"executable", &detail::check_executable},
    {"docker_image", &detail::check_docker_image},
    {"api_service", &detail::check_api_service},
    {"system_library", &detail::check_system_library},
    {"git_repository", &detail::check_git_repository},
}};

constexpr std::array<Entry<Installer>, 3> INSTALLERS = {{
    {"python_package", &detail::install_python_package},
    {"docker_image", &detail::install_docker_image},
    {"git_repository", &detail::install_git_repo},
}};

template <typename F, std::size_t N>
F lookup(const std::array<Entry<F>, N>& table, std::string_view type) {
  for (const auto& entry : table) {
    if (entry.type == type) return entry.operation;
  }
  return nullptr;
}

}  // namespace

DependencyStatus check_dependency(const PluginDependency& dep) {
  const std::string key = detail::cache_key(dep);
  if (auto hit = detail::check_cache().find(key)) return *std::move(hit);
  const Checker checker = lookup(CHECKERS, dep.type);
  DependencyStatus status = checker != nullptr
                                ? checker(dep)
                                : DependencyStatus{.name = dep.name,
                                                   .met = false,
                                                   .install_hint = dep.install_hint,
                                                   .error = "Unknown dependency type: " + dep.type};
  return detail::check_cache().insert(key, std::move(status));
}

std::vector<DependencyStatus> check_all(const std::vector<PluginDependency>& deps) {
  std::vector<DependencyStatus> statuses;
  statuses.reserve(deps.size());
  for (const auto& dep : deps) statuses.push_back(check_dependency(dep));
  return statuses;
}

std::vector<DependencyStatus> unmet_required(const std::vector<PluginDependency>& deps) {
  std::vector<DependencyStatus> unmet;
  for (const auto& dep : deps) {
    if (!dep.required) continue;
    auto status = check_dependency(dep);
    if (!status.met) unmet.push_back(std::move(status));
  }
  return unmet;
}

void clear_cache() { detail::check_cache().clear(); }

bool try_install(const PluginDependency& dep) {
  const Installer installer = lookup(INSTALLERS, dep.type);
  if (installer == nullptr) {
    logger().debug("no auto-installer for dep type %s", dep.type);
    return false;
  }
  try {
    const bool ok = installer(dep);
    if (ok) detail::check_cache().erase(detail::cache_key(dep));
    return ok;
  } catch (const std::exception& error) {
    logger().warning("auto-install failed for %s: %s", dep.name, error.what());
    return false;
  }
}

}  // namespace quarnel::plugins::deps
