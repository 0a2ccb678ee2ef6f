#include "quarnel/plugins/builtin/senwick.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::senwick {

namespace fs = utils::fs;
namespace text = utils::text;

namespace {

// How many table names the not-found evidence spells out before summing up the rest.
constexpr std::size_t NAMED_IN_EVIDENCE = 8;

}  // namespace

base::CheckResult SenwickPlugin::check(std::string_view indicator_id,
                                       const base::Context& context) const {
  const auto& repo = context.repo_path;
  std::vector<std::string> found;
  std::vector<std::string> names;
  for (const auto& [file, label] : detail::DEP_FILES) {
    // Presence is all that counts: an entry of any kind, never opened.
    if (!fs::exists(repo / file)) continue;
    found.push_back(std::string(file) + " (" + std::string(label) + ")");
    names.emplace_back(file);
  }

  if (found.empty()) {
    std::vector<std::string> named;
    for (std::size_t i = 0; i < NAMED_IN_EVIDENCE; ++i) {
      named.emplace_back(detail::DEP_FILES[i].first);
    }
    return make_result(
        indicator_id,
        {.score = 0.0,
         .status = base::CheckStatus::UNKNOWN,
         .process = "Searched for dependency/requirements files",
         .output = "No dependency specification found",
         .evidence = "Checked: " + text::join(named, ", ") + " and " +
                     std::to_string(detail::DEP_FILES.size() - NAMED_IN_EVIDENCE) + " more"});
  }

  return make_result(indicator_id, {.score = found.size() == 1 ? 7.0 : 9.0,
                                    .process = "Found dependency specification files",
                                    .output = text::join(found, "; "),
                                    .evidence = "Files: " + text::join(names, ", ")});
}

}  // namespace quarnel::plugins::builtin::senwick
