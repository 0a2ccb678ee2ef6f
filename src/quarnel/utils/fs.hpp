#pragma once

// File-system helpers for reading an untrusted checkout. The tests never throw; reads refuse
// anything but a regular file, read at most MAX_READ_BYTES, and refuse links that resolve
// outside a given root; named directories are decided by one rule (named_directory), and the one
// file written, the report, by another (write_text).

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quarnel/utils/text.hpp"

namespace quarnel::utils::fs {

namespace stdfs = std::filesystem;

inline constexpr std::size_t MAX_READ_BYTES = 8 * 1024 * 1024;

// Following links; false on any error.
bool exists(const stdfs::path& path) noexcept;
bool is_regular_file(const stdfs::path& path) noexcept;
bool is_directory(const stdfs::path& path) noexcept;
// The entry itself, not following a link; false on any error.
bool is_symlink(const stdfs::path& path) noexcept;
// Whether there is an entry of that name at all, a dangling or looping link included.
bool entry_exists(const stdfs::path& path) noexcept;

// The directory a checkout path names. The empty path is the working directory, as it is for
// git; every check and finder goes through this, so that "" and "." always see the same tree.
stdfs::path checkout_dir(const stdfs::path& repo);

// True when `path`, with every link resolved, is `root` or lies below it (`root` resolved too).
// False when either cannot be resolved: missing, a dangling link, a link loop.
bool resolves_inside(const stdfs::path& path, const stdfs::path& root) noexcept;

// The directory `name` (relative: "docs", ".github/workflows", ...) below the checkout `repo`,
// and the one rule for named directories: reached through a link, it is that directory when the
// link resolves inside the checkout, and absent when it resolves outside, dangles or loops. The
// path is returned as formed below checkout_dir(repo), not resolved, so that callers show it
// and make it relative as given. The empty name is the checkout itself. A walk below the
// directory still never enters a link to a directory.
std::optional<stdfs::path> named_directory(const stdfs::path& repo, const stdfs::path& name);

// Whole file as bytes. Raises OsError when the path is not a regular file after following
// links, is larger than MAX_READ_BYTES, cannot be opened or read, or - when `root` is given -
// resolves to a place outside `root`.
std::string read_bytes(const stdfs::path& path, const std::optional<stdfs::path>& root = {});

// The first `max_chars` characters of the file's text, decoded as read_text decodes, from a
// prefix just long enough for them: a large file is not read whole for its first lines. The
// refusals are those of read_bytes, except that a file larger than MAX_READ_BYTES is read too;
// at most MAX_READ_BYTES are read, and a file whose first MAX_READ_BYTES hold fewer characters
// gives those. `mode` is Replace or Drop (ValueError for Strict): whether the bytes past the
// prefix decode is not known, and a strict read must not depend on how much was read.
std::string read_text_prefix(const stdfs::path& path, std::size_t max_chars, text::DecodeMode mode,
                             const std::optional<stdfs::path>& root = {});

// read_bytes, then text::decode with the given mode (DecodeError in strict mode).
std::string read_text(const stdfs::path& path, text::DecodeMode mode = text::DecodeMode::Strict,
                      const std::optional<stdfs::path>& root = {});

// read_text, with none for a file that cannot be read or (in strict mode) decoded: for the many
// steps that treat an unreadable or undecodable checkout file as absent.
std::optional<std::string> read_text_or_none(const stdfs::path& path,
                                             text::DecodeMode mode = text::DecodeMode::Strict,
                                             const std::optional<stdfs::path>& root = {});

// Whether write_text may make the missing directories on the way to the file.
enum class Parents { Existing, Made };

// The checkout a run assesses, as it was when the run started: the directory held open, told
// from every other by its device and inode, which the report rule compares with; its name is
// never looked up again for the write. It is taken by walking its path as write_text walks the
// user's own part of a report path: a symbolic link on the way is followed only when it belongs
// to the user or root, and is no link of another user's in a sticky directory that others may
// write; in a user namespace a link whose owner shows as the overflow uid is followed only where
// nobody but root could have made it. Held open, the directory keeps its device and inode from
// going to another directory while the run lasts.
class Checkout {
 public:
  // OsError "cannot write a report for 'DIR': REASON" when a link on the way is refused (the
  // reason names the link, its owner and where it leads), when the directory cannot be reached
  // or opened, or when it was removed.
  static Checkout take(const stdfs::path& dir);

  Checkout(Checkout&& other) noexcept;
  Checkout& operator=(Checkout&& other) noexcept;
  Checkout(const Checkout&) = delete;
  Checkout& operator=(const Checkout&) = delete;
  ~Checkout();

  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

 private:
  // The write of a report with the checkout named by a path takes it too, and words a refusal
  // as its own: `taken` gives the bare reason.
  friend void write_text(const stdfs::path& path, std::string_view content,
                         const std::optional<stdfs::path>& root, Parents parents);
  static Checkout taken(const stdfs::path& dir);
  Checkout(int fd, dev_t device, ino_t inode) : fd_(fd), device_(device), inode_(inode) {}

  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// Writes the text exactly (UTF-8, no BOM, nothing appended), replacing the file; with
// Parents::Made, the missing directories that the path as written names are made first (OsError
// "Cannot create directory ..." when one cannot be), never a name of a link's target: there only
// the file may be missing, as the kernel's open makes it. OsError on failure.
//
// The path is walked as the kernel would walk it, one name at a time from a descriptor of the
// directory before it (links followed name by name, ".." taken from where the walk is), and the
// file is opened from the descriptor of its directory: nothing is looked up again by name, so a
// change to the checkout while quarnel runs cannot move the write by a second lookup. With
// `checkout`, the one being assessed, the rule for the one file quarnel writes: whether a
// directory is the checkout or lies below it is told by its device and inode (the checkout's,
// taken when the run started, and each directory's the walk entered below it), never by a path's
// text. From the first directory of the checkout on, a link must resolve inside the checkout (a
// dangling, looping or leading-out one is refused for what it is), a ".." must lead back to the
// directory the walk came down from, the walk may leave the checkout again only by a ".." as
// written and before any link of the checkout was followed, and the file must be a regular file
// with one link, or not exist yet. The whole path is walked before anything is made. A path that
// never enters the checkout, or leaves it by a ".." as written, is the user's own: a link there
// is followed only when it belongs to the effective user or to root (owner and target read from
// the one link held), so /dev/null or /dev/stdout work, and a link of another user is refused,
// since another user who can write the checkout can move its directories out; an existing FIFO
// there is written only when it is the user's or root's. Wherever the walk goes, a link of
// another user in a sticky directory that others may write is followed only when it belongs to
// that directory's owner, as the kernel's fs.protected_symlinks asks. In a user namespace that
// does not map every uid, an owner shown as the overflow uid is nobody known: such a link is
// followed only in procfs or in a directory of root's (or the overflow uid's) that neither group
// nor others may write. A doubt is never the user's own: when going up from the working directory
// meets a ".." that cannot be opened before it reaches the checkout or the top of the tree, the
// write is refused as one that "could not tell"; a relative path from a working directory that
// was removed is refused. OsError naming the path and the entry when the rule refuses.
void write_text(const stdfs::path& path, std::string_view content, const Checkout& checkout,
                Parents parents = Parents::Existing);

// As above with no checkout, or with the checkout `root` taken now (Checkout::take); when it
// cannot be taken the write is refused as one that "could not tell whether it lies in the
// checkout", with the reason.
void write_text(const stdfs::path& path, std::string_view content,
                const std::optional<stdfs::path>& root = {}, Parents parents = Parents::Existing);

// Puts a stand-in on the standard descriptor `fd` (0, 1 or 2), closed when the process
// started, so that no file or pipe opened later takes its number: the read end of a pipe with
// no writer, so that a read sees the end at once and a write fails with "Bad file descriptor",
// as on the closed descriptor. It is a file of its own, which no name a user gives can reach
// but one that reopens the descriptor (/dev/stdout, /dev/fd/1, /proc/self/fd/1): write_text
// refuses that with "Bad file descriptor" too, where reopening it would lose the report. False
// when no stand-in can be made.
bool stand_in_for_closed(int fd) noexcept;

namespace detail {

// The moments of the walk at which write_text calls the hook: just after an entry was looked
// up, whatever was found there; once a directory was entered; and once the whole path is
// decided, just before the file is opened. `entry` is the path as written up to the entry, or
// where the walk found it, and "" at the decision. A test changes the checkout there, as another
// process could at any moment. Empty (the default) calls nothing.
enum class WalkMoment { LookedUp, Entered, Decided };
using WalkHook = std::function<void(WalkMoment moment, const std::string& entry)>;
void set_walk_hook(WalkHook hook);

}  // namespace detail

}  // namespace quarnel::utils::fs
