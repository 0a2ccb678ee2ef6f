#include "quarnel/utils/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "quarnel/error.hpp"

namespace quarnel::utils::fs {

namespace {

// Closes the descriptor on every way out of a read.
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
  Descriptor& operator=(Descriptor&&) = delete;
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

// True when `inner` is `outer` or lies below it; both are already resolved.
bool is_within(const stdfs::path& inner, const stdfs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    // A trailing separator on the root shows up as an empty last element.
    if (o->empty() && std::next(o) == outer.end()) {
      break;
    }
    if (i == inner.end() || *i != *o) {
      return false;
    }
  }
  return true;
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

// The first `count` code points of valid UTF-8 text.
std::string first_characters(std::string text, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == count) {
        text.resize(i);
        break;
      }
      ++seen;
    }
  }
  return text;
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
      return first_characters(std::move(decoded), max_chars);
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

// check_writable for a path known to lie inside `root`; the path to open: `path` itself, or
// where its final link leads.
stdfs::path writable_location(const stdfs::path& path, const stdfs::path& root) {
  const stdfs::path absolute = lexical(path);
  const stdfs::path base = base_of(absolute, root);
  stdfs::path entry = base;
  const stdfs::path relative = absolute.lexically_relative(base);
  for (auto part = relative.begin(); part != relative.end(); ++part) {
    if (part->empty() || *part == ".") {
      continue;
    }
    entry /= *part;
    const bool last = std::next(part) == relative.end();
    struct stat st;
    if (::lstat(entry.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        // From here on everything is made anew, as a plain directory or file.
        return path;
      }
      refuse_write(path, shown(entry) + ": " + std::generic_category().message(errno));
    }
    if (S_ISLNK(st.st_mode)) {
      // A dangling link counts as leading outside: creating the file would follow it anywhere.
      if (!resolves_inside(entry, root)) {
        refuse_write(path, shown(entry) + " is a symbolic link that leads outside the checkout");
      }
      if (!last) {
        continue;
      }
      const stdfs::path target = resolved(entry);
      if (struct stat target_st;
          ::stat(target.c_str(), &target_st) == 0 && !S_ISREG(target_st.st_mode)) {
        refuse_write(path, "it leads to " + std::string(kind_of(target_st.st_mode)) +
                               ", not a regular file");
      }
      return target;
    }
    if (last && !S_ISREG(st.st_mode)) {
      refuse_write(path, "it is " + std::string(kind_of(st.st_mode)) + ", not a regular file");
    }
  }
  return path;
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

}  // namespace

bool lies_inside(const stdfs::path& path, const stdfs::path& root) noexcept {
  try {
    return !base_of(lexical(path), root).empty();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void check_writable(const stdfs::path& path, const stdfs::path& root) {
  if (lies_inside(path, root)) {
    writable_location(path, root);
  }
}

void write_text(const stdfs::path& path, std::string_view content,
                const std::optional<stdfs::path>& root) {
  if (!root || !lies_inside(path, *root)) {
    // The user's own path: a link of theirs is followed, and /dev/null or /dev/stdout work.
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
    if (fd.get() < 0) {
      fail_errno(path, errno);
    }
    write_all(fd.get(), path, content);
    if (fd.release_and_close() != 0) {
      fail_errno(path, errno);
    }
    return;
  }
  const stdfs::path location = writable_location(path, *root);
  // Not truncated on opening: only a regular file inside the checkout may lose its content, and
  // that is known only once the descriptor can be examined. O_NOFOLLOW refuses a link swapped in
  // since the check; O_NONBLOCK keeps a FIFO from holding the open until a reader comes.
  Descriptor fd(::open(location.c_str(),
                       O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    refuse_write(path, std::generic_category().message(errno));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    fail_errno(path, errno);
  }
  if (!S_ISREG(st.st_mode)) {
    refuse_write(path, "it is " + std::string(kind_of(st.st_mode)) + ", not a regular file");
  }
  if (const auto opened = opened_location(fd.get());
      opened && !is_within(*opened, resolved(*root))) {
    refuse_write(path, "it leads outside the checkout");
  }
  if (::ftruncate(fd.get(), 0) != 0) {
    fail_errno(path, errno);
  }
  write_all(fd.get(), path, content);
  if (fd.release_and_close() != 0) {
    fail_errno(path, errno);
  }
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
