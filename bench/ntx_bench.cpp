// Building the NTX index of a pool table of random ISBN keys, against `LC_ALL=C sort`
// of the same keys as text lines, in the same run. Goal: the build takes at most half
// the time of the sort. TORVANE_BENCH_KEYS sets the number of keys (default 5,000,000)
// so that CI can run it small.
//
// The build runs twice: with the default sort budget (all keys in memory) and with a
// 64 MB budget (sorted runs spilled to a temporary file and merged); for the second the
// peak resident memory is reported, which should stay below 128 MB.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "isbn/numbers.h"
#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/ntx_index.h"

namespace {

using torvane::bench::seconds_since;
using torvane::storage::IndexOptions;
using torvane::storage::KeySource;
using torvane::storage::Variant;
using Clock = std::chrono::steady_clock;

// An ISBN-13 with a random registration part and its check digit.
std::string random_isbn(std::mt19937_64& random) {
  std::string isbn = random() % 10 == 0 ? "979" : "978";
  for (int i = 0; i < 9; ++i) isbn += static_cast<char>('0' + random() % 10);
  return isbn + static_cast<char>('0' + torvane::isbn::CHECKSUM(std::stoull(isbn)));
}

// A pool table (ISBN C13, POOL N4, COVER N2) and the same keys as text lines.
struct Fixture {
  std::filesystem::path dir;
  std::string table;
  std::string lines;
  std::size_t keys = 0;

  explicit Fixture(std::size_t n) : keys(n) {
    std::random_device seed;
    dir = std::filesystem::temp_directory_path() / ("torvane-ntx-bench-" + std::to_string(seed()));
    std::filesystem::create_directories(dir);
    table = (dir / "pool.dbf").string();
    lines = (dir / "keys.txt").string();
    std::vector<std::uint8_t> header(130, 0);
    header[0] = 0x03;
    torvane::storage::put_u32le(std::span(header).subspan(4), static_cast<std::uint32_t>(n));
    torvane::storage::put_u16le(std::span(header).subspan(8), 130);
    torvane::storage::put_u16le(std::span(header).subspan(10), 20);
    const char* names[] = {"ISBN", "POOL", "COVER"};
    const char types[] = {'C', 'N', 'N'};
    const std::uint8_t lengths[] = {13, 4, 2};
    for (int f = 0; f < 3; ++f) {
      std::copy_n(names[f], std::char_traits<char>::length(names[f]), header.begin() + 32 + 32 * f);
      header[32 + 32 * f + 11] = static_cast<std::uint8_t>(types[f]);
      header[32 + 32 * f + 16] = lengths[f];
    }
    header[128] = 0x0D;
    std::ofstream dbf(table, std::ios::binary);
    std::ofstream txt(lines, std::ios::binary);
    dbf.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    std::mt19937_64 random(20080101);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string isbn = random_isbn(random);
      dbf << ' ' << isbn << "   1  ";
      txt << isbn << '\n';
    }
    dbf << '\x1A';
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

double build_seconds(const Fixture& fixture, std::size_t budget) {
  torvane::platform::File file =
      torvane::platform::File::open(fixture.table, torvane::platform::Access::read,
                                    torvane::platform::Share::compatibility,
                                    torvane::platform::Disposition::open_existing);
  KeySource source;
  source.table = &file;
  source.table_path = fixture.table;
  source.header_length = 130;
  source.record_length = 20;
  source.record_count = static_cast<std::uint32_t>(fixture.keys);
  source.key_offset = 1;
  source.key_length = 13;
  source.key_field = "ISBN";
  IndexOptions options;
  options.variant = Variant::ntx;
  options.sort_memory_budget = budget;
  const auto start = Clock::now();
  auto index = torvane::storage::create_ntx_index((fixture.dir / "pool.ntx").string(), source, options);
  const bool ok = index != nullptr && index->close();
  const double seconds = seconds_since(start);
  if (!ok) std::fprintf(stderr, "the index build failed\n");
  return seconds;
}

double sort_seconds(const Fixture& fixture) {
  const std::string command =
      "LC_ALL=C sort -o '" + (fixture.dir / "sorted.txt").string() + "' '" + fixture.lines + "'";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sort failed\n");
  return seconds_since(start);
}

// Peak resident memory of this process in kB since the last reset (Linux /proc).
long peak_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Fixture fixture(torvane::bench::env_count("TORVANE_BENCH_KEYS", 5'000'000));
  double sort_time = 0, build_time = 0, spilled_time = 0;
  long spilled_peak = 0;

  benchmark::RegisterBenchmark("sort_c_locale", [&](benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(sort_time = sort_seconds(fixture));
  })->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ntx_build_spilled_64mb", [&](benchmark::State& state) {
    for (auto _ : state) {
      reset_peak();
      const long before = peak_kb();
      state.SetIterationTime(spilled_time = build_seconds(fixture, std::size_t{64} << 20));
      spilled_peak = peak_kb();
      state.counters["peak_mb"] = static_cast<double>(spilled_peak) / 1024;
      state.counters["peak_mb_before"] = static_cast<double>(before) / 1024;
    }
  })->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ntx_build", [&](benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(build_time = build_seconds(fixture, std::size_t{256} << 20));
  })->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (sort_time > 0) {
    std::printf("keys: %zu\n", fixture.keys);
    std::printf("ntx build / sort:             %.3f (goal <= 0.5)\n", build_time / sort_time);
    std::printf("ntx build 64 MB / sort:       %.3f, peak %.1f MB (goal < 128 MB)\n", spilled_time / sort_time,
                static_cast<double>(spilled_peak) / 1024);
  }
  return 0;
}
