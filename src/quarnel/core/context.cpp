#include "quarnel/core/context.hpp"

#include <utility>

#include "quarnel/utils/fs.hpp"

namespace quarnel::core::context {

Context::Context(std::filesystem::path path, std::optional<std::string> url,
                 std::optional<std::string> github, std::optional<std::string> gitlab,
                 std::optional<std::string> gitea)
    : repo_path(utils::fs::checkout_dir(path)),
      repo_url(std::move(url)),
      git_repo(utils::fs::checkout_dir(path)),
      github_token(std::move(github)),
      gitlab_token(std::move(gitlab)),
      gitea_token(std::move(gitea)) {}

}  // namespace quarnel::core::context
