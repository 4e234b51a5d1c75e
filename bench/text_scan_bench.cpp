// Scans a large file of CR LF lines with the phases' reading loop (lEoF, ReadLn,
// Skip(1)) and compares the time with `wc -l` on the same file, both reading from the
// page cache. Goal: the scan takes at most 4 times as long as `wc -l`.
//
// The file (lines of 20 to 3,000 bytes) is generated under $TMPDIR and removed at the
// end. Its size is $TORVANE_SCAN_BYTES (default 1 GiB), so CI can run it small:
//     TORVANE_SCAN_BYTES=64000000 ./text_scan_bench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "bench_support.h"
#include "files/line_file.h"

namespace {

using torvane::bench::seconds_since;

std::string g_path;
std::uint64_t g_lines = 0;
double g_best_wc = std::numeric_limits<double>::max();
double g_best_scan = std::numeric_limits<double>::max();
double g_best_open_and_scan = std::numeric_limits<double>::max();

// Lines of 20 to 3,000 printable bytes, each ended by CR LF.
std::uint64_t write_file(const std::string& path, std::uint64_t bytes) {
  std::mt19937_64 random(42);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string line;
  std::uint64_t written = 0, lines = 0;
  while (written < bytes) {
    const std::size_t length = 20 + random() % 2981;
    line.assign(length, ' ');
    for (std::size_t i = 0; i < length; i += 8) line[i] = static_cast<char>('A' + random() % 26);
    line += "\r\n";
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    written += line.size();
    ++lines;
  }
  return lines;
}

// Reads the whole file once so that both contenders find it in the page cache.
void warm_cache(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string buffer(1 << 20, '\0');
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

void BM_wc_l(benchmark::State& state) {
  const std::string command = "wc -l '" + g_path + "' > /dev/null";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("wc -l failed");
    const double elapsed = seconds_since(start);
    state.SetIterationTime(elapsed);
    g_best_wc = std::min(g_best_wc, elapsed);
  }
}

// The reading loop of the phases. The line count at open is left to first use, as a
// scan does; a second variant asks for it, which costs one more pass.
void BM_text_scan(benchmark::State& state) {
  const bool ask_line_count = state.range(0) != 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    torvane::files::TTxtFile file(g_path, 0);
    std::uint64_t lines = 0, bytes = 0;
    if (ask_line_count) benchmark::DoNotOptimize(file.nTLines());
    while (!file.lEoF()) {
      bytes += file.ReadLn().size();
      ++lines;
      file.Skip(1);
    }
    file.Close();
    const double elapsed = seconds_since(start);
    state.SetIterationTime(elapsed);
    benchmark::DoNotOptimize(bytes);
    if (lines != g_lines) state.SkipWithError("the scan saw a different number of lines");
    double& best = ask_line_count ? g_best_open_and_scan : g_best_scan;
    best = std::min(best, elapsed);
  }
}

BENCHMARK(BM_wc_l)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_text_scan)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path dir = tmp != nullptr && *tmp ? tmp : "/tmp";
  g_path = (dir / ("torvane-text-scan-" + std::to_string(std::random_device{}()) + ".txt")).string();
  const std::uint64_t bytes = torvane::bench::env_count("TORVANE_SCAN_BYTES", 1ULL << 30);
  std::printf("Generating %llu bytes of CR LF lines in %s\n", static_cast<unsigned long long>(bytes), g_path.c_str());
  g_lines = write_file(g_path, bytes);
  warm_cache(g_path);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double size = static_cast<double>(std::filesystem::file_size(g_path));
  std::filesystem::remove(g_path);

  std::printf("\nFile: %llu lines, %.0f MB\n", static_cast<unsigned long long>(g_lines), size / 1e6);
  std::printf("wc -l:                        %8.3f s\n", g_best_wc);
  std::printf("reading loop:                 %8.3f s  (%.2f GB/s)  ratio to wc -l: %.2f (goal <= 4)\n",
              g_best_scan, size / g_best_scan / 1e9, g_best_scan / g_best_wc);
  std::printf("reading loop with line count: %8.3f s  (%.2f GB/s)  ratio to wc -l: %.2f\n", g_best_open_and_scan,
              size / g_best_open_and_scan / 1e9, g_best_open_and_scan / g_best_wc);
  return 0;
}
