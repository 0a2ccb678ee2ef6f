// The built executable, run as a user runs it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "quarnel/utils/json.hpp"
#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "support/fixtures.hpp"

namespace quarnel::cli {
namespace {

namespace process = utils::process;
namespace json = utils::json;

std::string binary() {
  const char* path = std::getenv("QUARNEL_BINARY");
  return path != nullptr ? path : "quarnel";
}

process::Completed quarnel(std::vector<std::string> args, const std::filesystem::path& cwd = {}) {
  args.insert(args.begin(), binary());
  process::RunOptions options;
  if (!cwd.empty()) options.cwd = cwd;
  options.timeout = std::chrono::seconds(120);
  return process::run(args, options);
}

// A small checkout with a remote, a tag and a few identifiers.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("GITHUB_TOKEN");
    ::unsetenv("GITLAB_TOKEN");
    ::unsetenv("GITEA_TOKEN");
    repo.dir().write("pyproject.toml", "[project]\nname = \"tool\"\nversion = \"1.2.3\"\n");
    repo.dir().write("README.md", "# tool\n\nCite as doi:10.5281/zenodo.1234567\n");
    repo.commit_file("codemeta.json",
                     R"({"identifier": "https://doi.org/10.5281/zenodo.1234567"})");
    repo.git({"tag", "v1.2.3"});
    repo.git({"remote", "add", "origin", "https://example.invalid/group/tool.git"});
  }

  testing::GitFixture repo;
};

std::string without_duration(std::string report) {
  return std::regex_replace(report, std::regex(R"("duration_ms": \d+)"), R"("duration_ms": 0)");
}

TEST(Cli, VersionHelpAndIndicators) {
  const auto version = quarnel({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.stdout_text.rfind("quarnel ", 0), 0u) << version.stdout_text;

  const auto help = quarnel({"assess", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.stdout_text.find("--min-compliance"), std::string::npos);

  const auto table = quarnel({"indicators"});
  EXPECT_EQ(table.exit_code, 0);
  const auto lines = utils::text::split(table.stdout_text, "\n");
  ASSERT_EQ(lines.size(), 19u);  // header, 17 rows, and the empty piece after the last LF
  EXPECT_EQ(lines[1].rfind("F1 ", 0), 0u);
  EXPECT_NE(lines[1].find("persistent_identifier"), std::string::npos);
  EXPECT_NE(lines[17].find("community_standards"), std::string::npos);

  const auto list = json::parse(quarnel({"indicators", "--format", "json"}).stdout_text);
  ASSERT_EQ(list.size(), 17u);
  EXPECT_EQ(list[13]["indicator"], "clear_license");
  EXPECT_EQ(list[13]["principle"], "R1.1");
}

TEST(Cli, UsageErrorsExitWithTwoAndSayWhatToDo) {
  testing::TempDir dir;
  const auto file = dir.write("file.txt", "x");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"assess", (dir / "missing").string()}, "does not exist"},
      {{"assess", file.string()}, "is not a directory"},
      {{"assess", dir.path().string(), "--only", "nope"}, "valid indicators are"},
      {{"assess", dir.path().string(), "--format", "pdf"}, "--format"},
      {{"assess", dir.path().string(), "--min-compliance", "diamond"}, "must be one of"},
      {{"assess", dir.path().string(), "--config", (dir / "none.yml").string()}, "none.yml"},
      {{"frobnicate"}, "quarnel --help"},
      {{"assess", dir.path().string(), "-o", (file / "report.txt").string()}, "file.txt"},
  };
  for (const auto& c : cases) {
    const auto run = quarnel(c.args);
    EXPECT_EQ(run.exit_code, 2) << c.args.back();
    EXPECT_NE(run.stderr_text.find(c.message), std::string::npos) << run.stderr_text;
    EXPECT_EQ(run.stdout_text, "") << c.args.back();
  }
}

TEST_F(CliTest, TextReportGoesToStdoutAlone) {
  const auto run = quarnel({"assess", repo.path().string()});
  EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_EQ(run.stdout_text.rfind("Assessment Results\n", 0), 0u) << run.stdout_text;
  EXPECT_NE(run.stdout_text.find("persistent_identifier"), std::string::npos);
  EXPECT_NE(run.stdout_text.find("Overall score: "), std::string::npos);
  EXPECT_EQ(run.stderr_text, "");
}

TEST_F(CliTest, ListOptionsTakeOneValueEachAndLeaveTheTargetAlone) {
  const auto run = quarnel({"assess", "--only", "persistent_identifier,version_identifiers",
                            "--skip", "version_identifiers", "-f", "json", repo.path().string()});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  const auto report = json::parse(run.stdout_text);
  ASSERT_EQ(report["indicators"].size(), 1u);
  EXPECT_EQ(report["indicators"][0]["indicator_id"], "persistent_identifier");
  EXPECT_EQ(report["skipped"].size(), 16u);
}

TEST_F(CliTest, JsonReportIsTheSameWhateverTheNumberOfJobs) {
  const auto one = quarnel({"assess", repo.path().string(), "-f", "json", "--jobs", "1"});
  const auto eight = quarnel({"assess", repo.path().string(), "-f", "json", "--jobs", "8"});
  ASSERT_EQ(one.exit_code, 0) << one.stderr_text;
  EXPECT_EQ(without_duration(one.stdout_text), without_duration(eight.stdout_text));
  const auto report = json::parse(one.stdout_text);
  EXPECT_EQ(report["schema_version"], 1);
  EXPECT_EQ(report["repository"]["url"], "https://example.invalid/group/tool.git");
  EXPECT_EQ(report["indicators"][0]["indicator_id"], "persistent_identifier");
}

TEST_F(CliTest, MarkdownReportIntoADirectory) {
  testing::TempDir out;
  const auto run =
      quarnel({"assess", repo.path().string(), "-f", "markdown", "-o", out.path().string()});
  EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_EQ(run.stdout_text, "");
  EXPECT_TRUE(std::filesystem::is_regular_file(out / "quarnel-report.md"));
  EXPECT_NE(run.stderr_text.find("quarnel-report.md"), std::string::npos);
}

TEST_F(CliTest, GateDecidesTheExitStatus) {
  const auto failing = quarnel({"assess", repo.path().string(), "--min-compliance", "platinum",
                                "--require", "clear_license"});
  EXPECT_EQ(failing.exit_code, 1);
  EXPECT_NE(failing.stderr_text.find("Quality gate: FAILED"), std::string::npos);
  EXPECT_NE(failing.stderr_text.find("< required platinum"), std::string::npos);
  EXPECT_NE(failing.stderr_text.find("Required indicator not passing: clear_license"),
            std::string::npos);

  const auto passing = quarnel({"assess", repo.path().string(), "--min-score", "0"});
  EXPECT_EQ(passing.exit_code, 0) << passing.stderr_text;
  EXPECT_NE(passing.stderr_text.find("Quality gate: passed"), std::string::npos);
}

TEST_F(CliTest, ConfigFileInTheCheckoutIsReadAndFlagsOverrideIt) {
  repo.dir().write(".quarnel.yml", "min_compliance: platinum\ntarget_score: 9.5\n");
  const auto from_file = quarnel({"assess", repo.path().string()});
  EXPECT_EQ(from_file.exit_code, 1);
  EXPECT_NE(from_file.stderr_text.find("Goal score 9.5: not met"), std::string::npos)
      << from_file.stderr_text;

  const auto overridden = quarnel({"assess", repo.path().string(), "--min-compliance", "none"});
  EXPECT_EQ(overridden.exit_code, 0) << overridden.stderr_text;

  repo.dir().write(".quarnel.yml", "min_compliance: gold\nunknown_key: 1\n");
  const auto broken = quarnel({"assess", repo.path().string()});
  EXPECT_EQ(broken.exit_code, 2);
  EXPECT_NE(broken.stderr_text.find("unknown_key"), std::string::npos) << broken.stderr_text;
}

TEST_F(CliTest, NoReportShowsTheQueryValuesOfTheRemote) {
  repo.git({"remote", "set-url", "origin", "https://github.com/a/b?access_token=secret"});
  const std::string shown = "https://github.com/a/b?access_token=REDACTED";
  for (const std::string format : {"text", "json", "markdown"}) {
    SCOPED_TRACE(format);
    // The release check would ask the public forge's API; this test stays on the machine.
    const auto run =
        quarnel({"assess", repo.path().string(), "-f", format, "--skip", "version_identifiers"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    EXPECT_EQ(run.stdout_text.find("secret"), std::string::npos) << run.stdout_text;
    EXPECT_EQ(run.stderr_text.find("secret"), std::string::npos) << run.stderr_text;
    // The text report lists scores only; the other two show the URL.
    if (format == "text") continue;
    EXPECT_NE(run.stdout_text.find(shown), std::string::npos) << run.stdout_text;
    if (format != "json") continue;
    const auto report = json::parse(run.stdout_text);
    EXPECT_EQ(report["repository"]["url"], shown);
    for (const auto& result : report["indicators"]) {
      const std::string id = result["indicator_id"];
      if (id != "identifier_retrieval" && id != "open_access_protocol" &&
          id != "development_provenance") {
        continue;
      }
      const std::string texts =
          result["output"].get<std::string>() + " " + result["evidence"].get<std::string>();
      EXPECT_NE(texts.find(shown), std::string::npos) << id << ": " << texts;
    }
  }
}

TEST_F(CliTest, UrlTargetIsClonedAssessedAndRemoved) {
  testing::TempDir remote;
  testing::run_checked(
      {"git", "clone", "-q", "--bare", repo.path().string(), (remote / "tool.git").string()},
      remote.path());
  const std::string url = "file://" + (remote / "tool.git").string();
  // The clone goes to the temporary directory of the child: a private one here, so that what
  // is left in it afterwards can be seen.
  testing::TempDir tmp;
  process::Completed run, kept;
  {
    const testing::ScopedEnv tmpdir("TMPDIR", tmp.path().string());
    run = quarnel({"assess", url, "-f", "json", "-q"});
    kept = quarnel({"assess", url, "-q", "--keep-clone"});
  }
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  const auto report = json::parse(run.stdout_text);
  EXPECT_EQ(report["repository"]["url"], url);
  EXPECT_EQ(report["indicators"][0]["indicator_id"], "persistent_identifier");
  EXPECT_EQ(kept.exit_code, 0) << kept.stderr_text;
  const auto left = std::distance(std::filesystem::directory_iterator(tmp.path()),
                                  std::filesystem::directory_iterator());
  EXPECT_EQ(left, 1) << "only the clone asked to be kept may stay";

  testing::TempDir failed_tmp;
  process::Completed failed;
  {
    const testing::ScopedEnv tmpdir("TMPDIR", failed_tmp.path().string());
    failed = quarnel({"assess", "file:///nonexistent/quarnel/tool.git", "-q"});
  }
  EXPECT_EQ(failed.exit_code, 2);
  EXPECT_NE(failed.stderr_text.find("git clone failed: "), std::string::npos) << failed.stderr_text;
  EXPECT_TRUE(std::filesystem::is_empty(failed_tmp.path())) << "a failed clone leaves nothing";
}

}  // namespace
}  // namespace quarnel::cli
