#include "quarnel/plugins/builtin/yarrowin.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/files.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/yaml.hpp"

namespace quarnel::plugins::builtin::yarrowin {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace text = utils::text;

namespace detail {

std::pair<bool, std::string> basic_cff_check(const stdfs::path& path, const stdfs::path& root) {
  std::string content;
  try {
    content = fs::read_text(path, text::DecodeMode::Strict, root);
  } catch (const OsError& error) {
    return {false, "Could not read: " + std::string(error.what())};
  } catch (const DecodeError& error) {
    // Bytes that are not UTF-8 make the file as unusable as one that cannot be opened.
    return {false, "Could not read: " + std::string(error.what())};
  }
  if (text::length(text::strip(content)) < 20) return {false, "File is too short"};

  utils::yaml::SafeDocument document;
  try {
    document = utils::yaml::safe_load(content);
  } catch (const utils::yaml::YamlError& error) {
    return {false, "Invalid YAML: " + std::string(error.what())};
  }
  if (!document.is_mapping) return {false, "CFF root must be a mapping"};

  static constexpr std::array<std::string_view, 3> REQUIRED = {"cff-version", "title", "authors"};
  std::vector<std::string> missing;
  for (const auto key : REQUIRED) {
    if (std::find(document.text_keys.begin(), document.text_keys.end(), key) ==
        document.text_keys.end()) {
      missing.emplace_back(key);
    }
  }
  if (!missing.empty()) return {false, "Missing keys: " + text::join(missing, ", ")};
  return {true, "Valid CFF structure"};
}

}  // namespace detail

base::CheckResult YarrowinPlugin::check(std::string_view indicator_id,
                                        const base::Context& context) const {
  const stdfs::path& root = context.repo_path;
  std::vector<std::string> found;
  for (const auto& path : utils::files::find_files(root, detail::CITATION_FILES)) {
    found.push_back(path.filename().string());
  }

  if (found.empty()) {
    std::vector<std::string> checked(detail::CITATION_FILES.begin(), detail::CITATION_FILES.end());
    return make_result(indicator_id, {.score = 0.0,
                                      .process = "Searched for citation files",
                                      .output = "No citation file found",
                                      .evidence = "Checked: " + text::join(checked, ", ")});
  }

  const std::string files = text::join(found, ", ");
  const bool has_cff = std::any_of(found.begin(), found.end(), [](const std::string& name) {
    return text::lower(name).ends_with(".cff");
  });
  if (!has_cff) {
    return make_result(indicator_id, {.score = 7.0,
                                      .process = "Found citation file (not CFF format)",
                                      .output = "Citation files: " + files,
                                      .evidence = "Files: " + files});
  }

  stdfs::path cff_path = root / "CITATION.cff";
  if (!fs::exists(cff_path)) cff_path = root / "citation.cff";
  auto [valid, msg] = detail::basic_cff_check(cff_path, root);
  if (valid) {
    return make_result(indicator_id, {.score = 10.0,
                                      .process = "Found and validated CITATION.cff",
                                      .output = std::move(msg),
                                      .evidence = "Files: " + files});
  }
  return make_result(indicator_id, {.score = 5.0,
                                    .process = "CITATION.cff exists but has issues",
                                    .output = std::move(msg),
                                    .evidence = "Files: " + files});
}

}  // namespace quarnel::plugins::builtin::yarrowin
