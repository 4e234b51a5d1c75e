// Exclusive DBF appends and a read back in record order, against writing and reading
// the same bytes with plain buffered stdio in the same run.
//
//   dbf_bench [--benchmark_...]     prints the Google Benchmark table, then the ratios
//
// One million records of the pool-table schema (ISBN C13, POOL N4, COVER N2): each
// append assigns all three fields. Both sides go to disk inside the timed part: the
// table's close writes header and end marker and flushes, the stdio baseline ends with
// fclose and a flush of the same file, so neither is charged a wait the other skips.
// The ratios are given on processor time, with wall clock beside them.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/file.h"
#include "storage/dbf_table.h"

namespace {

using torvane::bench::Best;
using torvane::bench::Clock;
using torvane::storage::DbfTable;
using torvane::storage::FieldSpec;
using torvane::storage::OpenOptions;
using torvane::storage::Variant;

constexpr int kRecords = 1'000'000;
constexpr std::size_t kHeader = 130, kRecord = 20;

std::string folder() {
  static const std::string path = [] {
    const auto p = std::filesystem::temp_directory_path() / ("dbf_bench_" + std::to_string(std::rand()));
    std::filesystem::create_directories(p);
    return p.string();
  }();
  return path;
}

// The best of the runs of each part.
Best dbf_write, dbf_read, stdio_write, stdio_read;

void BM_DbfAppend(benchmark::State& state) {
  const std::vector<FieldSpec> pool{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
  const std::string path = folder() + "/pool.dbf";
  std::string isbn = "9783000000000";
  for (auto _ : state) {
    const Clock start;
    DbfTable::create(path, pool, Variant::cdx);
    auto table = DbfTable::open(path, OpenOptions().with_shared(false));
    for (int i = 0; i < kRecords; ++i) {
      isbn[12] = static_cast<char>('0' + i % 10);
      table->append();
      table->assign("ISBN", isbn);
      table->assign_number("POOL", i % 10000);
      table->assign_number("COVER", i % 100);
    }
    table->close();
    dbf_write.take(start);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_DbfReadInRecordOrder(benchmark::State& state) {
  const std::string path = folder() + "/pool.dbf";
  for (auto _ : state) {
    const Clock start;
    auto table = DbfTable::open(path, OpenOptions().with_shared(false).with_read_only());
    std::size_t seen = 0;
    double sum = 0;
    for (table->go_top(); !table->eof(); table->skip()) {
      seen += table->text("ISBN")[12] == '7';
      sum += table->number("POOL");
    }
    table->close();
    benchmark::DoNotOptimize(seen);
    benchmark::DoNotOptimize(sum);
    dbf_read.take(start);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_StdioWrite(benchmark::State& state) {
  const std::string path = folder() + "/plain.bin";
  char header[kHeader] = {};
  char record[kRecord + 1] = " 9783000000000  12 3";
  for (auto _ : state) {
    const Clock start;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(header, 1, kHeader, f);
    for (int i = 0; i < kRecords; ++i) {
      record[13] = static_cast<char>('0' + i % 10);
      std::fwrite(record, 1, kRecord, f);
    }
    std::fputc(0x1A, f);
    std::fclose(f);
    // To disk, as the table's close does.
    torvane::platform::File::open(path, torvane::platform::Access::read_write, torvane::platform::Share::compatibility,
                                  torvane::platform::Disposition::open_existing)
        .flush();
    stdio_write.take(start);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_StdioRead(benchmark::State& state) {
  const std::string path = folder() + "/plain.bin";
  for (auto _ : state) {
    const Clock start;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    char header[kHeader];
    char record[kRecord];
    std::size_t seen = 0;
    if (std::fread(header, 1, kHeader, f) == kHeader)
      while (std::fread(record, 1, kRecord, f) == kRecord) seen += record[13] == '7';
    std::fclose(f);
    benchmark::DoNotOptimize(seen);
    stdio_read.take(start);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(BM_StdioWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DbfAppend)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StdioRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DbfReadInRecordOrder)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  torvane::bench::print_failures(torvane::platform::FailureChoice::fail);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n%d records of 20 bytes, best of the runs (processor time; wall clock in brackets):\n",
              kRecords);
  const auto line = [](const char* what, const Best& dbf, const char* base, const Best& plain) {
    std::printf("  %-6s %8.1f ms [%8.1f]   %-11s %8.1f ms [%8.1f]   ratio %.2f [%.2f]  (goal <= 2)\n", what,
                dbf.cpu * 1e3, dbf.wall * 1e3, base, plain.cpu * 1e3, plain.wall * 1e3, dbf.cpu / plain.cpu,
                dbf.wall / plain.wall);
  };
  line("append", dbf_write, "stdio write", stdio_write);
  line("read", dbf_read, "stdio read", stdio_read);
  std::filesystem::remove_all(folder());
  return 0;
}
