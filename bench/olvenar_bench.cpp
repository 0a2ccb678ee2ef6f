// Component-identifier check on a large generated checkout: 100 000 files in 1 000
// directories, a few hundred manifests, part of them below directories the walk skips.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "quarnel/core/context.hpp"
#include "quarnel/plugins/builtin/olvenar.hpp"

namespace {

namespace stdfs = std::filesystem;

constexpr int DIRECTORIES = 1000;
constexpr int FILES_PER_DIRECTORY = 100;

void write_file(const stdfs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Where the k-th directory goes: most are ordinary package directories two levels deep, every
// fifth one sits below a directory the walk must not enter.
stdfs::path directory_for(const stdfs::path& root, int k) {
  static constexpr const char* SKIPPED[] = {"node_modules", "target", "build", ".git"};
  const std::string leaf = "pkg" + std::to_string(k);
  if (k % 5 == 4) return root / SKIPPED[(k / 5) % 4] / leaf;
  return root / ("group" + std::to_string(k % 20)) / leaf;
}

class GeneratedCheckout {
 public:
  GeneratedCheckout() {
    std::string tmpl = (stdfs::temp_directory_path() / "quarnel-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    write_file(root_ / "pyproject.toml", "[project]\nname = \"bench\"\nversion = \"1.0\"\n");
    write_file(root_ / "Cargo.toml", "[workspace]\nmembers = [\"group*/pkg*\"]\n");
    write_file(root_ / "go.mod", "module example.com/bench\n\ngo 1.21\n");
    for (int k = 0; k < DIRECTORIES; ++k) {
      const stdfs::path dir = directory_for(root_, k);
      stdfs::create_directories(dir);
      int written = 0;
      if (k % 3 == 0) {
        write_file(dir / "package.json",
                   "{\"name\": \"pkg" + std::to_string(k) + "\", \"version\": \"1.0.0\"}\n");
        ++written;
      }
      if (k % 7 == 0) {
        write_file(dir / "Cargo.toml", "[package]\nname = \"pkg" + std::to_string(k) + "\"\n");
        ++written;
      }
      if (k % 4 == 0) {
        write_file(dir / "__init__.py", "__version__ = \"1.0\"\n");
        ++written;
      }
      for (; written < FILES_PER_DIRECTORY; ++written) {
        write_file(dir / ("source" + std::to_string(written) + ".txt"), "x\n");
      }
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

void BM_ComponentIdentifiers(benchmark::State& state) {
  const quarnel::core::context::Context context(checkout().root());
  const quarnel::plugins::builtin::olvenar::OlvenarPlugin plugin;
  for (auto _ : state) {
    auto result = plugin.check("component_identifiers", context);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ComponentIdentifiers)->Unit(benchmark::kMillisecond);

// The walk alone, for a basename that is nowhere: the whole tree outside skipped directories.
void BM_IterFilesFullWalk(benchmark::State& state) {
  const stdfs::path& root = checkout().root();
  for (auto _ : state) {
    auto found = quarnel::plugins::builtin::olvenar::detail::iter_files(root, "absent.txt");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_IterFilesFullWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
