#include "quarnel/plugins/builtin/mosset.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/utils/fs.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
namespace detail = quarnel::plugins::builtin::mosset::detail;
using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::mosset::MossetPlugin;
using quarnel::testing::TempDir;
using quarnel::utils::ci::CiConfig;

// Files (a trailing "/" makes a directory) written into a fresh checkout.
void lay_out(const TempDir& repo, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (entry.ends_with("/")) {
      repo.mkdir(entry);
    } else {
      repo.write(entry, "x\n");
    }
  }
}

CheckResult check(const TempDir& repo, std::string_view id = "community_standards") {
  return MossetPlugin{}.check(id, Context(repo.path()));
}

// --- File names --------------------------------------------------------------------------

TEST(MossetNames, SuffixAndStem) {
  struct Case {
    std::string name, stem, suffix;
  };
  const std::vector<Case> cases = {
      {"CONTRIBUTING.md", "CONTRIBUTING", ".md"},
      {"contributing.en.md", "contributing.en", ".md"},
      {"archive.tar.gz", "archive.tar", ".gz"},
      {"SECURITY", "SECURITY", ""},
      {".governance", ".governance", ""},
      {"trailing.", "trailing.", ""},
      {"..md", ".", ".md"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::name_stem(c.name), c.stem) << c.name;
    EXPECT_EQ(detail::name_suffix(c.name), c.suffix) << c.name;
  }
}

TEST(MossetNames, GlobMatch) {
  struct Case {
    std::string pattern, name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"test_*.py", "test_a.py", true},      {"test_*.py", "test_.py", true},
      {"test_*.py", "test_a.pyc", false},    {"test_*.py", "Test_a.py", false},
      {"*_test.py", ".x_test.py", true},     {"*_test.py", "a_test_test.py", true},
      {"*Test.java", "FooTest.java", true},  {"*Test.java", "Footest.java", false},
      {"*.spec.ts", "a.spec.ts.bak", false}, {"test_*.R", "test_x.r", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::glob_match(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
}

// --- Community documents ----------------------------------------------------------------

struct DocCase {
  std::string label;
  std::vector<std::string> entries;
  std::optional<std::string> contributing;
};

class MossetFindDoc : public ::testing::TestWithParam<DocCase> {};

TEST_P(MossetFindDoc, FindsTheFirstMatchingGuide) {
  const TempDir repo;
  lay_out(repo, GetParam().entries);
  EXPECT_EQ(detail::find_doc(repo.path(), detail::CONTRIB_NAMES), GetParam().contributing);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MossetFindDoc,
    ::testing::Values(DocCase{"RootHidesGithub",
                              {"CONTRIBUTING.md", ".github/CONTRIBUTING.md"},
                              "CONTRIBUTING.md"},
                      DocCase{"GithubHidesDocs",
                              {"docs/CONTRIBUTING.md", ".github/contributing.rst"},
                              ".github/contributing.rst"},
                      DocCase{"DocsDirectory", {"docs/Contributing.txt"}, "docs/Contributing.txt"},
                      DocCase{"CaseIgnoredInStemAndSuffix", {"Contributing.MD"}, "Contributing.MD"},
                      DocCase{"NoSuffix", {"contributing"}, "contributing"},
                      DocCase{"SuffixOutsideTable", {"CONTRIBUTING.markdown"}, std::nullopt},
                      DocCase{"SecondSuffix", {"contributing.en.md"}, std::nullopt},
                      DocCase{"LeadingDotOnly", {".contributing"}, std::nullopt},
                      DocCase{"DirectoryOfThatName", {"CONTRIBUTING.md/"}, std::nullopt},
                      DocCase{"TooDeep", {"docs/community/CONTRIBUTING.md"}, std::nullopt},
                      DocCase{"Empty", {}, std::nullopt}),
    [](const auto& info) { return info.param.label; });

TEST(MossetFindDocLinks, LinkedFileCountsButDirectoryLinkedOutIsNotListed) {
  const TempDir outside;
  outside.write("CONTRIBUTING.md", "x\n");
  const TempDir repo;
  stdfs::create_directory_symlink(outside.path(), repo / ".github");
  EXPECT_EQ(detail::find_doc(repo.path(), detail::CONTRIB_NAMES), std::nullopt);

  repo.write("guide.md", "x\n");
  stdfs::create_symlink("guide.md", repo / "CONTRIBUTING.md");
  stdfs::create_symlink("missing.md", repo / "SECURITY.md");
  EXPECT_EQ(detail::find_doc(repo.path(), detail::CONTRIB_NAMES), "CONTRIBUTING.md");
  EXPECT_EQ(detail::find_doc(repo.path(), detail::SECURITY_NAMES), std::nullopt);
}

// --- Tests ---------------------------------------------------------------------------------

struct TestsCase {
  std::string label;
  std::vector<std::string> entries;
  std::vector<std::string> evidence;
};

class MossetHasTests : public ::testing::TestWithParam<TestsCase> {};

TEST_P(MossetHasTests, RecordsEvidence) {
  const TempDir repo;
  lay_out(repo, GetParam().entries);
  const auto [present, evidence] = detail::has_tests(repo.path());
  EXPECT_EQ(present, !GetParam().evidence.empty());
  EXPECT_EQ(evidence, GetParam().evidence);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MossetHasTests,
    ::testing::Values(TestsCase{"RootDirectoriesInTableOrderThenChildren",
                                {"e2e/", "tests/", "packages/spec/", "packages/tests/"},
                                {"dir tests/", "dir e2e/", "dir packages/tests/"}},
                      TestsCase{"RecordedRootDirectoryIsAlsoAChild",
                                {"tests/unit-tests/"},
                                {"dir tests/", "dir tests/unit-tests/"}},
                      TestsCase{
                          "HiddenChildrenAreSkipped", {".github/tests/", ".hidden/test/"}, {}},
                      TestsCase{"FirstPatternWithMatchesWins",
                                {"test_a.py", "test_b.py", "test_c.py", "app.test.js"},
                                {"3 test_*.py"}},
                      TestsCase{"AnyKindOfEntryMatches", {"FooTest.java/"}, {"1 *Test.java"}},
                      TestsCase{"DirectoriesHideFiles", {"test/", "test_a.py"}, {"dir test/"}},
                      TestsCase{"FilesOnlyAtTheRoot", {"src/test_x.py"}, {}},
                      TestsCase{"TestFileNamedLikeADirectoryIsNoDirectory", {"tests"}, {}}),
    [](const auto& info) { return info.param.label; });

TEST(MossetHasTestsLinks, LinkedChildIsNotEntered) {
  const TempDir outside;
  outside.mkdir("tests");
  const TempDir repo;
  stdfs::create_directory_symlink(outside.path(), repo / "vendor");
  EXPECT_EQ(detail::has_tests(repo.path()).second, std::vector<std::string>{});
}

TEST(MossetHasTests, MissingCheckoutHasNone) {
  const TempDir dir;
  EXPECT_FALSE(detail::has_tests(dir / "missing").first);
}

// --- CI --------------------------------------------------------------------------------------

TEST(MossetHasCi, DistinctSortedTypesAndFailuresAsAbsence) {
  const stdfs::path repo = "/nowhere";
  const auto three = [](const stdfs::path& r) {
    return std::vector<CiConfig>{
        {r / "b", "Jenkins"}, {r / "a", "GitHub Actions"}, {r / "c", "Jenkins"}};
  };
  EXPECT_EQ(detail::has_ci(repo, three), (std::vector<std::string>{"GitHub Actions", "Jenkins"}));

  const auto failing = [](const stdfs::path&) -> std::vector<CiConfig> {
    throw std::runtime_error("finder broke");
  };
  EXPECT_EQ(detail::has_ci(repo, failing), std::vector<std::string>{});
}

// --- Style configuration -------------------------------------------------------------------

struct StyleCase {
  std::string label;
  std::vector<std::pair<std::string, std::string>> files;
  std::optional<std::string> style;
};

class MossetStyle : public ::testing::TestWithParam<StyleCase> {};

TEST_P(MossetStyle, NamesTheConfiguration) {
  const TempDir repo;
  for (const auto& [name, content] : GetParam().files) repo.write(name, content);
  EXPECT_EQ(detail::has_style_config(repo.path()), GetParam().style);
}

const std::string PYPROJECT_FINDING = "pyproject.toml ([tool.ruff/black/isort])";

INSTANTIATE_TEST_SUITE_P(
    Layouts, MossetStyle,
    ::testing::Values(
        StyleCase{
            "FirstNameInTableOrder", {{"ruff.toml", ""}, {".editorconfig", ""}}, ".editorconfig"},
        StyleCase{"EmptySetupCfgCounts", {{"setup.cfg", ""}}, "setup.cfg"},
        StyleCase{"NameBeatsPyproject",
                  {{".flake8", ""}, {"pyproject.toml", "[tool.black]\n"}},
                  ".flake8"},
        StyleCase{"PyprojectMarker", {{"pyproject.toml", "[tool.black]\n"}}, PYPROJECT_FINDING},
        StyleCase{"MarkerAsPrefixOfLongerSection",
                  {{"pyproject.toml", "[tool.ruff.lint]\n"}},
                  PYPROJECT_FINDING},
        StyleCase{
            "MarkerInComment", {{"pyproject.toml", "# see [tool.isort\n"}}, PYPROJECT_FINDING},
        StyleCase{"UndecodableBytesAreDropped",
                  {{"pyproject.toml", "\xff[tool.\xferuff]\n"}},
                  PYPROJECT_FINDING},
        StyleCase{"OtherToolOnly", {{"pyproject.toml", "[tool.mypy]\n"}}, std::nullopt},
        StyleCase{"MarkerInCapitals", {{"pyproject.toml", "[TOOL.BLACK]\n"}}, std::nullopt},
        StyleCase{"Nothing", {}, std::nullopt}),
    [](const auto& info) { return info.param.label; });

TEST(MossetStyleUnreadable, UnreadablePyprojectHoldsNoMarkers) {
  const TempDir outside;
  const stdfs::path foreign = outside.write("pyproject.toml", "[tool.black]\n");
  const TempDir linked;
  stdfs::create_symlink(foreign, linked / "pyproject.toml");
  EXPECT_EQ(detail::has_style_config(linked.path()), std::nullopt);

  const TempDir large;
  large.write("pyproject.toml",
              "[tool.black]\n" + std::string(quarnel::utils::fs::MAX_READ_BYTES, ' '));
  EXPECT_EQ(detail::has_style_config(large.path()), std::nullopt);
}

// --- The whole check -------------------------------------------------------------------------

TEST(MossetCheck, EmptyCheckoutIsUnknown) {
  const TempDir repo;
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_FALSE(result.passed);
  EXPECT_EQ(result.plugin, "community_standards");
  EXPECT_EQ(result.process, "Searched for community-standard files, tests, CI, and style configs");
  EXPECT_EQ(result.output, "No community-standards signals detected");
  EXPECT_EQ(result.evidence,
            "Searched: CONTRIBUTING/CODE_OF_CONDUCT/SECURITY/GOVERNANCE in , .github, docs; tests "
            "in tests, test, spec, test_suite, backend-tests, e2e, ...; CI configs; style configs");
}

struct CheckCase {
  std::string label;
  std::vector<std::string> entries;
  double score;
  std::string findings;
};

class MossetTally : public ::testing::TestWithParam<CheckCase> {};

TEST_P(MossetTally, AddsFindingsInConcernOrder) {
  const TempDir repo;
  lay_out(repo, GetParam().entries);
  const CheckResult result = check(repo);
  EXPECT_EQ(result.score, GetParam().score);
  EXPECT_EQ(result.status, GetParam().score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
  EXPECT_EQ(result.process, "Tallied community-standard signals");
  EXPECT_EQ(result.output, GetParam().findings);
  EXPECT_EQ(result.evidence, GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MossetTally,
    ::testing::Values(
        CheckCase{"CodeOfConductInDocs",
                  {"docs/Code-Of-Conduct.rst"},
                  2.0,
                  "CODE_OF_CONDUCT (docs/Code-Of-Conduct.rst)"},
        CheckCase{"GuideAndConduct",
                  {"CODE_OF_CONDUCT.md", "CONTRIBUTING.md"},
                  5.0,
                  "CONTRIBUTING (CONTRIBUTING.md); CODE_OF_CONDUCT (CODE_OF_CONDUCT.md)"},
        CheckCase{"OnlyFirstThreeTestEntriesShown",
                  {"tests/", "e2e/", "packages/tests/", "services/spec/"},
                  2.0,
                  "tests (dir tests/, dir e2e/, dir packages/tests/)"},
        CheckCase{
            "AllSevenCapped",
            {"CONTRIBUTING.md", ".github/CODE_OF_CONDUCT.md", "docs/SECURITY.rst", "GOVERNANCE",
             "test/", ".gitlab-ci.yml", ".github/workflows/ci.yml", "setup.cfg"},
            10.0,
            "CONTRIBUTING (CONTRIBUTING.md); CODE_OF_CONDUCT (.github/CODE_OF_CONDUCT.md); "
            "SECURITY (docs/SECURITY.rst); GOVERNANCE (GOVERNANCE); tests (dir test/); "
            "CI (GitHub Actions, GitLab CI); style config (setup.cfg)"}),
    [](const auto& info) { return info.param.label; });

TEST(MossetCheck, PyprojectFindingIsShownWhole) {
  const TempDir repo;
  repo.write("pyproject.toml", "[tool.isort]\nprofile = \"black\"\n");
  EXPECT_EQ(check(repo).output, "style config (pyproject.toml ([tool.ruff/black/isort]))");
}

TEST(MossetCheck, AnyIdGetsTheSameCheckUnderThatId) {
  const TempDir repo;
  repo.write("SECURITY.md", "x\n");
  const CheckResult result = check(repo, "something_else");
  EXPECT_EQ(result.indicator_id, "something_else");
  EXPECT_EQ(result.score, 1.0);
  EXPECT_EQ(result.output, "SECURITY (SECURITY.md)");
}

TEST(MossetCheck, MissingCheckoutFindsNothing) {
  const TempDir dir;
  const CheckResult result = MossetPlugin{}.check("community_standards", Context(dir / "gone"));
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
}

TEST(MossetCheck, NamesOnDiskThatAreNotUtf8StayValidText) {
  const TempDir repo;
  repo.mkdir("pkg\xff/tests");
  EXPECT_EQ(check(repo).output, "tests (dir pkg\uFFFD/tests/)");
}

}  // namespace
