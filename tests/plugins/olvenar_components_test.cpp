#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"
#include "support/fixtures.hpp"

namespace quarnel::plugins::builtin::olvenar {
namespace {

namespace stdfs = std::filesystem;
using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using quarnel::testing::TempDir;

// Entry names of a directory in the order the operating system lists them.
std::vector<std::string> listing(const stdfs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::vector<std::string> relative(const std::vector<stdfs::path>& paths, const stdfs::path& root) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(p.lexically_relative(root).generic_string());
  return out;
}

// ---------------------------------------------------------------------------------------------
// The bounded file search

TEST(OlvenarIterFiles, NothingToListGivesNothing) {
  TempDir dir;
  const stdfs::path file = dir.write("package.json", "{}");
  EXPECT_TRUE(detail::iter_files(dir / "missing", "package.json").empty());
  EXPECT_TRUE(detail::iter_files(file, "package.json").empty());
  EXPECT_TRUE(detail::iter_files(dir.mkdir("empty"), "package.json").empty());
}

TEST(OlvenarIterFiles, StopsAtTheCapTakingSubdirectoriesListedLastFirst) {
  TempDir dir;
  for (int i = 0; i < 60; ++i) dir.write("d" + std::to_string(i) + "/package.json", "{}");
  const std::vector<std::string> names = listing(dir.path());
  ASSERT_EQ(names.size(), 60u);

  std::vector<std::string> expected;
  for (auto it = names.rbegin(); it != names.rbegin() + 50; ++it) {
    expected.push_back(*it + "/package.json");
  }
  EXPECT_EQ(relative(detail::iter_files(dir.path(), "package.json"), dir.path()), expected);
}

TEST(OlvenarIterFiles, DirectMatchComesBeforeMatchesBelowAndSubtreesGoDepthFirst) {
  TempDir dir;
  dir.write("package.json", "{}");
  dir.write("a/package.json", "{}");
  dir.write("a/inner/package.json", "{}");
  dir.write("b/package.json", "{}");
  dir.write("web/node_modules/x/package.json", "{}");

  std::vector<std::string> subdirs;
  for (const auto& name : listing(dir.path())) {
    if (name == "a" || name == "b") subdirs.push_back(name);
  }
  std::vector<std::string> expected{"package.json"};
  for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it) {
    expected.push_back(*it + "/package.json");
    if (*it == "a") expected.push_back("a/inner/package.json");
  }
  EXPECT_EQ(relative(detail::iter_files(dir.path(), "package.json"), dir.path()), expected);
}

TEST(OlvenarIterFiles, SkipsDependencyBuildAndHiddenDirectoriesOnly) {
  struct Case {
    std::string directory;
    bool searched;
  };
  std::vector<Case> cases;
  for (const auto name : detail::SKIP_DIRS) cases.push_back({std::string(name), false});
  cases.insert(cases.end(), {{".github", false},
                             {".hidden", false},
                             {"Build", true},
                             {"Node_Modules", true},
                             {"builds", true},
                             {"src", true},
                             {"Cargo.toml", true}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    TempDir dir;
    dir.write(stdfs::path(c.directory) / "Cargo.toml", "");
    const auto found = relative(detail::iter_files(dir.path(), "Cargo.toml"), dir.path());
    if (c.searched) {
      EXPECT_EQ(found, std::vector<std::string>{c.directory + "/Cargo.toml"});
    } else {
      EXPECT_TRUE(found.empty());
    }
  }
}

TEST(OlvenarIterFiles, MatchesWholeNamesExactlyIncludingHiddenFiles) {
  TempDir dir;
  dir.write(".npmrc", "");
  dir.write("Package.json", "");
  dir.write("package.json.bak", "");
  dir.write("sub/.npmrc", "");
  EXPECT_EQ(relative(detail::iter_files(dir.path(), ".npmrc"), dir.path()),
            (std::vector<std::string>{".npmrc", "sub/.npmrc"}));
  EXPECT_TRUE(detail::iter_files(dir.path(), "package.json").empty());
}

TEST(OlvenarIterFiles, NeverFollowsSymbolicLinks) {
  TempDir outside;
  outside.write("Cargo.toml", "[package]\n");
  outside.write("crate/Cargo.toml", "[package]\n");
  TempDir dir;
  stdfs::create_symlink(outside / "Cargo.toml", dir / "Cargo.toml");
  stdfs::create_directory_symlink(outside / "crate", dir / "linked");
  stdfs::create_symlink(dir / "gone", dir / "dangling");
  EXPECT_TRUE(detail::iter_files(dir.path(), "Cargo.toml").empty());
}

TEST(OlvenarIterFiles, ListsTheGivenRootEvenWhenItIsALinkOrHasASkippedName) {
  TempDir dir;
  dir.write("build/Cargo.toml", "");
  stdfs::create_directory_symlink(dir / "build", dir / "via-link");
  EXPECT_EQ(detail::iter_files(dir / "build", "Cargo.toml").size(), 1u);
  EXPECT_EQ(detail::iter_files(dir / "via-link", "Cargo.toml").size(), 1u);
}

TEST(OlvenarIterFiles, SkipsUnreadableDirectories) {
  TempDir dir;
  dir.write("locked/package.json", "{}");
  dir.write("open/package.json", "{}");
  open_to_others(dir.path());
  stdfs::permissions(dir / "locked", stdfs::perms::none);
  run_unprivileged([&] {
    EXPECT_EQ(relative(detail::iter_files(dir.path(), "package.json"), dir.path()),
              std::vector<std::string>{"open/package.json"});
  });
}

// ---------------------------------------------------------------------------------------------
// Detectors

using DetectorFn = Detection (*)(const stdfs::path&);

struct DetectorCase {
  std::string label;
  DetectorFn detector;
  std::vector<std::pair<std::string, std::string>> files;
  double points;
  std::vector<std::string> details;
  // Links in the checkout to files of the same name outside it, with this content.
  std::vector<std::pair<std::string, std::string>> links_out = {};
  std::vector<std::string> dirs = {};
};

void run_cases(const std::vector<DetectorCase>& cases) {
  for (const DetectorCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    TempDir outside;
    for (const auto& [path, content] : c.files) dir.write(path, content);
    for (const auto& path : c.dirs) dir.mkdir(path);
    for (const auto& [path, content] : c.links_out) {
      const stdfs::path target = outside.write(stdfs::path(path).filename(), content);
      stdfs::create_symlink(target, dir / path);
    }
    const Detection found = c.detector(dir.path());
    EXPECT_EQ(found.first, c.points);
    EXPECT_EQ(found.second, c.details);
  }
}

const std::string LATIN1 = "caf\xE9";  // not UTF-8

TEST(OlvenarDetectors, EveryDetectorFindsNothingInAnEmptyCheckout) {
  for (const DetectorFn detector :
       {detail::python_component, detail::js_components, detail::rust_components,
        detail::go_component, detail::composer_component, detail::java_component}) {
    TempDir dir;
    dir.write("README.md", "nothing to see\n");
    EXPECT_EQ(detector(dir.path()), Detection(0.0, {}));
  }
}

TEST(OlvenarDetectors, Python) {
  const auto py = detail::python_component;
  const std::string project = "[project]\nname = \"demo\"\nversion = \"1.0\"\n";
  const std::string name = "python package name";
  const std::string version = "python version field";
  run_cases({
      {"pyproject name and version; broken fallbacks never read",
       py,
       {{"pyproject.toml", project}, {"setup.py", LATIN1}, {"setup.cfg", "garbage"}},
       6.0,
       {name, version}},
      {"pyproject name with dynamic version beside a setup.py version",
       py,
       {{"pyproject.toml", "[project]\nname = \"demo\"\ndynamic = [\"version\"]\n"},
        {"setup.py", "setup(version='1.0')\n"}},
       3.0,
       {name}},
      {"version line under any table counts without a project table",
       py,
       {{"pyproject.toml", "[tool.poetry]\nname = \"demo\"\nversion = \"1\"\n"}},
       3.0,
       {version}},
      {"name without project table falls back to setup.py for the name",
       py,
       {{"pyproject.toml", "[tool.x]\nname = \"demo\"\nversion = \"1\"\n"},
        {"setup.py", "setup(name=\"demo\")\n"}},
       6.0,
       {name, version}},
      {"a project.urls header is no project table",
       py,
       {{"pyproject.toml", "[project.urls]\nname = \"x\"\n"}},
       0.0,
       {}},
      {"indented name line in pyproject",
       py,
       {{"pyproject.toml", "[project]\n  name = \"x\"\n"}},
       3.0,
       {name}},
      {"setup.py with quoted arguments, also at the end of a longer identifier",
       py,
       {{"setup.py", "setup(package_name = 'x', version= \"2\")\n"}},
       6.0,
       {name, version}},
      {"setup.py with unquoted identifiers falls back to setup.cfg",
       py,
       {{"setup.py", "setup(name=NAME, version=VERSION)\n"},
        {"setup.cfg", "[metadata]\nName = demo\n"}},
       3.0,
       {name}},
      {"setup.cfg name and version",
       py,
       {{"setup.cfg", "[metadata]\nname = demo\nversion = 1\n"}},
       6.0,
       {name, version}},
      {"setup.cfg adds its name to a pyproject version",
       py,
       {{"pyproject.toml", "version = 1\n"}, {"setup.cfg", "[metadata]\nname = demo\n"}},
       6.0,
       {name, version}},
      {"setup.cfg with empty values counts them",
       py,
       {{"setup.cfg", "[metadata]\nname =\nversion =\n"}},
       6.0,
       {name, version}},
      {"setup.cfg name from DEFAULT",
       py,
       {{"setup.cfg", "[DEFAULT]\nname = demo\n[metadata]\nversion = 1\n"}},
       6.0,
       {name, version}},
      {"setup.cfg section names are case-sensitive",
       py,
       {{"setup.cfg", "[Metadata]\nname = demo\n"}},
       0.0,
       {}},
      {"setup.cfg with a repeated option gives nothing",
       py,
       {{"setup.cfg", "[metadata]\nname = a\nname = b\n"}},
       0.0,
       {}},
      {"setup.cfg starting with a byte-order mark gives nothing",
       py,
       {{"setup.cfg", "\xEF\xBB\xBF[metadata]\nname = demo\n"}},
       0.0,
       {}},
      {"a pyproject that is not UTF-8 yields nothing; setup.py still runs",
       py,
       {{"pyproject.toml", "[project]\nname = \"" + LATIN1 + "\"\nversion = \"1\"\n"},
        {"setup.py", "setup(name='demo')\n"}},
       3.0,
       {name}},
      {"a setup.py that is not UTF-8 yields nothing; setup.cfg still runs",
       py,
       {{"setup.py", "setup(name='" + LATIN1 + "', version='1')\n"},
        {"setup.cfg", "[metadata]\nversion = 1\n"}},
       3.0,
       {version}},
      {"a setup.cfg that is not UTF-8 yields nothing",
       py,
       {{"setup.cfg", "[metadata]\nname = " + LATIN1 + "\n"}},
       0.0,
       {}},
      {"a directory named setup.py is absent",
       py,
       {{"setup.cfg", "[metadata]\nname = demo\n"}},
       3.0,
       {name},
       {},
       {"setup.py"}},
      {"a packaging file linked from outside the checkout is not read",
       py,
       {},
       0.0,
       {},
       {{"pyproject.toml", project}}},
      {"versioned modules, an unreadable-as-UTF-8 one included",
       py,
       {{"pkg/__init__.py", "__version__ = '1'\n"},
        {"pkg/sub/__init__.py", "# see __version__ in \xFF\n"},
        {"other/__init__.py", "import os\n"}},
       2.0,
       {"2 versioned python module(s)"}},
      {"_version.py files are counted up to five",
       py,
       {{"a/_version.py", ""},
        {"b/_version.py", ""},
        {"c/_version.py", ""},
        {"d/_version.py", ""},
        {"e/_version.py", ""},
        {"f/_version.py", ""},
        {"g/_version.py", ""}},
       2.0,
       {"5 versioned python module(s)"}},
      {"everything at once",
       py,
       {{"pyproject.toml", project},
        {"pkg/__init__.py", "__version__ = '1'\n"},
        {"pkg/_version.py", ""}},
       8.0,
       {name, version, "2 versioned python module(s)"}},
  });
}

TEST(OlvenarDetectors, PythonReadsOnlyTheFirstTwentyInitFilesFound) {
  TempDir dir;
  for (int i = 0; i < 30; ++i) {
    dir.write("m" + std::to_string(i) + "/__init__.py", i < 25 ? "__version__ = '1'\n" : "\n");
  }
  const auto found = detail::iter_files(dir.path(), "__init__.py");
  ASSERT_EQ(found.size(), 30u);
  int expected = 0;
  for (std::size_t i = 0; i < 20; ++i) {
    const int index = std::stoi(found[i].parent_path().filename().string().substr(1));
    if (index < 25) ++expected;
  }
  EXPECT_EQ(detail::python_component(dir.path()),
            Detection(2.0, {std::to_string(expected) + " versioned python module(s)"}));
}

TEST(OlvenarDetectors, Npm) {
  const auto js = detail::js_components;
  const std::string valid = R"({"name": "a", "version": "1.0.0"})";
  const std::string one = "package.json (name + version)";
  std::vector<std::pair<std::string, std::string>> twelve;
  for (int i = 0; i < 12; ++i)
    twelve.emplace_back("p" + std::to_string(i) + "/package.json", valid);
  twelve.emplace_back("node_modules/dep/package.json", valid);
  run_cases({
      {"single package", js, {{"package.json", valid}}, 4.0, {one}},
      {"root without version beside two workspace packages",
       js,
       {{"package.json", R"({"name": "root", "private": true})"},
        {"packages/a/package.json", valid},
        {"packages/b/package.json", valid}},
       4.5,
       {"2 package.json files (npm workspace / monorepo)"}},
      {"three packages",
       js,
       {{"a/package.json", valid}, {"b/package.json", valid}, {"c/package.json", valid}},
       5.0,
       {"3 package.json files (npm workspace / monorepo)"}},
      {"twelve packages, the one in node_modules unseen",
       js,
       twelve,
       6.0,
       {"12 package.json files (npm workspace / monorepo)"}},
      {"a syntax error is skipped",
       js,
       {{"package.json", R"({"name": "a",)"}, {"web/package.json", valid}},
       4.0,
       {one}},
      {"empty version text and null name do not count",
       js,
       {{"a/package.json", R"({"name": "a", "version": ""})"},
        {"b/package.json", R"({"name": null, "version": "1"})"},
        {"c/package.json", R"({"name": "c", "version": "1", "version": 0})"}},
       0.0,
       {}},
      {"a top-level array is skipped like a syntax error",
       js,
       {{"package.json", R"([{"name": "a", "version": "1"}])"}, {"web/package.json", valid}},
       4.0,
       {one}},
      {"a byte-order mark is a syntax error",
       js,
       {{"package.json", "\xEF\xBB\xBF" + valid}, {"web/package.json", valid}},
       4.0,
       {one}},
      {"a file that is not UTF-8 is skipped",
       js,
       {{"package.json", R"({"name": ")" + LATIN1 + R"(", "version": "1"})"},
        {"web/package.json", valid}},
       4.0,
       {one}},
      {"empty file and empty object",
       js,
       {{"package.json", ""}, {"web/package.json", "{}"}},
       0.0,
       {}},
  });
}

TEST(OlvenarDetectors, Cargo) {
  const auto rust = detail::rust_components;
  run_cases({
      {"single crate", rust, {{"Cargo.toml", "[package]\nname = \"x\"\n"}}, 4.0, {"Cargo.toml"}},
      {"workspace of three member crates",
       rust,
       {{"Cargo.toml", "[workspace]\nmembers = [\"a\", \"b\", \"c\"]\n"},
        {"a/Cargo.toml", "[package]\n"},
        {"b/Cargo.toml", "[package]\n"},
        {"c/Cargo.toml", "[package]\n"}},
       5.5,
       {"Cargo.toml", "4 Cargo workspace member(s)"}},
      {"workspace bonus stops at 2.0",
       rust,
       {{"Cargo.toml", "[workspace]\n"},
        {"a/Cargo.toml", ""},
        {"b/Cargo.toml", ""},
        {"c/Cargo.toml", ""},
        {"d/Cargo.toml", ""},
        {"e/Cargo.toml", ""},
        {"target/f/Cargo.toml", ""}},
       6.0,
       {"Cargo.toml", "6 Cargo workspace member(s)"}},
      {"workspace without other manifests",
       rust,
       {{"Cargo.toml", "[workspace]\n"}},
       4.0,
       {"Cargo.toml"}},
      {"member manifests of a plain crate are not counted",
       rust,
       {{"Cargo.toml", "[package]\n"}, {"sub/Cargo.toml", "[package]\n"}},
       4.0,
       {"Cargo.toml"}},
      {"only a dependencies table",
       rust,
       {{"Cargo.toml", "[dependencies]\nserde = \"1\"\n"}},
       0.0,
       {}},
      {"sub-table headers are not the tables",
       rust,
       {{"Cargo.toml", "[workspace.package]\n[workspace.dependencies]\n"}},
       0.0,
       {}},
      {"members without a root manifest", rust, {{"a/Cargo.toml", "[package]\n"}}, 0.0, {}},
      {"a root manifest that is not UTF-8 yields nothing",
       rust,
       {{"Cargo.toml", "[package]\nname = \"" + LATIN1 + "\"\n"}},
       0.0,
       {}},
  });
}

TEST(OlvenarDetectors, GoComposerJava) {
  const auto go = detail::go_component;
  const auto composer = detail::composer_component;
  const auto java = detail::java_component;
  const std::string go_found = "go.mod module path";
  const std::string pom = "<project><groupId>g</groupId><artifactId>a</artifactId></project>";
  run_cases({
      {"go module line",
       go,
       {{"go.mod", "// c\nmodule example.com/x\n\ngo 1.21\n"}},
       5.0,
       {go_found}},
      {"go module path on the next line",
       go,
       {{"go.mod", "module\nexample.com/x\n"}},
       5.0,
       {go_found}},
      {"go indented module line", go, {{"go.mod", "  module example.com/x\n"}}, 0.0, {}},
      {"go module word without path", go, {{"go.mod", "module \n"}}, 0.0, {}},
      {"go byte-order mark before the module line",
       go,
       {{"go.mod", "\xEF\xBB\xBFmodule example.com/x\n"}},
       0.0,
       {}},
      {"go.mod that is not UTF-8",
       go,
       {{"go.mod", "module example.com/" + LATIN1 + "\n"}},
       0.0,
       {}},
      {"go.mod directory is absent", go, {}, 0.0, {}, {}, {"go.mod"}},

      {"composer name only",
       composer,
       {{"composer.json", R"({"name": "v/p"})"}},
       3.0,
       {"composer.json name"}},
      {"composer version only",
       composer,
       {{"composer.json", R"({"version": "1.0"})"}},
       2.0,
       {"composer.json version"}},
      {"composer both",
       composer,
       {{"composer.json", R"({"name": "v/p", "version": "1"})"}},
       5.0,
       {"composer.json name", "composer.json version"}},
      {"composer syntax error", composer, {{"composer.json", R"({"name": )"}}, 0.0, {}},
      {"composer top-level array", composer, {{"composer.json", R"(["name"])"}}, 0.0, {}},
      {"composer not UTF-8",
       composer,
       {{"composer.json", R"({"name": ")" + LATIN1 + R"("})"}},
       0.0,
       {}},
      {"composer false name",
       composer,
       {{"composer.json", R"({"name": false, "version": []})"}},
       0.0,
       {}},

      {"maven coordinate wins over gradle",
       java,
       {{"pom.xml", pom}, {"build.gradle", ""}},
       5.0,
       {"pom.xml maven coordinate"}},
      {"maven coordinate read leniently",
       java,
       {{"pom.xml", "<!-- " + LATIN1 + " -->" + pom}},
       5.0,
       {"pom.xml maven coordinate"}},
      {"pom without coordinate falls back to gradle kts",
       java,
       {{"pom.xml", "<project><groupId>g</groupId></project>"}, {"build.gradle.kts", ""}},
       3.0,
       {"build.gradle.kts"}},
      {"build.gradle before build.gradle.kts",
       java,
       {{"build.gradle", ""}, {"build.gradle.kts", ""}},
       3.0,
       {"build.gradle"}},
      {"pom without coordinate and no gradle", java, {{"pom.xml", "<project/>"}}, 0.0, {}},
      {"unreadable pom hides gradle", java, {{"build.gradle", ""}}, 0.0, {}, {{"pom.xml", pom}}},
  });
}

// ---------------------------------------------------------------------------------------------
// The plug-in

base::CheckResult check(std::string_view id, const stdfs::path& repo) {
  const OlvenarPlugin plugin;
  return plugin.check(id, core::context::Context(repo));
}

TEST(OlvenarComponents, NothingFoundIsUnknown) {
  TempDir dir;
  dir.write("README.md", "# demo\n");
  const auto result = check("component_identifiers", dir.path());
  EXPECT_EQ(result.indicator_id, "component_identifiers");
  EXPECT_EQ(result.plugin, "olvenar");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, base::CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Searched recognised packaging files for component identifiers");
  EXPECT_EQ(result.output, "No component identifiers detected");
  EXPECT_EQ(result.evidence,
            "Checked: pyproject.toml, setup.py, setup.cfg, package.json, Cargo.toml, go.mod, "
            "composer.json, pom.xml, build.gradle");
}

TEST(OlvenarComponents, TalliesDetectorsInOrderAndCapsOnlyTheScore) {
  struct Case {
    std::string label;
    std::vector<std::pair<std::string, std::string>> files;
    double score;
    std::string details;
  };
  const std::vector<Case> cases = {
      {"go alone", {{"go.mod", "module x\n"}}, 5.0, "go.mod module path"},
      {"python and go reach the cap",
       {{"pyproject.toml", "[project]\nname = \"x\"\nversion = \"1\"\n"}, {"go.mod", "module x\n"}},
       10.0,
       "python package name; python version field; go.mod module path"},
      {"below the cap",
       {{"composer.json", R"({"version": "1"})"}, {"build.gradle", ""}},
       5.0,
       "composer.json version; build.gradle"},
      {"all six ecosystems keep every detail",
       {{"setup.py", "setup(name='x', version='1')\n"},
        {"pkg/__init__.py", "__version__ = '1'\n"},
        {"package.json", R"({"name": "x", "version": "1"})"},
        {"Cargo.toml", "[workspace]\n[package]\n"},
        {"crates/a/Cargo.toml", "[package]\n"},
        {"go.mod", "module x\n"},
        {"composer.json", R"({"name": "v/x", "version": "1"})"},
        {"pom.xml", "<groupId>g</groupId><artifactId>a</artifactId>"}},
       10.0,
       "python package name; python version field; 1 versioned python module(s); "
       "package.json (name + version); Cargo.toml; 2 Cargo workspace member(s); "
       "go.mod module path; composer.json name; composer.json version; "
       "pom.xml maven coordinate"},
      {"odd files elsewhere do not sink the check",
       {{"pyproject.toml", "[project]\nname = \"" + LATIN1 + "\"\n"},
        {"package.json", "[1, 2]"},
        {"web/package.json", "\xFF\xFE"},
        {"Cargo.toml", LATIN1},
        {"composer.json", "\"text\""},
        {"go.mod", "module x\n"}},
       5.0,
       "go.mod module path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    for (const auto& [path, content] : c.files) dir.write(path, content);
    const auto result = check("component_identifiers", dir.path());
    EXPECT_EQ(result.indicator_id, "component_identifiers");
    EXPECT_EQ(result.score, c.score);
    EXPECT_EQ(result.process, "Tallied component identifiers across ecosystems");
    EXPECT_EQ(result.output, c.details);
    EXPECT_EQ(result.evidence, c.details);
    EXPECT_EQ(result.status, c.score >= 7.0 ? base::CheckStatus::PASS : base::CheckStatus::FAIL);
  }
}

TEST(OlvenarComponents, RepeatedChecksAgreeAndWriteNothing) {
  TempDir dir;
  dir.write("package.json", R"({"name": "x", "version": "1"})");
  dir.write("go.mod", "module x\n");
  const auto before = listing(dir.path());
  const auto first = check("component_identifiers", dir.path());
  EXPECT_EQ(check("component_identifiers", dir.path()), first);
  EXPECT_EQ(listing(dir.path()), before);
}

// The empty path names the working directory, as "." does: both see the same checkout.
TEST(OlvenarCheck, WorkingDirectoryNamedAnyWayGetsTheSameAnswer) {
  quarnel::testing::prepare_git_environment();
  TempDir dir;
  dir.write("pyproject.toml", "[project]\nname = \"x\"\n");
  dir.write("web/package.json", R"({"name": "x", "version": "1"})");
  dir.write("pkg/_version.py", "");
  dir.write("CITATION.cff", "doi: 10.5281/zenodo.1234567\n");
  dir.write("README.md", "10.1234/abcd\n");
  for (const std::string id : {"component_identifiers", "persistent_identifier"}) {
    SCOPED_TRACE(id);
    const auto absolute = check(id, dir.path());
    ASSERT_GT(absolute.score, 0.0);
    const quarnel::testing::WorkingDirectory inside(dir.path());
    for (const std::string name : {"", "."}) {
      SCOPED_TRACE("checkout named '" + name + "'");
      const auto relative = check(id, name);
      EXPECT_EQ(relative.score, absolute.score);
      EXPECT_EQ(relative.output, absolute.output);
    }
  }
}

TEST(OlvenarCheck, UnknownIdsAreNotHandled) {
  TempDir dir;
  dir.write("go.mod", "module x\n");
  for (const std::string id : {"version_identifiers", "Persistent_Identifier",
                               "COMPONENT_IDENTIFIERS", "component_identifiers ", ""}) {
    SCOPED_TRACE(id);
    const auto result = check(id, dir.path());
    EXPECT_EQ(result.indicator_id, id);
    EXPECT_EQ(result.score, 0.0);
    EXPECT_EQ(result.evidence, "not handled");
    EXPECT_EQ(result.process, "");
    EXPECT_EQ(result.output, "");
  }
}

TEST(OlvenarCheck, PersistentIdentifierGoesToItsOwnCheck) {
  TempDir dir;
  dir.write("go.mod", "module x\n");
  const auto result = check("persistent_identifier", dir.path());
  EXPECT_EQ(result.indicator_id, "persistent_identifier");
  EXPECT_NE(result.evidence, "not handled");
}

}  // namespace
}  // namespace quarnel::plugins::builtin::olvenar
