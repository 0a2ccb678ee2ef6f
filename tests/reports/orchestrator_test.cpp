#include "quarnel/reports/orchestrator.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/reports/markdown.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/text.hpp"
#include "reports/sample_assessment.hpp"
#include "support/fixtures.hpp"

namespace {

namespace stdfs = std::filesystem;
using quarnel::reports::orchestrator::available_formats;
using quarnel::reports::orchestrator::generate_report;
using quarnel::reports::orchestrator::LOGGER_NAME;
using quarnel::reports::renderers::JsonRenderer;
using quarnel::reports::renderers::OptionValue;
using quarnel::reports::renderers::TextRenderer;
using quarnel::testing::sample_assessment;
using quarnel::testing::TempDir;
using quarnel::utils::log::Level;
using quarnel::utils::log::LogCapture;

std::string read_file(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<stdfs::path> entries_below(const stdfs::path& root) {
  std::vector<stdfs::path> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    entries.push_back(entry.path());
  }
  return entries;
}

std::vector<std::string> written_messages(const LogCapture& capture) {
  return capture.messages(LOGGER_NAME, Level::INFO);
}

TEST(AvailableFormatsTest, SortedAndFresh) {
  auto formats = available_formats();
  EXPECT_EQ(formats, (std::vector<std::string>{"json", "markdown", "text"}));
  formats.clear();
  EXPECT_EQ(available_formats().size(), 3u);
}

TEST(RendererLoadingTest, EveryFormatLoadsItsRenderer) {
  using quarnel::reports::orchestrator::detail::load_renderer;
  EXPECT_NE(dynamic_cast<TextRenderer*>(load_renderer("text").get()), nullptr);
  EXPECT_NE(dynamic_cast<JsonRenderer*>(load_renderer("json").get()), nullptr);
  EXPECT_NE(
      dynamic_cast<quarnel::reports::markdown::MarkdownRenderer*>(load_renderer("markdown").get()),
      nullptr);
}

TEST(RendererLoadingTest, UnknownLocationsFailAsLoadErrors) {
  using quarnel::reports::orchestrator::RendererLoadError;
  using quarnel::reports::orchestrator::detail::create_renderer;
  for (const char* location :
       {"quarnel.reports.pdf:PdfRenderer", "quarnel.reports.renderers:PdfRenderer",
        "quarnel.reports.renderers", "", "quarnel.reports.renderers:TextRenderer:"}) {
    EXPECT_THROW(create_renderer(location), RendererLoadError) << location;
  }
  // Split at the last colon: a module path may not hold one, a class name is what follows it.
  EXPECT_THROW(create_renderer("quarnel:reports.renderers:TextRenderer"), RendererLoadError);
}

struct UnknownFormatCase {
  std::string fmt;
  std::string shown;
};

TEST(GenerateReportTest, UnknownFormatsFailBeforeAnythingIsWritten) {
  const std::vector<UnknownFormatCase> cases = {
      {"pdf", "'pdf'"},   {"", "''"},           {"TEXT", "'TEXT'"},
      {"Json", "'Json'"}, {" text", "' text'"}, {"it's", "\"it's\""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    LogCapture capture;
    try {
      generate_report(sample_assessment(), c.fmt, dir / "nested" / "report.txt");
      ADD_FAILURE() << "format " << c.shown << " was accepted";
    } catch (const quarnel::UnknownFormatError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Unknown report format: " + c.shown + ". Available: json, markdown, text");
    }
    EXPECT_TRUE(entries_below(dir.path()).empty()) << c.shown;
    EXPECT_TRUE(capture.records().empty());
  }
}

TEST(GenerateReportTest, WithoutOutputPathReturnsTheTextAndLogsNothing) {
  const auto a = sample_assessment();
  const std::string expected = TextRenderer().render(a, {});
  LogCapture capture;
  EXPECT_EQ(generate_report(a), expected);
  EXPECT_EQ(generate_report(a, "text", std::nullopt), expected);
  EXPECT_EQ(generate_report(a, "text", stdfs::path()), expected);
  EXPECT_EQ(generate_report(a, "json", stdfs::path()), JsonRenderer().render(a, {}));
  EXPECT_TRUE(written_messages(capture).empty());
}

// Paths and file names from a checkout may hold bytes that are not UTF-8. Whatever the format,
// returned or written, the report is valid UTF-8: one U+FFFD per maximal invalid subpart, and
// every valid character (é here) as it was.
TEST(GenerateReportTest, EveryFormatIsValidUtf8) {
  auto a = sample_assessment();
  a.repository.path = "/src/d\xc3\xa9\xffmo";            // a stray byte
  a.compliance_level = "none\xe2\x82";                   // a sequence cut short
  a.indicators[0].evidence = "LICENSE\xed\xa0\x80.txt";  // an encoded surrogate
  struct Case {
    std::string fmt;
    std::vector<std::string> fragments;
  };
  const std::vector<Case> cases = {
      {"text", {"Compliance: none\xef\xbf\xbd\n"}},
      {"markdown",
       {"`/src/d\xc3\xa9\xef\xbf\xbdmo`", "LICENSE\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.txt"}},
      {"json", {"\"/src/d\\u00e9\\ufffdmo\"", "LICENSE\\ufffd\\ufffd\\ufffd.txt"}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string report = generate_report(a, c.fmt);
    EXPECT_TRUE(quarnel::utils::text::is_valid_utf8(report)) << c.fmt;
    for (const auto& fragment : c.fragments) {
      EXPECT_NE(report.find(fragment), std::string::npos) << c.fmt << ": " << fragment;
    }
    const auto written = generate_report(a, c.fmt, dir / ("report." + c.fmt));
    EXPECT_EQ(read_file(written), report) << c.fmt;
  }
}

TEST(GenerateReportTest, OptionsReachTheRenderer) {
  const auto a = sample_assessment();
  const quarnel::reports::renderers::RenderOptions one_line = {{"indent", OptionValue{}}};
  EXPECT_EQ(generate_report(a, "json", std::nullopt, one_line), JsonRenderer().render(a, one_line));
  EXPECT_EQ(generate_report(a, "json", std::nullopt, one_line).find('\n'), std::string::npos);
  EXPECT_EQ(generate_report(a, "text", std::nullopt, one_line), generate_report(a));
  EXPECT_NO_THROW(generate_report(a, "markdown", std::nullopt, {{"unknown", OptionValue{1LL}}}));
}

struct DirectoryCase {
  std::string fmt;
  std::string file_name;
};

const std::vector<DirectoryCase>& directory_cases() {
  static const std::vector<DirectoryCase> cases = {
      {"text", "quarnel-report.txt"},
      {"json", "quarnel-report.json"},
      {"markdown", "quarnel-report.md"},
  };
  return cases;
}

TEST(GenerateReportTest, ExistingDirectoryReceivesTheDefaultName) {
  const auto& cases = directory_cases();
  const auto a = sample_assessment();
  for (const auto& c : cases) {
    TempDir dir;
    LogCapture capture;
    const stdfs::path expected_path = dir.path() / c.file_name;
    EXPECT_EQ(generate_report(a, c.fmt, dir.path()), expected_path.string());
    EXPECT_EQ(read_file(expected_path), generate_report(a, c.fmt)) << c.fmt;
    EXPECT_EQ(entries_below(dir.path()).size(), 1u);
    EXPECT_EQ(written_messages(capture),
              std::vector<std::string>{"Report written to " + expected_path.string()});
  }
}

TEST(GenerateReportTest, LinkToDirectoryCountsAsDirectory) {
  TempDir dir;
  const auto target = dir.mkdir("reports");
  stdfs::create_directory_symlink(target, dir / "link");
  const std::string written = generate_report(sample_assessment(), "json", dir / "link");
  EXPECT_EQ(written, (dir / "link" / "quarnel-report.json").string());
  EXPECT_TRUE(stdfs::is_regular_file(target / "quarnel-report.json"));
}

TEST(GenerateReportTest, FilePathIsWrittenExactlyWithParentsCreated) {
  struct Case {
    std::string fmt;
    stdfs::path relative;
  };
  const std::vector<Case> cases = {
      {"json", "a/b/c/report.md"},    // the suffix does not have to match the format
      {"text", "plain"},              // no suffix is added
      {"markdown", "deep/er/notes"},  // a missing path without suffix becomes a file
  };
  const auto a = sample_assessment();
  for (const auto& c : cases) {
    TempDir dir;
    LogCapture capture;
    const stdfs::path path = dir / c.relative;
    EXPECT_EQ(generate_report(a, c.fmt, path), path.string());
    ASSERT_TRUE(stdfs::is_regular_file(path)) << path;
    EXPECT_EQ(read_file(path), generate_report(a, c.fmt));
    EXPECT_EQ(written_messages(capture),
              std::vector<std::string>{"Report written to " + path.string()});
  }
}

TEST(GenerateReportTest, ExistingFileIsReplacedWhole) {
  TempDir dir;
  const auto path = dir.write("old.json", std::string(100000, 'x'));
  generate_report(sample_assessment(), "text", path);
  EXPECT_EQ(read_file(path), generate_report(sample_assessment()));
}

// A trailing separator says the path is a directory: made when missing, in the checkout too,
// and the report goes into it under its usual name.
TEST(GenerateReportTest, TrailingSeparatorNamesADirectoryMadeWhenMissing) {
  const auto& cases = directory_cases();
  const auto a = sample_assessment();
  for (const auto& c : cases) {
    for (const bool in_checkout : {false, true}) {
      SCOPED_TRACE(c.fmt + (in_checkout ? ", in the checkout" : ""));
      TempDir dir;
      const std::string given = (dir / "reports" / "new").string() + "/";
      const auto checkout = in_checkout ? std::optional<stdfs::path>(dir.path()) : std::nullopt;
      const std::string written = generate_report(a, c.fmt, stdfs::path(given), {}, checkout);
      EXPECT_EQ(written, given + c.file_name);
      EXPECT_EQ(read_file(given + c.file_name), generate_report(a, c.fmt));
    }
  }
  // Without the separator a missing path is still the file.
  TempDir dir;
  EXPECT_EQ(generate_report(a, "json", dir / "reports"), (dir / "reports").string());
  EXPECT_TRUE(stdfs::is_regular_file(dir / "reports"));
}

// In the checkout, ".." goes up from where a link led, and nothing is made before the whole path
// is known to stay inside: a planted link must not get a directory or an empty file made outside.
TEST(GenerateReportTest, InTheCheckoutDotDotIsWalkedAndNothingIsMadeBeforeTheRuleHolds) {
  struct Case {
    std::string label;
    std::function<void(const stdfs::path& repo, const stdfs::path& outside)> plant;
    std::string output;  // below the checkout
    // Where the report lands, below the checkout's parent; empty when it is refused.
    std::string lands;
  };
  const std::vector<Case> cases = {
      {"a link to a directory outside, then up and down",
       [](const auto& r, const auto& o) {
         stdfs::create_directories(o / "etc");
         stdfs::create_directory_symlink(o / "etc", r / "docs");
       },
       "docs/../new/r.txt", ""},
      {"a link to the checkout itself, then up past it",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "b");
         stdfs::create_directory_symlink(".", r / "a");
       },
       "a/b/../../r.txt", ""},
      {"a link to a directory deeper inside, then up",
       [](const auto& r, const auto&) {
         stdfs::create_directories(r / "sub/deep");
         stdfs::create_directory_symlink("sub/deep", r / "docs");
       },
       "docs/../new/r.txt", "repo/sub/new/r.txt"},
      {"a directory made, then left again", [](const auto&, const auto&) {},
       "made/../also/made/r.txt", "repo/also/made/r.txt"},
      // No link of the checkout moved it: the place beside the checkout is the user's own.
      {"up out of the checkout as written", [](const auto&, const auto&) {}, "../beside.txt",
       "beside.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir box;
    const stdfs::path repo = box.mkdir("repo");
    const stdfs::path outside = box.mkdir("outside");
    c.plant(repo, outside);
    const auto before = entries_below(box.path());
    const stdfs::path output = repo / c.output;
    if (c.lands.empty()) {
      EXPECT_THROW(generate_report(sample_assessment(), "text", output, {}, repo),
                   quarnel::OsError);
      EXPECT_EQ(entries_below(box.path()), before) << "something was made";
    } else {
      EXPECT_EQ(generate_report(sample_assessment(), "text", output, {}, repo), output.string());
      EXPECT_EQ(read_file(box / c.lands), generate_report(sample_assessment()));
      EXPECT_TRUE(stdfs::is_empty(outside));
    }
  }
}

TEST(GenerateReportTest, ParentThatIsAFileFailsWithoutLogging) {
  TempDir dir;
  dir.write("blocker", "keep");
  LogCapture capture;
  EXPECT_THROW(generate_report(sample_assessment(), "text", dir / "blocker" / "r.txt"),
               quarnel::OsError);
  EXPECT_EQ(read_file(dir / "blocker"), "keep");
  EXPECT_TRUE(written_messages(capture).empty());
}

}  // namespace
