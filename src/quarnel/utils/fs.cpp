#include "quarnel/utils/fs.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <deque>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel::utils::fs {

namespace {

detail::WalkHook& walk_hook() {
  static detail::WalkHook hook;
  return hook;
}

void call_hook(detail::WalkMoment moment, const std::string& entry) {
  if (walk_hook()) walk_hook()(moment, entry);
}

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
  // Hands the descriptor on, to be closed by its new holder.
  int release() { return std::exchange(fd_, -1); }
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

// A directory as the kernel tells it from every other. The walk compares these, never names:
// a name can be made to lead somewhere else between one look and the next.
struct Id {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Id&) const = default;
};

std::optional<Id> id_of(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    return std::nullopt;
  }
  return Id{st.st_dev, st.st_ino};
}

// The stand-ins of closed standard descriptors, at most one for each.
struct StandIns {
  Id ids[3];
  int count = 0;
};

StandIns& stand_ins() {
  static StandIns held;
  return held;
}

bool is_stand_in(int fd) {
  const std::optional<Id> id = id_of(fd);
  const StandIns& held = stand_ins();
  return id && std::find(held.ids, held.ids + held.count, *id) != held.ids + held.count;
}

Descriptor open_directory(int at, const char* name, int extra = 0) {
  return Descriptor(::openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | extra));
}

[[noreturn]] void refuse_doubt(const stdfs::path& path, const stdfs::path& place, int err) {
  refuse_write(path, "could not tell whether it lies in the checkout (" + shown(place) + ": " +
                         errno_text(err) + ")");
}

// Where a directory lies, found by going up from it: `chain` holds the directories from the
// checkout down to it when it lies in the checkout, and is empty when the top of the tree came
// first. When a ".." on the way cannot be opened, where it lies is not `known`: `err` says why,
// and the ".." that failed is that of the directory `steps` above it.
struct Place {
  bool known = false;
  std::vector<Id> chain;
  std::size_t steps = 0;
  int err = 0;
};

// As many steps as the directory is deep.
Place place_of(int fd, const Id& checkout) {
  Place place;
  std::optional<Id> id = id_of(fd);
  Descriptor up(-1);
  int at = fd;
  while (id) {
    place.chain.push_back(*id);
    if (*id == checkout) {
      std::reverse(place.chain.begin(), place.chain.end());
      place.known = true;
      return place;
    }
    Descriptor next = open_directory(at, "..");
    if (next.get() < 0) {
      break;
    }
    up = std::move(next);
    at = up.get();
    const std::optional<Id> parent = id_of(at);
    // ".." of the top is the top itself.
    if (parent && *parent == *id) {
      place.chain.clear();
      place.known = true;
      return place;
    }
    id = parent;
    ++place.steps;
  }
  place.err = errno;
  place.chain.clear();
  return place;
}

bool in_procfs(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// A small file of /proc, whole; none when it cannot be read.
std::optional<std::string> proc_text(const char* name) {
  const Descriptor fd(::open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    return std::nullopt;
  }
  std::string out;
  try {
    read_up_to(fd.get(), name, out, 4096);
  } catch (const OsError&) {
    return std::nullopt;
  }
  return out;
}

// The words of a small text of /proc, split at blanks and line ends.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\n", i);
    if (start == std::string_view::npos) {
      break;
    }
    const std::size_t end = std::min(text.find_first_of(" \t\n", start), text.size());
    out.push_back(text.substr(start, end - start));
    i = end;
  }
  return out;
}

// Who owns an entry, as far as this process can tell. In a user namespace that does not map
// every uid the kernel shows each owner it cannot map, root of the host among them, as the
// overflow uid: that owner may be anyone. In the initial namespace the overflow uid is an
// ordinary user. Read when first asked, since most walks meet no link.
enum class Owner { User, Root, Other, Unknown };

class Owners {
 public:
  Owner of(uid_t uid) {
    if (uid == overflow_uid() && !initial_namespace()) {
      return Owner::Unknown;
    }
    if (uid == ::geteuid()) {
      return Owner::User;
    }
    return uid == 0 ? Owner::Root : Owner::Other;
  }
  uid_t overflow_uid() {
    if (!overflow_) {
      overflow_ = 65534;
      const auto text = proc_text("/proc/sys/kernel/overflowuid");
      const std::vector<std::string_view> value =
          text ? words(*text) : std::vector<std::string_view>{};
      unsigned long uid = 0;
      if (value.size() == 1 &&
          std::from_chars(value[0].data(), value[0].data() + value[0].size(), uid).ec ==
              std::errc()) {
        overflow_ = static_cast<uid_t>(uid);
      }
    }
    return *overflow_;
  }

 private:
  // The identity over the whole range of uids; a map that cannot be read is a doubt, and
  // counts as another namespace.
  bool initial_namespace() {
    if (!initial_) {
      const auto map = proc_text("/proc/self/uid_map");
      initial_ = map && words(*map) == std::vector<std::string_view>{"0", "0", "4294967295"};
    }
    return *initial_;
  }

  std::optional<uid_t> overflow_;
  std::optional<bool> initial_;
};

// How a refusal names who owns an entry that is neither the user's nor root's.
std::string owned_by(Owner who, uid_t uid) {
  if (who == Owner::Unknown) {
    return "whose owner this user namespace cannot tell (it shows uid " + std::to_string(uid) + ")";
  }
  return "that belongs to another user (uid " + std::to_string(uid) + ")";
}

// One name of a path to walk, and where it ends in the path as written, for a message; a name
// from a link's target has no such place and is shown where the walk found it. The mark that
// follows the names of a link of the checkout says that the link is resolved there.
struct Part {
  std::string name;
  std::size_t written_end = std::string::npos;
  bool end_of_link = false;
  // A name of a link's target, not of the path as written.
  bool of_link() const { return written_end == std::string::npos; }
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

// The walk along a report path as the kernel would take it, holding a descriptor of each
// directory on the way: each name looked up from the directory before it, every link followed
// one name at a time (its target from the link's directory, or from "/"), ".." taken from where
// the walk is. Whether a directory is the checkout or lies below it is known from the
// directories the walk holds: the checkout's device and inode, and those of each directory
// entered below it, which a ".." must lead back to. From the first directory of the checkout
// the rule holds: a link of the checkout must resolve inside it, never dangle or loop, and the
// walk may leave the checkout only by a ".." as written, before any link of the checkout moved
// it. Outside the checkout a link is followed only when the user or root owns it, and anywhere a
// link in a sticky directory that others may write only when the user or the directory's owner
// owns it. Directories that do not exist are only noted; nothing is made until the whole path is
// walked, and then only from the descriptor of the directory above, as is the file. The same walk
// takes the checkout when a run starts: its whole path is the user's own, and it must lead to a
// directory.
class Walk {
 public:
  // What is walked to: the report, or the checkout whose report it will be.
  enum class Purpose { Report, Checkout };

  Walk(const stdfs::path& path, std::optional<Id> checkout, Parents parents,
       Purpose purpose = Purpose::Report)
      : path_(path), checkout_(checkout), parents_(parents), purpose_(purpose) {}

  // Walks the whole path. OsError when the rule refuses an entry, or when an entry outside the
  // checkout cannot be walked (as the kernel would fail on it).
  void run();
  // Whether the last entry's directory lies in the checkout.
  bool inside() const { return !chain_.empty(); }
  // Makes the directories still missing and opens the last entry for writing: in the checkout
  // once it shows a regular file with one link, not yet truncated; outside it truncated.
  Descriptor open();
  // The directory the walk of a checkout ended in.
  Descriptor directory() { return std::move(dir_); }

 private:
  void start();
  // Refusals of the rule and failures of the walk: of the report, "cannot write PATH: REASON"
  // and "REASON: PATH"; of the checkout, the bare reason and "PATH: REASON", for its caller to
  // word.
  [[noreturn]] void refuse(const std::string& reason) const {
    if (purpose_ == Purpose::Checkout) {
      throw OsError(reason);
    }
    refuse_write(path_, reason);
  }
  [[noreturn]] void fail_os(int err) const {
    if (purpose_ == Purpose::Checkout) {
      throw OsError(shown(path_) + ": " + errno_text(err));
    }
    fail_errno(path_, err);
  }
  // A link whose owner the rule does not trust where it lies: refused, with where it leads.
  void check_owner(const Part& part, uid_t owner, const std::string& target, bool of_checkout);
  // An existing FIFO of the user's own part of the path that is not theirs or root's would hold
  // the open until its owner reads, and hand them the report.
  void check_fifo(const struct stat& st) const;
  // The entry itself, not following a link: 0 when it is there, else why not.
  int look_up(const Part& part, struct stat& st) const;
  [[noreturn]] void fail(const Part& part, int err) const;
  // An entry that failed as it would not have when it was looked up (`err` says it is no longer
  // what was seen, or is gone): under the rule it changed while it was checked.
  [[noreturn]] void fail_changed(const Part& part, int err) const;
  // The directory `name` from `at`, and which it is; a failure is the entry's `part`. One
  // `looked_up` as a directory just before is held only if it still is one, not a link.
  std::pair<Descriptor, Id> hold(int at, const char* name, const Part& part,
                                 bool looked_up = false) const;
  void go_up(const Part& part);
  void follow(const Part& part, bool last);
  void resolved_link();
  void enter(const Part& part);
  void make_missing();
  // A name that does not exist: the file to make, or a directory to make on the way to it.
  void note_missing(Part part, bool last) {
    if (last) {
      last_ = std::move(part);
    } else {
      push_name(here_, part.name);
      missing_.push_back(std::move(part));
    }
  }
  void note_entered(const Id& id) {
    if (checkout_ && id == *checkout_) {
      chain_ = {id};
    }
  }

  // The entry as written, or where the walk found it.
  std::string spelled(const Part& part) const {
    if (!part.of_link()) {
      return path_.native().substr(0, part.written_end);
    }
    std::string at = here_;
    push_name(at, part.name);
    return at;
  }
  std::string named(const Part& part) const { return shown(stdfs::path(spelled(part))); }

  [[noreturn]] void refuse_link(const std::string& link, int err) const {
    if (err == ENOENT) {
      refuse(link + " is a dangling symbolic link");
    }
    if (err == ELOOP) {
      refuse(link + " is a looping symbolic link");
    }
    refuse(link + ": " + errno_text(err));
  }
  [[noreturn]] void refuse_outside(const std::string& link) const {
    refuse(link + " is a symbolic link that leads outside the checkout");
  }

  const stdfs::path& path_;
  const std::optional<Id> checkout_;
  const Parents parents_;
  const Purpose purpose_;
  // Read when first asked, whatever the walk is asked from.
  mutable Owners owners_;
  Descriptor dir_{-1};
  // From the checkout down to `dir_` when it lies in the checkout; empty when it does not.
  std::vector<Id> chain_;
  // Where `dir_` is, then the names still to be made below it: for messages only.
  std::string here_;
  std::vector<Part> missing_;
  std::deque<Part> parts_;
  // Names in `parts_` (the marks after links not counted): the last entry is the one that
  // leaves none.
  std::size_t names_ = 0;
  // The links of the checkout being resolved, outermost first, as messages name them.
  std::vector<std::string> links_;
  bool followed_checkout_link_ = false;
  int links_followed_ = 0;
  std::optional<Part> last_;
  // The last entry was reached through a link of the checkout.
  bool via_link_ = false;
  // The last entry is a link of /proc, opened as the kernel follows it.
  bool magic_ = false;
};

void Walk::run() {
  if (path_.empty()) {
    fail_os(ENOENT);
  }
  start();
  parts_ = parts_of(path_.native(), true);
  // A checkout is a directory, entered like one on the way to a file below it.
  if (purpose_ == Purpose::Checkout) {
    parts_.push_back({".", path_.native().size()});
  }
  names_ = parts_.size();
  while (!parts_.empty()) {
    Part part = std::move(parts_.front());
    parts_.pop_front();
    if (part.end_of_link) {
      resolved_link();
      continue;
    }
    const bool last = --names_ == 0;
    if (part.name == ".") {
      continue;
    }
    if (part.name == "..") {
      go_up(part);
      continue;
    }
    if (!missing_.empty()) {
      note_missing(std::move(part), last);
      continue;
    }
    struct stat st;
    if (const int err = look_up(part, st); err != 0) {
      // A link of the checkout must lead to something; of a user's link only the file may be
      // missing: the kernel's open makes it, and no directory on the way to it.
      if (err != ENOENT || !links_.empty() || (!last && part.of_link()) ||
          purpose_ == Purpose::Checkout) {
        fail(part, err);
      }
      note_missing(std::move(part), last);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      follow(part, last);
      continue;
    }
    if (last) {
      last_ = std::move(part);
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      fail(part, ENOTDIR);
    }
    enter(part);
  }
}

void Walk::start() {
  const bool absolute = path_.native().starts_with('/');
  dir_ = Descriptor(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir_.get() < 0) {
    fail_os(errno);
  }
  // A removed working directory has no name to go by, and nothing can be made in it: it is not
  // looked up by the name it had.
  if (!absolute) {
    struct stat st;
    if (::fstat(dir_.get(), &st) != 0) {
      fail_os(errno);
    }
    if (st.st_nlink == 0) {
      refuse(std::string("the working directory was removed; change into it again or give the ") +
             (purpose_ == Purpose::Checkout ? "checkout's" : "report's") + " full path");
    }
  }
  std::error_code ec;
  here_ = absolute ? std::string("/") : stdfs::current_path(ec).native();
  if (ec || here_.empty()) {
    here_ = ".";
  }
  // The working directory may lie anywhere in the checkout; where it cannot be placed, a link
  // of the checkout could pass for one of the user's.
  if (checkout_) {
    Place place = place_of(dir_.get(), *checkout_);
    if (!place.known) {
      std::string dotdot = here_;
      for (std::size_t i = 0; i < place.steps; ++i) {
        if (dotdot.starts_with('/')) {
          pop_name(dotdot);
        } else {
          push_name(dotdot, "..");
        }
      }
      push_name(dotdot, "..");
      refuse_doubt(path_, dotdot, place.err);
    }
    chain_ = std::move(place.chain);
  }
}

int Walk::look_up(const Part& part, struct stat& st) const {
  const int err =
      ::fstatat(dir_.get(), part.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  if (walk_hook()) {
    call_hook(detail::WalkMoment::LookedUp, spelled(part));
  }
  return err;
}

// Under the rule the refusal names the entry, or the link being resolved; outside it the walk
// fails as the kernel's lookup would.
void Walk::fail(const Part& part, int err) const {
  if (!links_.empty()) {
    refuse_link(links_.front(), err);
  }
  if (!chain_.empty()) {
    refuse(named(part) + ": " + errno_text(err));
  }
  fail_os(err);
}

void Walk::fail_changed(const Part& part, int err) const {
  if (!links_.empty() || !chain_.empty()) {
    refuse("it changed while it was checked");
  }
  fail(part, err);
}

std::pair<Descriptor, Id> Walk::hold(int at, const char* name, const Part& part,
                                     bool looked_up) const {
  Descriptor fd = open_directory(at, name, looked_up ? O_NOFOLLOW : 0);
  // Since it was looked up it became a link (held as itself, no directory), something other
  // than a directory, or nothing.
  if (fd.get() < 0 && looked_up && (errno == ENOTDIR || errno == ELOOP || errno == ENOENT)) {
    fail_changed(part, errno);
  }
  if (fd.get() < 0) {
    fail(part, errno);
  }
  const std::optional<Id> id = id_of(fd.get());
  if (!id) {
    fail(part, errno);
  }
  return {std::move(fd), *id};
}

void Walk::go_up(const Part& part) {
  if (!missing_.empty()) {
    missing_.pop_back();
    pop_name(here_);
    return;
  }
  auto [up, id] = hold(dir_.get(), "..", part);
  if (chain_.size() > 1) {
    // The directory was moved since the walk came down through it.
    if (id != chain_[chain_.size() - 2]) {
      refuse("it changed while it was checked");
    }
    chain_.pop_back();
  } else if (chain_.size() == 1 && id != chain_.front()) {
    if (!links_.empty()) {
      refuse_outside(links_.front());
    }
    // Only the path as written may leave the checkout: after a link of the checkout the walk
    // is no longer where the written path says.
    if (followed_checkout_link_) {
      refuse(named(part) + " leads outside the checkout");
    }
    chain_.clear();
  } else if (chain_.empty()) {
    note_entered(id);
  }
  dir_ = std::move(up);
  pop_name(here_);
}

// A link: its target's names go first, from the link's directory or from "/". One of the
// checkout is resolved under the rule to its end (the mark after its names); one outside it is
// followed like the kernel follows it, once it is known to be the user's or root's.
void Walk::follow(const Part& part, bool last) {
  const bool of_checkout = !chain_.empty();
  // A link's own fault is said of the link when it is the checkout's.
  const auto fail_link = [&](int err) {
    if (of_checkout && links_.empty()) {
      refuse_link(named(part), err);
    }
    fail(part, err);
  };
  // The link itself is held, and its owner and target are read from what is held: a link
  // swapped in between the two reads cannot lend its target to another's owner.
  const Descriptor link(::openat(dir_.get(), part.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (link.get() < 0 || ::fstat(link.get(), &st) != 0) {
    // Gone since it was looked up.
    if (errno == ENOENT) {
      fail_changed(part, errno);
    }
    fail_link(errno);
  }
  if (!S_ISLNK(st.st_mode)) {
    fail_changed(part, EINVAL);
  }
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
    fail_link(n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG);
  }
  target.resize(static_cast<std::size_t>(n));
  check_owner(part, st.st_uid, target, of_checkout);
  // In /proc the last entry may be a link that names no path (standard output's pipe): the
  // user's own, opened as the kernel follows it.
  if (!of_checkout && links_.empty() && last && in_procfs(dir_.get())) {
    last_ = part;
    magic_ = true;
    return;
  }
  if (++links_followed_ > MAX_LINKS) {
    fail_link(ELOOP);
  }
  if (of_checkout) {
    links_.push_back(named(part));
    followed_checkout_link_ = true;
    via_link_ = via_link_ || last;
    parts_.push_front(Part{.end_of_link = true});
  }
  std::deque<Part> more = parts_of(target, false);
  names_ += more.size();
  parts_.insert(parts_.begin(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
  if (target.front() == '/') {
    auto [top, id] = hold(AT_FDCWD, "/", part);
    dir_ = std::move(top);
    here_ = "/";
    chain_.clear();
    note_entered(id);
  }
}

void Walk::check_owner(const Part& part, uid_t owner, const std::string& target, bool of_checkout) {
  struct stat dir;
  if (::fstat(dir_.get(), &dir) != 0) {
    fail(part, errno);
  }
  const Owner who = owners_.of(owner);
  const auto refuse_owner = [&](std::string_view where) {
    refuse(named(part) + " is a symbolic link " + owned_by(who, owner) + std::string(where) +
           " and leads to " + shown(target) + ": " +
           (purpose_ == Purpose::Checkout
                ? "if that is the checkout, give that path"
                : "if that is where the report should go, give that path"));
  };
  // Outside the checkout another user who can write a directory of it can have moved that
  // directory out, the working directory with it; what they cannot fake is who owns a link. An
  // owner no one can tell passes only where none but root could have made the link: the
  // kernel's own links of procfs, or a directory of root's that only its owner may write.
  if (!of_checkout) {
    const bool made_by_root =
        in_procfs(dir_.get()) || ((dir.st_uid == 0 || dir.st_uid == owners_.overflow_uid()) &&
                                  (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0);
    if (who == Owner::Other || (who == Owner::Unknown && !made_by_root)) {
      refuse_owner("");
    }
  }
  // The kernel's fs.protected_symlinks, whatever it is set to, and inside the checkout too: in a
  // sticky directory that others may write, a link is followed only when it is the user's or
  // the directory's owner's.
  const bool shared_sticky = (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  const bool owner_of_directory =
      who != Owner::Unknown && owner == dir.st_uid && owners_.of(dir.st_uid) != Owner::Unknown;
  if (shared_sticky && who != Owner::User && !owner_of_directory) {
    refuse_owner(" in a sticky directory that others may write");
  }
}

void Walk::check_fifo(const struct stat& st) const {
  if (!S_ISFIFO(st.st_mode)) {
    return;
  }
  const Owner who = owners_.of(st.st_uid);
  if (who == Owner::Other || who == Owner::Unknown) {
    refuse("it is a FIFO " + owned_by(who, st.st_uid));
  }
}

// A link of the checkout resolved: it must have led to a place in the checkout.
void Walk::resolved_link() {
  std::string link = std::move(links_.back());
  links_.pop_back();
  if (chain_.empty()) {
    refuse_outside(links_.empty() ? link : links_.front());
  }
}

// A plain directory, held only if it still is one since it was looked up.
void Walk::enter(const Part& part) {
  const std::string entry = spelled(part);
  auto [sub, id] = hold(dir_.get(), part.name.c_str(), part, true);
  if (!chain_.empty()) {
    chain_.push_back(id);
  } else {
    note_entered(id);
  }
  dir_ = std::move(sub);
  push_name(here_, part.name);
  call_hook(detail::WalkMoment::Entered, entry);
}

// The directories on the way that did not exist, made as plain directories from the one above.
void Walk::make_missing() {
  const bool inside = !chain_.empty();
  for (const Part& part : missing_) {
    if (::mkdirat(dir_.get(), part.name.c_str(), 0777) != 0 && errno != EEXIST) {
      const int err = errno;
      throw OsError("Cannot create directory " +
                    (inside ? named(part) : shown(path_.parent_path())) + ": " + errno_text(err));
    }
    Descriptor sub = open_directory(dir_.get(), part.name.c_str(), O_NOFOLLOW);
    if (sub.get() < 0) {
      if (inside) {
        refuse("it changed while it was checked");
      }
      fail_os(errno);
    }
    if (inside) {
      const std::optional<Id> id = id_of(sub.get());
      if (!id) {
        fail_os(errno);
      }
      chain_.push_back(*id);
    }
    dir_ = std::move(sub);
  }
  missing_.clear();
}

Descriptor Walk::open() {
  const bool in_checkout = inside();
  if (!last_) {
    if (in_checkout) {
      refuse("it is a directory, not a regular file");
    }
    fail_os(EISDIR);
  }
  if (!missing_.empty()) {
    if (parents_ == Parents::Existing) {
      fail_os(ENOENT);
    }
    make_missing();
  }
  const char* name = last_->name.c_str();
  if (!in_checkout) {
    // The user's own. What /proc reopens is a descriptor the process holds already; anything
    // else is first opened without waiting, so that a FIFO of another user's, there or put in
    // its place meanwhile, is refused unwritten instead of waited for.
    constexpr int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY;
    struct stat st;
    if (!magic_ && ::fstatat(dir_.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      check_fifo(st);
    }
    Descriptor fd(
        ::openat(dir_.get(), name, magic_ ? flags : flags | O_NOFOLLOW | O_NONBLOCK, 0666));
    if (!magic_ && fd.get() < 0 && errno == ENXIO) {
      // A FIFO with no reader yet: one of the user's is waited for, as a shell's redirection
      // waits for it.
      if (::fstatat(dir_.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISFIFO(st.st_mode)) {
        fail_os(ENXIO);
      }
      check_fifo(st);
      fd = Descriptor(::openat(dir_.get(), name, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    }
    if (fd.get() < 0) {
      fail_os(errno);
    }
    if (!magic_) {
      if (::fstat(fd.get(), &st) != 0) {
        fail_os(errno);
      }
      check_fifo(st);
      // Written as a shell's redirection writes, waiting for a slow reader.
      const int now = ::fcntl(fd.get(), F_GETFL);
      if (now < 0 || ::fcntl(fd.get(), F_SETFL, now & ~O_NONBLOCK) != 0) {
        fail_os(errno);
      }
    }
    // Reopened through /proc, the stand-in of a closed descriptor would take the report and
    // lose it: the descriptor was closed, and a write to it fails.
    if (is_stand_in(fd.get())) {
      fail_os(EBADF);
    }
    return fd;
  }
  const std::string_view it_is = via_link_ ? "it leads to" : "it is";
  struct stat st;
  if (const int err = look_up(*last_, st); err == 0) {
    if (S_ISLNK(st.st_mode)) {
      refuse("it changed while it was checked");
    }
    // Refused unopened: merely opening a FIFO or device can have effects.
    check_regular(path_, st, it_is);
  } else if (err != ENOENT) {
    refuse(errno_text(err));
  }
  // Not truncated on opening: that waits until the descriptor is known to be a regular file
  // with one link. O_NOFOLLOW refuses a link swapped in since the check; O_NONBLOCK keeps a
  // FIFO from holding the open until a reader comes.
  Descriptor fd(::openat(
      dir_.get(), name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    // It was absent or a regular file a moment ago: now a link, a directory, a FIFO or socket.
    if (errno == ELOOP || errno == EISDIR || errno == ENXIO) {
      refuse("it changed while it was checked");
    }
    refuse(errno_text(errno));
  }
  struct stat now;
  if (::fstat(fd.get(), &now) != 0) {
    fail_os(errno);
  }
  check_regular(path_, now, it_is);
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

void write_to(const stdfs::path& path, std::string_view content, std::optional<Id> checkout,
              Parents parents) {
  Walk walk(path, checkout, parents);
  walk.run();
  call_hook(detail::WalkMoment::Decided, "");
  const bool in_checkout = walk.inside();
  Descriptor fd = walk.open();
  if (in_checkout && ::ftruncate(fd.get(), 0) != 0) {
    fail_errno(path, errno);
  }
  write_and_close(std::move(fd), path, content);
}

}  // namespace

Checkout Checkout::taken(const stdfs::path& dir) {
  const stdfs::path path = checkout_dir(dir);
  Walk walk(path, std::nullopt, Parents::Existing, Walk::Purpose::Checkout);
  walk.run();
  Descriptor fd = walk.directory();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    throw OsError(shown(path) + ": " + errno_text(errno));
  }
  // Removed, it could only be assessed as an empty directory, and nothing can be made in it.
  if (st.st_nlink == 0) {
    throw OsError(shown(path) + " was removed; change into the checkout again or give its path");
  }
  return Checkout(fd.release(), st.st_dev, st.st_ino);
}

Checkout Checkout::take(const stdfs::path& dir) {
  try {
    return taken(dir);
  } catch (const OsError& e) {
    throw OsError("cannot write a report for " + shown(checkout_dir(dir)) + ": " + e.what());
  }
}

Checkout::Checkout(Checkout&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}

Checkout& Checkout::operator=(Checkout&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = std::exchange(other.fd_, -1);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

Checkout::~Checkout() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void write_text(const stdfs::path& path, std::string_view content,
                const std::optional<stdfs::path>& root, Parents parents) {
  if (!root) {
    write_to(path, content, std::nullopt, parents);
    return;
  }
  std::optional<Checkout> checkout;
  try {
    checkout.emplace(Checkout::taken(*root));
  } catch (const OsError& e) {
    refuse_write(path,
                 "could not tell whether it lies in the checkout (" + std::string(e.what()) + ")");
  }
  write_text(path, content, *checkout, parents);
}

void write_text(const stdfs::path& path, std::string_view content, const Checkout& checkout,
                Parents parents) {
  write_to(path, content, Id{checkout.device(), checkout.inode()}, parents);
}

bool stand_in_for_closed(int fd) noexcept {
  // Inherited, as the closed descriptor's number would be by a child: it reads the end at once.
  int ends[2];
  if (::pipe(ends) != 0) {
    return false;
  }
  ::close(ends[1]);
  if (ends[0] != fd) {
    const bool moved = ::dup2(ends[0], fd) == fd;
    ::close(ends[0]);
    if (!moved) {
      return false;
    }
  }
  StandIns& held = stand_ins();
  const std::optional<Id> id = id_of(fd);
  if (!id) {
    return false;
  }
  if (held.count < 3) {
    held.ids[held.count++] = *id;
  }
  return true;
}

void detail::set_walk_hook(WalkHook hook) { walk_hook() = std::move(hook); }

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
