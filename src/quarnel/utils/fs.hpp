#pragma once

// File-system helpers for reading an untrusted checkout. The tests never throw; reads refuse
// anything but a regular file, read at most MAX_READ_BYTES, and refuse links that resolve
// outside a given root; named directories are decided by one rule (named_directory), and the one
// file written, the report, by another (write_text).

#include <cstddef>
#include <filesystem>
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

// Whether `path` as given, made absolute against the working directory and with "." and ".."
// taken as written (no link followed), names `root` or a place below it; `root` counts both as
// given and resolved. False when either cannot be made absolute.
bool lies_inside(const stdfs::path& path, const stdfs::path& root) noexcept;

// Whether write_text may make the missing directories on the way to the file.
enum class Parents { Existing, Made };

// Writes the text exactly (UTF-8, no BOM, nothing appended), replacing the file; with
// Parents::Made, missing directories on the way are made first (OsError "Cannot create
// directory ..." when one cannot be). OsError on failure.
//
// With `root`, the checkout being assessed, the rule for the one file quarnel writes. The path
// is walked as the kernel will walk it (links followed, ".." taken from where a link led); from
// the first entry that lies in the checkout, or that the walk enters it through, every entry is
// held to the rule, as is a path that lies_inside the checkout: a link must resolve inside the
// checkout (a dangling, looping or leading-out one is refused for what it is), the walk may not
// leave the checkout again except by a ".." that leaves it as written too, and the file must be
// a regular file with one link, or not exist yet. The whole path is checked before anything is
// made; directories and the file are then made and opened from descriptors of the directories
// checked, never through a link, and the file is written only once its descriptor shows a
// regular file of the checkout with one link. A path that never enters the checkout is the
// user's own: a link of theirs is followed, and /dev/null or /dev/stdout work. OsError naming the
// path and the entry when the rule refuses.
void write_text(const stdfs::path& path, std::string_view content,
                const std::optional<stdfs::path>& root = {}, Parents parents = Parents::Existing);

}  // namespace quarnel::utils::fs
