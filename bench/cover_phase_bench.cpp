// The passes over the pool table of the cover phases, against a plain walk of the pool
// index in the same run.
//
//   cover_phase_bench [--benchmark_...]    prints the Google Benchmark table, then the ratios
//
// The pool table holds TORVANE_BENCH_POOL records (else by TORVANE_BENCH_SIZE: tiny
// 20,000, small 200,000, full and by default 2,000,000; a quarter of the keys twice),
// the cover table a quarter of them and the import table another quarter, each cover a
// small memo. The cover phase runs with `Internet` off: every title is
// looked up in the cover table, the missing ones in the import table, and a quarter are
// copied. The cover flag update consults two cover tables, so it makes two passes.
// Before each timed run the cover tables and the pool table are restored from copies,
// untimed. Goal: each pass at most 4 times the plain walk.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/covers/cover_flags.h"
#include "app/covers/cover_phase.h"
#include "bench_support.h"
#include "isbn/numbers.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "storage/ntx_index.h"

namespace {

namespace fs = std::filesystem;
using torvane::bench::Best;
using torvane::bench::Clock;
using torvane::storage::DbfTable;
using torvane::storage::FieldSpec;
using torvane::storage::OpenOptions;
using torvane::storage::Variant;

std::size_t pool_records() {
  const char* size = std::getenv("TORVANE_BENCH_SIZE");
  const std::string name = size != nullptr ? size : "full";
  const std::size_t by_size = name == "tiny" ? 20'000 : name == "small" ? 200'000 : 2'000'000;
  return torvane::bench::env_count("TORVANE_BENCH_POOL", by_size);
}

class Quiet final : public torvane::app::ConsoleSink {
 public:
  void write(std::string_view) override {}
  void save_position() override {}
  void write_at_saved(std::string_view) override {}
};
class NoKeys final : public torvane::app::Keyboard {
 public:
  int poll() override { return 0; }
  int wait() override { return 0; }
};

struct Medium {
  fs::path root;
  std::size_t records = 0;
  std::string dvd() const { return (root / "dvd").string(); }
  std::string at(const char* relative) const { return (root / "dvd" / relative).string(); }
};
Medium medium;

// The EAN-13 978 + nine digits + check digit.
std::string ean(std::uint64_t nine) {
  const std::uint64_t twelve = 978'000'000'000 + nine;
  return std::to_string(twelve) + static_cast<char>('0' + torvane::isbn::CHECKSUM(twelve));
}

void write_cover_table(const std::string& path, const std::vector<std::string>& keys) {
  const std::vector<FieldSpec> schema{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
  DbfTable::create(path, schema, Variant::cdx);
  auto table = DbfTable::open(path, OpenOptions().with_variant(Variant::cdx).with_shared(false));
  const std::string image = "GIF89a" + std::string(34, 'x');
  for (const std::string& key : keys) {
    table->append();
    table->assign("ISBN", key);
    table->assign_memo("COVER", image);
  }
  table->create_index(path.substr(0, path.rfind('.')) + ".cdx");
  table->close();
}

void build_medium() {
  medium.root = fs::temp_directory_path() / ("cover_bench_" + std::to_string(std::random_device()()));
  medium.records = pool_records();
  fs::create_directories(medium.root / "dvd" / "cover");
  fs::create_directories(medium.root / "bin");
  std::mt19937_64 random(42);
  std::vector<std::string> keys;
  const std::size_t distinct = medium.records - medium.records / 4;
  for (std::size_t i = 0; i < distinct; ++i) keys.push_back(ean(random() % 1'000'000'000));

  const std::vector<FieldSpec> schema{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
  DbfTable::create(medium.at("pool.dbf"), schema, Variant::cdx);
  auto pool = DbfTable::open(medium.at("pool.dbf"), OpenOptions().with_variant(Variant::cdx).with_shared(false));
  for (std::size_t i = 0; i < medium.records; ++i) {
    pool->append();
    pool->assign("ISBN", keys[i < distinct ? i : i - distinct]);
    pool->assign_number("POOL", static_cast<double>(i % 7 + 1));
  }
  pool->create_index(medium.at("pool.cdx"));
  pool->close();

  const std::size_t quarter = medium.records / 4;
  write_cover_table(medium.at("cover/cover.dbf"), {keys.begin(), keys.begin() + quarter});
  write_cover_table(medium.at("cover/import.dbf"), {keys.begin() + quarter, keys.begin() + 2 * quarter});
  write_cover_table(medium.at("cover/second.dbf"), {keys.begin() + 2 * quarter, keys.begin() + 3 * quarter});
  std::FILE* ini = std::fopen(medium.at("POOL.INI").c_str(), "wb");
  std::fputs("[Pool]\r\n1=POOL1\r\n[Cover]\r\n1=cover\\cover.dbf\r\n2=cover\\second.dbf\r\n", ini);
  std::fclose(ini);
  for (const char* name : {"pool.dbf", "cover/cover.dbf", "cover/cover.fpt", "cover/cover.cdx"})
    fs::copy_file(medium.at(name), medium.at(name) + ".orig");
}

void restore() {
  for (const char* name : {"pool.dbf", "cover/cover.dbf", "cover/cover.fpt", "cover/cover.cdx"})
    fs::copy_file(medium.at(name) + ".orig", medium.at(name), fs::copy_options::overwrite_existing);
  fs::remove(medium.at("cover/notfound.dbf"));
  fs::remove(medium.at("cover/notfound.cdx"));
}

torvane::app::RunConfig config() {
  torvane::app::RunConfig c;
  c.medium_root = medium.dvd() + "/";
  c.cover = true;
  c.cover_dbf = medium.at("cover/cover.dbf");
  c.cover_import_dbf = medium.at("cover/import.dbf");
  return c;
}

// The best of the runs of each part.
Best best_walk, best_phase, best_flags;

void BM_PlainWalkOfThePoolIndex(benchmark::State& state) {
  for (auto _ : state) {
    const Clock start;
    auto pool = DbfTable::open(medium.at("pool.dbf"), OpenOptions().with_variant(Variant::cdx).with_read_only());
    std::size_t n = 0;
    for (pool->go_top(); !pool->eof(); pool->skip()) {
      benchmark::DoNotOptimize(pool->key_number());
      ++n;
    }
    pool->close();
    best_walk.take(start);
    if (n != medium.records) state.SkipWithError("the walk missed records");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(medium.records));
}

// Each run starts from the copies (untimed) and times one pass.
template <typename Pass>
void time_restored(benchmark::State& state, Best& best, Pass pass) {
  for (auto _ : state) {
    state.PauseTiming();
    restore();
    state.ResumeTiming();
    const Clock start;
    pass();
    best.take(start);
  }
}

void BM_CoverPhase(benchmark::State& state) {
  time_restored(state, best_phase,
                [] { torvane::app::run_cover_phase(config(), (medium.root / "bin" / "torvane").string()); });
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(medium.records));
}

void BM_CoverFlagsTwoTables(benchmark::State& state) {
  time_restored(state, best_flags, [] { torvane::app::update_cover_flags(config()); });
  state.SetItemsProcessed(state.iterations() * 2 * static_cast<std::int64_t>(medium.records));
}

BENCHMARK(BM_PlainWalkOfThePoolIndex)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CoverPhase)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_CoverFlagsTwoTables)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  torvane::bench::print_failures(torvane::platform::FailureChoice::quit);
  torvane::storage::register_cdx_driver();
  torvane::storage::register_ntx_driver();
  Quiet quiet;
  NoKeys keys;
  torvane::app::set_console(&quiet);
  torvane::app::set_keyboard(&keys);
  torvane::app::set_run_log("");
  build_medium();

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const double n = static_cast<double>(medium.records);
  const auto line = [&](const char* what, const Best& best, double passes) {
    const double cpu = best.cpu / passes, wall = best.wall / passes;
    std::printf("  %-30s %9.0f records/s  %8.1f ms [%8.1f] per pass   ratio %.2f [%.2f]  (goal <= 4)\n", what,
                n / cpu, cpu * 1000, wall * 1000, cpu / best_walk.cpu, wall / best_walk.wall);
  };
  std::printf("\n%.0f pool records, %.0f covers, %.0f in the import table; best of the runs\n"
              "(processor time; wall clock in brackets):\n",
              n, std::floor(n / 4), std::floor(n / 4));
  std::printf("  %-30s %9.0f records/s  %8.1f ms [%8.1f]\n", "plain walk of the pool index", n / best_walk.cpu,
              best_walk.cpu * 1000, best_walk.wall * 1000);
  line("cover phase (Internet off)", best_phase, 1);
  line("cover flags, per table", best_flags, 2);
  std::error_code ignored;
  fs::remove_all(medium.root, ignored);
  return 0;
}
