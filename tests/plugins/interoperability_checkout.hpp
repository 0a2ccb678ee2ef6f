#pragma once

// Small checkouts for the interoperability tests, described as data so that a table of cases
// can lay out one each.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/plugins/builtin/interoperability.hpp"
#include "support/fixtures.hpp"

namespace quarnel::plugins::builtin::interoperability::testing {

namespace stdfs = std::filesystem;

struct Layout {
  std::vector<std::pair<std::string, std::string>> files = {};
  std::vector<std::string> dirs = {};
  // Links in the checkout to a file outside it that holds the given text.
  std::vector<std::pair<std::string, std::string>> links_out = {};
  std::vector<std::string> fifos = {};
};

// Text that is not UTF-8.
inline const std::string LATIN1 = "caf\xE9";

// A checkout laid out as described, with a directory outside it for link targets.
class Checkout {
 public:
  explicit Checkout(const Layout& layout) {
    for (const auto& [path, content] : layout.files) dir_.write(path, content);
    for (const auto& path : layout.dirs) dir_.mkdir(path);
    for (const auto& [path, content] : layout.links_out) {
      const stdfs::path target = outside_.write(stdfs::path(path).filename(), content);
      stdfs::create_symlink(target, dir_ / path);
    }
    for (const auto& path : layout.fifos) {
      EXPECT_EQ(::mkfifo((dir_ / path).c_str(), 0644), 0) << path;
    }
  }

  const stdfs::path& path() const { return dir_.path(); }
  const quarnel::testing::TempDir& dir() const { return dir_; }
  const quarnel::testing::TempDir& outside() const { return outside_; }

  core::models::CheckResult check(std::string_view indicator_id) const {
    return InteroperabilityPlugin{}.check(indicator_id, core::context::Context(dir_.path()));
  }

 private:
  quarnel::testing::TempDir dir_;
  quarnel::testing::TempDir outside_;
};

}  // namespace quarnel::plugins::builtin::interoperability::testing
