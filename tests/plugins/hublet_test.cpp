#include "quarnel/plugins/builtin/hublet.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
namespace detail = quarnel::plugins::builtin::hublet::detail;
using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::hublet::HubletPlugin;
using quarnel::testing::TempDir;

CheckResult check(const TempDir& repo, std::string_view id = "ci_tests") {
  return HubletPlugin{}.check(id, Context(repo.path()));
}

// Contents that cannot be read: larger than the read cap. It mentions a test step, so a scan
// that read it anyway would show.
std::string unreadable() {
  return "pytest\n" + std::string(quarnel::utils::fs::MAX_READ_BYTES, ' ');
}

TEST(HubletCheck, NoConfigurationScoresZero) {
  const TempDir repo;
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::FAIL);
  EXPECT_EQ(result.process, "Searched for CI configuration files");
  EXPECT_EQ(result.output, "No CI configuration found");
  EXPECT_EQ(result.evidence,
            "Checked: .github/workflows/, .gitlab-ci.yml, Jenkinsfile, .circleci/");
}

TEST(HubletCheck, DeclaresNoIndicatorAndAnswersAnyId) {
  EXPECT_TRUE(HubletPlugin{}.supported_indicators().empty());
  const TempDir repo;
  repo.write("Jenkinsfile", "sh 'make'\n");
  const CheckResult result = check(repo, "not_in_catalogue");
  EXPECT_EQ(result.indicator_id, "not_in_catalogue");
  EXPECT_EQ(result.plugin, "hublet");
  EXPECT_EQ(result.principle, "");
}

struct KeywordCase {
  std::string label;
  std::string content;
  bool tested;
};

class HubletKeywords : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(HubletKeywords, RecognisesTestSteps) {
  const TempDir repo;
  repo.write(".github/workflows/ci.yml", GetParam().content);
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, GetParam().tested ? 10.0 : 6.0);
  EXPECT_EQ(result.status, GetParam().tested ? CheckStatus::PASS : CheckStatus::FAIL);
  EXPECT_EQ(result.process, "Checked CI configs for test steps");
  EXPECT_EQ(result.output, std::string("CI: GitHub Actions; tests in CI: ") +
                               (GetParam().tested ? "yes" : "not detected"));
  EXPECT_EQ(result.evidence, "Files: .github/workflows/ci.yml");
}

INSTANTIATE_TEST_SUITE_P(
    Contents, HubletKeywords,
    ::testing::Values(KeywordCase{"Pytest", "run: pytest -q\n", true},
                      KeywordCase{"CheckoutContainsCheck", "uses: actions/checkout@v4\n", true},
                      KeywordCase{"LatestContainsTest", "runs-on: ubuntu-latest\n", true},
                      KeywordCase{"InspectContainsSpec", "run: docker inspect img\n", true},
                      KeywordCase{"Capitals", "run: PYTEST\n", true},
                      KeywordCase{"MixedCase", "run: python -m Unittest\n", true},
                      KeywordCase{"UndecodableBytesAroundKeyword", "\xff\xfe make te\xffst; spec\n",
                                  true},
                      KeywordCase{"NoKeyword", "run: make build\n", false},
                      KeywordCase{"Empty", "", false}),
    [](const auto& info) { return info.param.label; });

TEST(HubletCheck, EveryConfigurationIsNamedInFinderOrderWithRepeats) {
  const TempDir repo;
  repo.write(".github/workflows/a.yml", "run: make\n");
  repo.write(".github/workflows/b.yml", "run: make\n");
  repo.write(".gitlab-ci.yml", "script: make\n");
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, 6.0);
  EXPECT_EQ(result.output,
            "CI: GitHub Actions, GitHub Actions, GitLab CI; tests in CI: not detected");
  EXPECT_EQ(result.evidence,
            "Files: .github/workflows/a.yml, .github/workflows/b.yml, .gitlab-ci.yml");
}

TEST(HubletCheck, UnreadableConfigurationIsSkippedButNamed) {
  const TempDir repo;
  repo.write(".github/workflows/a.yml", unreadable());
  repo.write(".github/workflows/b.yml", "run: pytest\n");
  repo.write(".gitlab-ci.yml", "script: make\n");
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, 10.0);
  EXPECT_EQ(result.output, "CI: GitHub Actions, GitHub Actions, GitLab CI; tests in CI: yes");
  EXPECT_EQ(result.evidence,
            "Files: .github/workflows/a.yml, .github/workflows/b.yml, .gitlab-ci.yml");
}

TEST(HubletCheck, AllConfigurationsUnreadable) {
  const TempDir repo;
  repo.write(".github/workflows/a.yml", unreadable());
  repo.write("Jenkinsfile", unreadable());
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, 6.0);
  EXPECT_EQ(result.output, "CI: GitHub Actions, Jenkins; tests in CI: not detected");
  EXPECT_EQ(result.evidence, "Files: .github/workflows/a.yml, Jenkinsfile");
}

TEST(HubletCheck, FileNamesThatAreNotUtf8StayValidText) {
  const TempDir repo;
  repo.write(".github/workflows/\xff.yml", "run: make\n");
  EXPECT_EQ(check(repo).evidence, "Files: .github/workflows/\uFFFD.yml");
}

TEST(HubletRelativeTo, FormsPathsFromComponentsAlone) {
  struct Case {
    stdfs::path path, base;
    std::string relative;
  };
  const std::vector<Case> cases = {
      {"/r/.github/workflows/ci.yml", "/r", ".github/workflows/ci.yml"},
      {"/r/./.github/workflows/ci.yml", "/r/.", ".github/workflows/ci.yml"},
      {"/r/Jenkinsfile", "/r/", "Jenkinsfile"},
      {"repo/Jenkinsfile", "repo", "Jenkinsfile"},
      {"./Jenkinsfile", ".", "Jenkinsfile"},
      {"/r", "/r", "."},
      // Links are not resolved: ".." stays a component like any other.
      {"/r/a/../ci.yml", "/r", "a/../ci.yml"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::relative_to(c.path, c.base), c.relative) << c.path;
  }
}

TEST(HubletRelativeTo, PathOutsideTheBaseIsAnError) {
  const std::vector<std::pair<stdfs::path, stdfs::path>> cases = {
      {"/other/ci.yml", "/r"}, {"/rr/ci.yml", "/r"}, {"r/ci.yml", "/r"}, {"/r", "/r/sub"}};
  for (const auto& [path, base] : cases) {
    EXPECT_THROW(detail::relative_to(path, base), quarnel::ValueError) << path;
  }
}

}  // namespace
