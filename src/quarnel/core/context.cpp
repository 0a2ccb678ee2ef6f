#include "quarnel/core/context.hpp"

#include <utility>

namespace quarnel::core::context {

Context::Context(std::filesystem::path path, std::optional<std::string> url,
                 std::optional<std::string> github, std::optional<std::string> gitlab,
                 std::optional<std::string> gitea)
    : repo_path(path),
      repo_url(std::move(url)),
      git_repo(std::move(path)),
      github_token(std::move(github)),
      gitlab_token(std::move(gitlab)),
      gitea_token(std::move(gitea)) {}

}  // namespace quarnel::core::context
