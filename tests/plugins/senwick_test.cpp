#include "quarnel/plugins/builtin/senwick.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::senwick::SenwickPlugin;
using quarnel::testing::TempDir;

constexpr const char* NOT_FOUND_EVIDENCE =
    "Checked: pyproject.toml, setup.py, setup.cfg, requirements.txt, Pipfile, poetry.lock, "
    "package.json, Cargo.toml and 12 more";

CheckResult check(const stdfs::path& repo, const std::string& id = "qualified_references") {
  return SenwickPlugin{}.check(id, Context(repo));
}

struct SenwickCase {
  std::string name;
  std::vector<std::string> files;
  std::vector<std::string> dirs;
  double score;
  CheckStatus status;
  std::string output;
  std::string evidence;
};

class SenwickFiles : public ::testing::TestWithParam<SenwickCase> {};

TEST_P(SenwickFiles, ScoresTheFilesPresentInTableOrder) {
  const SenwickCase& c = GetParam();
  const TempDir dir;
  for (const auto& file : c.files) dir.write(file, "x\n");
  for (const auto& sub : c.dirs) dir.mkdir(sub);

  const CheckResult result = check(dir.path());
  EXPECT_EQ(result.indicator_id, "qualified_references");
  EXPECT_EQ(result.plugin, "senwick");
  EXPECT_DOUBLE_EQ(result.score, c.score);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.output, c.output);
  EXPECT_EQ(result.evidence, c.evidence);
  EXPECT_EQ(result.process, c.status == CheckStatus::UNKNOWN
                                ? "Searched for dependency/requirements files"
                                : "Found dependency specification files");
}

INSTANTIATE_TEST_SUITE_P(
    Checkouts, SenwickFiles,
    ::testing::Values(SenwickCase{"Empty",
                                  {},
                                  {},
                                  0.0,
                                  CheckStatus::UNKNOWN,
                                  "No dependency specification found",
                                  NOT_FOUND_EVIDENCE},
                      SenwickCase{"OneRequirementsFile",
                                  {"requirements.txt"},
                                  {},
                                  7.0,
                                  CheckStatus::PASS,
                                  "requirements.txt (Python (requirements.txt))",
                                  "Files: requirements.txt"},
                      SenwickCase{
                          "TableOrderNotDiskOrder",
                          {"package.json", "pyproject.toml"},
                          {},
                          9.0,
                          CheckStatus::PASS,
                          "pyproject.toml (Python (pyproject.toml)); package.json (Node.js)",
                          "Files: pyproject.toml, package.json"},
                      SenwickCase{"TwoCondaFiles",
                                  {"conda.yaml", "environment.yml"},
                                  {},
                                  9.0,
                                  CheckStatus::PASS,
                                  "environment.yml (Conda); conda.yaml (Conda)",
                                  "Files: environment.yml, conda.yaml"},
                      SenwickCase{"DirectoryCountsAsPresent",
                                  {},
                                  {"go.mod"},
                                  7.0,
                                  CheckStatus::PASS,
                                  "go.mod (Go)",
                                  "Files: go.mod"},
                      SenwickCase{"UnlistedOrMiscasedNamesIgnored",
                                  {"build.gradle.kts", "yarn.lock", "pipfile", "cmakelists.txt",
                                   "sub/requirements.txt"},
                                  {},
                                  0.0,
                                  CheckStatus::UNKNOWN,
                                  "No dependency specification found",
                                  NOT_FOUND_EVIDENCE}),
    [](const auto& info) { return info.param.name; });

TEST(SenwickCheck, AllTwentyFilesStayAtNine) {
  const TempDir dir;
  const std::vector<std::string> files = {
      "conda.yaml",   "environment.yml",  "spack.yaml",    "conanfile.txt", "CMakeLists.txt",
      "Project.toml", "DESCRIPTION",      "composer.json", "Gemfile",       "build.gradle",
      "pom.xml",      "go.mod",           "Cargo.toml",    "package.json",  "poetry.lock",
      "Pipfile",      "requirements.txt", "setup.cfg",     "setup.py",      "pyproject.toml"};
  for (const auto& file : files) dir.write(file, "x\n");

  const CheckResult result = check(dir.path());
  EXPECT_DOUBLE_EQ(result.score, 9.0);
  EXPECT_EQ(result.output,
            "pyproject.toml (Python (pyproject.toml)); setup.py (Python (setup.py)); "
            "setup.cfg (Python (setup.cfg)); requirements.txt (Python (requirements.txt)); "
            "Pipfile (Python (Pipfile)); poetry.lock (Python (Poetry)); package.json (Node.js); "
            "Cargo.toml (Rust); go.mod (Go); pom.xml (Java (Maven)); "
            "build.gradle (Java (Gradle)); Gemfile (Ruby); composer.json (PHP); "
            "DESCRIPTION (R); Project.toml (Julia); CMakeLists.txt (C/C++ (CMake)); "
            "conanfile.txt (C/C++ (Conan)); spack.yaml (Spack); environment.yml (Conda); "
            "conda.yaml (Conda)");
  EXPECT_EQ(result.evidence,
            "Files: pyproject.toml, setup.py, setup.cfg, requirements.txt, Pipfile, poetry.lock, "
            "package.json, Cargo.toml, go.mod, pom.xml, build.gradle, Gemfile, composer.json, "
            "DESCRIPTION, Project.toml, CMakeLists.txt, conanfile.txt, spack.yaml, "
            "environment.yml, conda.yaml");
}

TEST(SenwickCheck, LinksAreFollowedForExistence) {
  const TempDir dir;
  dir.write("real/Cargo.toml", "[package]\n");
  stdfs::create_symlink(dir / "real/Cargo.toml", dir / "Cargo.toml");
  stdfs::create_symlink(dir / "missing", dir / "Gemfile");  // broken: absent

  const CheckResult result = check(dir.path());
  EXPECT_DOUBLE_EQ(result.score, 7.0);
  EXPECT_EQ(result.output, "Cargo.toml (Rust)");
}

TEST(SenwickCheck, AnyIdIsAnsweredAndKept) {
  const TempDir dir;
  dir.write("Gemfile", "source 'x'\n");
  const CheckResult result = check(dir.path(), "something_else");
  EXPECT_EQ(result.indicator_id, "something_else");
  EXPECT_DOUBLE_EQ(result.score, 7.0);
  EXPECT_EQ(result.output, "Gemfile (Ruby)");
}

TEST(SenwickCheck, MissingCheckoutFindsNothing) {
  const TempDir dir;
  const CheckResult result = check(dir / "absent");
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_DOUBLE_EQ(result.score, 0.0);
  EXPECT_EQ(result.evidence, NOT_FOUND_EVIDENCE);
}

}  // namespace
