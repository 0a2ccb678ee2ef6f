// License-header scan on a generated checkout of 1 000 000 entries that holds no header: 1 000
// directories of 999 data files each, and 19 source files without a header, one short of the
// number of files the scan reads, so that it walks the whole tree.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "quarnel/core/context.hpp"
#include "quarnel/plugins/builtin/brantel.hpp"

namespace {

namespace stdfs = std::filesystem;

constexpr int DIRECTORIES = 1000;
constexpr int FILES_PER_DIRECTORY = 999;
constexpr int SOURCES = 19;

void write_file(const stdfs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

class GeneratedCheckout {
 public:
  GeneratedCheckout() {
    std::string tmpl = (stdfs::temp_directory_path() / "quarnel-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    for (int k = 0; k < DIRECTORIES; ++k) {
      const stdfs::path dir =
          root_ / ("group" + std::to_string(k % 10)) / ("part" + std::to_string(k));
      stdfs::create_directories(dir);
      // One real file per directory and hard links to it: a million files would take long to
      // create, and the scan sees a link like any file.
      const stdfs::path first = dir / "row0.csv";
      write_file(first, "1,2,3\n");
      for (int i = 1; i < FILES_PER_DIRECTORY; ++i) {
        const char* suffix = i % 3 == 0 ? ".dat" : i % 3 == 1 ? ".csv" : ".bin";
        const stdfs::path entry = dir / ("row" + std::to_string(i) + suffix);
        if (::link(first.c_str(), entry.c_str()) != 0) {
          throw std::runtime_error("cannot link " + entry.string());
        }
      }
      if (k < SOURCES) write_file(dir / "main.py", "print('no header here')\n");
    }
  }
  ~GeneratedCheckout() {
    std::error_code ec;
    stdfs::remove_all(root_, ec);
  }
  GeneratedCheckout(const GeneratedCheckout&) = delete;
  GeneratedCheckout& operator=(const GeneratedCheckout&) = delete;

  const stdfs::path& root() const { return root_; }

 private:
  stdfs::path root_;
};

const GeneratedCheckout& checkout() {
  static const GeneratedCheckout generated;
  return generated;
}

void BM_HeaderScanWholeTree(benchmark::State& state) {
  const stdfs::path& root = checkout().root();
  for (auto _ : state) {
    auto found = quarnel::plugins::builtin::brantel::detail::scan_spdx_headers(root);
    if (found) state.SkipWithError("a header was found in a tree that holds none");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_HeaderScanWholeTree)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole check, which comes to the scan when the checkout has no license file.
void BM_ClearLicenseWithoutLicenseFile(benchmark::State& state) {
  const quarnel::core::context::Context context(checkout().root());
  const quarnel::plugins::builtin::brantel::BrantelPlugin plugin;
  for (auto _ : state) {
    auto result = plugin.check("clear_license", context);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ClearLicenseWithoutLicenseFile)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
