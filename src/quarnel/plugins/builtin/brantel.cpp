#include "quarnel/plugins/builtin/brantel.hpp"

#include <algorithm>
#include <deque>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/files.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::brantel {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;
using utils::regex::Regex;

namespace {

constexpr std::size_t SHOWN_LICENSES = 5;
constexpr std::size_t EMPTY_LICENSE_CHARS = 10;

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& table, std::string_view value) {
  return std::find(table.begin(), table.end(), value) != table.end();
}

// A file name as text: names are bytes, and one that is not UTF-8 must still be shown and
// compared without failing.
std::string name_text(const stdfs::path& name) {
  return text::decode_raw(name.native(), text::DecodeMode::Replace);
}

std::string lowered_suffix(const std::string& name) {
  return text::lower(detail::file_suffix(name));
}

// The entries of `dir` in listing order, or none when it cannot be listed to the end.
std::optional<std::vector<stdfs::directory_entry>> list_entries(const stdfs::path& dir) {
  std::error_code ec;
  stdfs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  std::vector<stdfs::directory_entry> entries;
  for (; it != stdfs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    entries.push_back(*it);
  }
  if (ec) return std::nullopt;
  return entries;
}

std::string shown_licenses(const std::vector<std::string>& stems) {
  const std::size_t shown = std::min(stems.size(), SHOWN_LICENSES);
  std::string out =
      text::join(std::vector<std::string>(stems.begin(), stems.begin() + shown), ", ");
  if (stems.size() > SHOWN_LICENSES) {
    out += ", and " + std::to_string(stems.size() - SHOWN_LICENSES) + " more";
  }
  return out;
}

}  // namespace

namespace detail {

std::string_view file_suffix(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

std::string_view file_stem(std::string_view name) {
  return name.substr(0, name.size() - file_suffix(name).size());
}

std::optional<std::string> detect_spdx(std::string_view content) {
  static const std::vector<Regex> patterns = [] {
    std::vector<Regex> out;
    out.reserve(SPDX_PATTERNS.size());
    for (const SpdxPattern& entry : SPDX_PATTERNS) {
      out.emplace_back(entry.pattern,
                       utils::regex::IGNORECASE | (entry.dotall ? utils::regex::DOTALL : 0u));
    }
    return out;
  }();
  static const std::vector<Regex> names = [] {
    std::vector<Regex> out;
    out.reserve(QUOTING_LICENSES.size());
    for (const QuotingLicense& license : QUOTING_LICENSES) {
      out.emplace_back(license.name, utils::regex::IGNORECASE);
    }
    return out;
  }();

  // The quoting license named first, if one is named at all.
  std::optional<std::size_t> owner;
  std::size_t owner_at = content.size();
  for (std::size_t i = 0; i < QUOTING_LICENSES.size(); ++i) {
    if (const auto match = names[i].search(content); match && match->start() < owner_at) {
      owner = i;
      owner_at = match->start();
    }
  }
  if (owner) {
    // The text is the owner's unless another license of the table is named before it.
    const std::string_view owner_id = QUOTING_LICENSES[*owner].spdx_id;
    bool named_first = true;
    bool own_match = false;
    for (std::size_t i = 0; i < SPDX_PATTERNS.size() && named_first; ++i) {
      const auto match = patterns[i].search(content);
      if (SPDX_PATTERNS[i].spdx_id == owner_id) {
        own_match = match.has_value();
      } else if (match && match->start() < owner_at) {
        named_first = false;
      }
    }
    if (named_first) {
      if (own_match) return std::string(owner_id);
      return std::nullopt;
    }
  }

  for (std::size_t i = 0; i < SPDX_PATTERNS.size(); ++i) {
    if (patterns[i].contains_match(content)) return std::string(SPDX_PATTERNS[i].spdx_id);
  }
  return std::nullopt;
}

std::optional<std::string> scan_spdx_headers(const stdfs::path& checkout) {
  static const Regex header(SPDX_HEADER_PATTERN);
  const stdfs::path repo = fs::checkout_dir(checkout);

  // Only names below the checkout are skipped: where the checkout lives (below a directory
  // named build, say) is no part of it, and "." from inside must see what the full path sees.
  if (!fs::is_directory(repo)) return std::nullopt;

  std::size_t files_read = 0;
  std::deque<stdfs::path> pending{repo};
  while (!pending.empty()) {
    const stdfs::path dir = std::move(pending.front());
    pending.pop_front();
    const auto entries = list_entries(dir);
    if (!entries) continue;
    for (const stdfs::directory_entry& entry : *entries) {
      const stdfs::path& path = entry.path();
      // Nothing below a skipped directory is read, so it is not entered at all.
      if (listed(SKIP_DIRS, path.filename().native())) continue;
      std::error_code ec;
      if (!entry.is_symlink(ec) && entry.is_directory(ec)) {
        pending.push_back(path);
        continue;
      }
      // The name is tested before the file system is asked anything: on a large tree most
      // entries are passed over by their suffix alone.
      if (!listed(TEXT_EXTS, lowered_suffix(name_text(path.filename())))) continue;
      if (!fs::is_regular_file(path)) continue;

      std::string head;
      try {
        head = fs::read_text_prefix(path, SPDX_HEADER_CHARS, text::DecodeMode::Drop, repo);
      } catch (const OsError&) {
        continue;
      }
      ++files_read;
      if (const auto found = header.search(head)) {
        return found->group(1);
      }
      if (files_read >= SPDX_HEADER_SAMPLE) return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> reuse_license_stems(const stdfs::path& repo) {
  const std::optional<stdfs::path> found = fs::named_directory(repo, REUSE_DIR);
  if (!found) return {};
  const stdfs::path& dir = *found;

  std::error_code ec;
  stdfs::directory_iterator it(dir, ec);
  std::vector<std::string> stems;
  for (; !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
    const stdfs::path path = it->path();
    if (!fs::is_regular_file(path)) continue;
    // What lies outside is not part of the assessed repository, whatever a link inside says.
    if (fs::is_symlink(path) && !fs::resolves_inside(path, repo)) continue;
    const std::string name = name_text(path.filename());
    const std::string suffix = lowered_suffix(name);
    if (suffix != ".txt" && suffix != ".md" && !suffix.empty()) continue;
    stems.emplace_back(file_stem(name));
  }
  if (ec) {
    throw OsError(ec.message() + ": " + text::repr(name_text(dir)));
  }
  // Byte order of UTF-8 is code-point order.
  std::sort(stems.begin(), stems.end());
  return stems;
}

}  // namespace detail

base::CheckResult BrantelPlugin::check(std::string_view indicator_id,
                                       const base::Context& context) const {
  return check_license(indicator_id, context);
}

base::CheckResult BrantelPlugin::check_license(std::string_view indicator_id,
                                               const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;

  const std::vector<std::string> stems = detail::reuse_license_stems(repo);
  if (!stems.empty()) {
    return make_result(indicator_id, {.score = 10.0,
                                      .process = "Detected REUSE-compliant LICENSES/ directory",
                                      .output = "Detected SPDX licenses: " + shown_licenses(stems),
                                      .evidence = "LICENSES/ contains " +
                                                  std::to_string(stems.size()) + " entries"});
  }

  const std::optional<stdfs::path> file = utils::files::find_first(repo, detail::LICENSE_FILES);
  if (file != std::nullopt) return check_license_file(indicator_id, repo, *file);

  if (const auto spdx_id = detail::scan_spdx_headers(repo)) {
    return make_result(indicator_id,
                       {.score = 7.0,
                        .process = "Found SPDX-License-Identifier headers in source files",
                        .output = "Detected " + *spdx_id,
                        .evidence = "SPDX header sampled from top-level source: " + *spdx_id});
  }

  std::vector<std::string> checked(detail::LICENSE_FILES.begin(), detail::LICENSE_FILES.end());
  return make_result(indicator_id, {.score = 0.0,
                                    .status = base::CheckStatus::UNKNOWN,
                                    .process = "Searched for license files in repository root",
                                    .output = "No license file found",
                                    .evidence = "Checked: " + text::join(checked, ", ")});
}

base::CheckResult BrantelPlugin::check_license_file(std::string_view indicator_id,
                                                    const stdfs::path& repo,
                                                    const stdfs::path& file) const {
  const std::string name = name_text(file.filename());
  std::string content;
  try {
    content = fs::read_text(file, text::DecodeMode::Replace, repo);
  } catch (const OsError& error) {
    return make_result(indicator_id, {.score = 3.0,
                                      .process = "Found " + name + " but could not read it",
                                      .output = error.what(),
                                      .evidence = "File: " + name});
  }

  const std::string length = std::to_string(text::length(content));
  if (text::length(text::strip(content)) < EMPTY_LICENSE_CHARS) {
    return make_result(indicator_id, {.score = 2.0,
                                      .process = "License file exists but appears empty",
                                      .output = name + ": " + length + " chars",
                                      .evidence = "File: " + name});
  }

  if (const auto spdx_id = detail::detect_spdx(content)) {
    return make_result(indicator_id, {.score = 10.0,
                                      .process = "Identified SPDX license: " + *spdx_id,
                                      .output = "Detected " + *spdx_id,
                                      .evidence = "File: " + name + ", SPDX: " + *spdx_id});
  }
  return make_result(indicator_id,
                     {.score = 7.0,
                      .process = "Found license file but could not match SPDX identifier",
                      .output = "License file: " + name,
                      .evidence = "File: " + name + ", length: " + length});
}

}  // namespace quarnel::plugins::builtin::brantel
