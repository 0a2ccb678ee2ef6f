#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"
#include "support/fixtures.hpp"

namespace {

using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::olvenar::OlvenarPlugin;
using quarnel::testing::GitFixture;
using quarnel::testing::TempDir;
namespace stdfs = std::filesystem;

constexpr const char* NOT_FOUND_EVIDENCE =
    "Checked: codemeta.json, CITATION.cff, .zenodo.json, README, forge URL";

struct File {
  std::string path;
  std::string content;
};

CheckResult check_pid(const Context& context) {
  return OlvenarPlugin{}.check("persistent_identifier", context);
}

void expect_not_found(const CheckResult& result) {
  EXPECT_EQ(result.indicator_id, "persistent_identifier");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Searched for persistent identifiers (DOI, etc.)");
  EXPECT_EQ(result.output, "No persistent identifier detected");
  EXPECT_EQ(result.evidence, NOT_FOUND_EVIDENCE);
}

void expect_found(const CheckResult& result, double score, const std::string& findings) {
  EXPECT_EQ(result.indicator_id, "persistent_identifier");
  EXPECT_EQ(result.score, score);
  EXPECT_NE(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Checked metadata files for persistent identifiers");
  EXPECT_EQ(result.output, findings);
  EXPECT_EQ(result.evidence, findings);
}

// A checkout laid out from files and directories, assessed with an optional repository URL;
// an empty `findings` expects the not-found result.
struct PointsCase {
  std::string name;
  std::vector<File> files;
  std::vector<std::string> dirs;
  std::optional<std::string> url;
  double score;
  std::string findings;
};

void PrintTo(const PointsCase& c, std::ostream* os) { *os << c.name; }

class PidPoints : public ::testing::TestWithParam<PointsCase> {
 protected:
  void SetUp() override { quarnel::testing::prepare_git_environment(); }
};

TEST_P(PidPoints, ScoresAndNamesEachSource) {
  const PointsCase& c = GetParam();
  TempDir repo;
  for (const auto& file : c.files) repo.write(file.path, file.content);
  for (const auto& dir : c.dirs) repo.mkdir(dir);
  const CheckResult result = check_pid(Context(repo.path(), c.url));
  if (c.findings.empty()) {
    expect_not_found(result);
  } else {
    expect_found(result, c.score, c.findings);
  }
}

const std::string GITHUB = "https://github.com/team/tool";
const std::string CODEMETA_DOI = R"({"identifier": "https://doi.org/10.5281/zenodo.1234567"})";
const std::string CITATION_DOI = "cff-version: 1.2.0\ndoi: 10.5281/zenodo.1234567\n";
const std::string CITATION_URL = "title: Tool\nrepository-code: https://example.org/tool\n";
const std::string CITATION_BARE = "cff-version: 1.2.0\ntitle: Tool\nauthors:\n  - name: A\n";
const std::string LATIN1 = "title: Caf\xe9\ndoi: 10.5281/zenodo.1234567\n";

INSTANTIATE_TEST_SUITE_P(
    Sources, PidPoints,
    ::testing::Values(
        PointsCase{"Nothing", {}, {}, std::nullopt, 0.0, ""},
        PointsCase{"GithubUrlOnly", {}, {}, GITHUB, 3.0, "public repository on github"},
        PointsCase{"GitlabLikeHost",
                   {},
                   {},
                   "https://gitlab.example.org/a/b",
                   3.0,
                   "public repository on gitlab"},
        PointsCase{"CodebergScpRemote",
                   {},
                   {},
                   "git@codeberg.org:team/tool.git",
                   3.0,
                   "public repository on codeberg"},
        PointsCase{"UnknownHost", {}, {}, "https://forge.example.org/team/tool", 0.0, ""},
        PointsCase{"UrlWithoutRepository", {}, {}, "https://github.com/team", 0.0, ""},
        // URLs the forge parser rejects name no known forge instead of failing the check.
        PointsCase{"UrlWithBadPort", {}, {}, "https://github.com:99999/team/tool", 0.0, ""},
        PointsCase{"UrlWithBadBracketedHost", {}, {}, "https://[::1/team/tool", 0.0, ""},
        PointsCase{"CodemetaIdentifierDoi",
                   {{"codemeta.json", CODEMETA_DOI}},
                   {},
                   std::nullopt,
                   5.0,
                   "DOI in codemeta.json (identifier)"},
        PointsCase{"CodemetaCodeRepositoryDoi",
                   {{"codemeta.json", R"({"name": "x", "codeRepository": "10.1234/abc"})"}},
                   {},
                   std::nullopt,
                   5.0,
                   "DOI in codemeta.json (codeRepository)"},
        PointsCase{
            "CodemetaKeysInListOrderNotDocumentOrder",
            {{"codemeta.json", R"({"url": "https://doi.org/10.1234/a", "doi": "10.1234/b"})"}},
            {},
            std::nullopt,
            5.0,
            "DOI in codemeta.json (doi)"},
        PointsCase{"CodemetaDoiInSecondArrayElement",
                   {{"codemeta.json", R"({"identifier": ["tool", "10.1234/abcd"]})"}},
                   {},
                   std::nullopt,
                   5.0,
                   "DOI in codemeta.json (identifier)"},
        PointsCase{"CodemetaDoiOnlyInsideObject",
                   {{"codemeta.json",
                     R"({"identifier": [{"@type": "PropertyValue", "value": "10.1234/abcd"}]})"}},
                   {},
                   std::nullopt,
                   2.0,
                   "identifier in codemeta.json (not DOI)"},
        PointsCase{"CodemetaPlainAtId",
                   {{"codemeta.json", R"({"@id": "https://example.org/tool"})"}},
                   {},
                   std::nullopt,
                   2.0,
                   "identifier in codemeta.json (not DOI)"},
        PointsCase{"CodemetaNumberIdentifierIsTruthyButNoCandidate",
                   {{"codemeta.json", R"({"identifier": 10.12345})"}},
                   {},
                   std::nullopt,
                   2.0,
                   "identifier in codemeta.json (not DOI)"},
        PointsCase{"CodemetaEmptyIdentifiers",
                   {{"codemeta.json", R"({"identifier": "", "@id": [], "doi": "none"})"}},
                   {},
                   std::nullopt,
                   0.0,
                   ""},
        PointsCase{"ThreeDigitRegistrantIsNoDoi",
                   {{"codemeta.json", R"({"doi": "10.123/abc"})"},
                    {"README.md", "See 10.123/abc for details.\n"}},
                   {},
                   std::nullopt,
                   0.0,
                   ""},
        PointsCase{"CodemetaInvalidJsonOthersStillExamined",
                   {{"codemeta.json", "{\"identifier\": \"10.1234/abcd\""},
                    {"CITATION.cff", CITATION_BARE}},
                   {},
                   std::nullopt,
                   1.0,
                   "CITATION.cff present (no DOI or URL)"},
        PointsCase{
            "CodemetaTopLevelArrayCountsAsInvalid",
            {{"codemeta.json", R"([{"identifier": "10.1234/abcd"}])"}, {".zenodo.json", "{}"}},
            {},
            std::nullopt,
            2.0,
            ".zenodo.json present (Zenodo DOI expected)"},
        PointsCase{
            "CodemetaNotUtf8CountsAsUnreadable",
            {{"codemeta.json", "{\"identifier\": \"10.1234/caf\xe9\"}"}, {".zenodo.json", ""}},
            {},
            std::nullopt,
            2.0,
            ".zenodo.json present (Zenodo DOI expected)"},
        PointsCase{"CodemetaWithByteOrderMarkIsNotJson",
                   {{"codemeta.json", "\xef\xbb\xbf" + CODEMETA_DOI}},
                   {},
                   std::nullopt,
                   0.0,
                   ""},
        PointsCase{"CodemetaDirectory", {}, {"codemeta.json"}, std::nullopt, 0.0, ""},
        PointsCase{"CitationDoi",
                   {{"CITATION.cff", CITATION_DOI}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in CITATION.cff"},
        PointsCase{"CitationRepositoryCode",
                   {{"CITATION.cff", CITATION_URL}},
                   {},
                   std::nullopt,
                   2.0,
                   "repository URL in CITATION.cff"},
        PointsCase{"CitationUrlSuffixOfLongerKey",
                   {{"CITATION.cff", "title: Tool\nlicense-url: https://example.org/l\n"}},
                   {},
                   std::nullopt,
                   2.0,
                   "repository URL in CITATION.cff"},
        PointsCase{"CitationTitleAndAuthorsOnly",
                   {{"CITATION.cff", CITATION_BARE}},
                   {},
                   std::nullopt,
                   1.0,
                   "CITATION.cff present (no DOI or URL)"},
        PointsCase{"LowerCaseCitationReportedUnderCanonicalName",
                   {{"citation.cff", CITATION_DOI}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in CITATION.cff"},
        PointsCase{"UpperCaseCitationWinsOverLowerCase",
                   {{"CITATION.cff", CITATION_BARE}, {"citation.cff", CITATION_DOI}},
                   {},
                   std::nullopt,
                   1.0,
                   "CITATION.cff present (no DOI or URL)"},
        PointsCase{"CitationNotUtf8CountsAsUnreadable",
                   {{"CITATION.cff", LATIN1}, {".zenodo.json", "{}"}},
                   {},
                   std::nullopt,
                   2.0,
                   ".zenodo.json present (Zenodo DOI expected)"},
        PointsCase{"CitationDirectory", {}, {"CITATION.cff"}, std::nullopt, 0.0, ""},
        PointsCase{"ZenodoDirectoryCounts",
                   {},
                   {".zenodo.json"},
                   std::nullopt,
                   2.0,
                   ".zenodo.json present (Zenodo DOI expected)"},
        PointsCase{"ReadmeDoiKeepsTrailingFullStop",
                   {{"README.md", "Cite as 10.5281/zenodo.1234567.\nAlso 10.1234/other\n"}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in README.md: 10.5281/zenodo.1234567."},
        PointsCase{"ReadmeBadgeMarkupUpToWhiteSpace",
                   {{"README.md",
                     "[![DOI](https://zenodo.org/badge/DOI/10.5281/zenodo.1234567.svg)]"
                     "(https://doi.org/10.5281/zenodo.1234567) next\n"}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in README.md: 10.5281/zenodo.1234567.svg)](https://doi.org/10.5281/"
                   "zenodo.1234567)"},
        PointsCase{"ReadmeUnicodeDigitsAndNoBreakSpace",
                   {{"README", "id 10.\u0661\u0662\u0663\u0664/x\u00a0tail\n"}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in README: 10.\u0661\u0662\u0663\u0664/x"},
        PointsCase{"ReadmeUndecodableBytesReplaced",
                   {{"README.txt", "caf\xe9 10.1234/abcd\xff end\n"}},
                   {},
                   std::nullopt,
                   3.0,
                   "DOI in README.txt: 10.1234/abcd\ufffd"},
        PointsCase{"OnlyFirstReadmeIsExamined",
                   {{"README.md", "no identifier here\n"}, {"README.rst", "10.1234/abcd\n"}},
                   {},
                   std::nullopt,
                   0.0,
                   ""},
        PointsCase{"UnreadableFirstReadmeEndsTheSearch",
                   {{"README.rst", "10.1234/abcd\n"}},
                   {"README.md"},
                   std::nullopt,
                   0.0,
                   ""},
        PointsCase{"EightPointsSkipTheForge",
                   {{"codemeta.json", CODEMETA_DOI}, {"CITATION.cff", CITATION_DOI}},
                   {},
                   GITHUB,
                   8.0,
                   "DOI in codemeta.json (identifier); DOI in CITATION.cff"},
        PointsCase{"SevenPointsThenForgeReachesTen",
                   {{"codemeta.json", CODEMETA_DOI}, {"CITATION.cff", CITATION_URL}},
                   {},
                   GITHUB,
                   10.0,
                   "DOI in codemeta.json (identifier); repository URL in CITATION.cff; "
                   "public repository on github"},
        PointsCase{"AllFileSourcesCappedAtTen",
                   {{"codemeta.json", CODEMETA_DOI},
                    {"CITATION.cff", CITATION_DOI},
                    {".zenodo.json", "{}"},
                    {"README.md", "10.5281/zenodo.1234567\n"}},
                   {},
                   GITHUB,
                   10.0,
                   "DOI in codemeta.json (identifier); DOI in CITATION.cff; .zenodo.json present "
                   "(Zenodo DOI expected); DOI in README.md: 10.5281/zenodo.1234567"}),
    [](const ::testing::TestParamInfo<PointsCase>& info) { return info.param.name; });

// Entries that exist but must not be read: links leaving the checkout and special files.
TEST(PidUnsafeEntries, AreHandledLikeUnreadableFiles) {
  quarnel::testing::prepare_git_environment();
  TempDir outside;
  const auto doi_file = outside.write("doi.txt", CITATION_DOI);
  const auto codemeta_file = outside.write("codemeta.json", CODEMETA_DOI);
  TempDir repo;
  stdfs::create_symlink(codemeta_file, repo / "codemeta.json");
  stdfs::create_symlink(doi_file, repo / "README.md");
  ASSERT_EQ(::mkfifo((repo / "CITATION.cff").c_str(), 0600), 0);
  repo.write(".zenodo.json", "{}");
  expect_found(check_pid(Context(repo.path())), 2.0, ".zenodo.json present (Zenodo DOI expected)");
}

TEST(PidUnsafeEntries, BrokenLinksCountAsAbsent) {
  quarnel::testing::prepare_git_environment();
  TempDir repo;
  stdfs::create_symlink(repo / "missing", repo / ".zenodo.json");
  stdfs::create_symlink(repo / "missing", repo / "README.md");
  repo.write("README.rst", "10.1234/abcd\n");
  expect_found(check_pid(Context(repo.path())), 3.0, "DOI in README.rst: 10.1234/abcd");
}

TEST(PidUnsafeEntries, LinkInsideTheCheckoutIsRead) {
  quarnel::testing::prepare_git_environment();
  TempDir repo;
  repo.write("docs/codemeta.json", CODEMETA_DOI);
  stdfs::create_symlink(repo / "docs/codemeta.json", repo / "codemeta.json");
  expect_found(check_pid(Context(repo.path())), 5.0, "DOI in codemeta.json (identifier)");
}

// Where the URL comes from when the context gives none.
class PidRemote : public ::testing::Test {
 protected:
  GitFixture git;
};

TEST_F(PidRemote, GitRemoteUsedWhenNoUrlGiven) {
  git.git({"remote", "add", "origin", "git@github.com:team/tool.git"});
  expect_found(check_pid(Context(git.path())), 3.0, "public repository on github");
  expect_found(check_pid(Context(git.path(), std::string())), 3.0, "public repository on github");
}

TEST_F(PidRemote, GivenUrlWinsOverGitRemote) {
  git.git({"remote", "add", "origin", "https://github.com/team/tool"});
  expect_not_found(check_pid(Context(git.path(), "https://forge.example.org/team/tool")));
}

TEST_F(PidRemote, CheckoutWithoutRemoteSkipsTheForge) {
  expect_not_found(check_pid(Context(git.path())));
  git.dir().write("CITATION.cff", CITATION_URL);
  expect_found(check_pid(Context(git.path())), 2.0, "repository URL in CITATION.cff");
}

}  // namespace
