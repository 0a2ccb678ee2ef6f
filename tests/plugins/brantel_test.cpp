#include "quarnel/plugins/builtin/brantel.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
using quarnel::core::context::Context;
using quarnel::core::models::CheckResult;
using quarnel::core::models::CheckStatus;
using quarnel::plugins::builtin::brantel::BrantelPlugin;
using quarnel::testing::TempDir;

constexpr const char* NOTHING_CHECKED =
    "Checked: LICENSE, LICENSE.md, LICENSE.txt, LICENSE.rst, LICENCE, LICENCE.md, LICENCE.txt, "
    "COPYING, COPYING.md";
constexpr const char* MIT_TEXT = "MIT License\n\nPermission is hereby granted, free of charge\n";

class BrantelCheck : public ::testing::Test {
 protected:
  CheckResult run(std::string_view indicator_id = "clear_license") const {
    return BrantelPlugin{}.check(indicator_id, Context(repo_.path()));
  }
  void expect_nothing_found(const CheckResult& result) const {
    EXPECT_EQ(result.score, 0.0);
    EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
    EXPECT_EQ(result.process, "Searched for license files in repository root");
    EXPECT_EQ(result.output, "No license file found");
    EXPECT_EQ(result.evidence, NOTHING_CHECKED);
  }

  TempDir repo_;
  TempDir outside_;
};

TEST(BrantelPluginDeclarations, NameVersionAndIndicator) {
  const BrantelPlugin plugin;
  EXPECT_EQ(plugin.name(), "brantel");
  EXPECT_EQ(plugin.version(), "0.1.0");
  EXPECT_EQ(plugin.description(),
            "Checks for a recognized open-source license file and SPDX identifier.");
  ASSERT_EQ(plugin.supported_indicators().size(), 1u);
  EXPECT_EQ(plugin.supported_indicators()[0], "clear_license");
  EXPECT_FALSE(plugin.requires_git());
  EXPECT_FALSE(plugin.requires_forge());
}

// --- License directory ---------------------------------------------------------------------

struct ReuseCase {
  std::string label;
  std::vector<std::string> files;  // below LICENSES/
  std::string output;
  std::string evidence;
};

TEST_F(BrantelCheck, LicenseDirectoryListsSortedStems) {
  const std::vector<ReuseCase> cases = {
      {"two licenses", {"MIT.txt", "Apache-2.0.txt"}, "Apache-2.0, MIT", "2 entries"},
      {"more than five",
       {"G.txt", "F.txt", "E.md", "D", "C.txt", "B.txt", "A.txt"},
       "A, B, C, D, E, and 2 more",
       "7 entries"},
      {"same stem twice", {"MIT.txt", "MIT.md"}, "MIT, MIT", "2 entries"},
      {"no suffix", {"MIT"}, "MIT", "1 entries"},
      {"leading dot only", {".gitkeep"}, ".gitkeep", "1 entries"},
      {"suffix compared lower-cased",
       {"Zlib.TXT", "README.rst", "BSD.Md"},
       "BSD, Zlib",
       "2 entries"},
      {"code-point order", {"mit.txt", "Zlib.txt", "Apache.txt"}, "Apache, Zlib, mit", "3 entries"},
  };
  for (const ReuseCase& c : cases) {
    TempDir repo;
    for (const std::string& file : c.files) repo.write("LICENSES/" + file, "license text\n");
    // A license file beside the directory is never consulted.
    repo.write("LICENSE", "");
    const CheckResult result = BrantelPlugin{}.check("clear_license", Context(repo.path()));
    EXPECT_EQ(result.score, 10.0) << c.label;
    EXPECT_EQ(result.status, CheckStatus::PASS) << c.label;
    EXPECT_EQ(result.process, "Detected REUSE-compliant LICENSES/ directory") << c.label;
    EXPECT_EQ(result.output, "Detected SPDX licenses: " + c.output) << c.label;
    EXPECT_EQ(result.evidence, "LICENSES/ contains " + c.evidence) << c.label;
  }
}

TEST_F(BrantelCheck, LicenseDirectoryWithoutQualifyingFilesIsPassedOver) {
  const std::vector<std::vector<std::string>> layouts = {
      {},
      {"README.rst"},
      {"GPL-3.0-or-later", "LGPL-2.1-only"},
      {"nested/MIT.txt"},
  };
  for (const auto& layout : layouts) {
    TempDir repo;
    repo.mkdir("LICENSES");
    for (const std::string& file : layout) repo.write("LICENSES/" + file, "text\n");
    const CheckResult result = BrantelPlugin{}.check("clear_license", Context(repo.path()));
    EXPECT_EQ(result.output, "No license file found") << testing::PrintToString(layout);
  }
}

TEST_F(BrantelCheck, LicenseDirectoryMustBeADirectory) {
  repo_.write("LICENSES", "MIT\n");
  expect_nothing_found(run());
}

TEST_F(BrantelCheck, LinksInTheLicenseDirectoryCountOnlyInsideTheCheckout) {
  repo_.write("licenses-src/MIT.txt", "MIT\n");
  repo_.mkdir("LICENSES");
  stdfs::create_symlink(repo_ / "licenses-src/MIT.txt", repo_ / "LICENSES/MIT.txt");
  stdfs::create_symlink(outside_.write("Apache-2.0.txt", "x\n"), repo_ / "LICENSES/Apache-2.0.txt");
  stdfs::create_symlink(repo_ / "LICENSES/missing.txt", repo_ / "LICENSES/Broken.txt");
  const CheckResult result = run();
  EXPECT_EQ(result.output, "Detected SPDX licenses: MIT");
  EXPECT_EQ(result.evidence, "LICENSES/ contains 1 entries");
}

TEST_F(BrantelCheck, LicenseDirectoryLinkCountsOnlyInsideTheCheckout) {
  repo_.write("meta/licenses/MIT.txt", "MIT\n");
  stdfs::create_directory_symlink(repo_ / "meta/licenses", repo_ / "LICENSES");
  EXPECT_EQ(run().output, "Detected SPDX licenses: MIT");

  TempDir repo;
  outside_.write("licenses/Apache-2.0.txt", "x\n");
  stdfs::create_directory_symlink(outside_ / "licenses", repo / "LICENSES");
  const CheckResult result = BrantelPlugin{}.check("clear_license", Context(repo.path()));
  EXPECT_EQ(result.output, "No license file found");
}

// --- License file --------------------------------------------------------------------------

struct FileCase {
  std::string label;
  std::string name;
  std::string content;
  double score;
  std::string process;
  std::string output;
  std::string evidence;
};

TEST_F(BrantelCheck, LicenseFileIsJudgedByItsText) {
  const std::string no_match = "Do whatever you like with it.\n";
  const std::vector<FileCase> cases = {
      {"mit", "LICENSE", MIT_TEXT, 10.0, "Identified SPDX license: MIT", "Detected MIT",
       "File: LICENSE, SPDX: MIT"},
      {"apache in markdown", "LICENSE.md", "Apache License\n\nApache License, Version 2.0\n", 10.0,
       "Identified SPDX license: Apache-2.0", "Detected Apache-2.0",
       "File: LICENSE.md, SPDX: Apache-2.0"},
      {"unmatched", "COPYING.md", no_match, 7.0,
       "Found license file but could not match SPDX identifier", "License file: COPYING.md",
       "File: COPYING.md, length: 30"},
      {"exactly ten after trimming", "LICENCE", "  0123456789  \n", 7.0,
       "Found license file but could not match SPDX identifier", "License file: LICENCE",
       "File: LICENCE, length: 15"},
      {"white space only", "LICENSE.txt", " \n\t\n  ", 2.0, "License file exists but appears empty",
       "LICENSE.txt: 6 chars", "File: LICENSE.txt"},
      {"nine after trimming", "LICENSE", "\u3000 123456789 \u2003\n", 2.0,
       "License file exists but appears empty", "LICENSE: 14 chars", "File: LICENSE"},
      {"zero bytes", "LICENSE.rst", "", 2.0, "License file exists but appears empty",
       "LICENSE.rst: 0 chars", "File: LICENSE.rst"},
      {"characters, not bytes", "LICENSE", "\u00e9\u00e9\u00e9\u00e9\u00e9", 2.0,
       "License file exists but appears empty", "LICENSE: 5 chars", "File: LICENSE"},
      {"line ends normalised", "LICENSE", "ab\r\ncd\ref", 2.0,
       "License file exists but appears empty", "LICENSE: 8 chars", "File: LICENSE"},
      {"undecodable bytes replaced", "LICENSE", "\xff\xfe\xfd" + no_match, 7.0,
       "Found license file but could not match SPDX identifier", "License file: LICENSE",
       "File: LICENSE, length: 33"},
  };
  for (const FileCase& c : cases) {
    TempDir repo;
    repo.write(c.name, c.content);
    const CheckResult result = BrantelPlugin{}.check("clear_license", Context(repo.path()));
    EXPECT_EQ(result.score, c.score) << c.label;
    EXPECT_EQ(result.process, c.process) << c.label;
    EXPECT_EQ(result.output, c.output) << c.label;
    EXPECT_EQ(result.evidence, c.evidence) << c.label;
    EXPECT_EQ(result.passed, c.score >= 7.0) << c.label;
  }
}

TEST_F(BrantelCheck, FirstLicenseNameInListOrderIsRead) {
  repo_.write("COPYING", MIT_TEXT);
  repo_.write("LICENSE", "Just a note, no license text here.\n");
  EXPECT_EQ(run().output, "License file: LICENSE");
}

TEST_F(BrantelCheck, LicenseFileThatCannotBeReadScoresThree) {
  const std::vector<std::string> kinds = {"directory", "fifo", "link out", "broken in", "huge"};
  for (const std::string& kind : kinds) {
    TempDir repo;
    TempDir outside;
    const stdfs::path license = repo / "LICENSE";
    if (kind == "directory") repo.mkdir("LICENSE");
    if (kind == "fifo") {
      ASSERT_EQ(::mkfifo(license.c_str(), 0600), 0);
    }
    if (kind == "link out") stdfs::create_symlink(outside.write("MIT", MIT_TEXT), license);
    if (kind == "huge") repo.write("LICENSE", std::string(9 * 1024 * 1024, 'x'));
    if (kind == "broken in") {
      // A dangling LICENSE is absent, so COPYING is the one found.
      stdfs::create_symlink(repo / "gone", license);
      repo.mkdir("COPYING");
    }
    const std::string name = kind == "broken in" ? "COPYING" : "LICENSE";
    const CheckResult result = BrantelPlugin{}.check("clear_license", Context(repo.path()));
    EXPECT_EQ(result.score, 3.0) << kind;
    EXPECT_EQ(result.status, CheckStatus::FAIL) << kind;
    EXPECT_EQ(result.process, "Found " + name + " but could not read it") << kind;
    EXPECT_NE(result.output.find(name), std::string::npos) << kind << ": " << result.output;
    EXPECT_EQ(result.evidence, "File: " + name) << kind;
  }
}

// --- Without a license file ----------------------------------------------------------------

TEST_F(BrantelCheck, SpdxHeaderStandsInForAMissingLicenseFile) {
  repo_.mkdir("LICENSES");
  repo_.write("src/main.c", "/* SPDX-License-Identifier: GPL-2.0-or-later */\n");
  const CheckResult result = run();
  EXPECT_EQ(result.score, 7.0);
  EXPECT_EQ(result.status, CheckStatus::PASS);
  EXPECT_EQ(result.process, "Found SPDX-License-Identifier headers in source files");
  EXPECT_EQ(result.output, "Detected GPL-2.0-or-later");
  EXPECT_EQ(result.evidence, "SPDX header sampled from top-level source: GPL-2.0-or-later");
}

TEST_F(BrantelCheck, LicenseFileOutranksSpdxHeaders) {
  repo_.write("main.py", "# SPDX-License-Identifier: Apache-2.0\n");
  repo_.write("LICENSE", MIT_TEXT);
  EXPECT_EQ(run().output, "Detected MIT");
}

TEST_F(BrantelCheck, NothingFoundIsUnknown) {
  repo_.write("README.md", "A tool.\n");
  expect_nothing_found(run());
}

TEST_F(BrantelCheck, MissingCheckoutIsNothingFound) {
  const CheckResult result =
      BrantelPlugin{}.check("clear_license", Context(repo_ / "does-not-exist"));
  expect_nothing_found(result);
}

struct RelativeCase {
  std::string label;
  std::vector<std::pair<std::string, std::string>> files;
  double score;
  std::string output;
};

TEST(BrantelCheckoutPath, WorkingDirectoryNamedAnyWayGetsTheSameAnswer) {
  const std::vector<RelativeCase> cases = {
      {"license directory", {{"LICENSES/MIT.txt", "x\n"}}, 10.0, "Detected SPDX licenses: MIT"},
      {"license file", {{"LICENSE", MIT_TEXT}}, 10.0, "Detected MIT"},
      {"header", {{"src/lib.rs", "// SPDX-License-Identifier: Zlib\n"}}, 7.0, "Detected Zlib"},
  };
  // The empty path names the working directory, as it does for the git queries.
  for (const RelativeCase& c : cases) {
    for (const std::string spelling : {"", ".", "./"}) {
      const TempDir repo;
      for (const auto& [path, content] : c.files) repo.write(path, content);
      const quarnel::testing::WorkingDirectory here(repo.path());
      const CheckResult result = BrantelPlugin{}.check("clear_license", Context(spelling));
      EXPECT_EQ(result.score, c.score) << c.label << " in '" << spelling << "'";
      EXPECT_EQ(result.output, c.output) << c.label << " in '" << spelling << "'";
    }
  }
}

TEST_F(BrantelCheck, AnyIndicatorIdGetsTheSameAnswerUnderItsOwnLabel) {
  repo_.write("LICENSE", MIT_TEXT);
  const CheckResult own = run();
  const CheckResult other = run("descriptive_attributes");
  EXPECT_EQ(own.indicator_id, "clear_license");
  EXPECT_EQ(own.plugin, "brantel");
  EXPECT_EQ(own.principle, "R1.1");
  EXPECT_EQ(other.indicator_id, "descriptive_attributes");
  EXPECT_EQ(other.plugin, "brantel");
  EXPECT_EQ(other.score, own.score);
  EXPECT_EQ(other.output, own.output);
  EXPECT_EQ(other.evidence, own.evidence);
}

}  // namespace
