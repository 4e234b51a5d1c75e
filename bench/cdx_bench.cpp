// Bulk build of a compound index over random 13-digit keys, against `LC_ALL=C sort`
// of the same keys written as text lines "key record", measured in the same run.
// Prints the ratio (goal: at most 0.5) and the peak memory of a build with a 64 MB sort
// budget (goal: under 128 MB), whose file must equal the default build's byte for byte.
// Then walks the built order twice, plainly and asking key number and key count on every
// step as the cover phases do, and prints the ratio of the two (goal: near 1, the
// numbers being kept rather than recounted).
//
//   TORVANE_BENCH_KEYS   number of keys (default 5,000,000)

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/cdx_index.h"

namespace {

using namespace torvane;

constexpr std::uint32_t kHeaderLength = 66;  // one field: ISBN C13
constexpr std::uint32_t kRecordLength = 14;

std::string g_dir;
double g_sort_seconds = 0;
double g_build_seconds = 0;
double g_walk_seconds = 0;
double g_counted_walk_seconds = 0;


// The table and the same keys as text.
void write_inputs(std::size_t keys) {
  std::vector<std::uint8_t> header(kHeaderLength, 0);
  header[0] = 0x03;
  storage::put_u32le(std::span(header).subspan(4), static_cast<std::uint32_t>(keys));
  storage::put_u16le(std::span(header).subspan(8), kHeaderLength);
  storage::put_u16le(std::span(header).subspan(10), kRecordLength);
  std::memcpy(header.data() + 32, "ISBN", 4);
  header[43] = 'C';
  header[48] = 13;
  header[64] = 0x0D;
  std::ofstream table(g_dir + "/pool.dbf", std::ios::binary);
  std::ofstream text(g_dir + "/keys.txt", std::ios::binary);
  table.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  std::mt19937_64 random(13);
  std::string record(kRecordLength, ' ');
  for (std::size_t i = 1; i <= keys; ++i) {
    std::snprintf(record.data() + 1, 14, "%013llu",
                  static_cast<unsigned long long>(9'780'000'000'000ULL + random() % 20'000'000'000ULL));
    table.write(record.data(), kRecordLength);
    text.write(record.data() + 1, 13);
    text << ' ' << i << '\n';
  }
  table.put(0x1A);
}

bool build(const std::string& index, std::size_t budget) {
  platform::File file = platform::File::open(g_dir + "/pool.dbf", platform::Access::read,
                                             platform::Share::compatibility, platform::Disposition::open_existing);
  storage::KeySource source;
  source.table = &file;
  source.table_path = g_dir + "/pool.dbf";
  source.header_length = kHeaderLength;
  source.record_length = kRecordLength;
  source.record_count = static_cast<std::uint32_t>((file.size() - kHeaderLength) / kRecordLength);
  source.key_offset = 1;
  source.key_length = 13;
  source.key_field = "ISBN";
  storage::IndexOptions options;
  options.sort_memory_budget = budget;
  std::unique_ptr<storage::OrderIndex> order = storage::cdx::create_index(index, source, options);
  return order && order->close();
}

void BM_LcAllCSort(benchmark::State& state) {
  const std::string command =
      "LC_ALL=C sort -o '" + g_dir + "/sorted.txt' '" + g_dir + "/keys.txt'";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("sort failed");
    g_sort_seconds = bench::seconds_since(start);
  }
}

void BM_CdxBulkBuild(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!build(g_dir + "/pool.cdx", std::size_t{256} << 20)) state.SkipWithError("build failed");
    g_build_seconds = bench::seconds_since(start);
  }
}

std::unique_ptr<storage::OrderIndex> open_built() {
  storage::KeySource source;
  source.key_length = 13;
  source.key_field = "ISBN";
  return storage::cdx::open_index(g_dir + "/pool.cdx", source, {});
}

// Walks the whole order; with counts, asks key number and key count at every key.
void walk(benchmark::State& state, bool counts, double& seconds) {
  for (auto _ : state) {
    std::unique_ptr<storage::OrderIndex> order = open_built();
    if (!order) {
      state.SkipWithError("open failed");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t sum = 0;
    for (std::optional<std::uint32_t> record = order->go_top(); record && *record != 0; record = order->skip()) {
      sum += *record;
      if (counts) sum += *order->key_number() + *order->key_count();
    }
    seconds = bench::seconds_since(start);
    benchmark::DoNotOptimize(sum);
  }
}

void BM_Walk(benchmark::State& state) { walk(state, false, g_walk_seconds); }
void BM_WalkWithKeyNumbers(benchmark::State& state) { walk(state, true, g_counted_walk_seconds); }

// Runs this program again as a child that only builds, and returns its peak resident
// memory in kilobytes (0 when it failed).
long child_peak_kb(const char* self, const std::string& index, std::size_t budget) {
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string budget_text = std::to_string(budget);
    ::execl(self, self, "--build-only", g_dir.c_str(), index.c_str(), budget_text.c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return 0;
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  bench::print_failures(platform::FailureChoice::fail);
  if (argc == 5 && std::string(argv[1]) == "--build-only") {
    g_dir = argv[2];
    return build(argv[3], std::strtoull(argv[4], nullptr, 10)) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  char pattern[] = "/tmp/torvane-cdx-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  g_dir = pattern;
  const std::size_t keys = bench::env_count("TORVANE_BENCH_KEYS", 5'000'000);
  write_inputs(keys);

  benchmark::RegisterBenchmark("LC_ALL=C sort (text)", BM_LcAllCSort)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("cdx bulk build", BM_CdxBulkBuild)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("walk", BM_Walk)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("walk with key number and count", BM_WalkWithKeyNumbers)
      ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();

  // Same file name in another folder: the tag is named after the file.
  std::filesystem::create_directory(g_dir + "/budget64");
  const long peak_kb = child_peak_kb(argv[0], g_dir + "/budget64/pool.cdx", std::size_t{64} << 20);
  const auto bytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const bool same = peak_kb > 0 && bytes(g_dir + "/pool.cdx") == bytes(g_dir + "/budget64/pool.cdx");
  const double ratio = g_sort_seconds > 0 ? g_build_seconds / g_sort_seconds : 0;
  std::printf("keys: %zu\n", keys);
  std::printf("cdx bulk build: %.3f s, LC_ALL=C sort: %.3f s, ratio %.3f (goal <= 0.5) %s\n", g_build_seconds,
              g_sort_seconds, ratio, ratio <= 0.5 ? "ok" : "MISSED");
  std::printf("peak memory with a 64 MB sort budget: %.1f MB (goal < 128 MB) %s\n", peak_kb / 1024.0,
              peak_kb > 0 && peak_kb < 128 * 1024 ? "ok" : "MISSED");
  std::printf("same bytes as the default budget: %s\n", same ? "yes" : "NO");
  std::printf("walk: %.3f s, with key number and key count per key: %.3f s, ratio %.2f\n", g_walk_seconds,
              g_counted_walk_seconds, g_walk_seconds > 0 ? g_counted_walk_seconds / g_walk_seconds : 0);
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
  benchmark::Shutdown();
  return same ? 0 : 1;
}
