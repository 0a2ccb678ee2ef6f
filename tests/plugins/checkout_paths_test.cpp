// How every check sees the checkout: the same rule for named directories reached through links,
// and the same tree whether the checkout is named "" or ".".

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"
#include "quarnel/plugins/registry.hpp"
#include "quarnel/utils/ci.hpp"
#include "quarnel/utils/files.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::testing::TempDir;

using Files = std::vector<std::pair<std::string, std::string>>;

// Everything of a result that a check decides, on one line for a readable failure.
std::string summary(const CheckResult& result) {
  return std::to_string(result.score) + " | " +
         std::string(quarnel::core::models::to_string(result.status)) + " | " + result.output +
         " | " + result.evidence;
}

CheckResult run(std::string_view plugin_name, std::string_view indicator_id,
                const stdfs::path& repo) {
  for (const auto& plugin : quarnel::plugins::registry::builtin_plugins()) {
    if (plugin->name() == plugin_name) return plugin->check(indicator_id, Context(repo));
  }
  ADD_FAILURE() << "no plug-in " << plugin_name;
  return {};
}

void write_all(const stdfs::path& dir, const Files& files) {
  stdfs::create_directories(dir);
  for (const auto& [path, content] : files) {
    stdfs::create_directories((dir / path).parent_path());
    std::ofstream(dir / path, std::ios::binary) << content;
  }
}

// --- A named directory reached through a link ---------------------------------------------------

// Where the link named like the directory points.
enum class Target { Inside, Outside, Dangling, Loop };

std::string_view target_name(Target target) {
  switch (target) {
    case Target::Inside:
      return "inside";
    case Target::Outside:
      return "outside";
    case Target::Dangling:
      return "dangling";
    case Target::Loop:
      return "loop";
  }
  return "";
}

struct LinkedCase {
  std::string plugin;
  std::string indicator;
  std::string name;         // the named directory, relative to the checkout
  Files content;            // what the directory holds
  Files elsewhere;          // the rest of the checkout
  std::string real_output;  // the check's output with a real directory of that name
};

void PrintTo(const LinkedCase& c, std::ostream* os) { *os << c.plugin << " " << c.name; }

std::string case_label(const LinkedCase& c) {
  std::string label = c.plugin + "_" + c.name;
  for (char& ch : label) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return label;
}

class LinkedNamedDirectory : public ::testing::TestWithParam<LinkedCase> {
 protected:
  // A checkout with the rest of its files, and the named directory's parents (which are
  // not in question here).
  stdfs::path checkout(const TempDir& dir) const {
    const LinkedCase& c = GetParam();
    const stdfs::path repo = dir / "checkout";
    write_all(repo, c.elsewhere);
    stdfs::create_directories((repo / c.name).parent_path());
    return repo;
  }
  CheckResult check(const stdfs::path& repo) const {
    return run(GetParam().plugin, GetParam().indicator, repo);
  }
};

TEST_P(LinkedNamedDirectory, InsideIsTheDirectoryElsewhereItIsAbsent) {
  const LinkedCase& c = GetParam();

  const TempDir real_dir;
  const stdfs::path real = checkout(real_dir);
  write_all(real / c.name, c.content);
  const CheckResult with_directory = check(real);
  ASSERT_EQ(with_directory.output, c.real_output);

  const TempDir absent_dir;
  const CheckResult without_directory = check(checkout(absent_dir));
  ASSERT_NE(summary(without_directory), summary(with_directory));

  for (const Target target : {Target::Inside, Target::Outside, Target::Dangling, Target::Loop}) {
    const TempDir dir;
    const stdfs::path repo = checkout(dir);
    const stdfs::path link = repo / c.name;
    CheckResult expected = without_directory;
    switch (target) {
      case Target::Inside:
        write_all(repo / "stash", c.content);
        stdfs::create_directory_symlink(stdfs::relative(repo / "stash", link.parent_path()), link);
        expected = with_directory;
        break;
      case Target::Outside:
        write_all(dir / "outside", c.content);
        stdfs::create_directory_symlink(dir / "outside", link);
        break;
      case Target::Dangling:
        stdfs::create_directory_symlink("missing", link);
        break;
      case Target::Loop:
        stdfs::create_directory_symlink(link.filename(), link);
        break;
    }
    EXPECT_EQ(summary(check(repo)), summary(expected))
        << c.name << " as a link " << target_name(target);
  }
}

const Files WORKFLOW = {{"ci.yml", "run: pytest\n"}};

INSTANTIATE_TEST_SUITE_P(
    Checks, LinkedNamedDirectory,
    ::testing::Values(
        LinkedCase{"documentation",
                   "descriptive_attributes",
                   "docs",
                   {{"guide.md", "x"}, {"conf.py", "x"}},
                   {},
                   "No README found; Docs directory: docs/ (1 files); Doc tool config: "
                   "docs/conf.py"},
        LinkedCase{"documentation",
                   "descriptive_attributes",
                   "doc",
                   {{"guide.rst", "x"}},
                   {},
                   "No README found; Docs directory: doc/ (1 files)"},
        LinkedCase{"documentation",
                   "descriptive_attributes",
                   "documentation",
                   {{"a/guide.md", "x"}},
                   {},
                   "No README found; Docs directory: documentation/ (1 files)"},
        LinkedCase{
            "tolmane", "access_documentation", "docs", {{"x.txt", "x"}}, {}, "docs/ directory"},
        LinkedCase{"tolmane", "access_documentation", "doc", {}, {}, "doc/ directory"},
        LinkedCase{"brantel",
                   "clear_license",
                   "LICENSES",
                   {{"MIT.txt", "x"}},
                   {},
                   "Detected SPDX licenses: MIT"},
        LinkedCase{"community_standards",
                   "community_standards",
                   "docs",
                   {{"CONTRIBUTING.md", "x"}},
                   {},
                   "CONTRIBUTING (docs/CONTRIBUTING.md)"},
        LinkedCase{"community_standards",
                   "community_standards",
                   ".github",
                   {{"SECURITY.md", "x"}},
                   {},
                   "SECURITY (.github/SECURITY.md)"},
        LinkedCase{
            "community_standards", "community_standards", "tests", {}, {}, "tests (dir tests/)"},
        LinkedCase{"community_standards",
                   "community_standards",
                   "packages/spec",
                   {},
                   {},
                   "tests (dir packages/spec/)"},
        LinkedCase{"community_standards",
                   "community_standards",
                   ".github/workflows",
                   WORKFLOW,
                   {},
                   "CI (GitHub Actions)"},
        LinkedCase{"hublet",
                   "ci_tests",
                   ".github",
                   {{"workflows/ci.yml", "run: pytest\n"}},
                   {},
                   "CI: GitHub Actions; tests in CI: yes"},
        LinkedCase{"hublet",
                   "ci_tests",
                   ".gitea/workflows",
                   WORKFLOW,
                   {},
                   "CI: Gitea Actions; tests in CI: yes"},
        LinkedCase{"hublet",
                   "ci_tests",
                   ".circleci",
                   {{"config.yml", "make\n"}},
                   {},
                   "CI: CircleCI; tests in CI: not detected"},
        LinkedCase{"interoperability",
                   "community_data_standards",
                   "src",
                   {{"data.csv", ""}},
                   {{"root.xml", ""}},
                   "Formats found: csv"},
        LinkedCase{"interoperability",
                   "community_data_standards",
                   "lib",
                   {{"a/data.json", ""}},
                   {{"root.xml", ""}},
                   "Formats found: json"},
        // An empty source directory is searched, and finds nothing: the root's file does not
        // count.
        LinkedCase{"interoperability",
                   "community_data_standards",
                   "src",
                   {},
                   {{"root.xml", ""}},
                   "No standard data format files detected"}),
    [](const auto& info) { return case_label(info.param) + "_" + std::to_string(info.index); });

// --- The empty checkout path ----------------------------------------------------------------

// A git checkout with something for every check to find, including files below the root for
// the walks.
class EmptyCheckoutPath : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [path, content] : Files{
             {"README.md", std::string(300, 'x') + "\npip install tool\n"},
             {"INSTALL.md", "x"},
             {"CONTRIBUTING.md", "x"},
             {"LICENSE", "MIT License\n\nPermission is hereby granted, free of charge\n"},
             {"docs/guide.md", "x"},
             {"tests/test_a.py", "x"},
             {"packages/e2e/run.js", "x"},
             {".github/workflows/ci.yml", "run: pytest\n"},
             {".editorconfig", "x"},
             {"pyproject.toml",
              "[project]\nname = \"tool\"\nversion = \"1.0\"\ndependencies = [\"a>=1\"]\n"},
             {"CITATION.cff", "cff-version: 1.2.0\ntitle: tool\ndoi: 10.5281/zenodo.1\n"},
             {"codemeta.json", R"({"name": "tool", "identifier": "10.5281/zenodo.1"})"},
             {"requirements.txt", "a==1\n"},
             {"openapi.yaml", "x"},
             {"data/table.csv", ""},
             {"pkg/__init__.py", "__version__ = '1.0'\n"},
             {"web/package.json", R"({"name": "w", "version": "1.0.0"})"},
         }) {
      git_.commit_file(path, content);
    }
  }
  quarnel::testing::GitFixture git_;
};

TEST_F(EmptyCheckoutPath, EveryCheckSeesTheWorkingDirectory) {
  const quarnel::testing::WorkingDirectory inside(git_.path());
  for (const auto& plugin : quarnel::plugins::registry::builtin_plugins()) {
    std::vector<std::string> ids(plugin->supported_indicators().begin(),
                                 plugin->supported_indicators().end());
    if (ids.empty()) ids.emplace_back("ci_tests");
    for (const std::string& id : ids) {
      SCOPED_TRACE(std::string(plugin->name()) + " " + id);
      const CheckResult named = plugin->check(id, Context("."));
      EXPECT_EQ(summary(plugin->check(id, Context(""))), summary(named));
    }
  }
}

TEST_F(EmptyCheckoutPath, EveryFinderSeesTheWorkingDirectory) {
  const quarnel::testing::WorkingDirectory inside(git_.path());
  const auto relative = [](const std::vector<stdfs::path>& paths) {
    std::vector<std::string> out;
    for (const stdfs::path& path : paths) out.push_back(path.lexically_normal().string());
    return out;
  };
  const auto ci = [&](const stdfs::path& repo) {
    std::vector<stdfs::path> paths;
    for (const auto& config : quarnel::utils::ci::find_ci_configs(repo)) {
      paths.push_back(config.first);
    }
    return relative(paths);
  };
  EXPECT_EQ(ci(""), ci("."));
  EXPECT_EQ(ci("."), std::vector<std::string>{".github/workflows/ci.yml"});

  namespace olvenar = quarnel::plugins::builtin::olvenar::detail;
  EXPECT_EQ(relative(olvenar::iter_files("", "package.json")),
            relative(olvenar::iter_files(".", "package.json")));
  EXPECT_EQ(relative(olvenar::iter_files(".", "package.json")),
            std::vector<std::string>{"web/package.json"});

  const std::vector<std::string_view> names = {"LICENSE", "README.md"};
  EXPECT_EQ(relative(quarnel::utils::files::find_files("", names)),
            relative(quarnel::utils::files::find_files(".", names)));
}

}  // namespace
