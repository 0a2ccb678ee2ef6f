#include "quarnel/utils/files.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string_view>

#include "support/fixtures.hpp"

namespace quarnel::utils::files {
namespace {

constexpr std::array<std::string_view, 4> NAMES = {"LICENSE", "COPYING", "LICENSE.md", "NOTICE"};

TEST(FindFiles, ListsPresentNamesInListOrderAndSkipsBrokenLinks) {
  testing::TempDir dir;
  dir.write("NOTICE", "n");
  dir.write("COPYING", "c");
  dir.mkdir("LICENSE.md");  // an entry of any kind counts
  std::filesystem::create_symlink(dir / "gone", dir / "LICENSE");

  const auto found = find_files(dir.path(), NAMES);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], dir / "COPYING");
  EXPECT_EQ(found[1], dir / "LICENSE.md");
  EXPECT_EQ(found[2], dir / "NOTICE");

  EXPECT_EQ(find_first(dir.path(), NAMES), dir / "COPYING");
  EXPECT_EQ(find_first(dir / "missing", NAMES), std::nullopt);
  EXPECT_TRUE(find_files(dir / "missing", NAMES).empty());
}

}  // namespace
}  // namespace quarnel::utils::files
