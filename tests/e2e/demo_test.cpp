// The README's two user commands beyond the tests, run small so that they cannot rot:
// the demo (with the image server and a second run) and the benchmark suite.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::string source_dir() {
  const char* dir = std::getenv("TORVANE_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}
std::string build_dir() {
  const char* exe = std::getenv("TORVANE_EXE");
  return exe != nullptr ? fs::path(exe).parent_path().string() : "";
}

testing::ProcessResult run_script(const std::string& script, std::vector<std::string> args,
                                   std::vector<std::string> environment, int time_limit_seconds) {
  testing::ProcessOptions options;
  options.args = {source_dir() + "/" + script};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.environment = std::move(environment);
  options.time_limit_seconds = time_limit_seconds;
  return testing::run_process("/bin/bash", options);
}

// The number after the ": " of the first line that starts with label; -1 when none.
long figure_after(const std::string& text, const std::string& label) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(label, 0) != 0) continue;
    const auto colon = line.find(": ");
    return colon == std::string::npos ? -1 : std::atol(line.c_str() + colon + 2);
  }
  return -1;
}

TEST(DemoTest, FetchesCoversThenRebuildsNothingAndLeavesNoServerBehind) {
#ifdef _WIN32
  GTEST_SKIP() << "the demo is a bash script that builds and runs the Linux program";
#endif
  ASSERT_FALSE(build_dir().empty()) << "TORVANE_EXE is not set";
  TempDir dir;
  const auto run = run_script("scripts/demo", {},
                              {"TORVANE_DEMO_BUILD=" + build_dir(), "TORVANE_DEMO_DIR=" + dir.path("demo")}, 180);
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.timed_out);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;

  // First run: every table built, and covers came from the local server.
  const std::string first = dir.read("demo/first-run.log");
  EXPECT_THAT(first, HasSubstr("pool.cdx wurde angelegt."));
  EXPECT_GT(figure_after(first, "Im Internet gefunden"), 0) << first;
  EXPECT_GT(figure_after(first, "Gefundene ISBN-Cover"), 0);
  // Second run: the same end, nothing rebuilt.
  const std::string second = dir.read("demo/torvane.log");
  EXPECT_THAT(second, HasSubstr("=> Fertig!"));
  EXPECT_THAT(second, Not(HasSubstr("anlegen")));
  // The closing words name the results.
  EXPECT_THAT(run.out, HasSubstr("pool.dbf"));
  EXPECT_THAT(run.out, HasSubstr("COVER/cover.dbf"));
  EXPECT_THAT(run.out, HasSubstr(".bk1"));
  EXPECT_THAT(run.out, HasSubstr("Run log of the last run: " + dir.path("demo") + "/torvane.log"));

  // The image server is gone.
  const std::string pid = dir.read("demo/server.pid");
  ASSERT_FALSE(pid.empty());
  EXPECT_FALSE(fs::exists("/proc/" + pid.substr(0, pid.find('\n')))) << "image server " << pid << " still runs";
}

TEST(DemoTest, BenchmarkSuiteWritesAFullRowForEveryBenchmark) {
  const std::string build = build_dir();
  ASSERT_FALSE(build.empty()) << "TORVANE_EXE is not set";
  if (!fs::exists(build + "/bench/cdx_bench")) GTEST_SKIP() << "benchmarks not built (-DTORVANE_BENCH=ON)";
  if (!fs::exists("/usr/bin/sqlite3")) GTEST_SKIP() << "sqlite3 is not installed (scripts/ensure-tools --bench)";
  TempDir dir;
  const auto run = run_script("bench/run", {"--size", "tiny", "--no-build", "--build", build, "--out", dir.path("report.md")},
                              {"BENCH_SIZE="}, 600);
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.timed_out);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("failed")));

  const std::string report = dir.read("report.md");
  EXPECT_THAT(report, HasSubstr("| Benchmark | Figure | Baseline | Ratio | Goal | Met | Peak memory |"));
  for (const char* name : {"| Text scan", "| ISBN2EAN on valid", "| INI lookups", "| DBF append", "| DBF read",
                           "| CDX bulk build", "| CDX walk", "| NTX build,", "| Pool phase, cold", "| Pool phase, warm",
                           "| Pool table and index"}) {
    EXPECT_THAT(report, HasSubstr(name));
  }
  // A reader that no longer matches its benchmark's output leaves a cell empty.
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("| ", 0) == 0) {
      EXPECT_THAT(line, Not(HasSubstr("|  |"))) << line;
    }
  }
}

}  // namespace
}  // namespace torvane::testing
