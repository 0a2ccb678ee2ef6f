#pragma once

// The CI configuration files of a checkout, with the CI system each belongs to.

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarnel::utils::ci {

// A configuration file, as a path below the checkout path that was handed in, and the name of
// the CI system it configures.
using CiConfig = std::pair<std::filesystem::path, std::string>;

// Every CI configuration file of `repo`, in the order of detail::CI_SOURCES, the files of one
// directory sorted by name. Only regular files that resolve inside the checkout are reported,
// and the CI places are directories by the rule of fs::named_directory (a link resolving inside
// the checkout is that directory; one resolving outside, dangling or looping is absent).
// Ordinary failures (a missing or unlistable directory) mean absence; nothing from the
// checkout is read.
std::vector<CiConfig> find_ci_configs(const std::filesystem::path& repo);

namespace detail {

// A place where a CI system keeps its configuration: one file, or a directory whose ".yml" and
// ".yaml" files each configure it.
struct CiSource {
  std::string_view path;  // relative to the checkout, "/" between components
  std::string_view type;
  bool directory;
};

inline constexpr std::array<CiSource, 17> CI_SOURCES = {{
    {".github/workflows", "GitHub Actions", true},
    {".gitlab-ci.yml", "GitLab CI", false},
    {"Jenkinsfile", "Jenkins", false},
    {".circleci/config.yml", "CircleCI", false},
    {".circleci/config.yaml", "CircleCI", false},
    {".travis.yml", "Travis CI", false},
    {"azure-pipelines.yml", "Azure Pipelines", false},
    {"azure-pipelines.yaml", "Azure Pipelines", false},
    {"bitbucket-pipelines.yml", "Bitbucket Pipelines", false},
    {".gitea/workflows", "Gitea Actions", true},
    {".forgejo/workflows", "Forgejo Actions", true},
    {".woodpecker.yml", "Woodpecker", false},
    {".woodpecker.yaml", "Woodpecker", false},
    {".woodpecker", "Woodpecker", true},
    {".drone.yml", "Drone", false},
    {"appveyor.yml", "AppVeyor", false},
    {".appveyor.yml", "AppVeyor", false},
}};

}  // namespace detail

}  // namespace quarnel::utils::ci
