#include "quarnel/cli/app.hpp"

#include <algorithm>
#include <exception>
#include <ostream>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "quarnel/core/indicators.hpp"
#include "quarnel/utils/json.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/version.hpp"

namespace quarnel::cli {

namespace {

namespace indicators = core::indicators;
namespace models = core::models;

std::string pad(std::string_view text, std::size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

}  // namespace

std::string indicators_table() {
  const std::string headers[4] = {"Principle", "Indicator", "Category", "Name"};
  std::size_t widths[3] = {headers[0].size(), headers[1].size(), headers[2].size()};
  for (const auto& indicator : indicators::INDICATORS) {
    widths[0] = std::max(widths[0], indicator.principle.size());
    widths[1] = std::max(widths[1], indicator.id.size());
    widths[2] = std::max(widths[2], models::to_string(indicator.category).size());
  }
  std::ostringstream out;
  auto row = [&](std::string_view a, std::string_view b, std::string_view c, std::string_view d) {
    out << pad(a, widths[0]) << "  " << pad(b, widths[1]) << "  " << pad(c, widths[2]) << "  " << d
        << '\n';
  };
  row(headers[0], headers[1], headers[2], headers[3]);
  for (const auto& indicator : indicators::INDICATORS) {
    row(indicator.principle, indicator.id, models::to_string(indicator.category), indicator.name);
  }
  return out.str();
}

std::string indicators_json() {
  utils::json::Json list = utils::json::Json::array();
  for (const auto& indicator : indicators::INDICATORS) {
    const auto* principle = indicators::get_principle(indicator.principle);
    list.push_back({{"principle", indicator.principle},
                    {"principle_name", principle ? principle->name : ""},
                    {"indicator", indicator.id},
                    {"category", models::to_string(indicator.category)},
                    {"name", indicator.name},
                    {"description", indicator.description}});
  }
  return list.dump(2) + "\n";
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"quarnel assesses a software repository against the FAIR principles for research "
               "software.",
               "quarnel"};
  app.set_version_flag("--version", std::string("quarnel ") + std::string(VERSION));
  app.require_subcommand(1);
  bool verbose = false;
  bool quiet = false;
  app.add_flag("-v,--verbose", verbose, "Show debug messages on standard error");
  app.add_flag("-q,--quiet", quiet, "Show only errors on standard error");

  auto* list = app.add_subcommand("indicators", "List the 17 FAIR indicators in catalogue order");
  std::string format = "text";
  list->add_option("--format", format, "Output format")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return EXIT_OK;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return EXIT_OK;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return EXIT_OK;
  } catch (const CLI::ParseError& e) {
    err << "quarnel: " << e.what() << "\nRun 'quarnel --help' for usage.\n";
    return EXIT_USAGE;
  }

  utils::log::set_level(verbose ? utils::log::Level::DEBUG
                        : quiet ? utils::log::Level::ERROR
                                : utils::log::Level::WARNING);

  if (list->parsed()) {
    out << (format == "json" ? indicators_json() : indicators_table());
    return EXIT_OK;
  }
  return EXIT_OK;
}

}  // namespace quarnel::cli
