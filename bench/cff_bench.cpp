// Loading a generated CITATION.cff of about 1 MiB: a long author list, references with nested
// mappings, quoted and multi-line texts, dates and numbers, the shapes real citation files have.
// Then the shapes that cost the loader most for their size: a flow list of one-character
// scalars as long as the read limit allows, many mappings that merge one aliased list of
// aliases, and many keys that are one long text through an alias. Each reports the process's peak
// resident set, so run one at a time
// (--benchmark_filter) to read it.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/yaml.hpp"

namespace {

namespace yaml = quarnel::utils::yaml;

constexpr std::size_t TARGET_SIZE = std::size_t{1} << 20;

std::string generated_cff() {
  std::string text =
      "cff-version: 1.2.0\n"
      "message: \"If you use this software, please cite it as below.\"\n"
      "title: 'Generated tool: a benchmark fixture'\n"
      "version: 2.4.1\n"
      "date-released: 2024-02-29\n"
      "license: MIT\n"
      "abstract: >\n"
      "  A folded abstract that runs over\n"
      "  several lines of text.\n"
      "authors:\n";
  for (int i = 0; text.size() < TARGET_SIZE / 2; ++i) {
    const std::string n = std::to_string(i);
    text += "  - family-names: Family" + n + "\n    given-names: \"Given " + n +
            "\"\n    orcid: https://orcid.org/0000-0002-" + std::to_string(1000 + i % 9000) +
            "-000X\n    affiliation: Institute of Examples, Department " + n + "\n";
  }
  text += "references:\n";
  for (int i = 0; text.size() < TARGET_SIZE; ++i) {
    const std::string n = std::to_string(i);
    text += "  - type: article\n    title: \"Reference " + n +
            " with \\\"escapes\\\"\"\n    year: " + std::to_string(1990 + i % 35) +
            "\n    volume: " + n + "\n    keywords: [yaml, citation, 'item " + n +
            "']\n    notes: |\n      First line of a literal block.\n      Second line " + n +
            ".\n";
  }
  return text;
}

// The most nodes per byte: "a," is one scalar, up to the 8 MiB a checkout's file may hold.
std::string flow_list_at_read_limit() {
  std::string text = "cff-version: 1.2.0\ntitle: t\nauthors: [";
  const std::string end = "a]\n";
  while (text.size() + 2 + end.size() <= quarnel::utils::fs::MAX_READ_BYTES) text += "a,";
  return text + end;
}

// N mappings that each merge one list of K aliases: a loader that copies the list into every
// mapping does N x K work for a text of N + K lines.
std::string merges_of_an_aliased_list(std::size_t aliases, std::size_t mappings) {
  std::string text = "cff-version: 1.2.0\ntitle: t\nauthors: []\nm: &m {k: v}\ns: &s [";
  for (std::size_t i = 0; i < aliases; ++i) text += i == 0 ? "*m" : ",*m";
  text += "]\nl:\n";
  for (std::size_t i = 0; i < mappings; ++i) text += "- {<<: *s}\n";
  return text;
}

// Keys that are one long text through an alias: a loader that reads the key again for each
// use does work in proportion to their number times the text's length.
std::string keys_aliasing_a_long_text() {
  const std::size_t length = quarnel::utils::fs::MAX_READ_BYTES / 2;
  std::string text = "cff-version: 1.2.0\ntitle: t\nauthors: []\nk: &k " + std::string(length, 'x');
  text += "\n";
  const std::string key = "*k : 1\n";
  while (text.size() + key.size() <= quarnel::utils::fs::MAX_READ_BYTES) text += key;
  return text;
}

double peak_resident_mib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // Linux counts kibibytes
}

void load_and_count(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    const auto document = yaml::safe_load(text);
    if (!document.is_mapping) throw std::runtime_error("the generated file is no mapping");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
  state.counters["peak_rss_MiB"] = peak_resident_mib();
}

void BM_SafeLoadCitationFile(benchmark::State& state) { load_and_count(state, generated_cff()); }
BENCHMARK(BM_SafeLoadCitationFile)->Unit(benchmark::kMillisecond);

void BM_SafeLoadFlowListAtReadLimit(benchmark::State& state) {
  load_and_count(state, flow_list_at_read_limit());
}
BENCHMARK(BM_SafeLoadFlowListAtReadLimit)->Unit(benchmark::kMillisecond);

void BM_SafeLoadKeysAliasingALongText(benchmark::State& state) {
  load_and_count(state, keys_aliasing_a_long_text());
}
BENCHMARK(BM_SafeLoadKeysAliasingALongText)->Unit(benchmark::kMillisecond);

void BM_SafeLoadMergesOfAnAliasedList(benchmark::State& state) {
  load_and_count(state, merges_of_an_aliased_list(static_cast<std::size_t>(state.range(0)),
                                                  static_cast<std::size_t>(state.range(1))));
}
// The smaller shape is a file of 126 KB, the larger one of 252 KB.
BENCHMARK(BM_SafeLoadMergesOfAnAliasedList)
    ->Args({20000, 6000})
    ->Args({40000, 12000})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
