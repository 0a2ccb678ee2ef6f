#include "quarnel/plugins/builtin/quillan.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/utils/fs.hpp"
#include "support/fixtures.hpp"

namespace quarnel::plugins::builtin::quillan {
namespace {

namespace stdfs = std::filesystem;
using core::context::Context;
using core::models::CheckResult;
using core::models::CheckStatus;
using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using quarnel::testing::TempDir;

struct File {
  std::string path;
  std::string content;
};

void lay_out(const TempDir& repo, const std::vector<File>& files,
             const std::vector<std::string>& dirs = {}) {
  for (const File& file : files) repo.write(file.path, file.content);
  for (const std::string& dir : dirs) repo.mkdir(dir);
}

CheckResult ask(std::string_view indicator_id, const stdfs::path& repo) {
  return QuillanPlugin{}.check(indicator_id, Context(repo));
}

// A found result carries no status of its own, so the usual pass threshold decides it.
void expect_found(const CheckResult& result, std::string_view id, double score) {
  EXPECT_EQ(result.indicator_id, id);
  EXPECT_EQ(result.plugin, "quillan");
  EXPECT_EQ(result.score, score);
  EXPECT_EQ(result.status, score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
}

const std::string NOT_UTF8 = "caf\xE9";
const std::string FULL_CODEMETA =
    R"({"name": "demo", "codeRepository": "https://example.org/demo", "@id": "x"})";
const std::string FULL_CITATION =
    "cff-version: 1.2.0\ntitle: Demo\nrepository-code: https://example.org/demo\ndoi: "
    "10.5281/zenodo.1\n";

// ---------------------------------------------------------------------------------------------
// Dispatch

TEST(QuillanDispatch, UnlistedIdIsAnsweredUnderItsOwnIdWithNothingButTheEvidence) {
  TempDir repo;
  lay_out(repo, {{"codemeta.json", FULL_CODEMETA}});
  const CheckResult result = ask("clear_license", repo.path());
  EXPECT_EQ(result.indicator_id, "clear_license");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::FAIL);
  EXPECT_EQ(result.process, "");
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.evidence, "not handled by this plugin");
}

TEST(QuillanDispatch, EachListedIdReachesItsOwnCheck) {
  TempDir repo;
  lay_out(repo, {{"codemeta.json", FULL_CODEMETA}});
  const CheckResult self = ask("metadata_self_reference", repo.path());
  EXPECT_EQ(self.indicator_id, "metadata_self_reference");
  EXPECT_EQ(self.process, "Tallied self-reference signals across metadata files");
  const CheckResult searchable = ask("searchable_metadata", repo.path());
  EXPECT_EQ(searchable.indicator_id, "searchable_metadata");
  EXPECT_EQ(searchable.process, "Found searchable metadata files");
}

// ---------------------------------------------------------------------------------------------
// Searchable metadata

const std::string ALL_EIGHT =
    "codemeta.json, .zenodo.json, pyproject.toml, package.json, DESCRIPTION, setup.py, "
    "setup.cfg, CITATION.cff";

void expect_no_metadata_files(const CheckResult& result) {
  EXPECT_EQ(result.indicator_id, "searchable_metadata");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Searched for metadata files");
  EXPECT_EQ(result.output, "No metadata files found");
  EXPECT_EQ(result.evidence, "Checked: " + ALL_EIGHT);
}

struct SearchableCase {
  std::string name;
  std::vector<std::string> files;
  std::vector<std::string> dirs;
  double score;
  std::string listed;  // empty: nothing found
};

void PrintTo(const SearchableCase& c, std::ostream* os) { *os << c.name; }

class QuillanSearchable : public ::testing::TestWithParam<SearchableCase> {};

TEST_P(QuillanSearchable, ScoresTheNamesPresentAtTheRoot) {
  const SearchableCase& c = GetParam();
  TempDir repo;
  for (const std::string& file : c.files) repo.write(file, "");
  for (const std::string& dir : c.dirs) repo.mkdir(dir);
  const CheckResult result = ask("searchable_metadata", repo.path());
  if (c.listed.empty()) {
    expect_no_metadata_files(result);
    return;
  }
  expect_found(result, "searchable_metadata", c.score);
  EXPECT_EQ(result.process, "Found searchable metadata files");
  EXPECT_EQ(result.output, "Metadata files: " + c.listed);
  EXPECT_EQ(result.evidence, "Files: " + c.listed);
}

INSTANTIATE_TEST_SUITE_P(
    Names, QuillanSearchable,
    ::testing::Values(
        SearchableCase{"EmptyRoot", {}, {}, 0.0, ""},
        SearchableCase{"OnlyBelowTheRoot", {"docs/codemeta.json", "sub/CITATION.cff"}, {}, 0.0, ""},
        SearchableCase{"NamesAreCaseSensitive", {"citation.cff", "Package.json"}, {}, 0.0, ""},
        SearchableCase{"DescriptionCountsButAddsNothing", {"DESCRIPTION"}, {}, 4.0, "DESCRIPTION"},
        SearchableCase{"CodemetaAlone", {"codemeta.json"}, {}, 7.0, "codemeta.json"},
        SearchableCase{"CitationAlone", {"CITATION.cff"}, {}, 5.5, "CITATION.cff"},
        SearchableCase{"PackageJsonAlone", {"package.json"}, {}, 5.0, "package.json"},
        SearchableCase{"ZenodoAndPyproject",
                       {"pyproject.toml", ".zenodo.json"},
                       {},
                       7.0,
                       ".zenodo.json, pyproject.toml"},
        SearchableCase{
            "SetupPairAddsOnce", {"setup.cfg", "setup.py"}, {}, 5.0, "setup.py, setup.cfg"},
        SearchableCase{"SetupCfgAlone", {"setup.cfg"}, {}, 5.0, "setup.cfg"},
        SearchableCase{"DirectoryOfTheNameCounts", {}, {"codemeta.json"}, 7.0, "codemeta.json"},
        SearchableCase{"CappedAtTen",
                       {"CITATION.cff", ".zenodo.json", "codemeta.json"},
                       {},
                       10.0,
                       "codemeta.json, .zenodo.json, CITATION.cff"},
        SearchableCase{"AllEightInTableOrder",
                       {"CITATION.cff", "setup.cfg", "setup.py", "DESCRIPTION", "package.json",
                        "pyproject.toml", ".zenodo.json", "codemeta.json"},
                       {},
                       10.0,
                       ALL_EIGHT}),
    [](const ::testing::TestParamInfo<SearchableCase>& info) { return info.param.name; });

TEST(QuillanSearchableEntries, BrokenLinkIsAbsentAndMissingRootFindsNothing) {
  TempDir repo;
  stdfs::create_symlink(repo / "gone.json", repo / "package.json");
  expect_no_metadata_files(ask("searchable_metadata", repo.path()));
  expect_no_metadata_files(ask("searchable_metadata", repo / "no-such-checkout"));
}

TEST(QuillanSearchableEntries, SpecialFilesAndLinksOutCountWithoutBeingRead) {
  TempDir outside;
  const stdfs::path target = outside.write("codemeta.json", "{}");
  TempDir repo;
  stdfs::create_symlink(target, repo / "codemeta.json");
  ASSERT_EQ(::mkfifo((repo / "package.json").c_str(), 0600), 0);
  expect_found(ask("searchable_metadata", repo.path()), "searchable_metadata", 8.0);
}

// ---------------------------------------------------------------------------------------------
// The per-file scorers

using ScorerFn = ScorerResult (*)(const stdfs::path&);

struct ScorerCase {
  std::string name;
  ScorerFn scorer;
  std::vector<File> files;
  double points;
  std::vector<std::string> labels;
};

void PrintTo(const ScorerCase& c, std::ostream* os) { *os << c.name; }

class QuillanScorers : public ::testing::TestWithParam<ScorerCase> {};

TEST_P(QuillanScorers, PointsAndLabels) {
  const ScorerCase& c = GetParam();
  TempDir repo;
  lay_out(repo, c.files);
  const ScorerResult scored = c.scorer(repo.path());
  EXPECT_EQ(scored.first, c.points);
  EXPECT_EQ(scored.second, c.labels);
}

const std::string UNPARSEABLE = "codemeta.json present but unparseable";

INSTANTIATE_TEST_SUITE_P(
    Codemeta, QuillanScorers,
    ::testing::Values(
        ScorerCase{"Absent", detail::score_codemeta, {}, 0.0, {}},
        ScorerCase{"EmptyObject",
                   detail::score_codemeta,
                   {{"codemeta.json", "{}"}},
                   4.0,
                   {"codemeta.json"}},
        ScorerCase{"AllThreeFields",
                   detail::score_codemeta,
                   {{"codemeta.json", FULL_CODEMETA}},
                   10.0,
                   {"codemeta.name", "codemeta.codeRepository", "codemeta.identifier"}},
        ScorerCase{"EmptyNameAndNullIdentifierDoNotCount",
                   detail::score_codemeta,
                   {{"codemeta.json", R"({"name": "", "identifier": null, "codeRepository": 0})"}},
                   4.0,
                   {"codemeta.json"}},
        ScorerCase{"TextZeroCounts",
                   detail::score_codemeta,
                   {{"codemeta.json", R"({"name": "0"})"}},
                   6.0,
                   {"codemeta.name"}},
        ScorerCase{"IdentifierAndIdCountOnce",
                   detail::score_codemeta,
                   {{"codemeta.json", R"({"identifier": "a", "@id": "b"})"}},
                   6.0,
                   {"codemeta.identifier"}},
        ScorerCase{"IdStandsInForAFalsyIdentifier",
                   detail::score_codemeta,
                   {{"codemeta.json", R"({"identifier": [], "@id": "b"})"}},
                   6.0,
                   {"codemeta.identifier"}},
        ScorerCase{"InvalidJson",
                   detail::score_codemeta,
                   {{"codemeta.json", "{\"name\": "}},
                   1.0,
                   {UNPARSEABLE}},
        ScorerCase{"ByteOrderMark",
                   detail::score_codemeta,
                   {{"codemeta.json", "\xEF\xBB\xBF{\"name\": \"demo\"}"}},
                   1.0,
                   {UNPARSEABLE}},
        ScorerCase{"NotUtf8",
                   detail::score_codemeta,
                   {{"codemeta.json", "{\"name\": \"" + NOT_UTF8 + "\"}"}},
                   1.0,
                   {UNPARSEABLE}},
        ScorerCase{"TopLevelArray",
                   detail::score_codemeta,
                   {{"codemeta.json", R"([{"name": "demo"}])"}},
                   1.0,
                   {UNPARSEABLE}},
        ScorerCase{"TopLevelNull",
                   detail::score_codemeta,
                   {{"codemeta.json", "null"}},
                   1.0,
                   {UNPARSEABLE}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Citation, QuillanScorers,
    ::testing::Values(
        ScorerCase{"Absent", detail::score_citation_cff, {}, 0.0, {}},
        ScorerCase{"TitleRepositoryAndDoi",
                   detail::score_citation_cff,
                   {{"CITATION.cff", FULL_CITATION}},
                   7.0,
                   {"cff.title", "cff.repository-code/url", "cff.doi"}},
        ScorerCase{"IndentedOrCapitalisedTitleEarnsNothing",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "  title: Demo\nTitle: Demo\n"}},
                   0.0,
                   {}},
        ScorerCase{"BlankBeforeTheColonStillCounts",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "title : Demo\n"}},
                   3.0,
                   {"cff.title"}},
        ScorerCase{"UrlKeyCountsAsRepository",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "url: https://example.org\n"}},
                   2.0,
                   {"cff.repository-code/url"}},
        ScorerCase{"DoiTextInsideALongerAddress",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "identifiers:\n  - value: https://doi.org/10.1234/abcd\n"}},
                   2.0,
                   {"cff.doi"}},
        ScorerCase{"DoiKeyAndDoiTextCountOnce",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "doi: 10.1234/abcd\n"}},
                   2.0,
                   {"cff.doi"}},
        ScorerCase{"ThreeDigitRegistrantIsNoDoi",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "note: 10.123/abc\n"}},
                   0.0,
                   {}},
        ScorerCase{"LoneCarriageReturnsEndLines",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "cff-version: 1.2.0\rtitle: Demo\r\n"}},
                   3.0,
                   {"cff.title"}},
        ScorerCase{"UndecodableBytesAreReplaced",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "title: " + NOT_UTF8 + "\ndoi: 10.1234/x\n"}},
                   5.0,
                   {"cff.title", "cff.doi"}},
        ScorerCase{"LowerCaseNameReadWhenAlone",
                   detail::score_citation_cff,
                   {{"citation.cff", "title: Demo\n"}},
                   3.0,
                   {"cff.title"}},
        ScorerCase{"UpperCaseNameWinsWhenBothExist",
                   detail::score_citation_cff,
                   {{"CITATION.cff", "cff-version: 1.2.0\n"}, {"citation.cff", "title: Demo\n"}},
                   0.0,
                   {}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    PackageJson, QuillanScorers,
    ::testing::Values(
        ScorerCase{"Absent", detail::score_package_json, {}, 0.0, {}},
        ScorerCase{"EmptyObjectEarnsNothing",
                   detail::score_package_json,
                   {{"package.json", "{}"}},
                   0.0,
                   {}},
        ScorerCase{
            "NameRepositoryAndHomepageCountOnce",
            detail::score_package_json,
            {{"package.json", R"({"name": "demo", "repository": "x/y", "homepage": "https://x"})"}},
            5.0,
            {"package.json.name", "package.json.repository/homepage"}},
        ScorerCase{"HomepageAlone",
                   detail::score_package_json,
                   {{"package.json", R"({"homepage": "https://x"})"}},
                   2.0,
                   {"package.json.repository/homepage"}},
        ScorerCase{"NumericZeroNameDoesNotCount",
                   detail::score_package_json,
                   {{"package.json", R"({"name": 0, "repository": {"url": "x"}})"}},
                   2.0,
                   {"package.json.repository/homepage"}},
        ScorerCase{
            "InvalidJson", detail::score_package_json, {{"package.json", "{name: 1}"}}, 0.0, {}},
        ScorerCase{"NotUtf8",
                   detail::score_package_json,
                   {{"package.json", "{\"name\": \"" + NOT_UTF8 + "\"}"}},
                   0.0,
                   {}},
        ScorerCase{
            "TopLevelText", detail::score_package_json, {{"package.json", R"("demo")"}}, 0.0, {}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Pyproject, QuillanScorers,
    ::testing::Values(
        ScorerCase{"Absent", detail::score_pyproject, {}, 0.0, {}},
        ScorerCase{"ProjectName",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[project]\nname = \"demo\"\n"}},
                   3.0,
                   {"pyproject.name"}},
        ScorerCase{"ProjectNameAndUrls",
                   detail::score_pyproject,
                   {{"pyproject.toml",
                     "[project]\n  name = \"demo\"\n[project.urls]\nHome = \"https://x\"\n"}},
                   6.0,
                   {"pyproject.name", "pyproject.urls"}},
        ScorerCase{"NameLineInAnotherTableStillCounts",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[project]\nversion = \"1\"\n[tool.x]\nname = \"y\"\n"}},
                   3.0,
                   {"pyproject.name"}},
        ScorerCase{"UrlsTableIsNotTheProjectTable",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[project.urls]\nname = \"x\"\n"}},
                   3.0,
                   {"pyproject.urls"}},
        ScorerCase{"NameOutsideAnyProjectTable",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[tool.poetry]\nname = \"demo\"\n"}},
                   0.0,
                   {}},
        ScorerCase{"NameMustStartItsLine",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[project]\nfull_name = \"demo\"\n"}},
                   0.0,
                   {}},
        ScorerCase{"NotUtf8",
                   detail::score_pyproject,
                   {{"pyproject.toml", "[project]\nname = \"" + NOT_UTF8 + "\"\n"}},
                   0.0,
                   {}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SetupCfg, QuillanScorers,
    ::testing::Values(ScorerCase{"Absent", detail::score_setup_cfg, {}, 0.0, {}},
                      ScorerCase{"NameAndUrl",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[metadata]\nname = demo\nurl = https://x\n"}},
                                 6.0,
                                 {"setup.cfg.name", "setup.cfg.url"}},
                      ScorerCase{"OptionNamesAreFolded",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[metadata]\nName = demo\n"}},
                                 3.0,
                                 {"setup.cfg.name"}},
                      ScorerCase{"EmptyValueStillCounts",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[metadata]\nurl =\n"}},
                                 3.0,
                                 {"setup.cfg.url"}},
                      ScorerCase{"SectionNamesAreExact",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[Metadata]\nname = demo\nurl = x\n"}},
                                 0.0,
                                 {}},
                      ScorerCase{"OtherSectionDoesNotCount",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[options]\nname = demo\n"}},
                                 0.0,
                                 {}},
                      ScorerCase{"TextBeforeTheFirstSectionIsRejected",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "name = demo\n[metadata]\nname = demo\n"}},
                                 0.0,
                                 {}},
                      ScorerCase{"NotUtf8",
                                 detail::score_setup_cfg,
                                 {{"setup.cfg", "[metadata]\nname = " + NOT_UTF8 + "\n"}},
                                 0.0,
                                 {}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SetupPy, QuillanScorers,
    ::testing::Values(ScorerCase{"Absent", detail::score_setup_py, {}, 0.0, {}},
                      ScorerCase{
                          "QuotedNameAndUrl",
                          detail::score_setup_py,
                          {{"setup.py", "setup(\n    name='demo',\n    url=\"https://x\",\n)\n"}},
                          5.0,
                          {"setup.py.name", "setup.py.url"}},
                      ScorerCase{"LongerIdentifierEndingInUrl",
                                 detail::score_setup_py,
                                 {{"setup.py", "download_url = 'https://x'\n"}},
                                 2.0,
                                 {"setup.py.url"}},
                      ScorerCase{"AssignmentMaySpanLines",
                                 detail::score_setup_py,
                                 {{"setup.py", "name =\n    \"demo\"\n"}},
                                 3.0,
                                 {"setup.py.name"}},
                      ScorerCase{"CommentsCountToo",
                                 detail::score_setup_py,
                                 {{"setup.py", "# name = 'demo'\n"}},
                                 3.0,
                                 {"setup.py.name"}},
                      ScorerCase{"UnquotedValuesDoNotCount",
                                 detail::score_setup_py,
                                 {{"setup.py", "setup(name=NAME, url=URL)\n"}},
                                 0.0,
                                 {}},
                      ScorerCase{"NotUtf8",
                                 detail::score_setup_py,
                                 {{"setup.py", "setup(name='" + NOT_UTF8 + "')\n"}},
                                 0.0,
                                 {}}),
    [](const ::testing::TestParamInfo<ScorerCase>& info) { return info.param.name; });

// Entries of a recognised name that must not be read: they cost the file's points, never the
// check.
TEST(QuillanScorerEntries, DirectoriesAndSpecialFilesAreNotPresent) {
  TempDir repo;
  repo.mkdir("codemeta.json");
  repo.mkdir("CITATION.cff");
  repo.write("citation.cff", "title: Demo\n");
  ASSERT_EQ(::mkfifo((repo / "package.json").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((repo / "setup.py").c_str(), 0600), 0);
  EXPECT_EQ(detail::score_codemeta(repo.path()), ScorerResult(0.0, {}));
  EXPECT_EQ(detail::score_citation_cff(repo.path()), ScorerResult(3.0, {"cff.title"}));
  EXPECT_EQ(detail::score_package_json(repo.path()), ScorerResult(0.0, {}));
  EXPECT_EQ(detail::score_setup_py(repo.path()), ScorerResult(0.0, {}));
}

TEST(QuillanScorerEntries, LinksOutOfTheCheckoutAreUnreadable) {
  TempDir outside;
  TempDir repo;
  const std::vector<File> targets = {
      {"codemeta.json", FULL_CODEMETA},           {"CITATION.cff", FULL_CITATION},
      {"package.json", R"({"name": "demo"})"},    {"pyproject.toml", "[project]\nname = 'demo'\n"},
      {"setup.cfg", "[metadata]\nname = demo\n"}, {"setup.py", "setup(name='demo')\n"}};
  for (const File& file : targets) {
    stdfs::create_symlink(outside.write(file.path, file.content), repo / file.path);
  }
  EXPECT_EQ(detail::score_codemeta(repo.path()), ScorerResult(1.0, {UNPARSEABLE}));
  for (const ScorerFn scorer :
       {detail::score_citation_cff, detail::score_package_json, detail::score_pyproject,
        detail::score_setup_cfg, detail::score_setup_py}) {
    EXPECT_EQ(scorer(repo.path()), ScorerResult(0.0, {}));
  }
}

TEST(QuillanScorerEntries, LinksInsideTheCheckoutAreRead) {
  TempDir repo;
  repo.write("meta/codemeta.json", R"({"name": "demo"})");
  stdfs::create_symlink(repo / "meta/codemeta.json", repo / "codemeta.json");
  EXPECT_EQ(detail::score_codemeta(repo.path()), ScorerResult(6.0, {"codemeta.name"}));
}

TEST(QuillanScorerEntries, OversizedFilesAreUnreadable) {
  TempDir repo;
  const std::string padding(utils::fs::MAX_READ_BYTES, ' ');
  repo.write("codemeta.json", padding + R"({"name": "demo"})");
  repo.write("CITATION.cff", "title: Demo\n" + padding);
  EXPECT_EQ(detail::score_codemeta(repo.path()), ScorerResult(1.0, {UNPARSEABLE}));
  EXPECT_EQ(detail::score_citation_cff(repo.path()), ScorerResult(0.0, {}));
}

TEST(QuillanScorerEntries, UnreadableFilesEarnOnlyTheCodemetaConsolation) {
  TempDir repo;
  lay_out(repo, {{"codemeta.json", FULL_CODEMETA}, {"setup.cfg", "[metadata]\nname = demo\n"}});
  open_to_others(repo.path());
  stdfs::permissions(repo / "codemeta.json", stdfs::perms::none);
  stdfs::permissions(repo / "setup.cfg", stdfs::perms::none);
  run_unprivileged([&] {
    EXPECT_EQ(detail::score_codemeta(repo.path()), ScorerResult(1.0, {UNPARSEABLE}));
    EXPECT_EQ(detail::score_setup_cfg(repo.path()), ScorerResult(0.0, {}));
  });
}

// ---------------------------------------------------------------------------------------------
// Self-reference: how the scorers add up

void expect_no_self_reference(const CheckResult& result) {
  EXPECT_EQ(result.indicator_id, "metadata_self_reference");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Searched recognised metadata files for self-reference fields");
  EXPECT_EQ(result.output, "No self-referencing metadata detected");
  EXPECT_EQ(result.evidence,
            "Checked: codemeta.json, CITATION.cff, pyproject.toml, setup.cfg, setup.py, "
            "package.json");
}

struct SelfReferenceCase {
  std::string name;
  std::vector<File> files;
  double score;
  std::string labels;  // empty: nothing found
};

void PrintTo(const SelfReferenceCase& c, std::ostream* os) { *os << c.name; }

class QuillanSelfReference : public ::testing::TestWithParam<SelfReferenceCase> {};

TEST_P(QuillanSelfReference, SumsTheScorers) {
  const SelfReferenceCase& c = GetParam();
  TempDir repo;
  lay_out(repo, c.files);
  const CheckResult result = ask("metadata_self_reference", repo.path());
  if (c.labels.empty()) {
    expect_no_self_reference(result);
    return;
  }
  expect_found(result, "metadata_self_reference", c.score);
  EXPECT_EQ(result.process, "Tallied self-reference signals across metadata files");
  EXPECT_EQ(result.output, c.labels);
  EXPECT_EQ(result.evidence, c.labels);
}

const std::string FULL_SETUP_CFG = "[metadata]\nname = demo\nurl = https://x\n";

INSTANTIATE_TEST_SUITE_P(
    Combinations, QuillanSelfReference,
    ::testing::Values(
        SelfReferenceCase{"EmptyCheckout", {}, 0.0, ""},
        SelfReferenceCase{"FilesThatSayNothing",
                          {{"package.json", "{}"},
                           {"CITATION.cff", "cff-version: 1.2.0\n"},
                           {"pyproject.toml", "[build-system]\n"},
                           {"setup.cfg", "[options]\n"},
                           {"setup.py", "setup()\n"}},
                          0.0,
                          ""},
        SelfReferenceCase{"MetadataFilesAddUpInTheirOrder",
                          {{"package.json", R"({"homepage": "https://x"})"},
                           {"CITATION.cff", "title: Demo\n"},
                           {"codemeta.json", "not json"},
                           {"setup.py", "url = 'https://x'\n"}},
                          8.0,
                          "codemeta.json present but unparseable; cff.title; "
                          "package.json.repository/homepage; setup.py.url"},
        SelfReferenceCase{"CappedAtTenWithCodemetaFirst",
                          {{"CITATION.cff", FULL_CITATION}, {"codemeta.json", "{}"}},
                          10.0,
                          "codemeta.json; cff.title; cff.repository-code/url; cff.doi"},
        SelfReferenceCase{"FirstPackagingFileThatEarnsSpeaksAlone",
                          {{"pyproject.toml", "[project]\nname = \"demo\"\n"},
                           {"setup.cfg", FULL_SETUP_CFG},
                           {"setup.py", "setup(name='demo', url='https://x')\n"}},
                          3.0,
                          "pyproject.name"},
        SelfReferenceCase{"SilentPyprojectHandsOverToSetupCfg",
                          {{"pyproject.toml", "[tool.poetry]\nname = \"demo\"\n"},
                           {"setup.cfg", "[metadata]\nName = demo\n"},
                           {"setup.py", "setup(name='demo', url='https://x')\n"}},
                          3.0,
                          "setup.cfg.name"},
        SelfReferenceCase{"RejectedSetupCfgHandsOverToSetupPy",
                          {{"setup.cfg", "name = demo\n"}, {"setup.py", "setup(name='demo')\n"}},
                          3.0,
                          "setup.py.name"},
        SelfReferenceCase{"UndecodablePyprojectHandsOverToSetupCfg",
                          {{"pyproject.toml", "[project]\nname = \"" + NOT_UTF8 + "\"\n"},
                           {"setup.cfg", FULL_SETUP_CFG}},
                          6.0,
                          "setup.cfg.name; setup.cfg.url"},
        SelfReferenceCase{"NonObjectJsonCostsOnlyItsOwnPoints",
                          {{"codemeta.json", "[]"},
                           {"package.json", "[\"demo\"]"},
                           {"setup.cfg", FULL_SETUP_CFG}},
                          7.0,
                          "codemeta.json present but unparseable; setup.cfg.name; setup.cfg.url"},
        SelfReferenceCase{"UndecodableFilesCostOnlyTheirOwnPoints",
                          {{"codemeta.json", NOT_UTF8},
                           {"package.json", NOT_UTF8},
                           {"pyproject.toml", NOT_UTF8},
                           {"setup.cfg", NOT_UTF8},
                           {"setup.py", NOT_UTF8}},
                          1.0,
                          "codemeta.json present but unparseable"}),
    [](const ::testing::TestParamInfo<SelfReferenceCase>& info) { return info.param.name; });

TEST(QuillanSelfReferenceRoot, MissingCheckoutFindsNothing) {
  TempDir repo;
  expect_no_self_reference(ask("metadata_self_reference", repo / "no-such-checkout"));
}

}  // namespace
}  // namespace quarnel::plugins::builtin::quillan
