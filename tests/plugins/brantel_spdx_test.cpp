#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/plugins/builtin/brantel.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
namespace detail = quarnel::plugins::builtin::brantel::detail;
using quarnel::testing::TempDir;

std::string repeated(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// --- Suffix and stem of a file name --------------------------------------------------------

struct NameCase {
  std::string name;
  std::string suffix;
  std::string stem;
};

TEST(BrantelFileName, SplitsAtTheLastInnerDot) {
  const std::vector<NameCase> cases = {
      {"MIT.txt", ".txt", "MIT"},
      {"archive.tar.gz", ".gz", "archive.tar"},
      {"main.PY", ".PY", "main"},
      {".bashrc", "", ".bashrc"},
      {".config.yml", ".yml", ".config"},
      {"Makefile", "", "Makefile"},
      {"GPL-3.0-or-later", ".0-or-later", "GPL-3"},
      {"trailing.", "", "trailing."},
      {"..", "", ".."},
      {"", "", ""},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(detail::file_suffix(c.name), c.suffix) << c.name;
    EXPECT_EQ(detail::file_stem(c.name), c.stem) << c.name;
  }
}

// --- License text detection ----------------------------------------------------------------

struct DetectCase {
  std::string label;
  std::string content;
  std::optional<std::string> spdx_id;
};

TEST(BrantelDetectSpdx, FirstMatchingTableEntryNamesTheLicense) {
  const std::vector<DetectCase> cases = {
      {"earlier entry wins", "MIT License\nApache License, Version 2.0\n", "Apache-2.0"},
      {"apache across lines", "Apache License\nVersion 2.0\n", std::nullopt},
      {"mit lower case", "the mit license\n", "MIT"},
      {"mit permission", "Permission is hereby granted, free of charge", "MIT"},
      {"gpl3 across lines", "gnu general public license\n\n\nversion 3, 29 June 2007",
       "GPL-3.0-only"},
      {"agpl3 alone", "GNU AFFERO GENERAL PUBLIC LICENSE\nVersion 3\nGNU GENERAL PUBLIC LICENSE",
       "AGPL-3.0-only"},
      {"gpl2", "GNU GENERAL PUBLIC LICENSE\nVersion 2, June 1991", "GPL-2.0-only"},
      {"agpl3", "GNU AFFERO GENERAL PUBLIC LICENSE\nVersion 3, 19 November 2007", "AGPL-3.0-only"},
      {"lgpl3", "GNU LESSER GENERAL PUBLIC LICENSE\n Version 3, 29 June 2007", "LGPL-3.0-only"},
      {"bsd3 name", "The BSD 3-Clause License", "BSD-3-Clause"},
      {"bsd3 one line", "Redistribution and use, given these three conditions", "BSD-3-Clause"},
      {"bsd3 across lines", "Redistribution and use\nunder three conditions", std::nullopt},
      {"bsd2 name", "BSD 2-Clause License", "BSD-2-Clause"},
      {"bsd2 simplified", "the simplified bsd license", "BSD-2-Clause"},
      {"eupl licence", "European Union Public Licence v. 1.2", "EUPL-1.2"},
      {"eupl license", "EUROPEAN UNION PUBLIC LICENSE version 1.2", "EUPL-1.2"},
      {"eupl version on next line", "European Union Public Licence\nv. 1.2", std::nullopt},
      {"eupl dot is literal", "European Union Public Licence v. 1x2", std::nullopt},
      {"mpl", "Mozilla Public License Version 2.0", "MPL-2.0"},
      {"mpl dot is literal", "Mozilla Public License Version 2-0", std::nullopt},
      {"isc", "ISC License (ISC)", "ISC"},
      {"unlicense", "This is free and unencumbered software released into the public domain",
       "Unlicense"},
      {"cc0 universal", "CC0 1.0 Universal", "CC0-1.0"},
      {"cc0 zero", "Creative Commons Legal Code, Zero", "CC0-1.0"},
      {"cc0 zero across lines", "Creative Commons\nZero", std::nullopt},
      {"empty", "", std::nullopt},
      {"nothing known", "All rights reserved. Do not copy.", std::nullopt},
  };
  for (const DetectCase& c : cases) {
    EXPECT_EQ(detail::detect_spdx(c.content), c.spdx_id) << c.label;
  }
}

// A license text quotes others (the AGPL and LGPL the GPL, the MPL and EUPL all three, the GPL
// the AGPL): the license it names first is its own.
TEST(BrantelDetectSpdx, TextIsNamedAfterItsOwnLicenseNotTheOnesItQuotes) {
  const std::vector<DetectCase> cases = {
      {"agpl quoting the gpl",
       "GNU AFFERO GENERAL PUBLIC LICENSE\nVersion 3\nsee the GNU General Public License,\n"
       "version 3",
       "AGPL-3.0-only"},
      {"lgpl quoting the gpl",
       "GNU LESSER GENERAL PUBLIC LICENSE\nGNU GENERAL PUBLIC LICENSE\nVersion 3", "LGPL-3.0-only"},
      {"gpl quoting the agpl",
       "GNU GENERAL PUBLIC LICENSE\nVersion 3\n13. Use with the GNU Affero General Public "
       "License.\nunder version 3 of it",
       "GPL-3.0-only"},
      {"gpl quoting the lgpl",
       "GNU GENERAL PUBLIC LICENSE\nVersion 2\nuse the GNU Lesser General Public License "
       "instead",
       "GPL-2.0-only"},
      {"mpl quoting the gnu licenses",
       "Mozilla Public License Version 2.0\nthe GNU General Public License, Version 2.0, the GNU "
       "Lesser General Public License, Version 2.1, the GNU Affero General Public License, "
       "Version 3.0",
       "MPL-2.0"},
      {"eupl quoting the gnu licenses",
       "EUROPEAN UNION PUBLIC LICENCE v. 1.2\nGNU General Public License (GPL) v. 2, v. 3\n"
       "Mozilla Public Licence (MPL) v. 2",
       "EUPL-1.2"},
      // A version the table has no pattern for is no license of the table, not the one quoted.
      {"lgpl 2.1 quoting the gpl",
       "GNU LESSER GENERAL PUBLIC LICENSE\nVersion 2.1\nthe ordinary GNU General Public License, "
       "version 2",
       std::nullopt},
      {"mpl 1.1 quoting the gpl",
       "MOZILLA PUBLIC LICENSE\nVersion 1.1\nthe GNU General Public License, Version 2",
       std::nullopt},
      {"eupl 1.1 quoting the gpl",
       "European Union Public Licence V.1.1\nGNU General Public License Version 2", std::nullopt},
      // Another license named first keeps its answer.
      {"mit naming the lgpl later",
       "MIT License\nPermission is hereby granted\nParts: GNU Lesser General Public License 2.1",
       "MIT"},
      {"apache naming the mpl later",
       "Apache License, Version 2.0\nSee also the Mozilla Public License 2.0", "Apache-2.0"},
  };
  for (const DetectCase& c : cases) {
    EXPECT_EQ(detail::detect_spdx(c.content), c.spdx_id) << c.label;
  }
}

// The reference texts every Debian system ships.
struct ReferenceText {
  std::string file;
  std::optional<std::string> spdx_id;
};

void PrintTo(const ReferenceText& text, std::ostream* os) { *os << text.file; }

class BrantelReferenceText : public ::testing::TestWithParam<ReferenceText> {};

TEST_P(BrantelReferenceText, IsNamedByItsOwnTextOrNotAtAll) {
  const stdfs::path file = stdfs::path("/usr/share/common-licenses") / GetParam().file;
  std::ifstream in(file, std::ios::binary);
  if (!in) GTEST_SKIP() << file << " is not on this system (package base-files)";
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(detail::detect_spdx(content), GetParam().spdx_id);
}

INSTANTIATE_TEST_SUITE_P(
    CommonLicenses, BrantelReferenceText,
    ::testing::Values(ReferenceText{"Apache-2.0", "Apache-2.0"},
                      ReferenceText{"GPL-2", "GPL-2.0-only"},
                      ReferenceText{"GPL-3", "GPL-3.0-only"}, ReferenceText{"LGPL-2", std::nullopt},
                      ReferenceText{"LGPL-2.1", std::nullopt},
                      ReferenceText{"LGPL-3", "LGPL-3.0-only"},
                      ReferenceText{"MPL-1.1", std::nullopt}, ReferenceText{"MPL-2.0", "MPL-2.0"},
                      ReferenceText{"CC0-1.0", "CC0-1.0"},
                      // The three-clause text without the name, which no pattern describes.
                      ReferenceText{"BSD", std::nullopt}),
    [](const auto& info) {
      std::string name = info.param.file;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

// --- Header scan ---------------------------------------------------------------------------

struct HeaderCase {
  std::string label;
  std::string content;
  std::optional<std::string> spdx_id;
};

TEST(BrantelHeaderScan, ReadsTheIdentifierFromTheFirstCharacters) {
  const std::string header = "SPDX-License-Identifier: MIT\n";
  const std::vector<HeaderCase> cases = {
      {"expression", "// SPDX-License-Identifier: MIT OR Apache-2.0\n", "MIT"},
      {"identifier on the next line", "# SPDX-License-Identifier:\nGPL-2.0-or-later\n",
       "GPL-2.0-or-later"},
      {"no space", "SPDX-License-Identifier:BSD-3-Clause", "BSD-3-Clause"},
      {"unicode space", "SPDX-License-Identifier:\u3000ISC", "ISC"},
      {"plus sign", "SPDX-License-Identifier: GPL-2.0+", "GPL-2.0+"},
      {"marker is case-sensitive", "spdx-license-identifier: MIT\n", std::nullopt},
      {"parenthesis, then a later header",
       "SPDX-License-Identifier: (MIT OR Apache-2.0)\nSPDX-License-Identifier: Zlib\n", "Zlib"},
      {"header past the limit", repeated("x", 2048) + header, std::nullopt},
      {"header cut by the limit", repeated("x", 2048 - 28) + "SPDX-License-Identifier: Apache-2.0",
       "Apa"},
      {"cut before any identifier", repeated("x", 2048 - 25) + "SPDX-License-Identifier: MIT",
       std::nullopt},
      {"limit counts characters, not bytes", repeated("\u00e9", 2000) + header, "MIT"},
      {"undecodable bytes are dropped", repeated("\xff", 3000) + header, "MIT"},
      {"a CR LF pair is one character", repeated("\r\n", 1500) + header, "MIT"},
      {"four-byte characters up to the limit",
       repeated("\U0001F600", 2048 - 28) + "SPDX-License-Identifier: Apache-2.0", "Apa"},
      // Dropped bytes push the characters past where a first read of a few kilobytes ends: a
      // character, or a CR LF pair, is cut there and must still count once.
      {"four-byte character cut by a read",
       repeated("\xff", 8190) + repeated("\U0001F600", 2048 - 28) +
           "SPDX-License-Identifier: Apache-2.0",
       "Apa"},
      {"CR LF pair cut by a read",
       repeated("\xff", 8191) + repeated("\r\n", 2048 - 28) + "SPDX-License-Identifier: Apache-2.0",
       "Apa"},
  };
  for (const HeaderCase& c : cases) {
    TempDir repo;
    repo.write("main.py", c.content);
    EXPECT_EQ(detail::scan_spdx_headers(repo.path()), c.spdx_id) << c.label;
  }
}

struct PlacementCase {
  std::string path;
  bool found;
};

TEST(BrantelHeaderScan, ReadsOnlyListedSuffixesOutsideSkippedDirectories) {
  const std::vector<PlacementCase> cases = {
      {"Makefile", false},
      {".bashrc", false},
      {"setup.cfg", false},
      {"LICENSE", false},
      {"NOTES.MD", true},
      {"src/lib.rs", true},
      {"a/b/c/d/deep.hpp", true},
      {"node_modules/pkg/index.js", false},
      {".git/hooks/hook.sh", false},
      {"src/vendor/lib/x.go", false},
      {"pkg/build/gen.py", false},
      {"site-packages/mod.py", false},
      {".github/workflows/ci.yml", true},
      {"Build/gen.py", true},
  };
  for (const PlacementCase& c : cases) {
    TempDir repo;
    repo.write(c.path, "SPDX-License-Identifier: MIT\n");
    EXPECT_EQ(detail::scan_spdx_headers(repo.path()).has_value(), c.found) << c.path;
  }
}

// Where the checkout lives is no part of it: only names below the checkout are skipped.
TEST(BrantelHeaderScan, SkippedNamesCountOnlyBelowTheCheckout) {
  for (const std::string place :
       {"src/tool", "build/tool", "home/build/tool", "var/target/tool", "node_modules/.git/tool"}) {
    SCOPED_TRACE(place);
    TempDir root;
    root.write(place + "/main.py", "SPDX-License-Identifier: MIT\n");
    root.write(place + "/build/gen.py", "SPDX-License-Identifier: Zlib\n");
    EXPECT_EQ(detail::scan_spdx_headers(root / place), "MIT");
    EXPECT_EQ(detail::scan_spdx_headers(root / place / ".." / stdfs::path(place).filename()),
              "MIT");
    const quarnel::testing::WorkingDirectory inside(root / place);
    EXPECT_EQ(detail::scan_spdx_headers("."), "MIT");
    EXPECT_EQ(detail::scan_spdx_headers(""), "MIT");
  }
  // Below the checkout the names still hide what they hold.
  TempDir root;
  root.write("tool/build/gen.py", "SPDX-License-Identifier: Zlib\n");
  EXPECT_EQ(detail::scan_spdx_headers(root / "tool"), std::nullopt);
}

TEST(BrantelHeaderScan, MissingOrNonDirectoryCheckoutFindsNothing) {
  TempDir root;
  const stdfs::path file = root.write("main.py", "SPDX-License-Identifier: MIT\n");
  EXPECT_EQ(detail::scan_spdx_headers(root / "absent"), std::nullopt);
  EXPECT_EQ(detail::scan_spdx_headers(file), std::nullopt);
}

// Twenty readable files without a header at the root are read before any subdirectory.
class BrantelSample : public ::testing::Test {
 protected:
  void fill_root(std::size_t readable) {
    for (std::size_t i = 0; i < readable; ++i) {
      repo_.write("file" + std::to_string(i) + ".py", "print('no header')\n");
    }
    repo_.write("sub/late.py", "SPDX-License-Identifier: MIT\n");
  }
  TempDir repo_;
  TempDir outside_;
};

TEST_F(BrantelSample, HeaderAfterTwentyReadFilesIsNotFound) {
  fill_root(20);
  EXPECT_EQ(detail::scan_spdx_headers(repo_.path()), std::nullopt);
}

TEST_F(BrantelSample, TwentiethReadFileIsStillSearched) {
  fill_root(19);
  EXPECT_EQ(detail::scan_spdx_headers(repo_.path()), "MIT");
}

TEST_F(BrantelSample, FilesThatCannotBeReadDoNotCount) {
  fill_root(19);
  // The reader refuses a link leaving the checkout.
  stdfs::create_symlink(outside_.write("secret.py", "x\n"), repo_ / "escape.py");
  EXPECT_EQ(detail::scan_spdx_headers(repo_.path()), "MIT");
}

TEST_F(BrantelSample, FileLargerThanTheReadCapIsReadAndCounts) {
  fill_root(19);
  repo_.write("huge.md", std::string(9 * 1024 * 1024, 'x'));
  EXPECT_EQ(detail::scan_spdx_headers(repo_.path()), std::nullopt);
}

// A bundled script is often larger than any file the checks read whole; its header is on line 1.
TEST(BrantelHeaderScan, HeaderOfAFileLargerThanTheReadCapIsFound) {
  TempDir repo;
  repo.write("bundle.js",
             "/*! SPDX-License-Identifier: MIT */\n" + std::string(9 * 1024 * 1024, 'x') + "\n");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), "MIT");
}

TEST_F(BrantelSample, EntriesThatAreNotCandidatesDoNotCount) {
  for (std::size_t i = 0; i < 30; ++i) repo_.write("data" + std::to_string(i) + ".csv", "x\n");
  repo_.mkdir("empty.py");
  ASSERT_EQ(::mkfifo((repo_ / "pipe.py").c_str(), 0600), 0);
  repo_.write("sub/late.py", "SPDX-License-Identifier: MIT\n");
  EXPECT_EQ(detail::scan_spdx_headers(repo_.path()), "MIT");
}

// The walk has no bound of its own: entries that are not candidates cost no read, however many
// come before the one header.
TEST(BrantelHeaderScan, HeaderAfterTwoHundredThousandOtherEntriesIsFound) {
  TempDir repo;
  const stdfs::path data = repo.mkdir("data");
  // Hard links make the entries cheaply; a file system bounds the links to one file.
  stdfs::path file;
  for (int i = 0; i <= 200000; ++i) {
    const stdfs::path entry = data / ("row" + std::to_string(i) + ".csv");
    if (i % 50000 == 0) {
      file = repo.write(entry, "");
    } else {
      ASSERT_EQ(::link(file.c_str(), entry.c_str()), 0) << entry;
    }
  }
  // Listed after "data" is taken up, so every data entry comes first in the walk.
  repo.write("data/zz/main.py", "# SPDX-License-Identifier: MIT\n");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), "MIT");
}

TEST(BrantelHeaderScan, FollowsLinksToFilesButNotToDirectories) {
  TempDir repo;
  TempDir outside;
  outside.write("ext/main.py", "SPDX-License-Identifier: MIT\n");
  stdfs::create_directory_symlink(outside / "ext", repo / "ext");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), std::nullopt);

  // The same header outside the checkout stays unread through a file link too.
  stdfs::create_symlink(outside / "ext/main.py", repo / "linked.py");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), std::nullopt);

  repo.write("docs/notice.txt", "SPDX-License-Identifier: Zlib\n");
  stdfs::create_symlink(repo / "docs/notice.txt", repo / "notice.py");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), "Zlib");
}

TEST(BrantelHeaderScan, LinkCycleInsideTheCheckoutEnds) {
  TempDir repo;
  repo.mkdir("a");
  stdfs::create_directory_symlink(repo.path(), repo / "a/loop");
  repo.write("a/x.py", "print(1)\n");
  EXPECT_EQ(detail::scan_spdx_headers(repo.path()), std::nullopt);
}

}  // namespace
