#include "quarnel/core/context.hpp"

#include <utility>

#include "quarnel/utils/fs.hpp"

namespace quarnel::core::context {

Context::Context(std::filesystem::path path, std::optional<std::string> url,
                 std::optional<std::string> github, std::optional<std::string> gitlab,
                 std::optional<std::string> gitea, std::optional<std::string> host)
    : repo_path(utils::fs::checkout_dir(path)),
      repo_url(std::move(url)),
      git_repo(utils::fs::checkout_dir(path)),
      github_token(std::move(github)),
      gitlab_token(std::move(gitlab)),
      gitea_token(std::move(gitea)),
      gitlab_host(std::move(host)) {}

}  // namespace quarnel::core::context
