#include "quarnel/plugins/builtin/documentation.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
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
using quarnel::plugins::builtin::documentation::DocumentationPlugin;
using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using quarnel::testing::TempDir;
namespace detail = quarnel::plugins::builtin::documentation::detail;

constexpr const char* PROCESS = "Checked for README, docs directory, and doc tooling";
constexpr const char* EVIDENCE = "Checked: README, docs dirs, mkdocs/sphinx/rtd configs";

CheckResult check(const stdfs::path& repo, const std::string& id = "descriptive_attributes") {
  return DocumentationPlugin{}.check(id, Context(repo));
}

std::string bytes(std::size_t n) { return std::string(n, 'x'); }

struct DocCase {
  std::string name;
  std::function<void(const TempDir&)> build;
  double score;
  std::string output;
};

class DocumentationCheckout : public ::testing::TestWithParam<DocCase> {};

TEST_P(DocumentationCheckout, ScoresAndReportsTheFindings) {
  const TempDir dir;
  GetParam().build(dir);
  const CheckResult result = check(dir.path());
  EXPECT_EQ(result.indicator_id, "descriptive_attributes");
  EXPECT_EQ(result.plugin, "documentation");
  EXPECT_DOUBLE_EQ(result.score, GetParam().score);
  EXPECT_EQ(result.output, GetParam().output);
  EXPECT_EQ(result.process, PROCESS);
  EXPECT_EQ(result.evidence, EVIDENCE);
  EXPECT_EQ(result.status, result.score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
}

INSTANTIATE_TEST_SUITE_P(
    Checkouts, DocumentationCheckout,
    ::testing::Values(
        DocCase{"Empty", [](const TempDir&) {}, 0.0, "No README found"},
        DocCase{"ReadmeOfExactlyTheMinimum",
                [](const TempDir& d) { d.write("README.md", bytes(200)); }, 4.0,
                "README: README.md (200 bytes)"},
        DocCase{"ReadmeOneByteShort", [](const TempDir& d) { d.write("README.md", bytes(199)); },
                1.5, "README: README.md (199 bytes); README is short"},
        DocCase{"MarkdownReadmeFirst",
                [](const TempDir& d) {
                  d.write("README", bytes(300));
                  d.write("README.md", bytes(10));
                },
                1.5, "README: README.md (10 bytes); README is short"},
        DocCase{"LowerCaseReadmeNotFound",
                [](const TempDir& d) { d.write("readme.md", bytes(300)); }, 0.0, "No README found"},
        DocCase{"BrokenReadmeLinkPassedOver",
                [](const TempDir& d) {
                  stdfs::create_symlink(d / "gone.md", d / "README.md");
                  d.write("README.rst", bytes(250));
                },
                4.0, "README: README.rst (250 bytes)"},
        DocCase{"LinkedReadmeHasItsTargetsSize",
                [](const TempDir& d) {
                  d.write("text/intro.txt", bytes(321));
                  stdfs::create_symlink(d / "text/intro.txt", d / "README.txt");
                },
                4.0, "README: README.txt (321 bytes)"},
        DocCase{"FirstDirectoryWithDocumentsCredited",
                [](const TempDir& d) {
                  d.write("docs/notes.txt", "x");
                  d.write("doc/guide/deep/intro.rst", "x");
                },
                3.0, "No README found; Docs directory: doc/ (1 files)"},
        DocCase{"SuffixesAreCaseSensitive",
                [](const TempDir& d) {
                  d.write("docs/a.md", "x");
                  d.write("docs/sub/b.rst", "x");
                  d.write("docs/c.MD", "x");
                },
                3.0, "No README found; Docs directory: docs/ (2 files)"},
        DocCase{"DirectoriesAndHiddenEntriesCount",
                [](const TempDir& d) {
                  d.mkdir("documentation/chapter.md");
                  d.write("documentation/.hidden/x.md", "x");
                  d.write("documentation/.md", "x");
                },
                3.0, "No README found; Docs directory: documentation/ (3 files)"},
        DocCase{"ConfigInDocsIgnoredWithoutDocuments",
                [](const TempDir& d) { d.write("docs/conf.py", "x"); }, 0.0, "No README found"},
        DocCase{"ConfigInAnotherDocumentationDirectory",
                [](const TempDir& d) {
                  d.write("docs/index.md", "x");
                  d.write("doc/mkdocs.yml", "x");
                },
                5.0,
                "No README found; Docs directory: docs/ (1 files); "
                "Doc tool config: doc/mkdocs.yml"},
        DocCase{"ConfigurationOrderBeatsLocation",
                [](const TempDir& d) {
                  d.write("docs/index.md", "x");
                  d.write("book.toml", "x");
                  d.write("docs/conf.py", "x");
                },
                5.0,
                "No README found; Docs directory: docs/ (1 files); Doc tool config: docs/conf.py"},
        DocCase{"OneConfigurationCredited",
                [](const TempDir& d) {
                  d.write("mkdocs.yml", "x");
                  d.write(".readthedocs.yaml", "x");
                },
                2.0, "No README found; Doc tool config: mkdocs.yml"},
        DocCase{"Everything",
                [](const TempDir& d) {
                  d.write("README.md", bytes(512));
                  d.write("docs/a.md", "x");
                  d.write("docs/b.md", "x");
                  d.write("docs/c.md", "x");
                  d.write("mkdocs.yml", "x");
                },
                9.0,
                "README: README.md (512 bytes); Docs directory: docs/ (3 files); "
                "Doc tool config: mkdocs.yml"}),
    [](const auto& info) { return info.param.name; });

TEST(DocumentationCheck, DirectoryNamedReadmeHasItsReportedSize) {
  const TempDir dir;
  dir.mkdir("README");
  struct stat info {};
  ASSERT_EQ(::stat((dir / "README").c_str(), &info), 0);
  const CheckResult result = check(dir.path());
  const auto size = static_cast<std::uintmax_t>(info.st_size);
  EXPECT_EQ(result.output.rfind("README: README (" + std::to_string(size) + " bytes)", 0), 0u)
      << result.output;
  EXPECT_DOUBLE_EQ(result.score, size >= 200 ? 4.0 : 1.5);
}

TEST(DocumentationCheck, MissingCheckoutFindsNothing) {
  const TempDir dir;
  const CheckResult result = check(dir / "absent");
  EXPECT_DOUBLE_EQ(result.score, 0.0);
  EXPECT_EQ(result.output, "No README found");
}

TEST(DocumentationCheck, WorkingDirectoryNamedAnyWayIsCheckedWhole) {
  const TempDir dir;
  dir.write("README.md", bytes(512));
  dir.write("docs/a.md", "x");
  dir.write("mkdocs.yml", "x");
  const quarnel::testing::WorkingDirectory here(dir.path());
  // The empty path names the working directory, as it does for the git queries.
  for (const std::string spelling : {"", ".", "./"}) {
    const CheckResult result = check(spelling);
    EXPECT_DOUBLE_EQ(result.score, 9.0) << "'" << spelling << "'";
    EXPECT_EQ(result.output,
              "README: README.md (512 bytes); Docs directory: docs/ (1 files); "
              "Doc tool config: mkdocs.yml")
        << "'" << spelling << "'";
  }
}

TEST(DocumentationCheck, AnyIdIsAnsweredAndKept) {
  const TempDir dir;
  dir.write("README.md", bytes(200));
  const CheckResult result = check(dir.path(), "other_indicator");
  EXPECT_EQ(result.indicator_id, "other_indicator");
  EXPECT_DOUBLE_EQ(result.score, 4.0);
}

TEST(DocumentationDeclarations, NameVersionDescription) {
  const DocumentationPlugin plugin;
  EXPECT_EQ(plugin.name(), "documentation");
  EXPECT_EQ(plugin.version(), "0.1.0");
  EXPECT_EQ(plugin.description(),
            "Checks README presence, length, and key sections like installation and usage.");
  ASSERT_EQ(plugin.supported_indicators().size(), 1u);
  EXPECT_EQ(plugin.supported_indicators()[0], "descriptive_attributes");
  EXPECT_FALSE(plugin.requires_git());
}

// --- The walk below a documentation directory stays in the checkout ---------------------------

TEST(DocumentationWalk, LinksToDirectoriesAreCountedButNotEntered) {
  const TempDir dir;
  dir.write("docs/index.md", "x");
  dir.write("elsewhere/a.md", "x");
  dir.write("elsewhere/b.md", "x");
  stdfs::create_symlink(dir / "elsewhere", dir / "docs/linked");
  stdfs::create_symlink(dir / "elsewhere", dir / "docs/linked.md");
  stdfs::create_symlink(dir / "nothing", dir / "docs/broken.rst");
  // index.md, linked.md and broken.rst by name; nothing inside the linked directory.
  EXPECT_EQ(detail::count_doc_files(dir / "docs"), 3u);
}

TEST(DocumentationWalk, DocumentationDirectoryLinkedOutOfTheCheckoutIsNotWalked) {
  const TempDir outside;
  outside.write("guide.md", "x");
  const TempDir dir;
  stdfs::create_symlink(outside.path(), dir / "docs");
  dir.write("doc/inside.md", "x");
  const CheckResult result = check(dir.path());
  EXPECT_EQ(result.output, "No README found; Docs directory: doc/ (1 files)");

  // A link that stays inside the checkout is walked like the directory it names.
  const TempDir second;
  second.write("site/a.md", "x");
  stdfs::create_symlink(second / "site", second / "docs");
  EXPECT_EQ(check(second.path()).output, "No README found; Docs directory: docs/ (1 files)");
}

TEST(DocumentationWalk, UnlistableSubdirectoryIsPassedOver) {
  const TempDir dir;
  dir.write("docs/a.md", "x");
  dir.write("docs/locked/b.md", "x");
  open_to_others(dir.path());
  stdfs::permissions(dir / "docs/locked", stdfs::perms::none);
  run_unprivileged([&] {
    EXPECT_EQ(check(dir.path()).output, "No README found; Docs directory: docs/ (1 files)");
  });
}

TEST(DocumentationWalk, DeepTreesAreCountedWhole) {
  const TempDir dir;
  stdfs::path deep = "docs";
  for (int level = 0; level < 300; ++level) deep /= "d";
  dir.write(deep / "leaf.md", "x");
  dir.write("docs/top.rst", "x");
  EXPECT_EQ(detail::count_doc_files(dir / "docs"), 2u);
}

}  // namespace
