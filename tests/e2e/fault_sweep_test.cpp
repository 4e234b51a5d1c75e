// A run ended by a fault, then run again, must leave the medium as one clean run does.
//
// The medium: two pools whose MAB2 files need filtering, position tables, the pool
// table, covers from an import table and from an image server on 127.0.0.1, cover
// flags; once with CDX and once with NTX indexes. The program is torvane_faults, the
// program with the fault layer armed from its environment. A counting run lists every
// file-changing operation and is the reference. Then, for each k:
//   kill:k   the process ends before the k-th operation, as a kill would;
//   full:k   the disk is full from the k-th write on;
// and the program runs again without fault. The medium must then equal the reference:
// the same files (no temporary file, no partial backup left), each table with the same
// header and records, its index keys equal to its own keys, the same memo values, and
// every other file (MAB2 files, backups, start-up files) with the same bytes.
//
// Operations on the run log are not killed at: the run log is not on the medium, and a
// kill there leaves the medium as a kill at the next operation does. The sanitizer
// build takes every third k (and fewer "disk full" points) to stay within its time.
//
// Environment (scripts/fault-sweep): TORVANE_SWEEP_RECORDS (records per pool, default
// 12), TORVANE_SWEEP_SIZE (MAB2 bytes instead, e.g. 2M), TORVANE_SWEEP_STRIDE (every
// n-th k), TORVANE_SWEEP_FULL_POINTS (how many "disk full" points; 0 = every write),
// TORVANE_SWEEP_JOBS (runs at once; default the processors, at most 4).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "isbn/numbers.h"
#include "platform/fault_injection.h"
#include "platform/process.h"
#include "support/e2e_support.h"
#include "support/http_test_server.h"
#include "support/medium_builder.h"
#include "support/medium_state.h"
#include "support/run_process.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;
namespace fault = platform::fault;

#ifdef TORVANE_SANITIZED_BUILD
constexpr std::uint64_t kDefaultStride = 3;
constexpr std::uint64_t kDefaultFullPoints = 12;
#else
constexpr std::uint64_t kDefaultStride = 1;
constexpr std::uint64_t kDefaultFullPoints = 40;
#endif

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::string env_text(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr ? text : "";
}

// torvane_faults beside $TORVANE_EXE.
std::string fault_program() {
  const fs::path exe(torvane_executable());
  return (exe.parent_path() / ("torvane_faults" + exe.extension().string())).string();
}

struct Operation {
  std::uint64_t k = 0;
  std::string kind, name;
};

// The lines "<k> <operation> <name>" of a count report.
std::vector<Operation> read_operations(const std::string& path) {
  std::vector<Operation> operations;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Operation op;
    fields >> op.k >> op.kind;
    std::getline(fields >> std::ws, op.name);
    operations.push_back(op);
  }
  return operations;
}

bool on_run_log(const Operation& op) { return op.name.ends_with(".log"); }

// Every n-th of a list, the last one always included.
template <typename T>
std::vector<T> every(const std::vector<T>& all, std::uint64_t stride) {
  std::vector<T> picked;
  for (std::size_t i = 0; i < all.size(); i += std::max<std::uint64_t>(stride, 1)) picked.push_back(all[i]);
  if (!all.empty() && (picked.empty() || !(picked.back().k == all.back().k))) picked.push_back(all.back());
  return picked;
}

class FaultSweep : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    if (!fs::exists(fault_program())) GTEST_SKIP() << "no " << fault_program();
    MediumOptions options;
    options.pools = 2;
    options.records = env_number("TORVANE_SWEEP_RECORDS", 12);
    options.size = env_text("TORVANE_SWEEP_SIZE");
    options.filter_lines = 0.05;
    options.long_lines = 0.02;
    options.covers = 8;
    options.args = {"--import-table"};
    const GeneratedMedium medium = make_medium(dir.path("pristine/dvd"), options);
    ASSERT_TRUE(medium.ok) << medium.error;
    // The image server has the covers of the generator that the import table lacks.
    for (const auto& entry : fs::directory_iterator(dir.path("pristine/dvd/IMPORT"))) {
      if (entry.path().extension() == ".GIF") covers[isbn10_of(entry.path().stem().string())] = read_file(entry.path());
    }
    server = std::make_unique<HttpTestServer>([this](const std::string& path) {
      for (const auto& [isbn10, image] : covers) {
        if (!isbn10.empty() && path.find("/" + isbn10 + ".") != std::string::npos && path.ends_with(".gif")) {
          return ScriptedReply{HttpTestServer::response(200, image)};
        }
      }
      return ScriptedReply{HttpTestServer::response(404, "")};
    });
  }

  // A fresh copy of the medium in folder, with the program under the name torvane (a
  // hard link where the file system allows one).
  void prepare(const std::string& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder + "/bin");
    fs::copy(dir.path("pristine/dvd"), folder + "/dvd", fs::copy_options::recursive);
    std::error_code no_link;
    fs::create_hard_link(fault_program(), folder + "/bin/torvane", no_link);
    if (no_link) fs::copy_file(fault_program(), folder + "/bin/torvane");
    const std::string root = folder + "/dvd";
    std::ofstream(folder + "/test.ini", std::ios::binary)
        << "[DVD]\r\nPfad=" << root << "\r\nName=Sweep\r\nUseCDX=" << (GetParam() ? "0" : "1")
        << "\r\n[MAB]\r\nFilter=1\r\nPoolFilter=POOL1;POOL2\r\n[Download]\r\nCover=1\r\nCover2Pool=1\r\n"
        << "CoverDBF=" << root << "\\COVER\\COVER.DBF\r\nCoverImportDBF=" << root << "\\COVER\\IMPORT.DBF\r\n"
        << "Internet=1\r\nServer=127.0.0.1:" << server->port() << "\r\nTimeout=3000\r\n";
  }

  // Runs the program over the medium of folder; plan "" runs it without fault.
  testing::ProcessResult run(const std::string& folder, const std::string& plan, const std::string& report = "") {
    testing::ProcessOptions options;
    options.working_directory = folder;
    options.args = {"--config", folder + "/test.ini"};
    options.environment = {"TORVANE_FAULT=" + plan, "TORVANE_FAULT_REPORT=" + report};
    options.time_limit_seconds = 120;
    return testing::run_process(folder + "/bin/torvane", options);
  }

  // The table layer's failure handler is process-wide: one reader at a time.
  MediumState state_of(const std::string& folder) {
    const std::lock_guard<std::mutex> one_reader(state_mutex);
    return medium_state({folder + "/dvd", folder + "/bin"});
  }

  // The fault run in a worker's folder, the run after it, and what differs from the
  // reference; "" when nothing does.
  std::string strike(const std::string& folder, const std::string& plan, bool killed) {
    prepare(folder);
    const testing::ProcessResult faulted = run(folder, plan, folder + "-struck.txt");
    std::ostringstream problems;
    if (killed && faulted.exit_status != fault::kKilledStatus) {
      problems << "\n  the fault run was not ended at that operation (status " << faulted.exit_status << ")";
    }
    if (!killed && faulted.exit_status != 0 && faulted.exit_status != 1) {
      problems << "\n  the fault run ended with status " << faulted.exit_status << ": " << faulted.err.substr(0, 300);
    }
    const testing::ProcessResult again = run(folder, "");
    const std::string log = read_file(folder + "/torvane.log");
    if (again.exit_status != 0) problems << "\n  the run after it ended with status " << again.exit_status;
    for (const std::string& line : crlf_lines(log)) {
      if (line.starts_with("Error")) problems << "\n  the run after it: " << line;
    }
    for (const std::string& difference : compare_states(reference, state_of(folder))) {
      problems << "\n  " << difference;
    }
    return problems.str();
  }

  TempDir dir{"e2e.sweep."};
  std::map<std::string, std::string> covers;  // ISBN-10 -> image
  std::unique_ptr<HttpTestServer> server;
  MediumState reference;
  std::mutex state_mutex;
};

struct Strike {
  std::string plan;         // kill:K or full:K
  std::string description;  // the operation, for the report
  std::string problems;     // filled in by the sweep
};

// Runs every strike on a few workers, each in a folder of its own.
template <typename Run>
void run_all(std::vector<Strike>& strikes, Run run) {
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  const auto workers = static_cast<unsigned>(env_number("TORVANE_SWEEP_JOBS", std::min(hardware, 4u)));
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < std::max(workers, 1u); ++w) {
    threads.emplace_back([&, w] {
      for (std::size_t i = next++; i < strikes.size(); i = next++) run(w, strikes[i]);
    });
  }
  for (std::thread& t : threads) t.join();
}

TEST_P(FaultSweep, EveryKillAndFullDiskIsRepairedByTheNextRun) {
  const auto started = std::chrono::steady_clock::now();
  // The reference: a counting run over a fresh copy. A second clean run must change
  // nothing, or no comparison below could hold.
  const std::string clean = dir.path("clean");
  prepare(clean);
  const std::string list = dir.path("operations.txt");
  ASSERT_EQ(run(clean, "count", list).exit_status, 0);
  reference = state_of(clean);
  ASSERT_FALSE(server->paths().empty()) << "the image server was never asked";
  ASSERT_EQ(run(clean, "").exit_status, 0);
  const std::vector<std::string> second = compare_states(reference, state_of(clean));
  ASSERT_TRUE(second.empty()) << "a second clean run changed the medium:\n" << ::testing::PrintToString(second);

  const std::vector<Operation> operations = read_operations(list);
  std::vector<Operation> kill_points, writes;
  for (const Operation& op : operations) {
    if (!on_run_log(op)) kill_points.push_back(op);
    if (op.kind == "write") writes.push_back(op);
  }
  ASSERT_FALSE(kill_points.empty());
  kill_points = every(kill_points, env_number("TORVANE_SWEEP_STRIDE", kDefaultStride));
  const std::uint64_t full_points = env_number("TORVANE_SWEEP_FULL_POINTS", kDefaultFullPoints);
  std::vector<std::uint64_t> write_numbers;
  for (std::size_t i = 0; i < writes.size(); ++i) write_numbers.push_back(i + 1);
  const std::uint64_t full_stride = full_points == 0 ? 1 : (write_numbers.size() + full_points - 1) / full_points;

  std::vector<Strike> strikes;
  for (const Operation& op : kill_points) {
    strikes.push_back({"kill:" + std::to_string(op.k), "kill before operation " + std::to_string(op.k) + " (" +
                                                          op.kind + " " + op.name + ")",
                       {}});
  }
  const std::size_t kills = strikes.size();
  for (std::size_t i = 0; i < write_numbers.size(); i += std::max<std::uint64_t>(full_stride, 1)) {
    strikes.push_back({"full:" + std::to_string(write_numbers[i]),
                       "disk full from write " + std::to_string(write_numbers[i]) + " (operation " +
                           std::to_string(writes[i].k) + ", " + writes[i].name + ")",
                       {}});
  }
  run_all(strikes, [&](unsigned worker, Strike& strike) {
    strike.problems = this->strike(dir.path("work" + std::to_string(worker)), strike.plan, strike.plan.starts_with("kill"));
  });
  int failed = 0;
  for (const Strike& strike : strikes) {
    if (strike.problems.empty()) continue;
    ++failed;
    ADD_FAILURE() << strike.description << ":" << strike.problems;
  }
  const std::size_t full_runs = strikes.size() - kills;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  std::printf("fault sweep (%s): %zu operations, %zu writes; %zu kills and %zu disk-full runs; %d failed; %lld s\n",
              GetParam() ? "NTX" : "CDX", operations.size(), writes.size(), kills, full_runs, failed,
              static_cast<long long>(seconds));
}

INSTANTIATE_TEST_SUITE_P(Indexes, FaultSweep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Ntx" : "Cdx"; });

}  // namespace
}  // namespace torvane::testing
