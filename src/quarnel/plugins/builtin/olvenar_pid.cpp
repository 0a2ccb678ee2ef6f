#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"
#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::olvenar {

namespace {

namespace fs = utils::fs;
namespace json = utils::json;
namespace text = utils::text;
using Json = json::Json;

const utils::regex::Regex& doi_re() {
  static const utils::regex::Regex re(R"(10\.\d{4,}/[^\s]+)");
  return re;
}

constexpr std::array<std::string_view, 4> README_NAMES = {"README.md", "README.rst", "README.txt",
                                                          "README"};

// One source's contribution: a finding text and its points, or nothing.
struct Finding {
  std::string text;
  double points = 0.0;
};

// The text candidates of one metadata member: the text itself, or the texts of an array in
// order. Anything else (objects inside arrays included) is not searched.
bool member_holds_doi(const Json& document, std::string_view key) {
  const Json* value = json::find(document, key);
  if (value == nullptr) return false;
  if (value->is_string()) return doi_re().contains_match(value->get_ref<const std::string&>());
  if (value->is_array()) {
    for (const Json& element : *value) {
      if (element.is_string() && doi_re().contains_match(element.get_ref<const std::string&>())) {
        return true;
      }
    }
  }
  return false;
}

std::optional<Finding> codemeta_finding(const std::filesystem::path& root) {
  const auto path = root / "codemeta.json";
  if (!fs::exists(path)) return std::nullopt;
  const std::optional<Json> read = json::read_object_or_none(path, root);
  if (!read) return std::nullopt;
  const Json& document = *read;
  for (std::string_view key : detail::PID_KEYS) {
    if (member_holds_doi(document, key)) {
      return Finding{"DOI in codemeta.json (" + std::string(key) + ")", 5.0};
    }
  }
  if (json::member_truthy(document, "identifier") || json::member_truthy(document, "@id")) {
    return Finding{"identifier in codemeta.json (not DOI)", 2.0};
  }
  return std::nullopt;
}

std::optional<Finding> citation_finding(const std::filesystem::path& root) {
  auto path = root / "CITATION.cff";
  if (!fs::exists(path)) path = root / "citation.cff";
  if (!fs::exists(path)) return std::nullopt;
  const std::optional<std::string> read =
      fs::read_text_or_none(path, text::DecodeMode::Strict, root);
  if (!read) return std::nullopt;
  const std::string& content = *read;
  // Either spelling of the file is reported under its canonical name.
  if (doi_re().contains_match(content)) return Finding{"DOI in CITATION.cff", 3.0};
  if (text::contains(content, "repository-code:") || text::contains(content, "url:")) {
    return Finding{"repository URL in CITATION.cff", 2.0};
  }
  return Finding{"CITATION.cff present (no DOI or URL)", 1.0};
}

std::optional<Finding> zenodo_finding(const std::filesystem::path& root) {
  // Its presence alone says a Zenodo deposit is configured; the file is never opened.
  if (!fs::exists(root / ".zenodo.json")) return std::nullopt;
  return Finding{".zenodo.json present (Zenodo DOI expected)", 2.0};
}

std::optional<Finding> readme_finding(const std::filesystem::path& root) {
  for (std::string_view name : README_NAMES) {
    const auto path = root / name;
    if (!fs::exists(path)) continue;
    // Only the first README present is examined, whatever it holds.
    std::string content;
    try {
      content = fs::read_text(path, text::DecodeMode::Replace, root);
    } catch (const OsError&) {
      return std::nullopt;
    }
    const auto match = doi_re().search(content);
    if (!match) return std::nullopt;
    return Finding{"DOI in " + std::string(name) + ": " + match->group().value_or(""), 3.0};
  }
  return std::nullopt;
}

std::optional<Finding> forge_finding(const base::Context& context, double score_so_far) {
  // The URL is obtained on every call, even when the forge step cannot add anything.
  const std::optional<std::string> url =
      text::truthy(context.repo_url) ? context.repo_url : context.git_repo.remote_url();
  if (!text::truthy(url) || score_so_far >= 8.0) return std::nullopt;
  std::optional<std::string> forge;
  try {
    forge = utils::forge::detect_forge(*url);
  } catch (const UrlError&) {
    // A URL the forge parser rejects names no known forge.
    return std::nullopt;
  }
  if (!text::truthy(forge)) return std::nullopt;
  return Finding{"public repository on " + *forge, 3.0};
}

}  // namespace

base::CheckResult OlvenarPlugin::check_pid(const base::Context& context) const {
  const std::filesystem::path root = detail::checkout_root(context);
  std::vector<std::string> findings;
  double score = 0.0;
  const auto add = [&](std::optional<Finding> finding) {
    if (!finding) return;
    findings.push_back(std::move(finding->text));
    score += finding->points;
  };

  add(codemeta_finding(root));
  add(citation_finding(root));
  add(zenodo_finding(root));
  add(readme_finding(root));
  add(forge_finding(context, score));

  if (findings.empty()) {
    return make_result("persistent_identifier",
                       {.score = 0.0,
                        .status = base::CheckStatus::UNKNOWN,
                        .process = "Searched for persistent identifiers (DOI, etc.)",
                        .output = "No persistent identifier detected",
                        .evidence = "Checked: codemeta.json, CITATION.cff, .zenodo.json, README, "
                                    "forge URL"});
  }
  const std::string joined = text::join(findings, "; ");
  return make_result("persistent_identifier",
                     {.score = std::min(score, 10.0),
                      .status = std::nullopt,
                      .process = "Checked metadata files for persistent identifiers",
                      .output = joined,
                      .evidence = joined});
}

}  // namespace quarnel::plugins::builtin::olvenar
