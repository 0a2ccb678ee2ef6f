// Cost of one GitRepo query on a real repository: each read starts one git process, so this
// is mostly the price of a spawn, the pipes and git's own start-up.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "quarnel/utils/git.hpp"
#include "quarnel/utils/process.hpp"

namespace {

namespace stdfs = std::filesystem;
namespace git = quarnel::utils::git;
namespace process = quarnel::utils::process;

// A repository with a remote and some history, removed at the end of the run.
class BenchRepo {
 public:
  BenchRepo() {
    std::string pattern = (stdfs::temp_directory_path() / "quarnel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    git({"init", "-q", "-b", "main"});
    git({"remote", "add", "origin", "https://example.org/group/tool.git"});
    for (int i = 0; i < 50; ++i) {
      std::ofstream(path_ / ("file" + std::to_string(i) + ".txt")) << i << '\n';
      git({"add", "--", "file" + std::to_string(i) + ".txt"});
      git({"-c", "user.name=Bench", "-c", "user.email=bench@example.org", "commit", "-q", "-m",
           "change " + std::to_string(i)});
    }
    git({"tag", "v1.0"});
  }
  ~BenchRepo() {
    std::error_code ec;
    stdfs::remove_all(path_, ec);
  }
  BenchRepo(const BenchRepo&) = delete;
  BenchRepo& operator=(const BenchRepo&) = delete;

  const stdfs::path& path() const { return path_; }

 private:
  void git(std::vector<std::string> args) const {
    args.insert(args.begin(), "git");
    process::RunOptions options;
    options.cwd = path_;
    if (!process::run(args, options).ok()) throw std::runtime_error("git failed in setup");
  }

  stdfs::path path_;
};

const BenchRepo& bench_repo() {
  static const BenchRepo repo;
  return repo;
}

void BM_RemoteUrl(benchmark::State& state) {
  const git::GitRepo repo(bench_repo().path());
  for (auto _ : state) benchmark::DoNotOptimize(repo.remote_url());
}
BENCHMARK(BM_RemoteUrl)->Unit(benchmark::kMillisecond);

void BM_CommitCount(benchmark::State& state) {
  const git::GitRepo repo(bench_repo().path());
  for (auto _ : state) benchmark::DoNotOptimize(repo.commit_count());
}
BENCHMARK(BM_CommitCount)->Unit(benchmark::kMillisecond);

void BM_HasTrackedFile(benchmark::State& state) {
  const git::GitRepo repo(bench_repo().path());
  for (auto _ : state) benchmark::DoNotOptimize(repo.has_tracked_file("file7.txt"));
}
BENCHMARK(BM_HasTrackedFile)->Unit(benchmark::kMillisecond);

// A query against a directory that is no checkout: the fall-back path, git still starts.
void BM_RemoteUrlOutsideCheckout(benchmark::State& state) {
  const git::GitRepo repo(stdfs::temp_directory_path());
  for (auto _ : state) benchmark::DoNotOptimize(repo.remote_url());
}
BENCHMARK(BM_RemoteUrlOutsideCheckout)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
