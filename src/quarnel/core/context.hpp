#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "quarnel/utils/git.hpp"

namespace quarnel::core::context {

// What a check receives about the assessed repository. Checks only read it.
struct Context {
  // The checkout. An empty path is stored as "." (fs::checkout_dir), so that every check sees
  // the working directory through the same name and none has to decide it again.
  std::filesystem::path repo_path;
  std::optional<std::string> repo_url;  // empty or none when not given
  utils::git::GitRepo git_repo;         // of repo_path, also when it is no git checkout
  std::optional<std::string> github_token;
  std::optional<std::string> gitlab_token;
  std::optional<std::string> gitea_token;
  // The host the GitLab token belongs to instead of gitlab.com, as the command line reads it
  // from GITLAB_HOST: a host name (optionally with ":port") or a URL; none or empty for none.
  std::optional<std::string> gitlab_host;

  explicit Context(std::filesystem::path path, std::optional<std::string> url = std::nullopt,
                   std::optional<std::string> github = std::nullopt,
                   std::optional<std::string> gitlab = std::nullopt,
                   std::optional<std::string> gitea = std::nullopt,
                   std::optional<std::string> host = std::nullopt);
};

}  // namespace quarnel::core::context
