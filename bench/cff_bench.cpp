// Loading a generated CITATION.cff of about 1 MiB: a long author list, references with nested
// mappings, quoted and multi-line texts, dates and numbers, the shapes real citation files have.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <stdexcept>
#include <string>

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

void BM_SafeLoadCitationFile(benchmark::State& state) {
  const std::string text = generated_cff();
  for (auto _ : state) {
    const auto document = yaml::safe_load(text);
    if (!document.is_mapping) throw std::runtime_error("the generated file is no mapping");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_SafeLoadCitationFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
