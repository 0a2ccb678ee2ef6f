// Where the built executable writes its report when the output path lies in the checkout it
// assesses: the checkout may have planted links, FIFOs or devices under the report's name.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "quarnel/utils/process.hpp"
#include "quarnel/utils/text.hpp"
#include "support/executable.hpp"
#include "support/fixtures.hpp"

namespace quarnel::cli {
namespace {

namespace stdfs = std::filesystem;
namespace process = utils::process;
using testing::TempDir;

process::Completed quarnel(const std::vector<std::string>& args, const stdfs::path& cwd) {
  // A FIFO that is opened for writing would wait for a reader this long.
  return testing::run_quarnel(args, cwd, std::chrono::seconds(60));
}

std::string slurp(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A checkout to assess and, beside it, a place of the user's that links in the checkout point
// at: a file that must keep its content and a directory that must stay empty.
struct Places {
  Places() {
    checkout_dir.write("README.md", "# tool\n");
    precious = outside.write("bashrc", "export KEEP=1\n");
    elsewhere = outside.mkdir("etc");
  }
  const stdfs::path& checkout() const { return checkout_dir.path(); }
  void link(const stdfs::path& target, const stdfs::path& name) const {
    stdfs::create_symlink(target, checkout() / name);
  }
  void expect_untouched_outside() const {
    EXPECT_TRUE(slurp(precious) == "export KEEP=1\n") << "a file outside the checkout changed";
    EXPECT_TRUE(stdfs::is_empty(elsewhere)) << "something was written outside the checkout";
  }

  TempDir checkout_dir;
  TempDir outside;
  stdfs::path precious;
  stdfs::path elsewhere;
};

TEST(ReportOutput, NeverWritesThroughALinkOrIntoASpecialFileOfTheCheckout) {
  struct Case {
    std::string name;
    std::function<void(const Places&)> plant;
    // The -o value; relative values are given from inside the checkout, as "-o ." is.
    std::function<std::string(const Places&)> output;
    bool from_checkout;
    // What the error line must name, below the checkout.
    std::string named;
  };
  const auto in = [](std::string relative) {
    return [relative](const Places& p) { return (p.checkout() / relative).string(); };
  };
  const auto as_given = [](std::string value) { return [value](const Places&) { return value; }; };
  const std::vector<Case> cases = {
      {"the default name is a link to a file outside",
       [](const Places& p) { p.link(p.precious, "quarnel-report.json"); }, in(""), false,
       "quarnel-report.json"},
      {"the default name is a link, -o . from inside",
       [](const Places& p) { p.link(p.precious, "quarnel-report.json"); }, as_given("."), true,
       "quarnel-report.json"},
      {"an explicit name is a link to a file outside",
       [](const Places& p) { p.link(p.precious, "report.json"); }, in("report.json"), false,
       "report.json"},
      {"a dangling link to a new file outside",
       [](const Places& p) { p.link(p.outside / "new", "report.json"); }, as_given("report.json"),
       true, "report.json"},
      {"a directory on the way is a link outside",
       [](const Places& p) { p.link(p.elsewhere, "out"); }, in("out/"), false, "out"},
      {"a directory further up is a link outside",
       [](const Places& p) { p.link(p.elsewhere, "out"); }, as_given("out/sub/report.json"), true,
       "out"},
      {"the default name is a FIFO",
       [](const Places& p) {
         ASSERT_EQ(::mkfifo((p.checkout() / "quarnel-report.json").c_str(), 0600), 0);
       },
       in(""), false, "quarnel-report.json"},
      {"the name is a link to a device",
       [](const Places& p) { p.link("/dev/null", "report.json"); }, in("report.json"), false,
       "report.json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Places p;
    c.plant(p);
    const auto done = quarnel({"assess", c.from_checkout ? "." : p.checkout().string(), "-f",
                               "json", "-q", "-o", c.output(p)},
                              c.from_checkout ? p.checkout() : p.outside.path());
    EXPECT_EQ(done.exit_code, 2) << done.stderr_text;
    EXPECT_EQ(lines(done.stderr_text), 1u) << done.stderr_text;
    EXPECT_TRUE(done.stderr_text.starts_with("quarnel: error: ")) << done.stderr_text;
    EXPECT_NE(done.stderr_text.find(c.named), std::string::npos) << done.stderr_text;
    p.expect_untouched_outside();
  }
}

TEST(ReportOutput, WritesTheUsersOwnPathsAndLinksThatStayInside) {
  const Places p;
  // A link that resolves to a regular file inside the checkout is that file.
  const auto inner = p.checkout_dir.write("reports/latest.json", "old\n");
  p.link(inner, "quarnel-report.json");
  auto done = quarnel({"assess", ".", "-f", "json", "-q", "-o", "."}, p.checkout());
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_TRUE(slurp(inner).starts_with("{\n")) << slurp(inner);
  EXPECT_TRUE(stdfs::is_symlink(p.checkout() / "quarnel-report.json"));

  // Outside the checkout the path is the user's: a link there is followed, a device written.
  const auto users_link = p.outside / "report-link.txt";
  stdfs::create_symlink(p.precious, users_link);
  done =
      quarnel({"assess", p.checkout().string(), "-q", "-o", users_link.string()}, p.outside.path());
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_TRUE(slurp(p.precious).starts_with("Assessment Results\n"));
  done = quarnel({"assess", p.checkout().string(), "-q", "-o", "/dev/null"}, p.outside.path());
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
}

// The shell's $PWD and a workspace reached through a link spell the checkout differently from
// where it is: the rule must hold however the path reaches the checkout.
struct LinkedWorkspace {
  LinkedWorkspace() {
    repo = box.mkdir("real/repo");
    box.write("real/repo/README.md", "# tool\n");
    victim = box.write("victim", "ORIGINAL\n");
    stdfs::create_directory_symlink(box / "real", box / "linked");
    stdfs::create_directory_symlink(repo, box / "alias");
  }
  void expect_refused(const process::Completed& done) const {
    EXPECT_EQ(done.exit_code, 2) << done.stderr_text;
    EXPECT_EQ(lines(done.stderr_text), 1u) << done.stderr_text;
    EXPECT_TRUE(done.stderr_text.starts_with("quarnel: error: ")) << done.stderr_text;
    EXPECT_TRUE(slurp(victim) == "ORIGINAL\n") << "a file outside the checkout changed";
  }
  TempDir box;
  stdfs::path repo;
  stdfs::path victim;
};

// Run from `cwd` as a shell started there through a link would: with PWD its logical path.
process::Completed quarnel_from(const std::vector<std::string>& args, const stdfs::path& cwd) {
  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), testing::quarnel_binary());
  process::RunOptions options;
  options.cwd = cwd;
  options.environment = {{"PWD", cwd.string()}};
  options.timeout = std::chrono::seconds(60);
  return process::run(argv, options);
}

TEST(ReportOutput, AReportPathThatReachesTheCheckoutByAnotherSpellingIsHeldToTheRule) {
  {
    SCOPED_TRACE("through a linked directory above the checkout");
    const LinkedWorkspace w;
    stdfs::create_symlink(w.victim, w.repo / "report.txt");
    w.expect_refused(quarnel(
        {"assess", w.repo.string(), "-q", "-o", (w.box / "linked/repo/report.txt").string()},
        w.box.path()));
  }
  {
    SCOPED_TRACE("through $PWD from a linked working directory");
    const LinkedWorkspace w;
    stdfs::create_symlink(w.victim, w.repo / "report.txt");
    const stdfs::path logical = w.box / "alias";
    w.expect_refused(
        quarnel_from({"assess", ".", "-q", "-o", (logical / "report.txt").string()}, logical));
  }
  {
    SCOPED_TRACE("from a directory below the checkout, up into it");
    const LinkedWorkspace w;
    stdfs::create_directories(w.repo / "sub");
    stdfs::create_symlink(w.victim, w.repo / "report.txt");
    w.expect_refused(quarnel({"assess", "..", "-q", "-o", "../report.txt"}, w.repo / "sub"));
  }
  {
    SCOPED_TRACE("a file of the checkout with a second hard link");
    const LinkedWorkspace w;
    stdfs::create_hard_link(w.victim, w.repo / "report.txt");
    w.expect_refused(quarnel({"assess", ".", "-q", "-o", "report.txt"}, w.repo));
  }
}

TEST(ReportOutput, PathsThatLeaveTheCheckoutOrNameADirectoryAreWritten) {
  const LinkedWorkspace w;
  // Up out of the checkout as spelled and as walked: the user's own place beside it.
  auto done = quarnel({"assess", ".", "-q", "-o", "../report.txt"}, w.repo);
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_TRUE(slurp(w.box / "real/report.txt").starts_with("Assessment Results\n"));
  // The user's own links outside the checkout still work, the special ones too.
  done = quarnel({"assess", ".", "-q", "-o", "/dev/stdout"}, w.repo);
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_TRUE(done.stdout_text.starts_with("Assessment Results\n")) << done.stdout_text;
  // A trailing separator names a directory, made in the checkout when missing.
  done = quarnel({"assess", ".", "-f", "json", "-q", "-o", "reports/"}, w.box / "alias");
  EXPECT_EQ(done.exit_code, 0) << done.stderr_text;
  EXPECT_TRUE(slurp(w.repo / "reports/quarnel-report.json").starts_with("{\n"));
}

// Outside the checkout a link of another user is not followed, wherever it is met: in a
// directory that they moved out of the checkout with the working directory in it, or on the way
// through a shared directory. Root refuses it too. Only root can give a link to another user.
TEST(ReportOutput, ALinkOfAnotherUserOutsideTheCheckoutIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  struct Case {
    std::string name;
    std::string cwd;     // below the outside place
    std::string output;  // relative to `cwd`
    std::string link;    // the other user's link, below the outside place
    bool to_precious;    // it leads to the precious file, else to the outside place
  };
  const std::vector<Case> cases = {
      {"the working directory was moved out of the checkout", "moved/C", "r.txt", "moved/C/r.txt",
       true},
      {"a link on the way in a shared directory", "", "shared/out/bashrc", "shared/out", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Places p;
    p.outside.mkdir("moved/C");
    p.outside.mkdir("shared");
    const stdfs::path link = p.outside / c.link;
    stdfs::create_symlink(c.to_precious ? p.precious : p.outside.path(), link);
    ASSERT_EQ(::lchown(link.c_str(), testing::OTHER_UID, testing::OTHER_UID), 0);
    const auto done =
        quarnel({"assess", p.checkout().string(), "-q", "-o", c.output}, p.outside / c.cwd);
    EXPECT_EQ(done.exit_code, 2) << done.stderr_text;
    EXPECT_EQ(lines(done.stderr_text), 1u) << done.stderr_text;
    EXPECT_NE(done.stderr_text.find("is a symbolic link that belongs to another user (uid " +
                                    std::to_string(testing::OTHER_UID) + ")"),
              std::string::npos)
        << done.stderr_text;
    p.expect_untouched_outside();
  }
}

// The checkout is the one the run started with: taken once, under the rule for the user's own
// part of a path, before anything is assessed. Another user who gives the checkout's name to a
// link of theirs would otherwise make every path of the report "inside" the place it leads to.
TEST(ReportOutput, TheCheckoutIsTakenWhenTheRunStarts) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  // As root, whose private file the other user's links point at: root's own runs are held to
  // the rule too.
  const TempDir box;
  const stdfs::path precious = box.write("bashrc", "export KEEP=1\n");
  stdfs::permissions(precious, stdfs::perms::owner_read | stdfs::perms::owner_write);
  box.write("real/README.md", "# tool\n");
  const stdfs::path shared = box.mkdir("shared/od");
  const auto theirs = [](const stdfs::path& target, const stdfs::path& link) {
    stdfs::create_symlink(target, link);
    ASSERT_EQ(::lchown(link.c_str(), testing::OTHER_UID, testing::OTHER_UID), 0);
  };
  // The checkout's name leads to a directory that holds the private file, and the report path
  // to the private file itself.
  theirs(box.path(), box / "shared/co");
  theirs(precious, box / "shared/od/r.txt");
  stdfs::create_directory_symlink(box / "real", box / "root-co");

  const auto refused = quarnel(
      {"assess", (box / "shared/co").string(), "-q", "-o", (box / "shared/od/r.txt").string()},
      box.path());
  EXPECT_EQ(refused.exit_code, 2) << refused.stderr_text;
  EXPECT_EQ(refused.stderr_text, "quarnel: error: cannot write a report for " +
                                     utils::text::repr((box / "shared/co").string()) + ": " +
                                     utils::text::repr((box / "shared/co").string()) +
                                     " is a symbolic link that belongs to another user (uid " +
                                     std::to_string(testing::OTHER_UID) + ") and leads to " +
                                     utils::text::repr(box.path().string()) +
                                     ": if that is the checkout, give that path\n");
  EXPECT_EQ(slurp(precious), "export KEEP=1\n") << "the private file was written";

  // Without a report file nothing is written, and the run goes on as before.
  const auto to_stdout = quarnel({"assess", (box / "shared/co").string(), "-q"}, box.path());
  EXPECT_EQ(to_stdout.exit_code, 0) << to_stdout.stderr_text;
  EXPECT_NE(to_stdout.stdout_text.find("Assessment Results"), std::string::npos);

  // A checkout given through root's own link is taken through it.
  const auto written =
      quarnel({"assess", (box / "root-co").string(), "-q", "-o", "root-co/r.txt"}, box.path());
  EXPECT_EQ(written.exit_code, 0) << written.stderr_text;
  EXPECT_TRUE(stdfs::is_regular_file(box / "real/r.txt"));
  EXPECT_EQ(slurp(precious), "export KEEP=1\n") << "the private file was written";
}

// A checkout or working directory that was removed has no name left: assessed, it would pass
// for an empty directory, and a report written from it would be lost.
TEST(ReportOutput, ARemovedWorkingDirectoryIsRefusedAtOnce) {
  struct Case {
    std::string name;
    std::vector<std::string> args;  // "{checkout}" stands for a checkout that still exists
    std::string said;
  };
  const std::vector<Case> cases = {
      {"the checkout",
       {"assess", "."},
       "quarnel: error: . was removed; change into the checkout again or give its path\n"},
      {"a report path relative to it",
       {"assess", "{checkout}", "-q", "-o", "r.txt"},
       "quarnel: error: cannot write 'r.txt': the working directory was removed; change into it "
       "again or give the report's full path\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir box;
    const stdfs::path checkout = box.mkdir("checkout");
    box.write("checkout/README.md", "# tool\n");
    const stdfs::path gone = box.mkdir("gone");
    std::vector<std::string> args;
    for (const auto& arg : c.args) args.push_back(arg == "{checkout}" ? checkout.string() : arg);
    process::Completed done;
    {
      const testing::WorkingDirectory inside(gone);
      stdfs::remove(gone);
      done = testing::run_quarnel(args);
    }
    EXPECT_EQ(done.exit_code, 2) << done.stderr_text;
    EXPECT_EQ(done.stderr_text, c.said);
  }
}

}  // namespace
}  // namespace quarnel::cli
