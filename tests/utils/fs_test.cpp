#include "quarnel/utils/fs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quarnel/error.hpp"
#include "support/fixtures.hpp"

namespace quarnel::utils::fs {
namespace {

using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using quarnel::testing::TempDir;

// The entries every type test looks at, made once per test in a fresh directory.
class FsTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("file.txt", "x");
    dir.mkdir("sub");
    stdfs::create_symlink(dir / "file.txt", dir / "to_file");
    stdfs::create_symlink(dir / "sub", dir / "to_dir");
    stdfs::create_symlink(dir / "nowhere", dir / "dangling");
  }
  TempDir dir;
};

TEST_F(FsTypeTest, TestsFollowLinksAndNeverThrow) {
  struct Case {
    std::string entry;
    bool exists, regular, directory, symlink;
  };
  const std::vector<Case> cases = {
      {"file.txt", true, true, false, false},         {"sub", true, false, true, false},
      {"to_file", true, true, false, true},           {"to_dir", true, false, true, true},
      {"dangling", false, false, false, true},        {"missing", false, false, false, false},
      {"file.txt/below", false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    const stdfs::path p = dir / c.entry;
    EXPECT_EQ(fs::exists(p), c.exists);
    EXPECT_EQ(fs::is_regular_file(p), c.regular);
    EXPECT_EQ(fs::is_directory(p), c.directory);
    EXPECT_EQ(fs::is_symlink(p), c.symlink);
  }
  EXPECT_FALSE(fs::exists(""));
}

// --- Named directories ------------------------------------------------------------------

struct NamedCase {
  std::string label;
  // Builds the situation below `repo` (`outside` is a directory beside it).
  std::function<void(const stdfs::path& repo, const stdfs::path& outside)> setup;
  std::string name;
  bool present;
};

TEST(FsNamedDirectory, LinksCountOnlyWhenTheyResolveInsideTheCheckout) {
  const std::vector<NamedCase> cases = {
      {"real", [](const auto& r, const auto&) { stdfs::create_directories(r / "docs"); }, "docs",
       true},
      {"relative link inside",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "documentation");
         stdfs::create_directory_symlink("documentation", r / "docs");
       },
       "docs", true},
      {"absolute link inside",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "a/b");
         stdfs::create_directory_symlink(r / "a/b", r / "docs");
       },
       "docs", true},
      {"link to the checkout itself",
       [](const auto& r, const auto&) { stdfs::create_directory_symlink(".", r / "docs"); }, "docs",
       true},
      {"link through a parent that leaves and comes back",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "real");
         stdfs::create_directory_symlink("../" + r.filename().string() + "/real", r / "docs");
       },
       "docs", true},
      {"nested, parent linked inside",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "ci/workflows");
         stdfs::create_directory_symlink("ci", r / ".github");
       },
       ".github/workflows", true},
      {"link outside",
       [](const auto& r, const auto& o) { stdfs::create_directory_symlink(o, r / "docs"); }, "docs",
       false},
      {"nested, parent linked outside",
       [](const auto& r, const auto& o) {
         stdfs::create_directories(o / "workflows");
         stdfs::create_directory_symlink(o, r / ".github");
       },
       ".github/workflows", false},
      {"sibling sharing the checkout's name as a prefix",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r.string() + "2/docs");
         stdfs::create_directory_symlink(r.string() + "2/docs", r / "docs");
       },
       "docs", false},
      {"dangling",
       [](const auto& r, const auto&) { stdfs::create_directory_symlink("missing", r / "docs"); },
       "docs", false},
      {"loop",
       [](const auto& r, const auto&) {
         stdfs::create_directory_symlink("b", r / "docs");
         stdfs::create_directory_symlink("docs", r / "b");
       },
       "docs", false},
      {"link to a file inside",
       [](const auto& r, const auto&) {
         std::ofstream(r / "notes.txt") << "x";
         stdfs::create_symlink("notes.txt", r / "docs");
       },
       "docs", false},
      {"regular file", [](const auto& r, const auto&) { std::ofstream(r / "docs") << "x"; }, "docs",
       false},
      {"missing", [](const auto&, const auto&) {}, "docs", false},
  };
  for (const NamedCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const stdfs::path repo = dir.mkdir("checkout");
    c.setup(repo, dir.mkdir("outside"));
    const auto found = named_directory(repo, c.name);
    EXPECT_EQ(found.has_value(), c.present);
    // The path as formed, so that callers can show it and make it relative as given.
    if (found) {
      EXPECT_EQ(*found, repo / c.name);
    }
  }
}

TEST(FsNamedDirectory, TheCheckoutItselfAndItsSpellings) {
  TempDir dir;
  dir.mkdir("real/docs");
  stdfs::create_directory_symlink(dir / "real", dir / "checkout");
  // A checkout reached through a link of its own is where the caller put it.
  EXPECT_EQ(named_directory(dir / "checkout", ""), dir / "checkout");
  EXPECT_EQ(named_directory(dir / "checkout", "docs"), dir / "checkout" / "docs");
  EXPECT_EQ(named_directory(dir / "missing", ""), std::nullopt);

  const quarnel::testing::WorkingDirectory inside(dir / "real");
  EXPECT_EQ(checkout_dir(""), ".");
  EXPECT_EQ(checkout_dir("x"), "x");
  EXPECT_EQ(named_directory("", ""), ".");
  EXPECT_EQ(named_directory("", "docs"), stdfs::path(".") / "docs");
  EXPECT_TRUE(resolves_inside("docs", ""));
  EXPECT_FALSE(resolves_inside("..", ""));
}

TEST(FsReadBytes, ReturnsTheExactBytes) {
  TempDir dir;
  const std::string content("a\r\nb\0c\xff", 7);
  EXPECT_EQ(read_bytes(dir.write("f.bin", content)), content);
  EXPECT_EQ(read_bytes(dir.write("empty", "")), "");
}

TEST(FsReadBytes, ReadsAFileOfExactlyTheCap) {
  TempDir dir;
  const std::string content(MAX_READ_BYTES, 'a');
  EXPECT_EQ(read_bytes(dir.write("big", content)).size(), MAX_READ_BYTES);
}

TEST(FsReadBytes, FollowsLinksThatStayInsideTheRoot) {
  TempDir dir;
  dir.write("docs/real.md", "inside");
  stdfs::create_symlink("docs/real.md", dir / "link.md");
  stdfs::create_symlink("docs", dir / "docs_link");
  EXPECT_EQ(read_bytes(dir / "link.md", dir.path()), "inside");
  EXPECT_EQ(read_bytes(dir / "docs_link" / "real.md", dir.path()), "inside");
  // A root given with a trailing separator or through a link of its own is the same root.
  EXPECT_EQ(read_bytes(dir / "link.md", dir.path() / ""), "inside");
  TempDir elsewhere;
  stdfs::create_symlink(dir.path(), elsewhere / "checkout");
  EXPECT_EQ(read_bytes(elsewhere / "checkout" / "link.md", elsewhere / "checkout"), "inside");
}

TEST(FsReadBytes, EmptyRootAndRelativeNamesMeanTheWorkingDirectory) {
  TempDir dir;
  dir.write("docs/real.md", "inside");
  stdfs::create_symlink("docs/real.md", dir / "link.md");
  const quarnel::testing::WorkingDirectory inside(dir.path());
  struct Case {
    stdfs::path path;
    stdfs::path root;
  };
  const std::vector<Case> cases = {
      {"docs/real.md", ""}, {"link.md", ""},     {"docs/real.md", "."},
      {"./link.md", "."},   {"real.md", "docs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string() + " below '" + c.root.string() + "'");
    try {
      EXPECT_EQ(read_bytes(c.root / c.path, c.root), "inside");
    } catch (const OsError& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

struct RefusalCase {
  std::string label;
  // Builds the situation in `dir` and returns the path to read and the root, if any.
  std::function<std::pair<stdfs::path, std::optional<stdfs::path>>(const TempDir& dir,
                                                                   const TempDir& outside)>
      setup;
  std::string reason;
  // The prefix reader reads a file of any size; every other refusal is shared.
  bool whole_file_only = false;
};

class FsRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(FsRefusalTest, RaisesOsErrorNamingPathAndReason) {
  const RefusalCase& c = GetParam();
  TempDir dir;
  TempDir outside;
  const auto [path, root] = c.setup(dir, outside);
  try {
    read_bytes(path, root);
    FAIL() << "read succeeded";
  } catch (const OsError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_NE(message.find(path.filename().string()), std::string::npos) << message;
  }
  if (c.whole_file_only) return;
  try {
    read_text_prefix(path, 10, text::DecodeMode::Drop, root);
    FAIL() << "prefix read succeeded";
  } catch (const OsError& e) {
    EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
  }
}

using Setup = std::pair<stdfs::path, std::optional<stdfs::path>>;

INSTANTIATE_TEST_SUITE_P(
    Refusals, FsRefusalTest,
    ::testing::Values(
        RefusalCase{"missing",
                    [](const TempDir& dir, const TempDir&) {
                      return Setup{dir / "absent.txt", std::nullopt};
                    },
                    "No such file or directory"},
        RefusalCase{"directory",
                    [](const TempDir& dir, const TempDir&) {
                      return Setup{dir.mkdir("README.md"), std::nullopt};
                    },
                    "not a regular file"},
        RefusalCase{"fifo_does_not_block",
                    [](const TempDir& dir, const TempDir&) {
                      const stdfs::path p = dir / "pipe";
                      EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
                      return Setup{p, dir.path()};
                    },
                    "not a regular file"},
        RefusalCase{"device_through_link",
                    [](const TempDir& dir, const TempDir&) {
                      stdfs::create_symlink("/dev/null", dir / "LICENSE");
                      return Setup{dir / "LICENSE", std::nullopt};
                    },
                    "not a regular file"},
        RefusalCase{
            "over_the_cap",
            [](const TempDir& dir, const TempDir&) {
              return Setup{dir.write("huge", std::string(MAX_READ_BYTES + 1, 'a')), std::nullopt};
            },
            "larger than 8 MiB", true},
        RefusalCase{"link_leaving_root",
                    [](const TempDir& dir, const TempDir& outside) {
                      outside.write("secret", "s");
                      stdfs::create_symlink(outside / "secret", dir / "README");
                      return Setup{dir / "README", dir.path()};
                    },
                    "outside the checkout"},
        RefusalCase{"directory_link_leaving_root",
                    [](const TempDir& dir, const TempDir& outside) {
                      outside.write("etc/secret", "s");
                      stdfs::create_symlink(outside / "etc", dir / "docs");
                      return Setup{dir / "docs" / "secret", dir.path()};
                    },
                    "outside the checkout"},
        RefusalCase{"dot_dot_leaving_root",
                    [](const TempDir& dir, const TempDir& outside) {
                      outside.write("secret", "s");
                      dir.mkdir("sub");
                      return Setup{dir / "sub" / ".." / ".." / outside.path().filename() / "secret",
                                   dir.path()};
                    },
                    "outside the checkout"},
        // A link that cannot be resolved is reported for what it is, not as leaving the root.
        RefusalCase{"looping_link_below_root",
                    [](const TempDir& dir, const TempDir&) {
                      stdfs::create_symlink("loop", dir / "loop");
                      return Setup{dir / "loop", dir.path()};
                    },
                    "Too many levels of symbolic links"},
        RefusalCase{"dangling_link_below_root",
                    [](const TempDir& dir, const TempDir&) {
                      stdfs::create_symlink("missing", dir / "README");
                      return Setup{dir / "README", dir.path()};
                    },
                    "No such file or directory"},
        RefusalCase{"sibling_with_common_prefix",
                    [](const TempDir& dir, const TempDir&) {
                      // root "x/repo" must not admit "x/repo2/f".
                      dir.write("repo2/f", "s");
                      dir.mkdir("repo");
                      return Setup{dir / "repo2" / "f", dir / "repo"};
                    },
                    "outside the checkout"}),
    [](const auto& info) { return info.param.label; });

TEST(FsReadBytes, NonRegularEntriesAreRefusedWithoutBeingOpened) {
  // Opening a device or FIFO can itself have effects (a waiting writer is released, a tape
  // rewinds), so the refusal has to come before the open. inotify reports every open.
  struct Case {
    std::string label;
    std::string read;
    bool with_root;
  };
  const std::vector<Case> cases = {
      {"fifo", "pipe", false},
      {"fifo_inside_root", "pipe", true},
      {"link_to_fifo", "LICENSE", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const stdfs::path pipe = dir / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    stdfs::create_symlink("pipe", dir / "LICENSE");
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(::inotify_add_watch(watcher, pipe.c_str(), IN_OPEN), 0);
    EXPECT_THROW(read_bytes(dir / c.read, c.with_root ? std::optional(dir.path()) : std::nullopt),
                 OsError);
    char events[4096];
    EXPECT_EQ(::read(watcher, events, sizeof events), -1) << "the FIFO was opened";
    ::close(watcher);
  }
}

TEST(FsReadBytes, UnreadableFileIsAnOsError) {
  TempDir dir;
  const stdfs::path open = dir.write("open", "x");
  const stdfs::path locked = dir.write("locked", "x");
  open_to_others(dir.path());
  stdfs::permissions(locked, stdfs::perms::none);
  run_unprivileged([&] {
    // The neighbour shows that only the file's own bits are in the way.
    EXPECT_EQ(read_bytes(open), "x");
    EXPECT_THROW(read_bytes(locked), OsError);
  });
}

TEST(FsReadText, DecodesAfterReading) {
  TempDir dir;
  EXPECT_EQ(read_text(dir.write("crlf", "a\r\nb\rc")), "a\nb\nc");
  const stdfs::path bad = dir.write("bad", "ok\xff");
  EXPECT_THROW(read_text(bad), DecodeError);
  EXPECT_EQ(read_text(bad, text::DecodeMode::Replace), "ok\xEF\xBF\xBD");
  EXPECT_EQ(read_text(bad, text::DecodeMode::Drop), "ok");
  EXPECT_THROW(read_text(dir / "absent"), OsError);
}

// --- Text prefixes ------------------------------------------------------------------------

std::string repeated(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

struct PrefixCase {
  std::string label;
  std::string content;
  std::size_t max_chars;
  text::DecodeMode mode;
  std::string expected;
};

TEST(FsReadTextPrefix, GivesTheFirstCharactersOfTheDecodedText) {
  using text::DecodeMode;
  const std::string big(MAX_READ_BYTES + 4096, 'x');
  const std::vector<PrefixCase> cases = {
      {"cut", "abcdef", 3, DecodeMode::Drop, "abc"},
      {"shorter file", "ab", 10, DecodeMode::Drop, "ab"},
      {"empty file", "", 10, DecodeMode::Drop, ""},
      {"nothing asked", "abc", 0, DecodeMode::Drop, ""},
      {"line ends count once", "a\r\nb\rc\nd", 5, DecodeMode::Drop, "a\nb\nc"},
      {"multi-byte characters", "\u00e9\u20ac\U0001F600z", 3, DecodeMode::Drop,
       "\u00e9\u20ac\U0001F600"},
      {"byte-order mark is a character",
       "\xEF\xBB\xBF"
       "ab",
       2, DecodeMode::Drop, "\uFEFFa"},
      {"dropped bytes call for more reads", repeated("\xff", 100000) + "abc", 2, DecodeMode::Drop,
       "ab"},
      {"replaced bytes are characters", repeated("\xff", 100000) + "abc", 2, DecodeMode::Replace,
       "\uFFFD\uFFFD"},
      {"character cut by the first read", repeated("\xff", 6) + "\U0001F600" + "ab", 2,
       DecodeMode::Drop, "\U0001F600a"},
      {"CR LF pair cut by the first read", repeated("\xff", 7) + "\r\nab", 2, DecodeMode::Drop,
       "\na"},
      {"truncated character at the end of the file", "a\xE2\x82", 5, DecodeMode::Replace,
       "a\uFFFD"},
      {"larger than the read cap", "head\n" + big, 4, DecodeMode::Drop, "head"},
      {"only undecodable bytes up to the read cap", std::string(MAX_READ_BYTES, '\xff') + "late", 2,
       DecodeMode::Drop, ""},
  };
  for (const PrefixCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    EXPECT_EQ(read_text_prefix(dir.write("f", c.content), c.max_chars, c.mode), c.expected);
  }
}

TEST(FsReadTextPrefix, IsReadThroughLinksInsideTheRootAndNeverStrictly) {
  TempDir dir;
  dir.write("docs/real.js", "// header\n");
  stdfs::create_symlink("docs/real.js", dir / "link.js");
  EXPECT_EQ(read_text_prefix(dir / "link.js", 6, text::DecodeMode::Drop, dir.path()), "// hea");
  EXPECT_THROW(read_text_prefix(dir / "link.js", 6, text::DecodeMode::Strict), ValueError);
}

// Why write_text refused to write `path`; when it wrote, a failure of the test and "".
std::string refusal(const stdfs::path& path, const std::optional<stdfs::path>& root,
                    Parents parents = Parents::Existing) {
  try {
    write_text(path, "report\n", root, parents);
  } catch (const OsError& e) {
    return e.what();
  }
  ADD_FAILURE() << "wrote " << path;
  return {};
}

// A FIFO's content up to its writer's close; read_bytes refuses anything but a regular file.
std::string read_bytes_of_fifo(const stdfs::path& fifo) {
  std::ifstream in(fifo, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FsWriteText, ReplacesTheFileWithExactlyTheText) {
  TempDir dir;
  const stdfs::path p = dir / "report.txt";
  write_text(p, "a much longer first version\n");
  write_text(p, "short\r\n\xC3\xA9");
  EXPECT_EQ(read_bytes(p), "short\r\n\xC3\xA9");
  write_text(p, "");
  EXPECT_EQ(read_bytes(p), "");
}

TEST(FsWriteText, FailureIsAnOsErrorWithTheReason) {
  TempDir dir;
  const stdfs::path into_dir = dir.mkdir("out");
  try {
    write_text(into_dir, "x");
    FAIL() << "wrote into a directory";
  } catch (const OsError& e) {
    EXPECT_NE(std::string(e.what()).find("Is a directory"), std::string::npos) << e.what();
  }
  try {
    write_text(dir / "no" / "such" / "dir.txt", "x");
    FAIL() << "wrote below a missing directory";
  } catch (const OsError& e) {
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos)
        << e.what();
  }
}

// Only the directories that the path as written names are made: a name reached through a
// link's target is the kernel's to resolve, and its open fails there too. A dangling link whose
// target's directory exists gets its file, as open(O_CREAT) gives it.
TEST(FsWriteText, NamesReachedThroughALinkAreNeverMade) {
  struct Case {
    std::string label;
    std::string link;    // "ul" in the directory leads here
    std::string output;  // below the directory
    // Where the text lands, below the directory; empty when the write fails.
    std::string lands;
  };
  const std::vector<Case> cases = {
      {"a link to a file in a missing directory", "nd/new.txt", "ul", ""},
      {"a link to a missing directory, with a file below it", "elsewhere/nothere", "ul/r.txt", ""},
      {"a dangling link whose directory exists", "elsewhere/new.txt", "ul", "elsewhere/new.txt"},
      {"a directory the path names below a link", "elsewhere", "ul/sub/r.txt",
       "elsewhere/sub/r.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    dir.mkdir("elsewhere");
    stdfs::create_symlink(c.link, dir / "ul");
    const stdfs::path path = dir / c.output;
    if (c.lands.empty()) {
      EXPECT_EQ(refusal(path, std::nullopt, Parents::Made),
                "No such file or directory: " + text::repr(path.string()));
      EXPECT_FALSE(stdfs::exists(dir / "nd"));
      EXPECT_TRUE(stdfs::is_empty(dir / "elsewhere")) << "a directory of the link's was made";
    } else {
      write_text(path, "report\n", std::nullopt, Parents::Made);
      EXPECT_EQ(read_bytes(dir / c.lands), "report\n");
    }
  }
  // A link of the user's into the checkout: nothing is made there either.
  TempDir box;
  const stdfs::path repo = box.mkdir("repo");
  stdfs::create_symlink(repo / "newdir/r.txt", box / "latest");
  EXPECT_EQ(refusal(box / "latest", repo, Parents::Made),
            "cannot write " + text::repr((box / "latest").string()) + ": " +
                text::repr((repo / "newdir").string()) + ": No such file or directory");
  EXPECT_TRUE(stdfs::is_empty(repo)) << "a directory of the link's was made in the checkout";
}

// A checkout below a linked directory, a link of the user's to it, and a file of the user's
// beside it that no write into the checkout may change.
struct Workspace {
  Workspace() {
    repo = dir.mkdir("real/repo");
    dir.mkdir("real/repo/sub");
    victim = dir.write("victim", "ORIGINAL\n");
    elsewhere = dir.mkdir("elsewhere");
    stdfs::create_directory_symlink(dir / "real", dir / "linked");
    stdfs::create_directory_symlink(repo, dir / "alias");
  }
  void expect_victim_untouched() const {
    EXPECT_EQ(read_bytes(victim), "ORIGINAL\n") << "a file outside the checkout changed";
    EXPECT_TRUE(stdfs::is_empty(elsewhere)) << "something was made outside the checkout";
  }
  std::string refusal(const stdfs::path& path) const { return fs::refusal(path, repo); }

  TempDir dir;
  stdfs::path repo;
  stdfs::path victim;
  stdfs::path elsewhere;
};

std::string quoted(const stdfs::path& path) { return text::repr(path.string()); }

TEST(FsWriteTextInCheckout, TheRuleHoldsWhereverThePathEntersTheCheckout) {
  struct Case {
    std::string label;
    std::function<stdfs::path(const Workspace&)> path;
  };
  const std::vector<Case> cases = {
      {"spelled inside", [](const Workspace& w) { return w.repo / "report.txt"; }},
      {"through a linked directory above the checkout",
       [](const Workspace& w) { return w.dir / "linked/repo/report.txt"; }},
      {"through a link of the user's to the checkout",
       [](const Workspace& w) { return w.dir / "alias/report.txt"; }},
      {"through a link and back up from a directory of the checkout",
       [](const Workspace& w) { return w.dir / "alias/sub/../report.txt"; }},
      {"a link of the user's to the planted name",
       [](const Workspace& w) {
         stdfs::create_symlink(w.dir / "linked/repo/report.txt", w.dir / "latest.txt");
         return w.dir / "latest.txt";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Workspace w;
    stdfs::create_symlink(w.victim, w.repo / "report.txt");
    const std::string message = w.refusal(c.path(w));
    EXPECT_TRUE(message.ends_with("is a symbolic link that leads outside the checkout")) << message;
    w.expect_victim_untouched();
  }
  // With nothing planted, each of these spellings writes the checkout's own file.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label + ", nothing planted");
    const Workspace w;
    write_text(c.path(w), "report\n", w.repo);
    EXPECT_EQ(read_bytes(w.repo / "report.txt"), "report\n");
    w.expect_victim_untouched();
  }
}

TEST(FsWriteTextInCheckout, TheRefusalSaysWhatTheEntryIs) {
  struct Case {
    std::string label;
    std::function<void(const Workspace&, const stdfs::path& entry)> plant;
    std::string what;
  };
  const std::vector<Case> cases = {
      {"dangling",
       [](const Workspace&, const stdfs::path& e) { stdfs::create_symlink("missing", e); },
       "is a dangling symbolic link"},
      {"looping",
       [](const Workspace&, const stdfs::path& e) { stdfs::create_symlink(e.filename(), e); },
       "is a looping symbolic link"},
      {"looping through a second link",
       [](const Workspace&, const stdfs::path& e) {
         stdfs::create_symlink("other", e);
         stdfs::create_symlink(e.filename(), e.parent_path() / "other");
       },
       "is a looping symbolic link"},
      {"leading outside",
       [](const Workspace& w, const stdfs::path& e) { stdfs::create_symlink(w.elsewhere, e); },
       "is a symbolic link that leads outside the checkout"},
  };
  for (const auto& c : cases) {
    // The planted entry as the file itself and as a directory on the way to it.
    for (const bool on_the_way : {false, true}) {
      SCOPED_TRACE(c.label + (on_the_way ? ", on the way" : ", the file"));
      const Workspace w;
      const stdfs::path entry = w.repo / "out";
      c.plant(w, entry);
      const stdfs::path path = on_the_way ? entry / "report.txt" : entry;
      EXPECT_EQ(w.refusal(path),
                "cannot write " + quoted(path) + ": " + quoted(entry) + " " + c.what);
      w.expect_victim_untouched();
    }
  }
}

TEST(FsWriteTextInCheckout, AFileWithASecondHardLinkIsRefused) {
  struct Case {
    std::string label;
    // The name written, below the checkout.
    std::string name;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"the file itself", "report.txt", "it is a regular file with 2 hard links"},
      {"through a link inside", "latest.txt", "it leads to a regular file with 2 hard links"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Workspace w;
    stdfs::create_hard_link(w.victim, w.repo / "report.txt");
    stdfs::create_symlink("report.txt", w.repo / "latest.txt");
    const stdfs::path path = w.repo / c.name;
    EXPECT_EQ(w.refusal(path), "cannot write " + quoted(path) + ": " + c.reason);
    w.expect_victim_untouched();
  }
  // Outside the checkout the file is the user's own, hard links and all.
  const Workspace w;
  const stdfs::path second = w.elsewhere / "second";
  stdfs::create_hard_link(w.victim, second);
  write_text(second, "mine\n", w.repo);
  EXPECT_EQ(read_bytes(w.victim), "mine\n");
}

// Another process may change the checkout while the report is written. The seam runs the
// change at a chosen moment of the walk, so that each case shows reliably what a race shows
// now and then: the decision is made on the directories the walk holds, and the file is opened
// from them, never looked up again by name.
class WriteRace : public ::testing::Test {
 protected:
  void SetUp() override {
    repo = box.mkdir("repo");
    victim = box.write("victim", "ORIGINAL\n");
  }
  void TearDown() override { detail::set_walk_hook({}); }
  // Runs `change` once, the `nth` time the walk reports `moment` with an entry ending in `at`.
  void when(detail::WalkMoment moment, std::string at, std::function<void()> change, int nth = 1) {
    detail::set_walk_hook([moment, at = std::move(at), change = std::move(change), seen = 0, nth](
                              detail::WalkMoment now, const std::string& entry) mutable {
      if (now == moment && entry.ends_with(at) && ++seen == nth) change();
    });
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : stdfs::recursive_directory_iterator(box.path())) {
      out.push_back(stdfs::relative(e.path(), box.path()).string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir box;
  stdfs::path repo;
  stdfs::path victim;
};

// The path enters the checkout and leaves it by a ".." as written: the place beside the
// checkout is the user's. When a directory on the way becomes a link once the walk is past it,
// the file opened is still the one beside the checkout, not what the link leads to.
TEST_F(WriteRace, ADirectoryExchangedForALinkAfterTheDecisionDoesNotMoveTheWrite) {
  box.mkdir("repo/docs");
  box.mkdir("repo/x/y/z");
  stdfs::create_directory_symlink("x/y/z", repo / "ln");
  stdfs::create_symlink(victim, repo / "x/report.md");
  when(detail::WalkMoment::Decided, "", [&] {
    ASSERT_EQ(::renameat2(AT_FDCWD, (repo / "docs").c_str(), AT_FDCWD, (repo / "ln").c_str(),
                          RENAME_EXCHANGE),
              0);
  });
  write_text(repo / "docs/../../report.md", "report\n", repo);
  EXPECT_EQ(read_bytes(victim), "ORIGINAL\n") << "the write followed the link planted since";
  EXPECT_EQ(read_bytes(box / "report.md"), "report\n");
}

// A directory the walk is in is moved up while it walks: the ".." after it no longer leads
// where the walk came from, and nothing is made or written anywhere.
TEST_F(WriteRace, ADirectoryMovedUpDuringTheWalkIsRefusedBeforeAnythingIsMade) {
  box.mkdir("repo/a/b");
  when(detail::WalkMoment::Entered, "repo/a/b", [&] { stdfs::rename(repo / "a/b", repo / "b"); });
  const auto before = [&] {
    auto e = entries();
    // The move itself is expected.
    std::replace(e.begin(), e.end(), std::string("repo/a/b"), std::string("repo/b"));
    std::sort(e.begin(), e.end());
    return e;
  }();
  const stdfs::path path = repo / "a/b/../../r.txt";
  EXPECT_EQ(refusal(path, repo),
            "cannot write " + quoted(path) + ": it changed while it was checked");
  EXPECT_EQ(entries(), before) << "something was made";
}

// Once a link of the checkout has moved the walk, a ".." that leaves the checkout lands where
// the path as written does not lead: it is refused, wherever that would be.
TEST_F(WriteRace, LeavingTheCheckoutAfterALinkOfItIsRefused) {
  struct Case {
    std::string label;
    std::string link;    // repo/l leads here
    std::string output;  // below the checkout
  };
  const std::vector<Case> cases = {
      {"a link deeper inside, then up past the checkout", "a/b", "l/../../../x.txt"},
      {"a link to the checkout itself, then up", ".", "l/../x.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir place;
    const stdfs::path checkout = place.mkdir("repo");
    place.mkdir("repo/a/b");
    stdfs::create_directory_symlink(c.link, checkout / "l");
    const stdfs::path path = checkout / c.output;
    const std::string dots = path.string().substr(0, path.string().rfind("/x.txt"));
    EXPECT_EQ(refusal(path, checkout), "cannot write " + quoted(path) + ": " +
                                           quoted(stdfs::path(dots)) +
                                           " leads outside the checkout");
    EXPECT_FALSE(stdfs::exists(place / "x.txt"));
    EXPECT_FALSE(stdfs::exists(place.path().parent_path() / "x.txt"));
  }
}

// An entry of the checkout that is not what it was when the walk looked it up (another process
// swapped it in between) is said to have changed, whatever the kernel's call then failed with.
TEST_F(WriteRace, AnEntryChangedSinceItWasLookedUpIsSaidToHaveChanged) {
  struct Case {
    std::string label;
    std::string output;  // below the checkout
    std::string entry;   // below the checkout, changed just after it was looked up
    std::function<void(const stdfs::path& entry, const stdfs::path& outside)> change;
    int nth = 1;  // at which of the entry's lookups
  };
  const auto remove = [](const stdfs::path& e) { stdfs::remove(e); };
  const std::vector<Case> cases = {
      {"a link replaced by a directory", "l/r.txt", "l",
       [=](const stdfs::path& e, const stdfs::path&) {
         remove(e);
         stdfs::create_directory(e);
       }},
      {"a directory replaced by a link", "d/r.txt", "d",
       [=](const stdfs::path& e, const stdfs::path& outside) {
         remove(e);
         stdfs::create_directory_symlink(outside, e);
       }},
      {"a directory replaced by a file", "d/r.txt", "d",
       [=](const stdfs::path& e, const stdfs::path&) {
         remove(e);
         std::ofstream(e) << "x";
       }},
      {"the file replaced by a link once the path is decided", "r.txt", "r.txt",
       [=](const stdfs::path& e, const stdfs::path& outside) {
         stdfs::create_symlink(outside / "new.txt", e);
       },
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir place;
    const stdfs::path checkout = place.mkdir("repo");
    const stdfs::path outside = place.mkdir("outside");
    place.mkdir("repo/a");
    place.mkdir("repo/d");
    stdfs::create_directory_symlink("a", checkout / "l");
    when(
        detail::WalkMoment::LookedUp, "repo/" + c.entry,
        [&] { c.change(checkout / c.entry, outside); }, c.nth);
    const stdfs::path path = checkout / c.output;
    EXPECT_EQ(refusal(path, checkout),
              "cannot write " + quoted(path) + ": it changed while it was checked");
    EXPECT_TRUE(stdfs::is_empty(outside)) << "something was made outside the checkout";
  }
}

// Where the walk cannot tell whether a place lies in the checkout (a ".." on the way up from the
// working directory, or the checkout itself, cannot be opened), the write is refused: a doubt is
// never the user's own. Another process of the checkout's owner takes the search permission
// away during the run; permission bits do not bind root, so this runs as uid 65534.
TEST(FsWriteTextInCheckout, WhereTheWalkCannotTellWhereItIsTheWriteIsRefused) {
  struct Case {
    std::string label;
    std::string unsearchable;  // below the box
    std::string doubt;         // what the refusal names, below the box
  };
  const std::vector<Case> cases = {
      {"a directory between the working directory and the checkout", "parent/proj/p",
       "parent/proj/p/.."},
      {"the checkout's parent, with the working directory inside", "parent", "parent/proj"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir box;
    const stdfs::path checkout = box.mkdir("parent/proj");
    const stdfs::path cwd = box.mkdir("parent/proj/p/q");
    const stdfs::path victim = box.write("outside/r.txt", "KEEP\n");
    stdfs::create_directory_symlink(box / "outside", cwd / "out");
    quarnel::testing::give_to_another_user(box.path());
    run_unprivileged([&] {
      const quarnel::testing::WorkingDirectory inside(cwd);
      stdfs::permissions(box / c.unsearchable, stdfs::perms::none);
      EXPECT_EQ(refusal("out/r.txt", checkout),
                "cannot write 'out/r.txt': could not tell whether it lies in the checkout (" +
                    quoted(box / c.doubt) + ": Permission denied)");
      stdfs::permissions(box / c.unsearchable, stdfs::perms::owner_all);
      EXPECT_EQ(read_bytes(victim), "KEEP\n") << "a file outside the checkout changed";
    });
  }
  // A working directory outside the checkout, below parents that grant search and nothing else,
  // reaches the top of the tree on the way up: the path is the user's own.
  TempDir box;
  const stdfs::path checkout = box.mkdir("proj");
  const stdfs::path cwd = box.mkdir("high/mid/here");
  quarnel::testing::give_to_another_user(box.path());
  stdfs::permissions(box / "high", static_cast<stdfs::perms>(0311));
  stdfs::permissions(box / "high/mid", static_cast<stdfs::perms>(0711));
  run_unprivileged([&] {
    const quarnel::testing::WorkingDirectory inside(cwd);
    write_text("r.txt", "report\n", checkout);
    EXPECT_EQ(read_bytes("r.txt"), "report\n");
  });
}

// With a checkout given, places of the user's that the walk can place are still written as the
// kernel would write them: a FIFO with a reader, and a path longer than the kernel takes whole.
TEST(FsWriteTextInCheckout, TheUsersOwnPlacesAreWrittenAsTheKernelWould) {
  TempDir box;
  const stdfs::path checkout = box.mkdir("repo");
  const stdfs::path fifo = box / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = read_bytes_of_fifo(fifo); });
  write_text(fifo, "report\n", checkout);
  reader.join();
  EXPECT_EQ(got, "report\n");

  // Seventeen names of 255 bytes: more than 4096 bytes, made one directory at a time.
  const std::string name(255, 'n');
  std::string deep;
  for (int i = 0; i < 17; ++i) deep += name + "/";
  ASSERT_GT(deep.size(), 4096u);
  {
    const quarnel::testing::WorkingDirectory at(box.path());
    write_text(deep + "r.txt", "report\n", checkout, Parents::Made);
    // Read back in two halves, each short enough to be named, then the halves are parted so
    // that the box can be removed by name.
    const std::string half = deep.substr(0, 9 * (name.size() + 1));
    stdfs::current_path(half);
    EXPECT_EQ(read_bytes(deep.substr(half.size()) + "r.txt"), "report\n");
    stdfs::rename(name, box / "rest");
  }
}

// A machine where a research group shares a checkout. Another user (OTHER_UID) owns the group's
// directory and, in it, the checkout `co`, a directory `att` beside it and a shared directory,
// all writable by every member; the user who runs quarnel (UNPRIVILEGED_UID) has a private file
// that the other user cannot write, and a directory of their own.
struct SharedMachine {
  SharedMachine() {
    notes = box.write("home/notes.txt", "PRIVATE\n");
    box.mkdir("mine");
    checkout = box.mkdir("group/co");
    for (const char* dir : {"group/co/B/C", "group/att", "group/shared"}) box.mkdir(dir);
    open_to_others(box.path());
    for (const char* dir :
         {"group", "group/co", "group/co/B", "group/co/B/C", "group/att", "group/shared"}) {
      stdfs::permissions(box / dir, stdfs::perms::all);
    }
    quarnel::testing::give_to_another_user(box / "group", quarnel::testing::OTHER_UID);
    quarnel::testing::give_to_another_user(box / "home");
    quarnel::testing::give_to_another_user(box / "mine");
    stdfs::permissions(box / "home", stdfs::perms::owner_all);
    stdfs::permissions(notes, stdfs::perms::owner_read | stdfs::perms::owner_write);
  }
  ~SharedMachine() {
    for (const int fd : {captured, fifo_reader, pty_master}) {
      if (fd >= 0) ::close(fd);
    }
  }
  SharedMachine(const SharedMachine&) = delete;
  SharedMachine& operator=(const SharedMachine&) = delete;

  // Hands the entry itself (a link, not what it leads to) to `uid`.
  static void own(const stdfs::path& entry, unsigned uid) {
    ASSERT_EQ(::lchown(entry.c_str(), uid, uid), 0) << entry;
  }
  // A link at `name` below the box, owned by `uid`.
  void link(const stdfs::path& target, const std::string& name, unsigned uid) const {
    stdfs::create_symlink(target, box / name);
    own(box / name, uid);
  }
  // Opens what the test holds of the user's places that are no plain file of a directory: a file
  // of theirs, open as a descriptor that /dev/fd and /proc/self/fd reopen; the read end of a FIFO
  // of theirs, so that a writer does not wait; and the master of a pty whose terminal is theirs.
  void hold_special_places() {
    const unsigned user = quarnel::testing::UNPRIVILEGED_UID;
    const stdfs::path file = box / "mine/captured.txt";
    captured = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(captured, 0);
    own(file, user);
    const stdfs::path fifo = box / "mine/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    own(fifo, user);
    fifo_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo_reader, 0);
    pty_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pty_master, 0);
    ASSERT_EQ(::grantpt(pty_master), 0);
    ASSERT_EQ(::unlockpt(pty_master), 0);
    terminal = ::ptsname(pty_master);
    own(terminal, user);
    // Raw, so that the terminal hands the bytes on as written.
    struct termios mode {};
    ASSERT_EQ(::tcgetattr(pty_master, &mode), 0);
    ::cfmakeraw(&mode);
    ASSERT_EQ(::tcsetattr(pty_master, TCSANOW, &mode), 0);
  }
  // What arrived at `where`: "fifo" and "pty" read from the ends held, anything else is a file
  // below the box.
  std::string received(const std::string& where) const {
    if (where != "fifo" && where != "pty") return read_bytes(box / where);
    char buffer[64];
    const ssize_t n = ::read(where == "fifo" ? fifo_reader : pty_master, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

  TempDir box;
  stdfs::path checkout;
  stdfs::path notes;
  int captured = -1;
  int fifo_reader = -1;
  int pty_master = -1;
  std::string terminal;
};

// Where the test process runs the write: the initial user namespace, or a new one entered by
// the user, with the user mapped to its root as `unshare -r` maps it (root of the machine then
// shows as the overflow uid), or with no map at all as `unshare -U` leaves it (everyone shows as
// the overflow uid, the user too).
enum class Namespace { Initial, Mapped, Unmapped };

bool write_proc(const char* name, const std::string& text) {
  const int fd = ::open(name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int err = errno;
  ::close(fd);
  errno = err;
  return whole;
}

// Enters the namespace, in a forked child that runs as the user; what failed, or none.
std::optional<std::string> enter(Namespace ns) {
  if (ns == Namespace::Initial) return std::nullopt;
  const auto failed = [](const std::string& what) { return what + ": " + std::strerror(errno); };
  if (::unshare(CLONE_NEWUSER) != 0) return failed("unshare(CLONE_NEWUSER)");
  if (ns == Namespace::Mapped) {
    // Having changed its uid, the process no longer owns its files in /proc.
    if (::prctl(PR_SET_DUMPABLE, 1) != 0) return failed("prctl(PR_SET_DUMPABLE)");
    const std::string map = "0 " + std::to_string(quarnel::testing::UNPRIVILEGED_UID) + " 1";
    if (!write_proc("/proc/self/setgroups", "deny")) return failed("writing setgroups");
    if (!write_proc("/proc/self/uid_map", map)) return failed("writing uid_map");
    if (!write_proc("/proc/self/gid_map", map)) return failed("writing gid_map");
  }
  return std::nullopt;
}

// Why uid 65534 cannot make and map a user namespace here, or none when it can.
std::optional<std::string> user_namespace_refused() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("the probe could not run");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const unsigned user = quarnel::testing::UNPRIVILEGED_UID;
    std::optional<std::string> why;
    if (::setgid(user) != 0 || ::setuid(user) != 0) {
      why = "the probe could not become uid 65534";
    } else {
      why = enter(Namespace::Mapped);
    }
    if (why && ::write(fds[1], why->data(), why->size()) < 0) ::_exit(2);
    ::_exit(why ? 1 : 0);
  }
  ::close(fds[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; pid > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return std::string("the probe could not run");
  }
  if (WEXITSTATUS(status) == 0) return std::nullopt;
  return said.empty() ? std::string("the probe failed") : said;
}

// Another user who can write in a shared checkout can move a directory of it, with the user's
// working directory in it, out of the checkout, or give the checkout's name to a link of theirs;
// outside the checkout a link of theirs would pass for the user's own. Outside the checkout a
// link is followed only when it is the user's or root's; inside, a link is judged by where it
// leads, whoever owns it, except in a sticky directory that others may write, where the kernel's
// rule holds. Each case lays out the machine as root, lets the other user act as that user, then
// writes as the user (or as root).
struct OwnerCase {
  std::string label;
  // Where the test stands, below the box, while the other user acts and the user writes.
  std::string cwd;
  // As the other user, once the machine is laid out; none when they do nothing.
  std::function<void(const SharedMachine&)> as_other;
  // The path written; relative to `cwd`, or below the box when it starts with "@/". "{fd}"
  // stands for the descriptor of the user's file that the test holds, "{pty}" for the user's
  // terminal.
  std::string output;
  // What the refusal says after "cannot write 'OUTPUT': "; none when the text is written.
  std::function<std::string(const SharedMachine&)> refused;
  // Where the text lands when it is written: below the box, or "fifo" or "pty"; empty for
  // nowhere.
  std::string lands;
  // As root, before the other user acts: a link of the user's or root's.
  std::function<void(const SharedMachine&)> lay_out = {};
  bool as_root = false;
  // The checkout as the write is given it, below the box.
  std::string checkout = "group/co";
  // The checkout taken as a run takes it, before the other user acts; else the write takes it.
  bool taken_first = false;
  // A file of the user's, below the box, that must keep its content unless the text lands there.
  std::string victim = "home/notes.txt";
  Namespace ns = Namespace::Initial;
};

std::string in_box(const SharedMachine& m, const std::string& name) {
  if (name == "{pty}") return m.terminal;
  if (name.ends_with("{fd}")) return name.substr(0, name.size() - 4) + std::to_string(m.captured);
  return name.starts_with("@/") ? (m.box / name.substr(2)).string() : name;
}

// The refusal of a link that the rule does not trust: the link, its owner and where it leads.
std::string untrusted(const std::string& link, const std::string& owner, const std::string& target,
                      std::string_view where = "") {
  return quoted(stdfs::path(link)) + " is a symbolic link " + owner + std::string(where) +
         " and leads to " + quoted(stdfs::path(target)) +
         ": if that is where the report should go, give that path";
}

std::string of_other_user() {
  return "that belongs to another user (uid " + std::to_string(quarnel::testing::OTHER_UID) + ")";
}

std::string of_nobody_known() {
  unsigned overflow = 65534;
  std::ifstream("/proc/sys/kernel/overflowuid") >> overflow;
  return "whose owner this user namespace cannot tell (it shows uid " + std::to_string(overflow) +
         ")";
}

// As the other user: a link of theirs in the shared directory, to the user's home.
void plant_out(const SharedMachine& m) {
  stdfs::create_directory_symlink(m.box / "home", m.box / "group/shared/out");
}

// The refusal of that link, by the words for its owner.
std::string refused_out(const SharedMachine& m, const std::string& owner) {
  return untrusted((m.box / "group/shared/out").string(), owner, (m.box / "home").string());
}

void run_owner_case(const OwnerCase& c) {
  SCOPED_TRACE(c.label);
  SharedMachine m;
  m.hold_special_places();
  if (c.lay_out) c.lay_out(m);
  const quarnel::testing::WorkingDirectory standing(m.box / c.cwd);
  std::optional<Checkout> taken;
  if (c.taken_first) taken.emplace(Checkout::take(m.box / c.checkout));
  if (c.as_other) quarnel::testing::run_as(quarnel::testing::OTHER_UID, [&] { c.as_other(m); });
  const stdfs::path output = in_box(m, c.output);
  const auto write = [&] {
    try {
      if (taken) {
        write_text(output, "report\n", *taken);
      } else {
        write_text(output, "report\n", m.box / c.checkout);
      }
      EXPECT_FALSE(c.refused) << "wrote " << output;
      if (!c.lands.empty()) {
        EXPECT_EQ(m.received(c.lands), "report\n");
      }
    } catch (const OsError& e) {
      EXPECT_EQ(e.what(), "cannot write " + quoted(output) + ": " +
                              (c.refused ? c.refused(m) : std::string("(none)")));
    }
  };
  if (c.as_root) {
    write();
  } else {
    quarnel::testing::run_as(quarnel::testing::UNPRIVILEGED_UID, [&] {
      // A FIFO of another user's would hold the open until they read.
      ::alarm(30);
      const auto refused = enter(c.ns);
      ASSERT_FALSE(refused) << *refused;
      // Standard output is the user's file, as a shell's redirection makes it.
      if (c.output == "/dev/stdout") {
        ASSERT_EQ(::dup2(m.captured, STDOUT_FILENO), STDOUT_FILENO) << std::strerror(errno);
      }
      write();
    });
  }
  if (c.lands != c.victim) {
    EXPECT_EQ(read_bytes(m.box / c.victim), "PRIVATE\n") << "the user's private file changed";
  }
  EXPECT_FALSE(stdfs::exists(m.box / "home/new.txt")) << "a file of the user's was made";
}

// Lays out, as root, a sticky directory `tmp` in the checkout that every user may write, owned
// by `owner`, and a file of the user's in the checkout that only the user may write.
void sticky_tmp(const SharedMachine& m, unsigned owner) {
  const stdfs::path tmp = m.checkout / "tmp";
  stdfs::create_directory(tmp);
  stdfs::permissions(tmp, static_cast<stdfs::perms>(01777));
  SharedMachine::own(tmp, owner);
  const stdfs::path mine = m.box.write("group/co/u/notes.txt", "PRIVATE\n");
  quarnel::testing::give_to_another_user(m.checkout / "u");
  stdfs::permissions(mine, stdfs::perms::owner_read | stdfs::perms::owner_write);
  m.box.write("group/co/reports/r.txt", "old\n");
  stdfs::permissions(m.checkout / "reports/r.txt", static_cast<stdfs::perms>(0666));
}

TEST(FsWriteTextOutsideTheCheckout, ALinkIsFollowedOnlyWhenItIsTheUsersOrRoots) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as two users needs root";
  using quarnel::testing::OTHER_UID;
  using quarnel::testing::UNPRIVILEGED_UID;
  const auto notes = [](const SharedMachine& m) { return m.notes.string(); };
  const std::vector<OwnerCase> cases = {
      {"the working directory moved out of the checkout, a link of theirs as the file",
       "group/co/B/C",
       [](const SharedMachine& m) {
         stdfs::create_symlink(m.notes, m.checkout / "B/C/r.txt");
         stdfs::rename(m.checkout / "B", m.box / "group/att/B");
       },
       "r.txt",
       [&](const SharedMachine& m) { return untrusted("r.txt", of_other_user(), notes(m)); }, ""},
      {"the checkout's name made a link to the top of the tree before the run, a link of theirs as "
       "the file",
       "",
       [](const SharedMachine& m) {
         stdfs::rename(m.checkout, m.box / "group/co.old");
         stdfs::create_directory_symlink("/", m.checkout);
         stdfs::create_symlink(m.notes, m.box / "group/shared/r.txt");
       },
       "@/group/shared/r.txt",
       [](const SharedMachine& m) {
         return "could not tell whether it lies in the checkout (" + quoted(m.checkout) +
                " is a symbolic link " + of_other_user() +
                " and leads to '/': if that is the checkout, give that path)";
       },
       ""},
      {"the checkout's name made a link to their directory once the run had taken it",
       "group/co/B/C",
       [](const SharedMachine& m) {
         stdfs::create_symlink(m.notes, m.checkout / "B/C/r.txt");
         stdfs::rename(m.checkout, m.box / "group/old");
         stdfs::create_directory_symlink("att", m.checkout);
       },
       "r.txt",
       [](const SharedMachine&) {
         return quoted(stdfs::path("r.txt")) +
                " is a symbolic link that leads outside the checkout";
       },
       "",
       {},
       false,
       "group/co",
       true},
      {"a link of theirs on the way, in a shared directory", "", plant_out,
       "@/group/shared/out/notes.txt",
       [](const SharedMachine& m) { return refused_out(m, of_other_user()); }, ""},
      {"a dangling link of theirs, which would make the file", "",
       [](const SharedMachine& m) {
         stdfs::create_symlink(m.box / "home/new.txt", m.box / "group/shared/new.txt");
       },
       "@/group/shared/new.txt",
       [](const SharedMachine& m) {
         return untrusted((m.box / "group/shared/new.txt").string(), of_other_user(),
                          (m.box / "home/new.txt").string());
       },
       ""},
      {"a link of theirs met on the way through a link of the user's", "", plant_out,
       "@/mine/to-shared/out/notes.txt",
       [](const SharedMachine& m) {
         return untrusted((m.box / "mine/to-shared/out").string(), of_other_user(),
                          (m.box / "home").string());
       },
       "",
       [](const SharedMachine& m) {
         m.link(m.box / "group/shared", "mine/to-shared", UNPRIVILEGED_UID);
       }},
      {"a link of theirs, written by root",
       "",
       plant_out,
       "@/group/shared/out/notes.txt",
       [](const SharedMachine& m) { return refused_out(m, of_other_user()); },
       "",
       {},
       true},
      {"a FIFO of theirs, with no reader", "",
       [](const SharedMachine& m) {
         const stdfs::path fifo = m.box / "group/shared/r.txt";
         ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
         stdfs::permissions(fifo, static_cast<stdfs::perms>(0666));
       },
       "@/group/shared/r.txt",
       [](const SharedMachine&) { return "it is a FIFO " + of_other_user(); }, ""},
      {"a link of theirs in a sticky directory of the checkout, leading inside it", "group/co",
       [](const SharedMachine& m) {
         stdfs::create_symlink(m.checkout / "u/notes.txt", m.checkout / "tmp/r.md");
       },
       "tmp/r.md",
       [](const SharedMachine& m) {
         return untrusted("tmp/r.md", of_other_user(), (m.checkout / "u/notes.txt").string(),
                          " in a sticky directory that others may write");
       },
       "", [](const SharedMachine& m) { sticky_tmp(m, 0); }, false, "group/co", false,
       "group/co/u/notes.txt"},
      {"the working directory removed", "group/co/B/C",
       [](const SharedMachine& m) { stdfs::remove(m.checkout / "B/C"); }, "r.txt",
       [](const SharedMachine&) {
         return std::string(
             "the working directory was removed; change into it again or give the report's full "
             "path");
       },
       ""},
      // What keeps working.
      {"a link of the user's",
       "",
       {},
       "@/mine/latest.txt",
       {},
       "home/notes.txt",
       [](const SharedMachine& m) { m.link(m.notes, "mine/latest.txt", UNPRIVILEGED_UID); }},
      {"a link of root's",
       "",
       {},
       "@/root-link",
       {},
       "home/notes.txt",
       [](const SharedMachine& m) { m.link(m.notes, "root-link", 0); }},
      {"a link of theirs inside the checkout that stays inside",
       "group/co",
       [](const SharedMachine& m) {
         stdfs::create_directory(m.checkout / "reports");
         std::ofstream(m.checkout / "reports/r.txt") << "old\n";
         stdfs::permissions(m.checkout / "reports/r.txt", static_cast<stdfs::perms>(0666));
         stdfs::create_symlink("reports/r.txt", m.checkout / "r.txt");
       },
       "r.txt",
       {},
       "group/co/reports/r.txt"},
      {"a link of the sticky directory's owner in it, leading inside the checkout",
       "group/co",
       [](const SharedMachine& m) {
         stdfs::create_symlink(m.checkout / "reports/r.txt", m.checkout / "tmp/r.md");
       },
       "tmp/r.md",
       {},
       "group/co/reports/r.txt",
       [](const SharedMachine& m) { sticky_tmp(m, OTHER_UID); }},
      {"a link of the user's in a sticky directory of root's",
       "group/co",
       {},
       "tmp/r.md",
       {},
       "group/co/reports/r.txt",
       [](const SharedMachine& m) {
         sticky_tmp(m, 0);
         m.link(m.checkout / "reports/r.txt", "group/co/tmp/r.md", UNPRIVILEGED_UID);
       }},
      {"a new file in their shared directory, no link on the way",
       "group/shared",
       {},
       "r.txt",
       {},
       "group/shared/r.txt"},
      {"the working directory moved out, no link on the way",
       "group/co/B/C",
       [](const SharedMachine& m) { stdfs::rename(m.checkout / "B", m.box / "group/att/B"); },
       "r.txt",
       {},
       "group/att/B/C/r.txt"},
      {"the checkout given through a link of the user's",
       "group/co",
       {},
       "r.txt",
       {},
       "group/co/r.txt",
       [](const SharedMachine& m) { m.link(m.checkout, "mine/co", UNPRIVILEGED_UID); },
       false,
       "mine/co"},
      {"the checkout given through a link of root's",
       "group/co",
       {},
       "r.txt",
       {},
       "group/co/r.txt",
       [](const SharedMachine& m) { m.link(m.checkout, "root-co", 0); },
       false,
       "root-co"},
      {"/dev/null", "", {}, "/dev/null", {}, ""},
      {"standard output, through root's /dev/stdout",
       "",
       {},
       "/dev/stdout",
       {},
       "mine/captured.txt"},
      {"the user's descriptor, through root's /dev/fd",
       "",
       {},
       "/dev/fd/{fd}",
       {},
       "mine/captured.txt"},
      {"the user's descriptor, through the process's own link in /proc",
       "",
       {},
       "/proc/self/fd/{fd}",
       {},
       "mine/captured.txt"},
      {"the user's FIFO", "", {}, "@/mine/fifo", {}, "fifo"},
      {"the user's terminal", "", {}, "{pty}", {}, "pty"},
  };
  for (const auto& c : cases) run_owner_case(c);
}

// In a user namespace that does not map every uid, an owner the kernel cannot map shows as the
// overflow uid: root of the machine, another user, or (with no map at all) the user. Such an
// owner is nobody known: a link of theirs is followed only where none but root could have made
// it, in procfs or a directory of root's that others may not write.
TEST(FsWriteTextOutsideTheCheckout, InAUserNamespaceAnOwnerShownAsTheOverflowUidIsNobodyKnown) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as two users needs root";
  if (const auto why = user_namespace_refused()) {
    GTEST_SKIP() << "the kernel does not let uid 65534 make and map a user namespace here (" << *why
                 << ")";
  }
  using quarnel::testing::UNPRIVILEGED_UID;
  const auto theirs_in_shared = [](Namespace ns) {
    return OwnerCase{"a link of theirs in a shared directory",
                     "",
                     plant_out,
                     "@/group/shared/out/notes.txt",
                     [](const SharedMachine& m) { return refused_out(m, of_nobody_known()); },
                     "",
                     {},
                     false,
                     "group/co",
                     false,
                     "home/notes.txt",
                     ns};
  };
  const auto written = [](std::string label, std::string output, std::string lands, Namespace ns,
                          std::function<void(const SharedMachine&)> lay_out = {}) {
    return OwnerCase{std::move(label),
                     "",
                     {},
                     std::move(output),
                     {},
                     std::move(lands),
                     std::move(lay_out),
                     false,
                     "group/co",
                     false,
                     "home/notes.txt",
                     ns};
  };
  const auto users_link = [](const SharedMachine& m) {
    m.link(m.notes, "mine/latest.txt", UNPRIVILEGED_UID);
  };
  const auto roots_link = [](const SharedMachine& m) { m.link(m.notes, "root-link", 0); };
  for (const Namespace ns : {Namespace::Mapped, Namespace::Unmapped}) {
    SCOPED_TRACE(ns == Namespace::Mapped ? "the user mapped to root" : "no map");
    const std::vector<OwnerCase> cases = {
        theirs_in_shared(ns),
        written("standard output, through root's /dev/stdout", "/dev/stdout", "mine/captured.txt",
                ns),
        written("the user's descriptor, through root's /dev/fd", "/dev/fd/{fd}",
                "mine/captured.txt", ns),
        written("the user's descriptor, through the process's own link in /proc",
                "/proc/self/fd/{fd}", "mine/captured.txt", ns),
        written("a link of root's, in a directory of root's", "@/root-link", "home/notes.txt", ns,
                roots_link),
        written("a link of root's on the way, as /home -> /gpfs/home", "@/root-home/notes.txt",
                "home/notes.txt", ns,
                [](const SharedMachine& m) { m.link(m.box / "home", "root-home", 0); }),
        written("a link of the user's, in a directory of the user's", "@/mine/latest.txt",
                "home/notes.txt", ns, users_link),
    };
    for (const auto& c : cases) run_owner_case(c);
  }
}

}  // namespace
}  // namespace quarnel::utils::fs
