// Cost of parse_forge_url over a mix of every URL form it meets: https and http URLs with and
// without ports, SCP-like and ssh:// remotes, bracketed hosts, and texts that name no
// repository. Run by hand: build-*/bench/forge_bench

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "quarnel/utils/forge.hpp"

namespace {

using quarnel::utils::forge::detect_forge;
using quarnel::utils::forge::normalize_url;
using quarnel::utils::forge::parse_forge_url;

std::vector<std::string> generated_urls(std::size_t count) {
  const std::vector<std::string> hosts = {"github.com",       "gitlab.com",
                                          "codeberg.org",     "gitlab.example.org",
                                          "Code.Example.ORG", "forge.intra.example"};
  std::vector<std::string> urls;
  urls.reserve(count);
  for (std::size_t i = 0; urls.size() < count; ++i) {
    const std::string& host = hosts[i % hosts.size()];
    const std::string owner = "team" + std::to_string(i % 97);
    const std::string repo = "tool-" + std::to_string(i);
    switch (i % 10) {
      case 0:
        urls.push_back("https://" + host + "/" + owner + "/" + repo);
        break;
      case 1:
        urls.push_back("https://" + host + "/" + owner + "/" + repo + ".git");
        break;
      case 2:
        urls.push_back("git@" + host + ":" + owner + "/" + repo + ".git");
        break;
      case 3:
        urls.push_back("ssh://git@" + host + ":2222/" + owner + "/" + repo + ".git");
        break;
      case 4:
        urls.push_back("http://" + host + ":8080/" + owner + "/" + repo + "/-/tree/main");
        break;
      case 5:
        urls.push_back("https://bot:secret@" + host + "/" + owner + "/" + repo + "?tab=1#x");
        break;
      case 6:
        urls.push_back("https://[2001:db8::" + std::to_string(i % 9999) + "]:8443/" + owner + "/" +
                       repo);
        break;
      case 7:
        urls.push_back("  " + host + ":" + owner + "/" + repo + "  ");
        break;
      case 8:
        urls.push_back("https://" + host + "/" + owner);
        break;
      default:
        urls.push_back("/srv/git/" + owner + "/" + repo + ".git");
        break;
    }
  }
  return urls;
}

void BM_ParseForgeUrl(benchmark::State& state) {
  const auto urls = generated_urls(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    for (const auto& url : urls) benchmark::DoNotOptimize(parse_forge_url(url));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(urls.size()));
}
BENCHMARK(BM_ParseForgeUrl)->Arg(1000)->Arg(5000);

void BM_NormalizeUrl(benchmark::State& state) {
  const auto urls = generated_urls(5000);
  for (auto _ : state) {
    for (const auto& url : urls) benchmark::DoNotOptimize(normalize_url(url));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(urls.size()));
}
BENCHMARK(BM_NormalizeUrl);

void BM_DetectForge(benchmark::State& state) {
  const auto urls = generated_urls(5000);
  for (auto _ : state) {
    for (const auto& url : urls) benchmark::DoNotOptimize(detect_forge(url));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(urls.size()));
}
BENCHMARK(BM_DetectForge);

}  // namespace

BENCHMARK_MAIN();
