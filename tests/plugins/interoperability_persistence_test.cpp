#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "interoperability_checkout.hpp"
#include "quarnel/core/models.hpp"
#include "quarnel/plugins/builtin/interoperability.hpp"

namespace quarnel::plugins::builtin::interoperability {
namespace {

namespace stdfs = std::filesystem;
using core::models::CheckResult;
using core::models::CheckStatus;
using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using testing::Checkout;
using testing::LATIN1;
using testing::Layout;

constexpr const char* ZENODO = ".zenodo.json (Zenodo archival)";
constexpr const char* CODEMETA = "codemeta.json (machine-readable metadata)";
constexpr const char* CITATION = "CITATION.cff (indexed by GitHub, Zenodo)";

void expect_found(const CheckResult& result, double score, const std::string& output) {
  EXPECT_EQ(result.indicator_id, "metadata_persistence");
  EXPECT_EQ(result.score, score);
  EXPECT_EQ(result.status, score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
  EXPECT_EQ(result.process, "Checked for metadata that persists independently");
  EXPECT_EQ(result.output, output);
  EXPECT_EQ(result.evidence, output);
}

TEST(InteroperabilityPersistence, NothingFound) {
  const CheckResult result =
      Checkout({.files = {{"README.md", ""}, {"zenodo.json", "{}"}, {"Citation.cff", "doi: x"}}})
          .check("metadata_persistence");
  EXPECT_EQ(result.indicator_id, "metadata_persistence");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Checked for persistent metadata");
  EXPECT_EQ(result.output, "No persistent metadata found");
  EXPECT_EQ(result.evidence, "Checked: .zenodo.json, codemeta.json, CITATION.cff");
}

TEST(InteroperabilityPersistence, EveryCombinationOfTheThreeKinds) {
  enum class Cff { Absent, Plain, Keyed };
  const struct {
    bool zenodo;
    bool codemeta;
    Cff cff;
    double score;
  } cases[] = {
      {false, false, Cff::Plain, 2.0}, {false, true, Cff::Absent, 3.0},
      {false, false, Cff::Keyed, 4.0}, {true, false, Cff::Absent, 4.0},
      {false, true, Cff::Plain, 5.0},  {true, false, Cff::Plain, 6.0},
      {false, true, Cff::Keyed, 7.0},  {true, true, Cff::Absent, 7.0},
      {true, false, Cff::Keyed, 8.0},  {true, true, Cff::Plain, 9.0},
      {true, true, Cff::Keyed, 10.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.zenodo << c.codemeta << static_cast<int>(c.cff));
    Layout layout;
    std::string output;
    const auto found = [&output](const char* text) {
      output += (output.empty() ? "" : "; ") + std::string(text);
    };
    // Their content is never read: empty or broken JSON earns the full points.
    if (c.zenodo) {
      layout.files.push_back({".zenodo.json", ""});
      found(ZENODO);
    }
    if (c.codemeta) {
      layout.files.push_back({"codemeta.json", "{not json"});
      found(CODEMETA);
    }
    if (c.cff != Cff::Absent) {
      layout.files.push_back({"CITATION.cff", c.cff == Cff::Keyed ? "doi: 10.5281/x\n" : "x\n"});
      found(CITATION);
    }
    expect_found(Checkout(layout).check("metadata_persistence"), c.score, output);
  }
}

TEST(InteroperabilityPersistence, CitationKeysAndWhichFileIsRead) {
  const struct {
    std::string label;
    Layout layout;
    double score;
  } cases[] = {
      {"repository-code key", {.files = {{"CITATION.cff", "repository-code: https://x\n"}}}, 4.0},
      {"doi key inside a comment", {.files = {{"CITATION.cff", "# see doi: later\n"}}}, 4.0},
      {"key in capitals", {.files = {{"CITATION.cff", "DOI: 10.1/x\n"}}}, 2.0},
      {"space before the colon", {.files = {{"CITATION.cff", "doi : 10.1/x\n"}}}, 2.0},
      {"lower-case file name", {.files = {{"citation.cff", "title: x\n"}}}, 2.0},
      {"lower-case file name with a key", {.files = {{"citation.cff", "doi: 10.1/x\n"}}}, 4.0},
      {"upper-case file read when both exist",
       {.files = {{"CITATION.cff", "title: x\n"}, {"citation.cff", "doi: 10.1/x\n"}}},
       2.0},
      {"a directory named CITATION.cff", {.dirs = {"CITATION.cff"}}, 2.0},
      {"a FIFO named CITATION.cff", {.fifos = {"CITATION.cff"}}, 2.0},
      {"a citation file not UTF-8", {.files = {{"CITATION.cff", "doi: " + LATIN1}}}, 2.0},
      {"a citation file linked from outside is not read",
       {.links_out = {{"CITATION.cff", "doi: 10.1/x\n"}}},
       2.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    expect_found(Checkout(c.layout).check("metadata_persistence"), c.score, CITATION);
  }
}

TEST(InteroperabilityPersistence, ADanglingUpperCaseLinkLeavesTheLowerCaseFile) {
  const Checkout checkout({.files = {{"citation.cff", "doi: 10.1/x\n"}}});
  stdfs::create_symlink(checkout.dir() / "gone", checkout.dir() / "CITATION.cff");
  expect_found(checkout.check("metadata_persistence"), 4.0, CITATION);
}

TEST(InteroperabilityPersistence, AnUnreadableCitationFileStillCounts) {
  const Checkout checkout({.files = {{"CITATION.cff", "doi: 10.1/x\n"}}});
  open_to_others(checkout.path());
  stdfs::permissions(checkout.dir() / "CITATION.cff", stdfs::perms::none);
  run_unprivileged([&] { expect_found(checkout.check("metadata_persistence"), 2.0, CITATION); });
}

}  // namespace
}  // namespace quarnel::plugins::builtin::interoperability
