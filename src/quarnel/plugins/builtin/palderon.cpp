#include "quarnel/plugins/builtin/palderon.hpp"

#include <string>
#include <vector>

#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::plugins::builtin::palderon {

namespace text = utils::text;

base::CheckResult PalderonPlugin::check(std::string_view indicator_id,
                                        const base::Context& context) const {
  const auto& repo = context.git_repo;
  if (!repo.is_repo()) {
    return make_result(indicator_id, {.score = 0.0,
                                      .process = "Check for git repository",
                                      .output = "Not a git repository",
                                      .evidence = "Path: " + context.repo_path.string()});
  }

  double score = 5.0;
  std::vector<std::string> details;

  if (const auto remote = repo.remote_url(); text::truthy(remote)) {
    // The remote may carry a token in its user information; it never reaches a result.
    details.push_back("Remote: " + utils::forge::redact_url(*remote));
    score += 2.0;
  }

  // Listed even when git could not count, so a checkout always shows at least this detail.
  const long long commits = repo.commit_count();
  details.push_back("Commits: " + std::to_string(commits));
  if (commits >= 10) {
    score += 1.5;
  } else if (commits >= 3) {
    score += 0.5;
  }

  if (const auto branch = repo.current_branch(); text::truthy(branch)) {
    details.push_back("Branch: " + *branch);
  }

  if (const auto tag = repo.latest_tag(); text::truthy(tag)) {
    details.push_back("Latest tag: " + *tag);
    score += 1.5;
  }

  const std::string joined = text::join(details, "; ");
  return make_result(indicator_id, {.score = score,
                                    .process = "Inspected git repository metadata",
                                    .output = joined,
                                    .evidence = joined});
}

}  // namespace quarnel::plugins::builtin::palderon
