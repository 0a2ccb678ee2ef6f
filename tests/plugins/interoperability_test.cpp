#include "quarnel/plugins/builtin/interoperability.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "interoperability_checkout.hpp"
#include "quarnel/core/context.hpp"
#include "quarnel/core/models.hpp"

namespace quarnel::plugins::builtin::interoperability {
namespace {

namespace stdfs = std::filesystem;
using core::models::CheckResult;
using core::models::CheckStatus;
using quarnel::testing::open_to_others;
using quarnel::testing::run_unprivileged;
using testing::Checkout;
using testing::Layout;

// ---------------------------------------------------------------------------------------------
// Dispatch

TEST(InteroperabilityDispatch, EachIdReachesItsOwnCheck) {
  const struct {
    std::string id;
    std::string process;
  } cases[] = {
      {"community_data_standards", "Searched for standard data formats"},
      {"software_references", "Checked for qualified software references across ecosystems"},
      {"metadata_persistence", "Checked for persistent metadata"},
  };
  const Checkout empty({});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const CheckResult result = empty.check(c.id);
    EXPECT_EQ(result.indicator_id, c.id);
    EXPECT_EQ(result.plugin, "interoperability");
    EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
    EXPECT_EQ(result.process, c.process);
  }
}

TEST(InteroperabilityDispatch, AnyOtherIdIsNotHandledAndKeepsTheIdReceived) {
  // Files every check would score, so that a wrongly dispatched id would show.
  const Checkout checkout(
      {.files = {
           {"data.csv", "a,b\n"}, {"requirements.txt", "numpy==1.0\n"}, {".zenodo.json", "{}"}}});
  for (const std::string id : {"", "persistent_identifier", "COMMUNITY_DATA_STANDARDS",
                               "Software_References", "metadata_persistence "}) {
    SCOPED_TRACE(id);
    const CheckResult result = checkout.check(id);
    EXPECT_EQ(result.indicator_id, id);
    EXPECT_EQ(result.score, 0.0);
    EXPECT_EQ(result.evidence, "not handled");
    EXPECT_EQ(result.process, "");
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(result.passed);
  }
}

// ---------------------------------------------------------------------------------------------
// Community data standards

constexpr const char* NOT_FOUND_OUTPUT = "No standard data format files detected";

void expect_not_found(const CheckResult& result) {
  EXPECT_EQ(result.indicator_id, "community_data_standards");
  EXPECT_EQ(result.score, 0.0);
  EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
  EXPECT_EQ(result.process, "Searched for standard data formats");
  EXPECT_EQ(result.output, NOT_FOUND_OUTPUT);
  EXPECT_EQ(result.evidence, "Checked: JSON, YAML, CSV, XML, HDF5, NetCDF, Parquet, schemas");
}

struct StandardsCase {
  std::string label;
  Layout layout;
  double score;  // 0.0: the not-found result
  std::string formats = "";
  std::size_t count = 0;
};

TEST(InteroperabilityDataStandards, ScoresFormatsAndSchemasFoundInTheSearchedDirectory) {
  const std::vector<StandardsCase> cases = {
      {"empty checkout", {}, 0.0},
      {"no entry with a known suffix",
       {.files = {{"README.md", ""}, {"main.py", ""}, {"data.jsonl", ""}}},
       0.0},
      {"upper-case suffix does not match", {.files = {{"DATA.JSON", "{}"}}}, 0.0},
      {"only src is searched when it is a directory",
       {.files = {{"data.csv", ""}}, .dirs = {"src"}},
       0.0},
      {"a plain file named src leaves the root searched",
       {.files = {{"src", ""}, {"data.csv", ""}}},
       6.5,
       "csv",
       1},
      {"lib is searched when src is no directory",
       {.files = {{"src", ""}, {"lib/x.h5", ""}, {"data.csv", ""}}},
       6.5,
       "hdf5",
       1},
      {"src wins over lib", {.files = {{"src/a.xml", ""}, {"lib/b.nc", ""}}}, 6.5, "xml", 1},
      {"a schema in the root counts while src is searched",
       {.files = {{"swagger.json", "{}"}, {"data.csv", ""}}, .dirs = {"src"}},
       7.5,
       "swagger.json",
       1},
      {"a schema name and its own suffix",
       {.files = {{"openapi.yaml", ""}}},
       9.0,
       "openapi.yaml, yaml",
       2},
      {"only the first schema name in list order joins",
       {.files = {{"openapi.yaml", ""}, {"schema.json", ""}}},
       10.0,
       "json, schema.json, yaml",
       3},
      {"a directory named like a schema file",
       {.dirs = {"schema.json", "src"}},
       7.5,
       "schema.json",
       1},
      {"second suffix of a format at depth", {.files = {{"a/b/c/table.tsv", ""}}}, 6.5, "csv", 1},
      {"netcdf through its second suffix", {.files = {{"src/grid.nc4", ""}}}, 6.5, "netcdf", 1},
      {"hidden directories are searched",
       {.files = {{".github/workflows/ci.yml", ""}}},
       6.5,
       "yaml",
       1},
      {"a directory whose name ends in a suffix counts",
       {.dirs = {"lib/table.parquet"}},
       6.5,
       "parquet",
       1},
      {"two suffixes of one format are one format",
       {.files = {{"a.yml", ""}, {"b.yaml", ""}}},
       6.5,
       "yaml",
       1},
      {"names sorted in code-point order",
       {.files = {{"z.yaml", ""}, {"m.csv", ""}, {"a.json", ""}}},
       9.5,
       "csv, json, yaml",
       3},
      {"five formats without a schema reach 10.0",
       {.files = {{"a.json", ""}, {"b.yml", ""}, {"c.csv", ""}, {"d.xsd", ""}, {"e.hdf5", ""}}},
       10.0,
       "csv, hdf5, json, xml, yaml",
       5},
      {"three formats and a schema are capped at 10.0",
       {.files = {{"schema.yaml", ""}, {"src/a.csv", ""}, {"src/b.h5", ""}, {"src/c.parquet", ""}}},
       10.0,
       "csv, hdf5, parquet, schema.yaml",
       4},
      {"a name that is not UTF-8 still matches by suffix",
       {.files = {{testing::LATIN1 + ".csv", ""}}},
       6.5,
       "csv",
       1},
  };
  for (const StandardsCase& c : cases) {
    SCOPED_TRACE(c.label);
    const CheckResult result = Checkout(c.layout).check("community_data_standards");
    if (c.score == 0.0) {
      expect_not_found(result);
      continue;
    }
    EXPECT_EQ(result.indicator_id, "community_data_standards");
    EXPECT_EQ(result.score, c.score);
    EXPECT_EQ(result.status, c.score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
    EXPECT_EQ(result.process, "Checked for standard data format usage");
    EXPECT_EQ(result.output, "Formats found: " + c.formats);
    EXPECT_EQ(result.evidence, std::to_string(c.count) + " standard format(s) detected");
  }
}

TEST(InteroperabilityDataStandards, MissingCheckoutGivesTheNotFoundResult) {
  const quarnel::testing::TempDir dir;
  expect_not_found(InteroperabilityPlugin{}.check("community_data_standards",
                                                  core::context::Context(dir / "missing")));
  const stdfs::path file = dir.write("checkout", "");
  EXPECT_FALSE(detail::search_directory(file).has_value());
  expect_not_found(
      InteroperabilityPlugin{}.check("community_data_standards", core::context::Context(file)));
}

TEST(InteroperabilityDataStandards, NeverWalksThroughSymbolicLinks) {
  const Checkout checkout({.files = {{"README.md", ""}}});
  const quarnel::testing::TempDir& outside = checkout.outside();
  outside.write("data/table.csv", "");
  outside.write("data/grid.nc", "");
  // A linked directory is not descended into, and a "src" linked out of the checkout does not
  // become the search directory: the walk stays inside the checkout.
  stdfs::create_directory_symlink(outside / "data", checkout.dir() / "linked");
  stdfs::create_directory_symlink(outside / "data", checkout.dir() / "src");
  EXPECT_EQ(detail::search_directory(checkout.path()), checkout.path());
  expect_not_found(checkout.check("community_data_standards"));

  // A link is still an entry whose name may carry a suffix, dangling or not.
  stdfs::create_symlink(checkout.dir() / "gone", checkout.dir() / "old.xml");
  EXPECT_EQ(checkout.check("community_data_standards").output, "Formats found: xml");
}

TEST(InteroperabilityDataStandards, RootReachedThroughALinkIsSearched) {
  const quarnel::testing::TempDir dir;
  dir.write("real/data.csv", "");
  stdfs::create_directory_symlink(dir / "real", dir / "checkout");
  EXPECT_EQ(detail::formats_below(dir / "checkout"), std::set<std::string>{"csv"});
}

TEST(InteroperabilityDataStandards, AnUnlistableDirectoryAddsNothingButTheRestCounts) {
  const Checkout checkout({.files = {{"locked/a.csv", ""}, {"open/b.json", ""}}});
  open_to_others(checkout.path());
  stdfs::permissions(checkout.dir() / "locked", stdfs::perms::none);
  run_unprivileged(
      [&] { EXPECT_EQ(detail::formats_below(checkout.path()), std::set<std::string>{"json"}); });
  stdfs::permissions(checkout.dir() / "locked", stdfs::perms::owner_all);
}

}  // namespace
}  // namespace quarnel::plugins::builtin::interoperability
