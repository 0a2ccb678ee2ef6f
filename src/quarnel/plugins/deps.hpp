#pragma once

// The external things a plug-in may depend on (Python packages, programs, container images,
// shared libraries, API services, git repositories pinned to a commit): whether each is present
// on this machine, memoised for the life of the process, and installing the kinds that can be
// installed automatically.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quarnel/core/models.hpp"
#include "quarnel/error.hpp"

namespace quarnel::plugins::deps {

using core::models::PluginDependency;

// The outcome of checking one dependency.
struct DependencyStatus {
  std::string name;
  bool met = false;
  // The installed version of a Python package, the first output line of a program's check
  // command, the file name of a shared library, or the pinned commit of a git repository.
  std::optional<std::string> version_found;
  std::string install_hint;
  std::optional<std::string> fallback_behavior;
  // Why the record could not be checked at all.
  std::optional<std::string> error;
  bool operator==(const DependencyStatus&) const = default;
};

// A probe that could not give an answer: the Python interpreter reported an error for the
// module lookup, or the dynamic linker's cache could not be listed.
class DependencyProbeError : public Error {
 public:
  using Error::Error;
};

// The status of `dep`, probed once per type and name until the memo is cleared (or an install
// of that dependency succeeds). Two records of the same type and name share one answer, that
// of whichever was checked first. An error raised by a probe reaches the caller and leaves
// nothing in the memo.
DependencyStatus check_dependency(const PluginDependency& dep);

// One status per record, in order; an error for one record ends the call, keeping what was
// memoised before it.
std::vector<DependencyStatus> check_all(const std::vector<PluginDependency>& deps);

// The statuses of the required records that are not met, in order. Records that are not
// required are not checked.
std::vector<DependencyStatus> unmet_required(const std::vector<PluginDependency>& deps);

// Forgets every memoised answer.
void clear_cache();

// Installs a Python package, container image or pinned git repository. True only when the
// installer reported success, after which the dependency's memo entry is dropped so the next
// check looks at the machine afresh. Raises nothing for a failed or refused installation: the
// details go to the "quarnel.plugins.deps" log.
bool try_install(const PluginDependency& dep);

namespace detail {

// The memo: one process-wide map, safe to use from concurrent checks. Probes run outside its
// lock; when two threads probe the same key at once, the answer stored first is kept and
// handed to both.
class CheckCache {
 public:
  std::optional<DependencyStatus> find(const std::string& key) const;
  // Stores `status` unless the key already has an answer; returns the stored answer.
  DependencyStatus insert(const std::string& key, DependencyStatus status);
  void erase(const std::string& key);
  void clear();
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, DependencyStatus> entries_;
};

CheckCache& check_cache();

// "<type>:<name>".
std::string cache_key(const PluginDependency& dep);

// The whole text is 7 to 40 lower-case hexadecimal digits.
bool is_hex_sha(std::string_view value);

// ~/.cache/quarnel/deps/<name>-<first 7 of commit_hash>; none when the commit hash is empty or
// not hex, or when the name holds a "/" or a NUL (the leaf would leave the cache directory).
// Raises OsError when the home directory cannot be determined.
std::optional<std::filesystem::path> git_cache_dir(const PluginDependency& dep);

// $HOME when set and non-empty, else the password database's entry; OsError when neither.
std::filesystem::path home_dir();

// The executable a name stands for: a name with a "/" is taken as a path; otherwise the
// absolute entries of PATH are searched in order (default "/bin:/usr/bin"). Empty and relative
// entries are skipped so that nothing in the working directory (possibly the assessed
// checkout) is ever picked up. Only executable regular files count.
std::optional<std::filesystem::path> find_program(std::string_view name);

// Words of a command line split as a POSIX shell splits them: single quotes literal, double
// quotes with backslash escaping only \ and ", backslash escaping any character outside quotes;
// nothing is expanded and no operator or comment is recognised. ValueError for an unclosed
// quote or a trailing backslash.
std::vector<std::string> split_command(std::string_view command);

// The Python interpreter whose packages are checked and installed: python3 on PATH, resolved
// by find_program. ProcessStartError when there is none.
std::filesystem::path python_interpreter();

// Asks the interpreter whether it can find the module `name` (without importing it; parent
// packages of a dotted name are imported, as Python must to find the child) and, when found,
// the version of the installed distribution of the same name. A missing module, also one whose
// parent package is missing, is not found. DependencyProbeError for any other failure of the
// lookup; ProcessStartError / ProcessTimeout / DecodeError from running the interpreter.
struct PythonModuleInfo {
  bool found = false;
  std::optional<std::string> version;
};
PythonModuleInfo python_module_info(std::string_view name);

// The file name of the shared library that the dynamic linker would load for the short name
// `name` ("z" gives "libz.so.1"): the first entry of `ldconfig -p` for this architecture whose
// name is lib<name>.so or lib<name>.so.<anything>; none when there is no such entry.
// ldconfig is taken from PATH, else /usr/sbin or /sbin. DependencyProbeError when it exits
// unsuccessfully, the process errors when it cannot be run.
std::optional<std::string> find_library(std::string_view name);

// The matching entry of an `ldconfig -p` listing. `abi` is the flag text of this architecture
// ("libc6,x86-64"); empty accepts every entry.
std::optional<std::string> find_library_in_listing(std::string_view listing, std::string_view name,
                                                   std::string_view abi);

// Time limits of the child processes. Adjustable so that tests need not wait for them.
struct Timeouts {
  std::chrono::milliseconds check_command{5000};
  std::chrono::milliseconds image_inspect{10000};
  std::chrono::milliseconds python_lookup{30000};
  std::chrono::milliseconds library_lookup{10000};
  std::chrono::milliseconds pip_install{120000};
  std::chrono::milliseconds docker_pull{300000};
  std::chrono::milliseconds git_clone{120000};
  std::chrono::milliseconds git_checkout{30000};
};
Timeouts& timeouts();

DependencyStatus check_python_package(const PluginDependency& dep);
DependencyStatus check_executable(const PluginDependency& dep);
DependencyStatus check_docker_image(const PluginDependency& dep);
DependencyStatus check_api_service(const PluginDependency& dep);
DependencyStatus check_system_library(const PluginDependency& dep);
DependencyStatus check_git_repository(const PluginDependency& dep);

bool install_python_package(const PluginDependency& dep);
bool install_docker_image(const PluginDependency& dep);
bool install_git_repo(const PluginDependency& dep);

}  // namespace detail

}  // namespace quarnel::plugins::deps
