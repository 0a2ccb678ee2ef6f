// The built executable and the programs it starts: which git runs, a git that never answers, an
// interrupted run and a clone that fails.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

}  // namespace
}  // namespace quarnel::cli
