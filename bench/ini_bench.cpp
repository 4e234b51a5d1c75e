// INI lookups: a catalogue of 200 pool sections asked 10,000 times, as the pool table
// build asks it. Baseline: reading and parsing the file for every lookup (what a lookup
// costs without the parsed-file cache). Prints the ratio cached / baseline.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "files/ini_file.h"

namespace {

std::string g_file;
double g_cached_ns = 0;
double g_baseline_ns = 0;

std::string catalogue() {
  std::string text = "[Pool]\r\n";
  for (int n = 1; n <= 200; ++n) text += "P" + std::to_string(n) + "=POOL" + std::to_string(n) + "\r\n";
  for (int n = 1; n <= 200; ++n) {
    text += "\r\n[POOL" + std::to_string(n) + "]\r\nName=Pool Nummer " + std::to_string(n) +
            "\r\nFile=POOL" + std::to_string(n) + "\\POOL" + std::to_string(n) + ".MAB\r\nDBF=\r\nIndex=\r\n";
  }
  return text;
}

void lookups(benchmark::State& state, bool cached, double& per_lookup_ns) {
  using torvane::files::TIni;
  using torvane::text::Value;
  const TIni ini(g_file);
  long n = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!cached) torvane::files::clear_ini_cache();
    const std::string section = "POOL" + std::to_string(n++ % 200 + 1);
    benchmark::DoNotOptimize(ini.Get(section, "File", Value("")).text());
  }
  per_lookup_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                  static_cast<double>(state.iterations());
}

void BM_Cached(benchmark::State& state) { lookups(state, true, g_cached_ns); }
void BM_ParseEveryLookup(benchmark::State& state) { lookups(state, false, g_baseline_ns); }

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "torvane-ini-bench";
  std::filesystem::create_directories(dir);
  g_file = (dir / "POOL.INI").string();
  std::ofstream(g_file, std::ios::binary | std::ios::trunc) << catalogue();
  // A file written in the last two seconds is read anew at every lookup: let it settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("ini lookup, parse every time", BM_ParseEveryLookup)->Iterations(10000);
  benchmark::RegisterBenchmark("ini lookup, cached", BM_Cached)->Iterations(10000);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(dir);

  const double ratio = g_baseline_ns > 0 ? g_cached_ns / g_baseline_ns : 0;
  std::printf("ini lookup: cached %.0f ns, parse every time %.0f ns, ratio %.3f (goal <= 0.1) %s\n", g_cached_ns,
              g_baseline_ns, ratio, ratio <= 0.1 ? "ok" : "MISSED");
  return 0;
}
