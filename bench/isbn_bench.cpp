// The cover phase turns one or two numbers per pool record into its ISBN-13, and a
// pool table has millions of records. This compares ISBN2EAN on valid ISBN-10s with the
// bare ISISBN10 check of the same numbers and prints the ratio.
// Goal: ISBN2EAN costs at most 4 times ISISBN10, and at least a million per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "isbn/numbers.h"

namespace {

using namespace torvane::isbn;

// Valid ISBN-10s with a known range, spread over the groups.
const std::vector<std::string>& numbers() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    std::uint32_t seed = 2024;
    const char* starts[] = {"3", "0", "1", "84", "88", "957", "978", "9953", "99936", "2"};
    while (out.size() < 1024) {
      std::string nine = starts[out.size() % 10];
      while (nine.size() < 9) {
        seed = seed * 1103515245u + 12345u;
        nine += static_cast<char>('0' + (seed >> 16) % 10);
      }
      std::string isbn10 = nine + GETISBNPZ(nine);
      if (!ISBN2EAN(isbn10).empty()) out.push_back(isbn10);
    }
    return out;
  }();
  return list;
}

void BM_ISISBN10(benchmark::State& state) {
  const auto& list = numbers();
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ISISBN10(list[i++ & 1023]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ISISBN10);

void BM_ISBN2EAN(benchmark::State& state) {
  const auto& list = numbers();
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ISBN2EAN(list[i++ & 1023]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ISBN2EAN);

// Keeps the time per call of every run to compute the ratio at the end.
class TimingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      nanoseconds[run.benchmark_name()] =
          run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TimingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  double check = reporter.nanoseconds["BM_ISISBN10"];
  double convert = reporter.nanoseconds["BM_ISBN2EAN"];
  if (check <= 0 || convert <= 0) return 0;
  std::printf("ratio: %.2f (ISBN2EAN / ISISBN10, goal at most 4)\n", convert / check);
  std::printf("ISBN2EAN per second: %.0f (goal at least 1000000)\n", 1e9 / convert);
  return 0;
}
