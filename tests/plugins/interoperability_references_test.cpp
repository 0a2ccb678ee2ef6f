#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <iostream>
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

TEST(InteroperabilitySplitLines, SplitsAtEveryLineBoundary) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\r\nb\rc", {"a", "b", "c"}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\vb\fc\x1C"
       "d\x1D"
       "e\x1E"
       "f",
       {"a", "b", "c", "d", "e", "f"}},
      {"a\u0085b\u2028c\u2029d", {"a", "b", "c", "d"}},
      {"a\tb\u00A0c\u2000d", {"a\tb\u00A0c\u2000d"}},
      {"\n\n", {"", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> lines;
    detail::for_each_line(c.text, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, c.lines);
  }
}

constexpr const char* NOTHING = "";

struct ReferencesCase {
  std::string label;
  Layout layout;
  double score;
  std::string output;  // NOTHING: the result of finding nothing
};

void run_cases(const std::vector<ReferencesCase>& cases) {
  for (const ReferencesCase& c : cases) {
    SCOPED_TRACE(c.label);
    const CheckResult result = Checkout(c.layout).check("software_references");
    EXPECT_EQ(result.indicator_id, "software_references");
    EXPECT_EQ(result.score, c.score);
    if (c.output == NOTHING) {
      EXPECT_EQ(result.status, CheckStatus::UNKNOWN);
      EXPECT_EQ(result.process, "Checked for qualified software references across ecosystems");
      EXPECT_EQ(result.output, "No dependency manifest found");
      EXPECT_EQ(result.evidence,
                "Checked: pyproject.toml, requirements.txt, setup.py, package.json, Cargo.toml, "
                "go.mod, composer.json, lock files");
    } else {
      EXPECT_EQ(result.status, c.score >= 7.0 ? CheckStatus::PASS : CheckStatus::FAIL);
      EXPECT_EQ(result.process, "Tallied dependency references across ecosystems");
      EXPECT_EQ(result.output, c.output);
      EXPECT_EQ(result.evidence, c.output);
    }
  }
}

TEST(InteroperabilityReferences, RequirementsCountsPackageAndPinnedLines) {
  run_cases({
      {"empty checkout", {}, 0.0, NOTHING},
      {"empty file",
       {.files = {{"requirements.txt", ""}}},
       1.0,
       "requirements.txt: 0 packages, 0 pinned"},
      {"blank and comment lines only",
       {.files = {{"requirements.txt", "# tools\n\n   \n#pinned below\n"}}},
       1.0,
       "requirements.txt: 0 packages, 0 pinned"},
      {"an indented comment counts as a package line",
       {.files = {{"requirements.txt",
                   "# comment\n\nnumpy==1.26\nscipy>=1.11\npandas\n  # indented\n"}}},
       3.0,
       "requirements.txt: 4 packages, 2 pinned"},
      {"compatible release is not pinned",
       {.files = {{"requirements.txt", "requests~=2.31\n"}}},
       1.0,
       "requirements.txt: 1 packages, 0 pinned"},
      {"every line boundary separates packages",
       {.files = {{"requirements.txt",
                   "a==1\fb\u2028c\r\nd>=2\re\x1E"
                   "f"}}},
       3.0,
       "requirements.txt: 6 packages, 2 pinned"},
      {"surrounding white space of the whole text is dropped first",
       {.files = {{"requirements.txt", "\n\n  \t# lead\nx\n\n"}}},
       1.0,
       "requirements.txt: 1 packages, 0 pinned"},
      {"option lines count like packages",
       {.files = {{"requirements.txt", "-r base.txt\n--index-url x\n"}}},
       1.0,
       "requirements.txt: 2 packages, 0 pinned"},
  });
}

TEST(InteroperabilityReferences, PythonManifestsAndTheSetupFallback) {
  const std::string setup_pinned = "setup(\n    install_requires=[\n        'a==1',\n    ],\n)\n";
  run_cases({
      {"dependencies without operators",
       {.files = {{"pyproject.toml", "[project]\ndependencies = [\"numpy\"]\n"}}},
       2.0,
       "dependencies in pyproject.toml"},
      {"an operator anywhere in the file counts",
       {.files = {{"pyproject.toml",
                   "[project]\nrequires-python = \">=3.9\"\ndependencies = [\"numpy\"]\n"}}},
       4.0,
       "dependencies in pyproject.toml; version constraints present"},
      {"operators without the word dependencies give nothing",
       {.files = {{"pyproject.toml", "[tool.x]\npin = \"a==1\"\n"}}},
       0.0,
       NOTHING},
      {"the word inside a longer key counts",
       {.files = {{"pyproject.toml", "[project.optional-dependencies]\ndev = [\"a~=1\"]\n"}}},
       4.0,
       "dependencies in pyproject.toml; version constraints present"},
      {"setup.py examined below 4.0",
       {.files = {{"pyproject.toml", "dependencies = []\n"},
                  {"requirements.txt", "numpy\n"},
                  {"setup.py", setup_pinned}}},
       7.0,
       "dependencies in pyproject.toml; requirements.txt: 1 packages, 0 pinned; "
       "install_requires in setup.py"},
      {"setup.py skipped at 4.0",
       {.files = {{"pyproject.toml", "dependencies = [\"a>=1\"]\n"}, {"setup.py", setup_pinned}}},
       4.0,
       "dependencies in pyproject.toml; version constraints present"},
      {"setup.py skipped after 2.0 and 3.0",
       {.files = {{"pyproject.toml", "dependencies = []\n"},
                  {"requirements.txt", "a==1\n"},
                  {"setup.py", setup_pinned}}},
       5.0,
       "dependencies in pyproject.toml; requirements.txt: 1 packages, 1 pinned"},
      {"install_requires without operators",
       {.files = {{"setup.py", "install_requires = ['numpy']\n"}}},
       2.0,
       "install_requires in setup.py"},
      {"white space and line breaks around the equals sign",
       {.files = {{"setup.py", "install_requires\n  =\n  [\"a>=1\"]\n"}}},
       4.0,
       "install_requires in setup.py"},
      {"a tuple does not match",
       {.files = {{"setup.py", "install_requires=('a==1',)\n"}}},
       0.0,
       NOTHING},
      {"capitals do not match",
       {.files = {{"setup.py", "INSTALL_REQUIRES = ['a==1']\n"}}},
       0.0,
       NOTHING},
  });
}

TEST(InteroperabilityReferences, JsonManifestsCountDeclaredEntries) {
  run_cases({
      {"objects under the three keys, an array ignored",
       {.files = {{"package.json",
                   R"({"name": "x", "dependencies": {"a": "1", "b": "2"},
                       "devDependencies": {"c": "3"}, "peerDependencies": ["d"],
                       "optionalDependencies": {"e": "4"}})"}}},
       4.0,
       "package.json: 3 dependencies"},
      {"empty objects give nothing",
       {.files = {{"package.json", R"({"dependencies": {}, "devDependencies": {}})"}}},
       0.0,
       NOTHING},
      {"no dependency keys", {.files = {{"package.json", R"({"name": "x"})"}}}, 0.0, NOTHING},
      {"a repeated key counts its last value",
       {.files = {{"package.json", R"({"dependencies": {"a": "1"}, "dependencies": {}})"}}},
       0.0,
       NOTHING},
      {"require-dev when require is empty",
       {.files = {{"composer.json",
                   R"({"require": {}, "require-dev": {"phpunit/phpunit": "^9"}})"}}},
       4.0,
       "composer.json require"},
      {"both members set give one finding",
       {.files = {{"composer.json", R"({"require": {"php": ">=8"}, "require-dev": {"x": "1"}})"}}},
       4.0,
       "composer.json require"},
      {"only an empty require", {.files = {{"composer.json", R"({"require": {}})"}}}, 0.0, NOTHING},
      {"a null or zero value does not count",
       {.files = {{"composer.json", R"({"require": null, "require-dev": 0})"}}},
       0.0,
       NOTHING},
  });
}

TEST(InteroperabilityReferences, CargoGoAndLockFiles) {
  run_cases({
      {"Cargo dependencies table",
       {.files = {{"Cargo.toml", "[package]\n[dependencies]\nx = \"1\"\n"}}},
       4.0,
       "Cargo.toml dependencies"},
      {"Cargo dev-dependencies table",
       {.files = {{"Cargo.toml", "[dev-dependencies]\n"}}},
       4.0,
       "Cargo.toml dependencies"},
      {"only build-dependencies",
       {.files = {{"Cargo.toml", "[build-dependencies]\ncc = \"1\"\n"}}},
       0.0,
       NOTHING},
      {"go.mod without require",
       {.files = {{"go.mod", "module example.com/x\n\ngo 1.21\n"}}},
       0.0,
       NOTHING},
      {"go.mod require anywhere",
       {.files = {{"go.mod", "module x\n// required later\n"}}},
       4.0,
       "go.mod require block"},
      {"first lock file in list order",
       {.files = {{"yarn.lock", ""}, {"package-lock.json", "{}"}}},
       2.0,
       "lock file: package-lock.json"},
      {"a directory named like a lock file",
       {.dirs = {"Cargo.lock"}},
       2.0,
       "lock file: Cargo.lock"},
      {"a lock file that is a link out is only tested for existence",
       {.links_out = {{"go.sum", "x"}}},
       2.0,
       "lock file: go.sum"},
      {"everything declared is capped at 10.0",
       {.files = {{"pyproject.toml", "dependencies = [\"a>=1\"]\n"},
                  {"requirements.txt", "a==1\n"},
                  {"setup.py", "install_requires=['a==1']\n"},
                  {"package.json", R"({"dependencies": {"a": "1"}})"},
                  {"Cargo.toml", "[dependencies]\n"},
                  {"go.mod", "require x v1\n"},
                  {"composer.json", R"({"require": {"a": "1"}})"},
                  {"poetry.lock", ""}}},
       10.0,
       "dependencies in pyproject.toml; version constraints present; requirements.txt: 1 "
       "packages, 1 pinned; package.json: 1 dependencies; Cargo.toml dependencies; go.mod "
       "require block; composer.json require; lock file: poetry.lock"},
  });
}

// A manifest that cannot be used - unreadable, not UTF-8, not JSON, JSON of another shape, a
// link out of the checkout, a FIFO - is passed over and the other manifests still count.
TEST(InteroperabilityReferences, AnUnusableManifestIsPassedOver) {
  const std::pair<std::string, std::string> go_mod = {"go.mod", "require x v1\n"};
  const std::string go_only = "go.mod require block";
  run_cases({
      {"pyproject.toml not UTF-8",
       {.files = {{"pyproject.toml", "dependencies = [\"" + LATIN1 + ">=1\"]"}, go_mod}},
       4.0,
       go_only},
      {"requirements.txt not UTF-8",
       {.files = {{"requirements.txt", LATIN1 + "==1\n"}, go_mod}},
       4.0,
       go_only},
      {"setup.py not UTF-8",
       {.files = {{"setup.py", "install_requires=['" + LATIN1 + "']"}, go_mod}},
       4.0,
       go_only},
      {"Cargo.toml not UTF-8",
       {.files = {{"Cargo.toml", "[dependencies]\n" + LATIN1}, {"requirements.txt", "a\n"}}},
       1.0,
       "requirements.txt: 1 packages, 0 pinned"},
      {"go.mod not UTF-8", {.files = {{"go.mod", "require " + LATIN1}}}, 0.0, NOTHING},
      {"package.json not JSON",
       {.files = {{"package.json", "{dependencies: {a: 1}}"}, go_mod}},
       4.0,
       go_only},
      {"package.json not UTF-8",
       {.files = {{"package.json", R"({"dependencies": {"a": ")" + LATIN1 + "\"}}"}, go_mod}},
       4.0,
       go_only},
      {"package.json with a byte-order mark",
       {.files = {{"package.json", "\xEF\xBB\xBF{\"dependencies\": {\"a\": \"1\"}}"}, go_mod}},
       4.0,
       go_only},
      {"package.json top level an array",
       {.files = {{"package.json", R"([{"dependencies": {"a": "1"}}])"}, go_mod}},
       4.0,
       go_only},
      {"composer.json top level a text",
       {.files = {{"composer.json", R"("require")"}, go_mod}},
       4.0,
       go_only},
      {"composer.json top level null",
       {.files = {{"composer.json", "null"}, go_mod}},
       4.0,
       go_only},
      {"a directory named pyproject.toml",
       {.files = {go_mod}, .dirs = {"pyproject.toml"}},
       4.0,
       go_only},
      {"a manifest linked from outside the checkout",
       {.files = {go_mod}, .links_out = {{"requirements.txt", "numpy==1\n"}}},
       4.0,
       go_only},
      {"a FIFO named like a manifest",
       {.files = {go_mod}, .fifos = {"requirements.txt"}},
       4.0,
       go_only},
  });
}

TEST(InteroperabilityReferences, AnUnreadableManifestIsPassedOver) {
  const Checkout checkout({.files = {{"requirements.txt", "a==1\n"}, {"go.mod", "require x\n"}}});
  open_to_others(checkout.path());
  stdfs::permissions(checkout.dir() / "requirements.txt", stdfs::perms::none);
  run_unprivileged(
      [&] { EXPECT_EQ(checkout.check("software_references").output, "go.mod require block"); });
}

// Runs in a death test's child with its processor time and address space capped, and prints
// the check's output.
[[noreturn]] void check_bounded_and_exit(const Checkout& checkout) {
  quarnel::testing::limit_cpu_time(20);
  quarnel::testing::limit_address_space(std::size_t{256} << 20);
  std::cerr << checkout.check("software_references").output << std::flush;
  ::_exit(0);
}

// A manifest fills at most the read limit; reading it keeps nothing per line.
TEST(InteroperabilityReferences, MemoryBoundedByTheManifests) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string breaks((std::size_t{8} << 20) - 16, '\n');
  const Checkout requirements({.files = {{"requirements.txt", "a==1\n" + breaks + "b>=2\n"}}});
  EXPECT_EXIT(check_bounded_and_exit(requirements), ::testing::ExitedWithCode(0),
              "^requirements.txt: 2 packages, 2 pinned$");
  const Checkout package({.files = {{"package.json", breaks}, {"go.mod", "require x\n"}}});
  EXPECT_EXIT(check_bounded_and_exit(package), ::testing::ExitedWithCode(0),
              "^go.mod require block$");
}

}  // namespace
}  // namespace quarnel::plugins::builtin::interoperability
