#include "quarnel/plugins/builtin/quillan.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/ini.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::quillan {

namespace stdfs = std::filesystem;
namespace fs = utils::fs;
namespace json = utils::json;
namespace text = utils::text;
using utils::regex::Regex;

namespace detail {

namespace {

bool present(const stdfs::path& repo, std::string_view name) {
  return fs::is_regular_file(repo / name);
}

// The checkout is untrusted: text that is not UTF-8, like a JSON file of another shape, is
// treated as a file that cannot be read, so one odd file costs only its own points and never
// the whole check.
std::optional<std::string> read_strict(const stdfs::path& repo, std::string_view name) {
  return fs::read_text_or_none(repo / name, text::DecodeMode::Strict, repo);
}

std::optional<json::Json> read_json_object(const stdfs::path& repo, std::string_view name) {
  return json::read_object_or_none(repo / name, repo);
}

}  // namespace

ScorerResult score_codemeta(const stdfs::path& repo) {
  if (!present(repo, "codemeta.json")) return {0.0, {}};
  const std::optional<json::Json> meta = read_json_object(repo, "codemeta.json");
  if (!meta) return {1.0, {"codemeta.json present but unparseable"}};

  double points = 4.0;
  std::vector<std::string> labels;
  if (json::member_truthy(*meta, "name")) {
    points += 2.0;
    labels.emplace_back("codemeta.name");
  }
  if (json::member_truthy(*meta, "codeRepository")) {
    points += 2.0;
    labels.emplace_back("codemeta.codeRepository");
  }
  if (json::member_truthy(*meta, "identifier") || json::member_truthy(*meta, "@id")) {
    points += 2.0;
    labels.emplace_back("codemeta.identifier");
  }
  if (labels.empty()) labels.emplace_back("codemeta.json");
  return {points, std::move(labels)};
}

ScorerResult score_citation_cff(const stdfs::path& repo) {
  static const Regex TITLE(R"((?m)^title\s*:)");
  static const Regex REPOSITORY(R"((?m)^(repository-code|repository|url)\s*:)");
  static const Regex DOI_KEY(R"((?m)^doi\s*:)");
  static const Regex DOI_TEXT(R"(10\.\d{4,}/\S+)");

  std::string_view name;
  if (present(repo, "CITATION.cff")) {
    name = "CITATION.cff";
  } else if (present(repo, "citation.cff")) {
    name = "citation.cff";
  } else {
    return {0.0, {}};
  }
  std::string content;
  try {
    content = fs::read_text(repo / name, text::DecodeMode::Replace, repo);
  } catch (const OsError&) {
    return {0.0, {}};
  }

  double points = 0.0;
  std::vector<std::string> labels;
  if (TITLE.contains_match(content)) {
    points += 3.0;
    labels.emplace_back("cff.title");
  }
  if (REPOSITORY.contains_match(content)) {
    points += 2.0;
    labels.emplace_back("cff.repository-code/url");
  }
  if (DOI_KEY.contains_match(content) || DOI_TEXT.contains_match(content)) {
    points += 2.0;
    labels.emplace_back("cff.doi");
  }
  return {points, std::move(labels)};
}

ScorerResult score_package_json(const stdfs::path& repo) {
  if (!present(repo, "package.json")) return {0.0, {}};
  const std::optional<json::Json> package = read_json_object(repo, "package.json");
  if (!package) return {0.0, {}};

  double points = 0.0;
  std::vector<std::string> labels;
  if (json::member_truthy(*package, "name")) {
    points += 3.0;
    labels.emplace_back("package.json.name");
  }
  if (json::member_truthy(*package, "repository") || json::member_truthy(*package, "homepage")) {
    points += 2.0;
    labels.emplace_back("package.json.repository/homepage");
  }
  return {points, std::move(labels)};
}

ScorerResult score_pyproject(const stdfs::path& repo) {
  static const Regex NAME_LINE(R"((?m)^\s*name\s*=)");
  if (!present(repo, "pyproject.toml")) return {0.0, {}};
  const std::optional<std::string> content = read_strict(repo, "pyproject.toml");
  if (!content) return {0.0, {}};

  double points = 0.0;
  std::vector<std::string> labels;
  if (text::contains(*content, "[project]") && NAME_LINE.contains_match(*content)) {
    points += 3.0;
    labels.emplace_back("pyproject.name");
  }
  if (text::contains(*content, "[project.urls]")) {
    points += 3.0;
    labels.emplace_back("pyproject.urls");
  }
  return {points, std::move(labels)};
}

ScorerResult score_setup_cfg(const stdfs::path& repo) {
  if (!present(repo, "setup.cfg")) return {0.0, {}};
  const std::optional<std::string> content = read_strict(repo, "setup.cfg");
  if (!content) return {0.0, {}};
  std::optional<utils::ini::IniFile> cfg;
  try {
    cfg = utils::ini::IniFile::parse(*content);
  } catch (const IniError&) {
    return {0.0, {}};
  }

  double points = 0.0;
  std::vector<std::string> labels;
  if (cfg->has_option("metadata", "name")) {
    points += 3.0;
    labels.emplace_back("setup.cfg.name");
  }
  if (cfg->has_option("metadata", "url")) {
    points += 3.0;
    labels.emplace_back("setup.cfg.url");
  }
  return {points, std::move(labels)};
}

ScorerResult score_setup_py(const stdfs::path& repo) {
  static const Regex NAME_ASSIGNMENT(R"(name\s*=\s*['"])");
  static const Regex URL_ASSIGNMENT(R"(url\s*=\s*['"])");
  if (!present(repo, "setup.py")) return {0.0, {}};
  const std::optional<std::string> content = read_strict(repo, "setup.py");
  if (!content) return {0.0, {}};

  double points = 0.0;
  std::vector<std::string> labels;
  if (NAME_ASSIGNMENT.contains_match(*content)) {
    points += 3.0;
    labels.emplace_back("setup.py.name");
  }
  if (URL_ASSIGNMENT.contains_match(*content)) {
    points += 2.0;
    labels.emplace_back("setup.py.url");
  }
  return {points, std::move(labels)};
}

}  // namespace detail

base::CheckResult QuillanPlugin::check(std::string_view indicator_id,
                                       const base::Context& context) const {
  if (indicator_id == "metadata_self_reference") return check_self_reference(context);
  if (indicator_id == "searchable_metadata") return check_searchable(context);
  return make_result(indicator_id, {.score = 0.0, .evidence = "not handled by this plugin"});
}

base::CheckResult QuillanPlugin::check_self_reference(const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  double total = 0.0;
  std::vector<std::string> labels;
  const auto take = [&](ScorerResult scored) {
    if (scored.first <= 0.0) return false;
    total += scored.first;
    labels.insert(labels.end(), std::make_move_iterator(scored.second.begin()),
                  std::make_move_iterator(scored.second.end()));
    return true;
  };

  for (const auto scorer :
       {detail::score_codemeta, detail::score_citation_cff, detail::score_package_json}) {
    take(scorer(repo));
  }
  // Packaging files describe the same project in alternative ways: the first that says
  // anything speaks for all of them, and the rest are not even opened.
  for (const auto scorer :
       {detail::score_pyproject, detail::score_setup_cfg, detail::score_setup_py}) {
    if (take(scorer(repo))) break;
  }

  const double score = std::min(total, 10.0);
  if (score == 0.0) {
    return make_result(
        "metadata_self_reference",
        {.score = 0.0,
         .status = base::CheckStatus::UNKNOWN,
         .process = "Searched recognised metadata files for self-reference fields",
         .output = "No self-referencing metadata detected",
         .evidence = "Checked: codemeta.json, CITATION.cff, pyproject.toml, setup.cfg, setup.py, "
                     "package.json"});
  }
  const std::string joined = text::join(labels, "; ");
  return make_result("metadata_self_reference",
                     {.score = score,
                      .process = "Tallied self-reference signals across metadata files",
                      .output = joined,
                      .evidence = joined});
}

base::CheckResult QuillanPlugin::check_searchable(const base::Context& context) const {
  const stdfs::path& repo = context.repo_path;
  std::vector<std::string> found;
  for (const std::string_view name : detail::METADATA_FILES) {
    if (fs::exists(repo / name)) found.emplace_back(name);
  }

  if (found.empty()) {
    const std::vector<std::string> all(detail::METADATA_FILES.begin(),
                                       detail::METADATA_FILES.end());
    return make_result("searchable_metadata", {.score = 0.0,
                                               .status = base::CheckStatus::UNKNOWN,
                                               .process = "Searched for metadata files",
                                               .output = "No metadata files found",
                                               .evidence = "Checked: " + text::join(all, ", ")});
  }

  const auto has = [&](std::string_view name) {
    return std::find(found.begin(), found.end(), name) != found.end();
  };
  double score = 4.0;
  if (has("codemeta.json")) score += 3.0;
  if (has(".zenodo.json")) score += 2.0;
  if (has("pyproject.toml")) score += 1.0;
  if (has("setup.py") || has("setup.cfg")) score += 1.0;
  if (has("CITATION.cff")) score += 1.5;
  if (has("package.json")) score += 1.0;
  score = std::min(score, 10.0);

  const std::string joined = text::join(found, ", ");
  return make_result("searchable_metadata", {.score = score,
                                             .process = "Found searchable metadata files",
                                             .output = "Metadata files: " + joined,
                                             .evidence = "Files: " + joined});
}

}  // namespace quarnel::plugins::builtin::quillan
