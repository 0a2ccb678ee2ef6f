#include "quarnel/utils/ci.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
using quarnel::testing::TempDir;
using quarnel::utils::ci::find_ci_configs;

// (path relative to the checkout, type) of each configuration found, in finder order.
using Found = std::vector<std::pair<std::string, std::string>>;

Found found_in(const stdfs::path& repo) {
  Found out;
  for (const auto& [path, type] : find_ci_configs(repo)) {
    out.emplace_back(path.lexically_relative(repo).generic_string(), type);
  }
  return out;
}

struct LayoutCase {
  std::string label;
  std::vector<std::string> entries;  // files; a trailing "/" makes a directory
  Found expected;
};

class CiLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(CiLayout, ReportsConfigurationFilesInFinderOrder) {
  const TempDir repo;
  for (const std::string& entry : GetParam().entries) {
    if (entry.ends_with("/")) {
      repo.mkdir(entry);
    } else {
      repo.write(entry, "x\n");
    }
  }
  EXPECT_EQ(found_in(repo.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CiLayout,
    ::testing::Values(
        LayoutCase{"Empty", {}, {}},
        LayoutCase{"GithubWorkflow",
                   {".github/workflows/ci.yml"},
                   {{".github/workflows/ci.yml", "GitHub Actions"}}},
        LayoutCase{"GitlabFile", {".gitlab-ci.yml"}, {{".gitlab-ci.yml", "GitLab CI"}}},
        LayoutCase{"Jenkinsfile", {"Jenkinsfile"}, {{"Jenkinsfile", "Jenkins"}}},
        LayoutCase{
            "CircleConfig", {".circleci/config.yml"}, {{".circleci/config.yml", "CircleCI"}}},
        LayoutCase{
            "WorkflowsSortedByNameAndOnlyYaml",
            {".github/workflows/b.yaml", ".github/workflows/a.yml", ".github/workflows/README.md",
             ".github/workflows/.yml", ".github/workflows/c.YML", ".github/workflows/dir.yml/"},
            {{".github/workflows/a.yml", "GitHub Actions"},
             {".github/workflows/b.yaml", "GitHub Actions"}}},
        LayoutCase{"SystemsInTableOrder",
                   {".travis.yml", "Jenkinsfile", ".github/workflows/x.yml", ".gitlab-ci.yml"},
                   {{".github/workflows/x.yml", "GitHub Actions"},
                    {".gitlab-ci.yml", "GitLab CI"},
                    {"Jenkinsfile", "Jenkins"},
                    {".travis.yml", "Travis CI"}}},
        LayoutCase{"DirectoriesWithConfigNamesAreNotFiles",
                   {".gitlab-ci.yml/", "Jenkinsfile/", ".circleci/config.yml/"},
                   {}},
        LayoutCase{"WorkflowsNestedDeeperAreIgnored", {".github/workflows/sub/ci.yml"}, {}},
        LayoutCase{"OtherForgesWorkflows",
                   {".forgejo/workflows/ci.yml", ".gitea/workflows/ci.yaml"},
                   {{".gitea/workflows/ci.yaml", "Gitea Actions"},
                    {".forgejo/workflows/ci.yml", "Forgejo Actions"}}}),
    [](const auto& info) { return info.param.label; });

TEST(CiFinder, PathsAreFormedBelowThePathHandedIn) {
  const TempDir repo;
  repo.write(".github/workflows/ci.yml", "x\n");
  // Not resolved, not normalised: the caller makes it relative to what it passed.
  const stdfs::path given = repo.path() / ".";
  const auto configs = find_ci_configs(given);
  ASSERT_EQ(configs.size(), 1U);
  EXPECT_EQ(configs[0].first, given / ".github" / "workflows" / "ci.yml");
}

TEST(CiFinder, MissingOrNonDirectoryCheckoutHasNoConfiguration) {
  const TempDir dir;
  const stdfs::path file = dir.write("file", "x");
  EXPECT_TRUE(find_ci_configs(dir / "missing").empty());
  EXPECT_TRUE(find_ci_configs(file).empty());
}

// Links must not carry the search or a later read out of the checkout.
TEST(CiFinder, LinksLeadingOutOfTheCheckoutAreNotReported) {
  const TempDir outside;
  outside.write("workflows/ci.yml", "x\n");
  const stdfs::path secret = outside.write("secret.yml", "x\n");

  const TempDir repo;
  stdfs::create_directory_symlink(outside.path(), repo / ".github");
  stdfs::create_symlink(secret, repo / ".gitlab-ci.yml");
  repo.mkdir(".gitea");
  stdfs::create_directory_symlink(outside / "workflows", repo / ".gitea" / "workflows");
  repo.mkdir(".forgejo/workflows");
  stdfs::create_symlink(secret, repo / ".forgejo" / "workflows" / "ci.yml");
  stdfs::create_symlink(repo / "missing", repo / "Jenkinsfile");

  EXPECT_EQ(found_in(repo.path()), Found{});
}

TEST(CiFinder, LinkToAFileInsideTheCheckoutCounts) {
  const TempDir repo;
  repo.write("ci/pipeline.yml", "x\n");
  stdfs::create_symlink("ci/pipeline.yml", repo / ".gitlab-ci.yml");
  EXPECT_EQ(found_in(repo.path()), (Found{{".gitlab-ci.yml", "GitLab CI"}}));
}

}  // namespace
