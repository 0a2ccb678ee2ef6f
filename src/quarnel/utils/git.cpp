#include "quarnel/utils/git.hpp"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"

namespace quarnel::utils::git {

namespace stdfs = std::filesystem;

namespace {

// The query argument lists, fixed once.
const std::vector<std::string>& remote_url_args() {
  static const std::vector<std::string> args{"remote", "get-url", "origin"};
  return args;
}
const std::vector<std::string>& current_branch_args() {
  static const std::vector<std::string> args{"rev-parse", "--abbrev-ref", "HEAD"};
  return args;
}
const std::vector<std::string>& current_commit_args() {
  static const std::vector<std::string> args{"rev-parse", "HEAD"};
  return args;
}
const std::vector<std::string>& latest_tag_args() {
  static const std::vector<std::string> args{"describe", "--tags", "--abbrev=0"};
  return args;
}
const std::vector<std::string>& commit_count_args() {
  static const std::vector<std::string> args{"rev-list", "--count", "HEAD"};
  return args;
}

std::atomic<long long> query_timeout_ms{
    std::chrono::duration_cast<std::chrono::milliseconds>(QUERY_TIMEOUT).count()};

// The non-empty, non-"." pieces of a "/"-separated path, and whether it starts at the root.
struct PathPieces {
  bool rooted = false;
  std::vector<std::string_view> pieces;
};

PathPieces split_path(std::string_view path) {
  PathPieces result;
  result.rooted = !path.empty() && path.front() == '/';
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view piece = path.substr(start, end - start);
    if (!piece.empty() && piece != ".") result.pieces.push_back(piece);
    start = end + 1;
  }
  return result;
}

// `base` joined with `relative` the way a pure path joins and normalises: an absolute
// `relative` replaces `base`, "." pieces and repeated or trailing separators vanish, ".." stays.
// Testing "file/." or "file/" on the file system would wrongly fail where the joined path
// names an existing file.
stdfs::path pure_join(std::string_view base, std::string_view relative) {
  std::string joined;
  if ((!relative.empty() && relative.front() == '/') || base.empty()) {
    joined = relative;  // an empty base is the current directory, not the root
  } else {
    joined = std::string(base) + "/" + std::string(relative);
  }
  const PathPieces parts = split_path(joined);
  std::string out = parts.rooted ? "/" : "";
  for (std::size_t i = 0; i < parts.pieces.size(); ++i) {
    if (i > 0) out += '/';
    out += parts.pieces[i];
  }
  if (out.empty()) out = ".";
  return stdfs::path(out);
}

bool exists_no_throw(const stdfs::path& p) {
  std::error_code ec;
  return stdfs::exists(p, ec) && !ec;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The schemes of URLs that git reaches over a network transport.
inline constexpr std::array<std::string_view, 6> NETWORK_SCHEMES = {
    "https", "http", "ssh", "git+ssh", "ssh+git", "git",
};

// The path as a shell reads it back: as it is when it holds only characters no shell treats
// specially, else in single quotes, each "'" written as '\''.
std::string shell_quoted(std::string_view path) {
  const auto plain = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("+,-./:=@_^").find(c) != std::string_view::npos;
  };
  if (!path.empty() && std::all_of(path.begin(), path.end(), plain)) return std::string(path);
  std::string quoted = "'";
  for (const char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// What git says when it refuses a repository that another user owns, as the line of its
// message that holds it; git names the repository's directory after it, in single quotes.
constexpr std::string_view DUBIOUS_OWNERSHIP = "detected dubious ownership in repository at '";

// What git says of a clone that found no commits.
constexpr std::string_view EMPTY_CLONE = "You appear to have cloned an empty repository.";

// The warning for a checkout whose git refuses it that way, or none for any other failure.
std::optional<std::string> refusal_warning(const stdfs::path& checkout, std::string_view error) {
  const auto found = error.find(DUBIOUS_OWNERSHIP);
  if (found == std::string_view::npos) return std::nullopt;
  std::string_view reason = error.substr(found);
  reason = reason.substr(0, reason.find('\n'));
  const auto close = reason.rfind('\'');
  if (close < DUBIOUS_OWNERSHIP.size()) return std::nullopt;
  reason = reason.substr(0, close + 1);
  const std::string_view repository =
      reason.substr(DUBIOUS_OWNERSHIP.size(), close - DUBIOUS_OWNERSHIP.size());
  return "git refuses " + checkout.string() + ": " + std::string(reason) +
         "; to allow it, run: git config --global --add safe.directory " + shell_quoted(repository);
}

}  // namespace

std::optional<std::string_view> clone_transports(std::string_view url) {
  if (const auto separator = url.find("://"); separator != std::string_view::npos) {
    const std::string_view scheme = url.substr(0, separator);
    for (const std::string_view network : NETWORK_SCHEMES) {
      if (equal_ignoring_ascii_case(scheme, network)) return NETWORK_TRANSPORTS;
    }
    if (equal_ignoring_ascii_case(scheme, "file")) return FILE_TRANSPORT;
    return std::nullopt;
  }
  // git reads a ":" before any "/" as ssh's host:path; only the form with a user is taken for a
  // URL, "name:path" without one stays unrecognised.
  const auto colon = url.find(':');
  const auto at = url.find('@');
  if (colon == std::string_view::npos || at == std::string_view::npos || at > colon) {
    return std::nullopt;
  }
  if (const auto slash = url.find('/'); slash != std::string_view::npos && slash < colon) {
    return std::nullopt;
  }
  return NETWORK_TRANSPORTS;
}

std::vector<process::EnvVar> transport_environment(std::optional<std::string_view> transports) {
  // git exports these to what it runs (a hook, `rebase --exec`), and each would point the child
  // at another repository than the one it is started in: a query would answer for that one, a
  // clone would write into it.
  std::vector<process::EnvVar> settings;
  for (const std::string_view name : REPOSITORY_VARIABLES) {
    settings.push_back({std::string(name), std::nullopt});
  }
  if (transports) {
    // GIT_ALLOW_PROTOCOL outranks every protocol.*.allow setting of every configuration file,
    // and git hands it on to libcurl as the schemes a redirect may lead to.
    settings.push_back({"GIT_ALLOW_PROTOCOL", std::string(*transports)});
  } else {
    // No transport: git fetches no missing object at all where it knows GIT_NO_LAZY_FETCH, and
    // where it does not, the fetch finds no transport it may use.
    settings.push_back({"GIT_ALLOW_PROTOCOL", std::string(detail::no_transport_name())});
    settings.push_back({"GIT_NO_LAZY_FETCH", "1"});
  }
  return settings;
}

namespace detail {

std::string_view no_transport_name() {
  // An allow list needs one name, and no transport may bear it. A remote's `vcs` setting can
  // give any name to the helper that git then runs as "git remote-<name>": a program of that
  // name on PATH (a relative PATH entry is the checkout), else an alias. So the name is longer
  // than a file name may be, and holds "_", which no configuration key can; an alias in a
  // subsection, which can hold it, is only reached by git's guess at a mistyped command, and
  // the queries switch that guess off.
  static const std::string name = [] {
    std::string text = "no_transport";
    text.resize(256, '_');
    return text;
  }();
  return name;
}

std::chrono::milliseconds query_timeout() {
  return std::chrono::milliseconds(query_timeout_ms.load());
}

void set_query_timeout(std::chrono::milliseconds timeout) {
  query_timeout_ms.store(timeout.count());
}

std::string url_project_name(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  if (const auto slash = url.rfind('/'); slash != std::string_view::npos) {
    url.remove_prefix(slash + 1);
  }
  if (url.ends_with(".git")) url.remove_suffix(4);
  return std::string(url);
}

std::string path_name(std::string_view path) {
  const PathPieces parts = split_path(path);
  return parts.pieces.empty() ? std::string() : std::string(parts.pieces.back());
}

}  // namespace detail

struct GitRepo::Shared {
  std::atomic<bool> unanswered{false};
  // Whether git's refusal of the checkout has been said.
  std::atomic<bool> refusal_said{false};
};

GitRepo::GitRepo(std::filesystem::path path)
    : path_(std::move(path)), shared_(std::make_shared<Shared>()) {}

std::string GitRepo::run(const std::vector<std::string>& args) const {
  // A git that blocked once (a FIFO for .git/HEAD, a hung file system) blocks again: asking it
  // each time would cost one full time-out per query.
  if (shared_ && shared_->unanswered.load()) {
    throw ProcessTimeout("git did not answer earlier in " + path_.string());
  }
  // A checkout's own configuration can name an fsmonitor program that index-reading commands
  // (ls-files) would start, and an alias that git's guess at a mistyped command would run;
  // nothing from the assessed checkout may run, so both are switched off from the command line,
  // which outranks every configuration file and reaches the git processes that git starts.
  std::vector<std::string> argv{"git", "-c", "core.fsmonitor=false", "-c", "help.autocorrect=0"};
  argv.insert(argv.end(), args.begin(), args.end());
  process::RunOptions options;
  // A query reads what the checkout holds: it has no use for any transport, and a fetch would
  // run whatever command the checkout's configuration gives its remote. Its error messages are
  // read, never shown whole: in git's own words, whatever language the user reads.
  options.environment = transport_environment(std::nullopt);
  options.environment.push_back({"LC_ALL", "C"});
  // git's answer is input like any file of the checkout (an origin URL is whatever its
  // .git/config holds): one past the read limit is no answer, and nothing past it is kept.
  options.max_output = MAX_ANSWER_BYTES;
  // An empty path is the current directory, as for has_file and is_repo; chdir("") would fail.
  options.cwd = path_.empty() ? stdfs::path(".") : path_;
  options.timeout = detail::query_timeout();
  process::Completed done;
  try {
    done = process::run(argv, options);
  } catch (const ProcessTimeout&) {
    if (shared_ && !shared_->unanswered.exchange(true)) {
      log::get_logger("quarnel.utils.git")
          .unseen_warning(
              "git did not answer in %s; no further git queries are made for this checkout",
              options.cwd->string());
    }
    throw;
  }
  if (!done.ok()) {
    // A refusal looks like a checkout without history to every caller; the user must learn that
    // the answers are missing, and how to allow the checkout. quarnel never allows it itself:
    // the owner's configuration would then run.
    if (shared_ && !shared_->refusal_said.load()) {
      if (const auto warning = refusal_warning(*options.cwd, done.stderr_text);
          warning && !shared_->refusal_said.exchange(true)) {
        log::get_logger("quarnel.utils.git").unseen_warning("%s", *warning);
      }
    }
    throw GitError(text::strip(done.stderr_text));
  }
  return text::strip(done.stdout_text);
}

bool GitRepo::is_repo() const {
  std::error_code ec;
  return stdfs::is_directory(pure_join(path_.native(), ".git"), ec) && !ec;
}

std::optional<std::string> GitRepo::remote_url() const {
  try {
    return run(remote_url_args());
  } catch (const quarnel::Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> GitRepo::current_branch() const {
  try {
    return run(current_branch_args());
  } catch (const quarnel::Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> GitRepo::current_commit() const {
  try {
    return run(current_commit_args());
  } catch (const quarnel::Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> GitRepo::latest_tag() const {
  try {
    return run(latest_tag_args());
  } catch (const quarnel::Error&) {
    return std::nullopt;
  }
}

std::string GitRepo::project_name() const {
  const std::optional<std::string> url = remote_url();
  if (text::truthy(url)) return detail::url_project_name(*url);
  return detail::path_name(path_.native());
}

long long GitRepo::commit_count() const {
  std::string count;
  try {
    count = run(commit_count_args());
  } catch (const quarnel::Error&) {
    return 0;
  }
  long long value = 0;
  const char* first = count.data();
  const char* last = first + count.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || first == last) return 0;
  return value;
}

bool GitRepo::has_file(std::string_view relative_path) const {
  // A NUL would cut the name short at the system call and test some other path.
  if (relative_path.find('\0') != std::string_view::npos) return false;
  return exists_no_throw(pure_join(path_.native(), relative_path));
}

bool GitRepo::has_tracked_file(std::string_view relative_path) const {
  try {
    return !run({"ls-files", "--", std::string(relative_path)}).empty();
  } catch (const quarnel::Error&) {
    return false;
  }
}

std::filesystem::path temp_directory() {
  std::string variable;
  stdfs::path dir = "/tmp";
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    if (const char* value = ::secure_getenv(name); value != nullptr && *value != '\0') {
      variable = name;
      dir = value;
      break;
    }
  }
  std::error_code ec;
  const auto status = stdfs::status(dir, ec);
  if (stdfs::is_directory(status)) return dir;
  const std::string named = variable.empty() ? dir.string() : variable + " names " + dir.string();
  if (status.type() == stdfs::file_type::not_found) {
    throw OsError(named + (variable.empty() ? " does not exist" : ", which does not exist"));
  }
  if (!ec) {
    throw OsError(named +
                  (variable.empty() ? " is not a directory" : ", which is not a directory"));
  }
  throw OsError(named + (variable.empty() ? "" : ", which") +
                " cannot be reached: " + ec.message());
}

std::filesystem::path clone_repo(std::string_view url,
                                 const std::optional<std::filesystem::path>& dest,
                                 const std::optional<std::string>& branch, int depth) {
  stdfs::path target;
  if (dest) {
    target = *dest;
  } else {
    stdfs::path base;
    try {
      base = temp_directory();
    } catch (const OsError& e) {
      throw OsError(std::string("cannot create a temporary directory for the clone: ") + e.what());
    }
    std::string pattern = (base / TEMP_PREFIX).string() + "XXXXXX";
    // mkdtemp makes the directory with mode 0700: owner-only, as a clone may hold secrets.
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw OsError("cannot create a temporary directory for the clone: " +
                    std::string(std::strerror(errno)));
    }
    target = stdfs::path(pattern);
  }

  // "--" ends the options: a URL that starts with "-" is then a repository name to git, never
  // an option such as --upload-pack that would run a command.
  std::vector<std::string> argv{"git", "clone", "--depth", std::to_string(depth)};
  if (branch && !branch->empty()) {
    argv.push_back("--branch");
    argv.push_back(*branch);
  }
  argv.push_back("--");
  argv.emplace_back(url);
  argv.push_back(target.string());

  log::get_logger("quarnel.utils.git")
      .info("Cloning %s into %s", url::redact(url), target.string());

  process::RunOptions options;
  options.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(CLONE_TIMEOUT);
  // Whatever the user's configuration rewrites the URL into: a network URL that led to file://
  // would copy any repository of this machine, and ext:: runs a command.
  options.environment = transport_environment(clone_transports(url));
  // The cause of a failure is picked out of git's message by git's own words, whatever language
  // the user reads.
  options.environment.push_back({"LC_ALL", "C"});
  // What the server sends is shown through git's messages; no more of it is kept than of an
  // answer.
  options.max_output = MAX_ANSWER_BYTES;
  const process::Completed done = process::run(argv, options);
  if (!done.ok()) {
    const std::string message = url::redact_in(text::strip(done.stderr_text), url);
    // The error keeps one line of it; the whole of it is there for whoever asks.
    const log::Logger& logger = log::get_logger("quarnel.utils.git");
    text::for_each_part(message, "\n", [&logger](std::string_view line) {
      if (!text::strip(line).empty()) logger.debug("git clone: %s", std::string(line));
    });
    throw CloneError("git clone failed: " + message);
  }
  // git clones a repository without commits (or a web server that answers every request) with
  // success and an empty checkout, which every check would then read as the repository.
  if (text::find_linear(done.stderr_text, EMPTY_CLONE) != std::string::npos) {
    log::get_logger("quarnel.utils.git")
        .unseen_warning(
            "the repository at %s has no commits; the assessment sees an empty checkout",
            url::redact(url));
  }
  return target;
}

}  // namespace quarnel::utils::git
