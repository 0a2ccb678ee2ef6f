#include "quarnel/utils/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "quarnel/error.hpp"

namespace quarnel::utils::fs {

namespace {

// Closes the descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) {
        ::close(fd_);
      }
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  // Closes now, so that a failing close (a full disk on a network file system) is reported.
  int release_and_close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// The path as it should appear in a message: quoted, with control characters escaped, since a
// name from an untrusted checkout may hold anything.
std::string shown(const stdfs::path& path) {
  return text::repr(text::decode_raw(path.native(), text::DecodeMode::Replace));
}

[[noreturn]] void fail(const stdfs::path& path, std::string_view reason) {
  throw OsError(std::string(reason) + ": " + shown(path));
}

[[noreturn]] void fail_errno(const stdfs::path& path, int err) {
  fail(path, std::generic_category().message(err));
}

// True when the absolute, normalised `inner` is `outer` or lies below it.
bool within(std::string_view inner, std::string_view outer) {
  if (outer.empty() || inner.empty()) {
    return false;
  }
  if (outer == "/") {
    return inner.front() == '/';
  }
  return inner.starts_with(outer) && (inner.size() == outer.size() || inner[outer.size()] == '/');
}

// within for paths already resolved or normalised; a trailing separator on `outer` is ignored.
bool is_within(const stdfs::path& inner, const stdfs::path& outer) {
  std::string_view base = outer.native();
  if (base.size() > 1 && base.ends_with('/')) base.remove_suffix(1);
  return within(inner.native(), base);
}

stdfs::path resolved(const stdfs::path& path) {
  std::error_code ec;
  // The empty path names the working directory, as "." does; absolute() refuses it.
  const stdfs::path absolute = stdfs::absolute(path.empty() ? stdfs::path(".") : path, ec);
  if (ec) {
    return {};
  }
  stdfs::path out = stdfs::weakly_canonical(absolute, ec);
  if (ec) {
    return {};
  }
  return out;
}

// The location the open descriptor really refers to, as the kernel sees it. This closes the
// window in which a link could be swapped between resolving the path and opening it.
// Without /proc there is no answer, and the check made before opening has to do.
std::optional<stdfs::path> opened_location(int fd) {
  std::error_code ec;
  stdfs::path out = stdfs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  if (ec) {
    return std::nullopt;
  }
  return out;
}

void check_within_root(const stdfs::path& path, const stdfs::path& location,
                       const stdfs::path& root) {
  if (location.empty() || root.empty() || !is_within(location, root)) {
    fail(path, "outside the checkout");
  }
}

// Opens a file of the checkout for reading: a regular file after following links, and, when
// `root` is given, one that resolves inside it. `size` is what fstat reports. OsError otherwise.
Descriptor open_for_reading(const stdfs::path& path, const std::optional<stdfs::path>& root,
                            std::uintmax_t& size) {
  stdfs::path resolved_root;
  if (root) {
    // Checked before opening too: merely opening some devices has effects.
    resolved_root = resolved(*root);
    const stdfs::path location = resolved(path);
    // A path that cannot be resolved at all (a looping link) is refused for that reason; calling
    // it a way out of the checkout would send the user looking in the wrong place.
    if (struct stat st; location.empty() && ::stat(path.c_str(), &st) != 0) {
      fail_errno(path, errno);
    }
    check_within_root(path, location, resolved_root);
  }

  // Merely opening a FIFO or device can have effects, so anything that is not a regular file
  // is refused unopened. A failing stat is left to the open below, which reports it.
  if (struct stat before; ::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
    fail(path, "not a regular file");
  }

  // The fstat after opening still decides: the entry may be swapped in between. O_NONBLOCK
  // keeps the open of a FIFO from waiting for a writer; O_NOCTTY keeps a terminal from
  // becoming ours.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    fail_errno(path, errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    fail_errno(path, errno);
  }
  if (!S_ISREG(st.st_mode)) {
    fail(path, "not a regular file");
  }
  if (root) {
    if (const auto location = opened_location(fd.get())) {
      check_within_root(path, *location, resolved_root);
    }
  }
  size = st.st_size < 0 ? 0 : static_cast<std::uintmax_t>(st.st_size);
  return fd;
}

// Appends to `out` until it holds `limit` bytes or the file ends; false when it ended.
bool read_up_to(int fd, const stdfs::path& path, std::string& out, std::size_t limit) {
  char buffer[65536];
  while (out.size() < limit) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - out.size()));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail_errno(path, errno);
    }
    if (n == 0) {
      return false;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// `bytes` without a UTF-8 sequence that their end cuts short.
std::string_view whole_characters(std::string_view bytes) {
  // The last sequence starts at most three bytes back, or it is complete (or invalid anyway).
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) {
      continue;
    }
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? bytes.substr(0, bytes.size() - back) : bytes;
  }
  return bytes;
}

}  // namespace

bool exists(const stdfs::path& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const stdfs::path& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const stdfs::path& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_symlink(const stdfs::path& path) noexcept {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool entry_exists(const stdfs::path& path) noexcept {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

stdfs::path checkout_dir(const stdfs::path& repo) { return repo.empty() ? stdfs::path(".") : repo; }

bool resolves_inside(const stdfs::path& path, const stdfs::path& root) noexcept {
  try {
    std::error_code ec;
    const stdfs::path target = stdfs::canonical(checkout_dir(path), ec);
    if (ec) return false;
    const stdfs::path base = stdfs::canonical(checkout_dir(root), ec);
    if (ec) return false;
    return is_within(target, base);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::optional<stdfs::path> named_directory(const stdfs::path& repo, const stdfs::path& name) {
  const stdfs::path root = checkout_dir(repo);
  if (name.empty()) {
    // The checkout itself may be reached through a link: that is where the caller put it.
    if (!utils::fs::is_directory(root)) return std::nullopt;
    return root;
  }
  stdfs::path dir = root / name;
  // The directory test follows links and fails on a dangling or looping one; the resolved
  // location then decides whether a link kept it inside the checkout.
  if (!utils::fs::is_directory(dir) || !resolves_inside(dir, root)) return std::nullopt;
  return dir;
}

std::string read_bytes(const stdfs::path& path, const std::optional<stdfs::path>& root) {
  std::uintmax_t size = 0;
  const Descriptor fd = open_for_reading(path, root, size);
  if (size > MAX_READ_BYTES) {
    fail(path, "larger than 8 MiB");
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(size));
  // One byte past the cap tells a file that grew while it was read: the cap holds for what is
  // read, not for what fstat said.
  read_up_to(fd.get(), path, out, MAX_READ_BYTES + 1);
  if (out.size() > MAX_READ_BYTES) {
    fail(path, "larger than 8 MiB");
  }
  return out;
}

std::string read_text_prefix(const stdfs::path& path, std::size_t max_chars, text::DecodeMode mode,
                             const std::optional<stdfs::path>& root) {
  if (mode == text::DecodeMode::Strict) {
    throw ValueError("a text prefix is read with undecodable bytes replaced or dropped");
  }
  std::uintmax_t size = 0;
  const Descriptor fd = open_for_reading(path, root, size);
  // A character takes at most four bytes, so the first read holds enough for any valid text;
  // only bytes that decoding drops or replaces can call for more.
  std::size_t want =
      max_chars < MAX_READ_BYTES / 4 ? std::max<std::size_t>(max_chars * 4, 1) : MAX_READ_BYTES;
  std::string bytes;
  for (;;) {
    const bool at_end = !read_up_to(fd.get(), path, bytes, want);
    const bool last = at_end || bytes.size() >= MAX_READ_BYTES;
    // Decoding a prefix gives a prefix of the whole text's characters, once a character cut
    // by the end of what was read is held back (a CR at that end becomes LF either way).
    std::string decoded = text::decode(at_end ? bytes : whole_characters(bytes), mode);
    if (last || text::length(decoded) >= max_chars) {
      decoded.resize(text::first_characters(decoded, max_chars).size());
      return decoded;
    }
    want = std::min(MAX_READ_BYTES, want * 2);
  }
}

std::string read_text(const stdfs::path& path, text::DecodeMode mode,
                      const std::optional<stdfs::path>& root) {
  return text::decode(read_bytes(path, root), mode);
}

namespace {

// The path made absolute against the working directory and normalised as written; empty when
// it cannot be made absolute. A trailing separator is dropped: "out/" names "out".
stdfs::path lexical(const stdfs::path& path) {
  std::error_code ec;
  stdfs::path out = stdfs::absolute(path.empty() ? stdfs::path(".") : path, ec);
  if (ec) {
    return {};
  }
  out = out.lexically_normal();
  if (!out.has_filename() && out.has_relative_path()) {
    out = out.parent_path();
  }
  return out;
}

// The form of `root` that `path` (lexical) lies in: as given, or resolved; empty for neither.
stdfs::path base_of(const stdfs::path& path, const stdfs::path& root) {
  if (path.empty()) {
    return {};
  }
  for (const stdfs::path& base : {lexical(root), resolved(root)}) {
    if (!base.empty() && is_within(path, base)) {
      return base;
    }
  }
  return {};
}

std::string_view kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  if (S_ISDIR(mode)) {
    return "a directory";
  }
  return "something else";
}

[[noreturn]] void refuse_write(const stdfs::path& path, std::string_view reason) {
  throw OsError("cannot write " + shown(path) + ": " + std::string(reason));
}

std::string errno_text(int err) { return std::generic_category().message(err); }

void push_name(std::string& dir, std::string_view name) {
  if (dir.empty() || dir.back() != '/') {
    dir += '/';
  }
  dir += name;
}

// "/" stays "/", as ".." does there.
void pop_name(std::string& dir) {
  const auto slash = dir.rfind('/');
  dir.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
}

// The checkout as the walk compares with it: where it is, and as given.
struct Checkout {
  std::string resolved;
  std::string as_given;
  bool holds(std::string_view spelled) const {
    return within(spelled, resolved) || within(spelled, as_given);
  }
};

Checkout checkout_of(const stdfs::path& root) {
  return {resolved(root).native(), lexical(root).native()};
}

// One name of a path to walk, and where it ends in the path as written, for a message; a name
// from a link's target has no such place and is shown where the walk found it.
struct Part {
  std::string name;
  std::size_t written_end = std::string::npos;
};

// The names of `text`, "." and ".." kept; a trailing separator adds "." (the last entry is then
// a directory). At most one name per byte of the text.
std::deque<Part> parts_of(std::string_view text, bool written) {
  std::deque<Part> parts;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '/') {
      ++i;
      continue;
    }
    const std::size_t end = std::min(text.find('/', i), text.size());
    parts.push_back({std::string(text.substr(i, end - i)), written ? end : std::string::npos});
    i = end;
  }
  if (!text.empty() && text.back() == '/') {
    parts.push_back({".", written ? text.size() : std::string::npos});
  }
  return parts;
}

// As many links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;

// The walk along a report path as the kernel will take it: each name looked up from a
// descriptor of the directory before it, a link of the user's followed one name at a time (its
// target from the link's directory, or from "/"), ".." taken from where the walk is, not folded
// away. From the first entry that lies in the checkout, or that a link leads into it, the rule
// holds: a link must resolve inside, and the walk may not leave the checkout (a ".." may take it
// up out of the checkout only where the path as written leaves it there too, since then no link
// of the checkout moved it). Directories that do not exist are only noted, or, when `make` is
// set, made as plain directories from the descriptor of the one above.
class Walk {
 public:
  Walk(const stdfs::path& path, const Checkout& checkout, bool make)
      : path_(path), checkout_(checkout), make_(make) {}

  // Walks the whole path. OsError when the rule refuses an entry; an entry that cannot be
  // looked up outside the rule stops the walk (`stopped()`), as it will stop the kernel's.
  void run();

  const stdfs::path& path() const { return path_; }
  const Checkout& checkout() const { return checkout_; }
  // Whether the rule holds for the last entry, which lies in the checkout.
  bool held() const { return held_; }
  // Why the walk could not go on outside the rule; empty when it went to the end.
  const std::string& stopped() const { return stopped_; }
  // The last entry, in the directory `dir()`; none when the path ends in a directory.
  const std::optional<Part>& last() const { return last_; }
  int dir() const { return dir_.get(); }
  // The last entry's directory does not exist yet.
  bool in_fresh() const { return fresh_ > 0; }
  // Some directory on the way did not exist.
  bool made_any() const { return made_any_; }

  // The entry, quoted as a message names it: as written, or where the walk found it.
  std::string named(const Part& part) const {
    if (part.written_end != std::string::npos) {
      return shown(path_.native().substr(0, part.written_end));
    }
    std::string at = here_;
    push_name(at, part.name);
    return shown(at);
  }

  // Where the descriptor opened through the link `part` really is; without /proc, where the
  // link resolves now. Empty when neither is known.
  std::string located(int fd, const Part& part) const {
    if (auto location = opened_location(fd); location && location->native().starts_with('/')) {
      return location->native();
    }
    std::string link = here_;
    push_name(link, part.name);
    std::error_code ec;
    stdfs::path out = stdfs::canonical(link, ec);
    return ec ? std::string() : out.native();
  }

  // A link of the checkout's that cannot be followed, said for what it is.
  [[noreturn]] void refuse_link(const Part& part, int err) const {
    if (err == ENOENT) {
      refuse_write(path_, named(part) + " is a dangling symbolic link");
    }
    if (err == ELOOP) {
      refuse_write(path_, named(part) + " is a looping symbolic link");
    }
    refuse_write(path_, named(part) + ": " + errno_text(err));
  }

  [[noreturn]] void refuse_outside(const Part& part) const {
    refuse_write(path_, named(part) + " is a symbolic link that leads outside the checkout");
  }

 private:
  bool start();
  // Where the walk is, in a directory that exists, lies in the checkout: the rule holds on.
  void note_position() {
    if (!held_ && fresh_ == 0 && within(here_, checkout_.resolved)) {
      held_ = true;
    }
  }
  // Under the rule the refusal names the entry; outside it the walk just stops there.
  void fail(const Part& part, int err);
  bool go_up(const Part& part);
  bool expand(const Part& part, std::deque<Part>& parts);
  void follow_inside(const Part& part);
  bool enter(const Part& part);

  const stdfs::path& path_;
  const Checkout& checkout_;
  const bool make_;
  Descriptor dir_{-1};
  // Where `dir_` is, then the names of the directories still to be made after it.
  std::string here_;
  std::size_t fresh_ = 0;
  bool made_any_ = false;
  // The path as written so far, taken as written: ".." drops the name before it.
  std::string spelled_;
  bool held_ = false;
  std::string stopped_;
  std::optional<Part> last_;
  int links_ = 0;
};

void Walk::run() {
  if (!start()) {
    return;
  }
  std::deque<Part> parts = parts_of(path_.native(), true);
  while (!parts.empty()) {
    Part part = std::move(parts.front());
    parts.pop_front();
    const bool last = parts.empty();
    note_position();
    if (part.name == ".") {
      continue;
    }
    if (part.name == "..") {
      if (!go_up(part)) {
        return;
      }
      continue;
    }
    push_name(spelled_, part.name);
    if (fresh_ > 0 && !last) {
      push_name(here_, part.name);
      ++fresh_;
      continue;
    }
    struct stat st;
    const bool found =
        fresh_ == 0 && ::fstatat(dir_.get(), part.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!found && fresh_ == 0 && errno != ENOENT) {
      fail(part, errno);
      return;
    }
    if (found && S_ISLNK(st.st_mode) && !held_) {
      if (!expand(part, parts)) {
        return;
      }
      continue;
    }
    if (last) {
      last_ = std::move(part);
      continue;
    }
    if (!found) {
      if (!make_) {
        push_name(here_, part.name);
        ++fresh_;
        made_any_ = true;
        continue;
      }
      if (::mkdirat(dir_.get(), part.name.c_str(), 0777) != 0 && errno != EEXIST) {
        const int err = errno;
        throw OsError("Cannot create directory " + named(part) + ": " + errno_text(err));
      }
    } else if (S_ISLNK(st.st_mode)) {
      follow_inside(part);
      continue;
    } else if (!S_ISDIR(st.st_mode)) {
      fail(part, ENOTDIR);
      return;
    }
    if (!enter(part)) {
      return;
    }
  }
  note_position();
}

bool Walk::start() {
  const bool absolute = path_.native().starts_with('/');
  dir_ = Descriptor(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  const int err = errno;
  std::error_code ec;
  here_ = absolute ? std::string("/") : stdfs::current_path(ec).native();
  if (dir_.get() < 0 || ec || here_.empty()) {
    stopped_ = errno_text(dir_.get() < 0 ? err : ec ? ec.value() : ENOENT);
    return false;
  }
  spelled_ = here_;
  return true;
}

void Walk::fail(const Part& part, int err) {
  if (held_) {
    refuse_write(path_, named(part) + ": " + errno_text(err));
  }
  stopped_ = named(part) + ": " + errno_text(err);
}

bool Walk::go_up(const Part& part) {
  pop_name(spelled_);
  if (fresh_ > 0) {
    --fresh_;
    pop_name(here_);
    return true;
  }
  Descriptor up(::openat(dir_.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (up.get() < 0) {
    fail(part, errno);
    return false;
  }
  dir_ = std::move(up);
  pop_name(here_);
  if (held_ && !within(here_, checkout_.resolved)) {
    if (checkout_.holds(spelled_)) {
      refuse_write(path_, named(part) + " leads outside the checkout");
    }
    held_ = false;
  }
  return true;
}

// A link of the user's: its target's names go first, from the link's directory or from "/".
bool Walk::expand(const Part& part, std::deque<Part>& parts) {
  if (++links_ > MAX_LINKS) {
    fail(part, ELOOP);
    return false;
  }
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlinkat(dir_.get(), part.name.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
    fail(part, n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG);
    return false;
  }
  target.resize(static_cast<std::size_t>(n));
  std::deque<Part> more = parts_of(target, false);
  parts.insert(parts.begin(), std::make_move_iterator(more.begin()),
               std::make_move_iterator(more.end()));
  if (target.front() == '/') {
    Descriptor top(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (top.get() < 0) {
      fail(part, errno);
      return false;
    }
    dir_ = std::move(top);
    here_ = "/";
  }
  // The target is how the user's link spells the rest of the way.
  spelled_ = here_;
  return true;
}

// A link of the checkout's on the way: followed whole, as the kernel follows it, and only to a
// directory inside the checkout.
void Walk::follow_inside(const Part& part) {
  Descriptor to(::openat(dir_.get(), part.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (to.get() < 0) {
    refuse_link(part, errno);
  }
  std::string location = located(to.get(), part);
  if (!within(location, checkout_.resolved)) {
    refuse_outside(part);
  }
  dir_ = std::move(to);
  here_ = std::move(location);
}

// A plain directory; O_NOFOLLOW refuses a link swapped in since it was looked up.
bool Walk::enter(const Part& part) {
  Descriptor sub(
      ::openat(dir_.get(), part.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (sub.get() < 0) {
    fail(part, errno);
    return false;
  }
  dir_ = std::move(sub);
  push_name(here_, part.name);
  return true;
}

void check_regular(const stdfs::path& path, const struct stat& st, std::string_view it_is) {
  if (!S_ISREG(st.st_mode)) {
    refuse_write(
        path, std::string(it_is) + " " + std::string(kind_of(st.st_mode)) + ", not a regular file");
  }
  // Writing it would rewrite the other names' content too, wherever they are.
  if (st.st_nlink > 1) {
    refuse_write(path, std::string(it_is) + " a regular file with " + std::to_string(st.st_nlink) +
                           " hard links");
  }
}

// The last entry of a walk held to the rule: a regular file of the checkout with one link, or
// none yet. With `open`, the descriptor to write it through, not yet truncated; without, only
// the refusals, and no descriptor.
Descriptor open_last(const Walk& walk, bool open) {
  const stdfs::path& path = walk.path();
  if (!walk.last()) {
    refuse_write(path, "it is a directory, not a regular file");
  }
  if (walk.in_fresh()) {
    return Descriptor(-1);
  }
  const Part& part = *walk.last();
  const char* name = part.name.c_str();
  struct stat st;
  if (::fstatat(walk.dir(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) {
      refuse_write(path, errno_text(errno));
    }
  } else if (S_ISLNK(st.st_mode)) {
    // O_PATH opens nothing: a FIFO or device behind the link is examined without effects.
    const Descriptor to(::openat(walk.dir(), name, O_PATH | O_CLOEXEC));
    if (to.get() < 0) {
      walk.refuse_link(part, errno);
    }
    if (!within(walk.located(to.get(), part), walk.checkout().resolved)) {
      walk.refuse_outside(part);
    }
    struct stat target;
    if (::fstat(to.get(), &target) != 0) {
      fail_errno(path, errno);
    }
    check_regular(path, target, "it leads to");
    if (!open) {
      return Descriptor(-1);
    }
    Descriptor fd(::openat(walk.dir(), name, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
      refuse_write(path, errno_text(errno));
    }
    struct stat now;
    if (::fstat(fd.get(), &now) != 0) {
      fail_errno(path, errno);
    }
    if (now.st_dev != target.st_dev || now.st_ino != target.st_ino) {
      refuse_write(path, "it changed while it was opened");
    }
    check_regular(path, now, "it leads to");
    return fd;
  } else {
    // Refused unopened: merely opening a FIFO or device can have effects.
    check_regular(path, st, "it is");
  }
  if (!open) {
    return Descriptor(-1);
  }
  // Not truncated on opening: that waits until the descriptor is known to be a regular file
  // with one link. O_NOFOLLOW refuses a link swapped in since the check; O_NONBLOCK keeps a
  // FIFO from holding the open until a reader comes.
  Descriptor fd(::openat(
      walk.dir(), name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    refuse_write(path, errno_text(errno));
  }
  struct stat now;
  if (::fstat(fd.get(), &now) != 0) {
    fail_errno(path, errno);
  }
  check_regular(path, now, "it is");
  return fd;
}

void write_all(int fd, const stdfs::path& path, std::string_view content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail_errno(path, errno);
    }
    written += static_cast<std::size_t>(n);
  }
}

void write_and_close(Descriptor fd, const stdfs::path& path, std::string_view content) {
  write_all(fd.get(), path, content);
  if (fd.release_and_close() != 0) {
    fail_errno(path, errno);
  }
}

// The user's own path: a link of theirs is followed, and /dev/null or /dev/stdout work.
void write_users_own(const stdfs::path& path, std::string_view content, Parents parents) {
  if (parents == Parents::Made) {
    if (const stdfs::path parent = path.parent_path(); !parent.empty()) {
      std::error_code ec;
      stdfs::create_directories(parent, ec);
      if (ec) {
        throw OsError("Cannot create directory " + text::repr(parent.string()) + ": " +
                      ec.message());
      }
    }
  }
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd.get() < 0) {
    fail_errno(path, errno);
  }
  write_and_close(std::move(fd), path, content);
}

}  // namespace

bool lies_inside(const stdfs::path& path, const stdfs::path& root) noexcept {
  try {
    return !base_of(lexical(path), root).empty();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void write_text(const stdfs::path& path, std::string_view content,
                const std::optional<stdfs::path>& root, Parents parents) {
  if (!root) {
    write_users_own(path, content, parents);
    return;
  }
  const Checkout checkout = checkout_of(*root);
  Walk walk(path, checkout, false);
  walk.run();
  if (!walk.held()) {
    if (!lies_inside(path, *root)) {
      write_users_own(path, content, parents);
      return;
    }
    // Written as lying in the checkout, it must end as a file of the checkout.
    refuse_write(path, walk.stopped().empty() ? "it leads outside the checkout" : walk.stopped());
  }
  // Every refusal comes before anything is made.
  open_last(walk, false);
  std::optional<Walk> making;
  if (walk.made_any()) {
    if (parents == Parents::Existing) {
      fail_errno(path, ENOENT);
    }
    making.emplace(path, checkout, true);
    making->run();
    if (!making->held()) {
      refuse_write(path, "it changed while it was checked");
    }
  }
  Descriptor fd = open_last(making ? *making : walk, true);
  if (const auto opened = opened_location(fd.get());
      opened && !within(opened->native(), checkout.resolved)) {
    refuse_write(path, "it leads outside the checkout");
  }
  if (::ftruncate(fd.get(), 0) != 0) {
    fail_errno(path, errno);
  }
  write_and_close(std::move(fd), path, content);
}

std::optional<std::string> read_text_or_none(const stdfs::path& path, text::DecodeMode mode,
                                             const std::optional<stdfs::path>& root) {
  try {
    return read_text(path, mode, root);
  } catch (const OsError&) {
  } catch (const DecodeError&) {
  }
  return std::nullopt;
}

}  // namespace quarnel::utils::fs
