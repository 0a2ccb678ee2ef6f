// The built executable and the programs it starts: which git runs, a git that never answers, an
// interrupted run and a clone that fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/utils/json.hpp"
#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "support/fixtures.hpp"

namespace quarnel::cli {
namespace {

namespace stdfs = std::filesystem;
namespace process = utils::process;
namespace json = utils::json;
using testing::GitFixture;
using testing::ScopedEnv;
using testing::TempDir;

std::string binary() {
  const char* path = std::getenv("QUARNEL_BINARY");
  return path != nullptr ? path : "quarnel";
}

std::string system_path() {
  const char* path = std::getenv("PATH");
  return path != nullptr ? path : "/usr/bin:/bin";
}

process::Completed quarnel(std::vector<std::string> args, const stdfs::path& cwd) {
  // Resolved now: the PATH under test may not lead to the binary.
  args.insert(args.begin(), stdfs::absolute(binary()).string());
  process::RunOptions options;
  options.cwd = cwd;
  options.timeout = std::chrono::seconds(120);
  return process::run(args, options);
}

stdfs::path write_script(const TempDir& dir, const stdfs::path& relative, const std::string& body) {
  const auto file = dir.write(relative, "#!/bin/sh\n" + body);
  stdfs::permissions(file, stdfs::perms::owner_all);
  return file;
}

// A committed checkout that also holds an executable "git" of its own.
TEST(QuarnelChildren, GitOfTheCheckoutNeverRuns) {
  GitFixture repo;
  repo.commit_file("README.md", "# tool\n");
  TempDir elsewhere;
  const auto marker = elsewhere / "planted-git-ran";
  write_script(repo.dir(), "git", "touch '" + marker.string() + "'\necho planted\n");
  const std::string head = utils::text::strip(repo.git({"rev-parse", "HEAD"}));

  struct Case {
    std::string path;
    stdfs::path cwd;
  };
  const std::vector<Case> cases = {
      {":" + system_path(), elsewhere.path()},
      {".:" + system_path(), elsewhere.path()},
      {":" + system_path(), repo.path()},
      {".:" + system_path(), repo.path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("PATH=" + c.path + " from " + c.cwd.string());
    const ScopedEnv path("PATH", c.path);
    const auto done = quarnel(
        {"assess", repo.path().string(), "-q", "-f", "json", "--only", "development_provenance"},
        c.cwd);
    EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
    EXPECT_EQ(json::parse(done.stdout_text)["repository"]["commit"], head);
    EXPECT_FALSE(stdfs::exists(marker));
  }
}

// A committed checkout whose git blocks for good: .git/HEAD is a FIFO that nobody writes. The
// git on PATH counts its starts in the checkout's sibling directory, then runs the real one.
class BlockingCheckout : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto real_git = process::find_program("git");
    ASSERT_TRUE(real_git);
    repo_.commit_file("README.md", "# tool\n");
    stdfs::remove(checkout() / ".git/HEAD");
    ASSERT_EQ(::mkfifo((checkout() / ".git/HEAD").c_str(), 0600), 0);
    write_script(bin_, "git",
                 "echo started >> '" + (bin_ / "starts").string() + "'\nexec '" +
                     real_git->string() + "' \"$@\"\n");
    path_.emplace("PATH", bin_.path().string() + ":" + system_path());
  }

  const stdfs::path& checkout() const { return repo_.path(); }
  const TempDir& scratch() const { return scratch_; }
  long git_starts() const {
    std::ifstream in(bin_ / "starts");
    long lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
  }

 private:
  GitFixture repo_;
  TempDir bin_;
  TempDir scratch_;
  std::optional<ScopedEnv> path_;
};

TEST_F(BlockingCheckout, AssessmentAsksGitOnceAndWarnsOnce) {
  // One check at a time, so that exactly one query is under way when git first fails to answer.
  const auto done = quarnel({"assess", checkout().string(), "-j", "1"}, scratch().path());
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_EQ(git_starts(), 1);
  EXPECT_EQ(done.stderr_text, "quarnel: warning: git did not answer in " + checkout().string() +
                                  "; no further git queries are made for this checkout\n");
}

}  // namespace
}  // namespace quarnel::cli
