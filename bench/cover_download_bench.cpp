// The cover pass against an image server with one and with eight exchanges in flight.
//
//   cover_download_bench                 (arguments are ignored; run by bench/run)
//
// Builds a pool table of TORVANE_BENCH_TITLES titles (else by TORVANE_BENCH_SIZE: tiny
// 100, small 1,000, full and by default 5,000), 30 % of which have a cover on the local
// image server (tools/image_server beside this build, started with --answer-delay 20:
// 20 ms before every answer, as a server far away). Then the whole program runs the
// cover pass over two copies of the same medium, with `Connections` 1 and 8, and the
// two runs' cover tables, memo files, indexes, not-found tables and run logs are
// compared byte for byte. Goal: 8 connections at least 6 times as fast as one.
// With TORVANE_BENCH_BASELINE naming another build of the program (today's code, say),
// it runs too, with the same configuration, and the one-connection run is set against
// it (goal: at most 1.1 times its time).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/failure.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"

namespace {

namespace fs = std::filesystem;
using torvane::storage::DbfTable;
using torvane::storage::FieldSpec;
using torvane::storage::Variant;

constexpr int kAnswerDelayMs = 20;

std::size_t titles() {
  const char* size = std::getenv("TORVANE_BENCH_SIZE");
  const std::string name = size != nullptr ? size : "full";
  return torvane::bench::env_count("TORVANE_BENCH_TITLES", name == "tiny" ? 100 : name == "small" ? 1000 : 5000);
}

// Titles of the publisher 3-16 (a known registrant range): ISBN-13 key and ISBN-10.
struct Title {
  std::string key, isbn10;
};
Title title(std::uint32_t number) {
  char six[8];
  std::snprintf(six, sizeof six, "%06u", number % 1000000);
  const std::string nine = std::string("316") + six;
  int sum10 = 0, sum13 = 0;
  for (int i = 0; i < 9; ++i) sum10 += (10 - i) * (nine[i] - '0');
  const int check10 = (11 - sum10 % 11) % 11;
  const std::string twelve = "978" + nine;
  for (int i = 0; i < 12; ++i) sum13 += (twelve[i] - '0') * (i % 2 == 0 ? 1 : 3);
  return {twelve + static_cast<char>('0' + (10 - sum13 % 10) % 10),
          nine + (check10 == 10 ? 'X' : static_cast<char>('0' + check10))};
}

bool write_bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The medium (pool table and index, an empty cover folder) and the server's images.
bool build_medium(const fs::path& medium, const fs::path& images, std::size_t count, std::size_t& covers) {
  fs::create_directories(medium / "COVER");
  fs::create_directories(images);
  const std::vector<FieldSpec> schema{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
  const std::string pool_path = (medium / "pool.dbf").string();
  if (!DbfTable::create(pool_path, schema, Variant::cdx)) return false;
  auto pool = DbfTable::open(pool_path);
  if (!pool) return false;
  std::mt19937 random(18);
  covers = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Title t = title(static_cast<std::uint32_t>(i * 197 + 11));
    pool->append();
    pool->assign("ISBN", t.key);
    pool->assign_number("POOL", 1);
    if (random() % 10 < 3) {
      std::string jpeg = "\xFF\xD8\xFF\xE0";
      jpeg.resize(2000 + random() % 6000, static_cast<char>('a' + i % 26));
      if (!write_bytes(images / (t.isbn10 + ".jpg"), jpeg)) return false;
      ++covers;
    }
  }
  const bool indexed = pool->create_index((medium / "pool.cdx").string());
  return pool->close() && indexed && write_bytes(medium / "POOL.INI", "[Pool]\r\n");
}

// One whole run of exe over a fresh copy of the medium in folder; wall seconds, or a
// negative number when it failed.
double run(const fs::path& exe, const fs::path& folder, const fs::path& medium, int port, int connections) {
  fs::remove_all(folder);
  fs::create_directories(folder / "bin");
  fs::copy(medium, folder / "dvd", fs::copy_options::recursive);
  fs::copy_file(exe, folder / "bin" / "torvane");
  write_bytes(folder / "torvane.ini", "[DVD]\r\nPfad=dvd\r\nCheck=0\r\n[Download]\r\nCover=1\r\n"
                                      "CoverDBF=dvd\\COVER\\COVER.DBF\r\nInternet=1\r\nServer=127.0.0.1:" +
                                          std::to_string(port) + "\r\nConnections=" + std::to_string(connections) +
                                          "\r\n");
  const std::string command =
      "cd '" + folder.string() + "' && bin/torvane --config torvane.ini </dev/null >/dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = torvane::bench::seconds_since(start);
  return status == 0 ? seconds : -1;
}

// What a run leaves that must not depend on the number of connections.
std::vector<std::string> results(const fs::path& folder) {
  std::vector<std::string> bytes;
  for (const char* name : {"dvd/COVER/cover.dbf", "dvd/COVER/cover.fpt", "dvd/COVER/cover.cdx", "bin/notfound.dbf",
                           "bin/notfound.cdx", "torvane.log"}) {
    bytes.push_back(read_bytes(folder / name));
  }
  return bytes;
}

}  // namespace

int main(int, char** argv) {
  torvane::bench::print_failures(torvane::platform::FailureChoice::quit);
  torvane::storage::register_cdx_driver();
  const fs::path build = fs::canonical(fs::path(argv[0])).parent_path().parent_path();
  const fs::path exe = build / "torvane", server = build / "tools" / "image_server";
  for (const fs::path& tool : {exe, server}) {
    if (!fs::exists(tool)) {
      std::fprintf(stderr, "cover_download_bench: %s is missing\n", tool.c_str());
      return 2;
    }
  }
  const fs::path work = fs::temp_directory_path() / ("cover_download_bench_" + std::to_string(std::random_device()()));
  const std::size_t count = titles();
  std::size_t covers = 0;
  if (!build_medium(work / "medium", work / "images", count, covers)) {
    std::fprintf(stderr, "cover_download_bench: the medium could not be built\n");
    return 1;
  }

  // The server ends when its standard input, this pipe, is closed.
  const std::string start_server = "'" + server.string() + "' --dir '" + (work / "images").string() +
                                   "' --answer-delay " + std::to_string(kAnswerDelayMs) + " --idle 900 --port-file '" +
                                   (work / "port").string() + "' --watch-stdin >/dev/null";
  std::FILE* server_input = ::popen(start_server.c_str(), "w");
  for (int i = 0; i < 200 && !fs::exists(work / "port"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int port = std::atoi(read_bytes(work / "port").c_str());
  if (server_input == nullptr || port <= 0) {
    std::fprintf(stderr, "cover_download_bench: the image server did not start\n");
    return 1;
  }

  const double one = run(exe, work / "one", work / "medium", port, 1);
  const double eight = run(exe, work / "eight", work / "medium", port, 8);
  const char* baseline_exe = std::getenv("TORVANE_BENCH_BASELINE");
  const double baseline =
      baseline_exe != nullptr && *baseline_exe != 0 ? run(baseline_exe, work / "baseline", work / "medium", port, 1) : 0;
  ::pclose(server_input);

  const bool same = one > 0 && eight > 0 && results(work / "one") == results(work / "eight");
  std::printf("%zu titles, %zu of them with a cover on the server; %d ms before every answer\n", count, covers,
              kAnswerDelayMs);
  std::printf("  cover pass, 1 connection   %8.2f s\n", one);
  std::printf("  cover pass, 8 connections  %8.2f s\n", eight);
  std::printf("  8 connections against 1: speed-up ratio %.2f (goal >= 6)\n", eight > 0 ? one / eight : 0.0);
  std::printf("  tables, memo files, indexes, not-found tables and run logs identical: %s\n", same ? "yes" : "NO");
  if (baseline != 0) {
    std::printf("  1 connection against the baseline build %.2f s: ratio %.2f (goal <= 1.1)\n", baseline,
                baseline > 0 ? one / baseline : 0.0);
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return same ? 0 : 1;
}
