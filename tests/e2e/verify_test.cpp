// The check before mastering: a medium prepared by a real run (pools, pool table,
// cover table from an import table, cover flags, not-found table) passes with status 0
// and is left exactly as it was; copies of it with one change each are found with
// status 5 and a line naming the changed file.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "support/e2e_support.h"
#include "support/medium_builder.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;

// Every file under a folder: its bytes and its last-write time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> tree_of(const std::string& root) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      tree[fs::relative(entry.path(), root).generic_string()] = {read_file(entry.path()), entry.last_write_time()};
  return tree;
}

// A copy of a folder whose files keep their last-write times, as the program judges
// staleness by them.
void copy_with_times(const std::string& from, const std::string& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  for (const auto& entry : fs::recursive_directory_iterator(from))
    if (entry.is_regular_file()) fs::last_write_time(to / fs::relative(entry.path(), from), entry.last_write_time());
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

class VerifyRun : public ::testing::Test {
 protected:
  // One prepared medium for all tests: generating and preparing it is the slow part.
  static void SetUpTestSuite() {
    if (torvane_executable().empty()) return;
    dir_ = new TempDir("e2e.verify.");
    MediumOptions options;
    options.pools = 2;
    options.records = 300;
    options.args = {"--import-table"};
    const GeneratedMedium medium = make_medium(dir_->path("dvd"), options);
    ASSERT_TRUE(medium.ok) << medium.error;
    copy_program(dir_->path("bin"));
    config_ = read_file(medium.config_path);
    const RunResult run = torvane(*dir_, "dvd", {});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    ASSERT_EQ(run.log.find("Error: "), std::string::npos) << run.log;
    fs::remove(run.log_path);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr) GTEST_SKIP() << "TORVANE_EXE is not set";
  }

  // Runs the program from the test folder over the medium in `medium`.
  static RunResult torvane(const TempDir& dir, const std::string& medium, std::vector<std::string> args) {
    RunOptions options;
    options.working_directory = dir.path();
    options.executable = dir.path("bin/torvane");
    std::string config = config_;
    replace_all(config, dir.path("dvd"), dir.path(medium));
    options.config = config;
    options.args = std::move(args);
    return run_torvane(options);
  }

  // A copy of the prepared medium with one file changed in place, its time kept.
  std::string damaged_copy(const std::string& name, const std::string& file,
                           const std::function<void(std::string&)>& change) {
    copy_with_times(dir_->path("dvd"), dir_->path(name));
    const fs::path path = dir_->path(name + "/" + file);
    const auto time = fs::last_write_time(path);
    std::string bytes = read_file(path);
    change(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    fs::last_write_time(path, time);
    return name;
  }

  // Verify over a medium: status 5 and exactly one finding, naming `file` (letter case
  // aside) and saying `what`.
  void expect_found(const std::string& medium, const std::string& file, const std::string& what) {
    const RunResult run = torvane(*dir_, medium, {"--verify"});
    EXPECT_EQ(run.exit_status, 5) << run.out;
    EXPECT_NE(lower(run.out).find(lower(file + ": " + what)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(", 1 finding."), std::string::npos) << run.out;
    EXPECT_FALSE(run.log_exists);
  }

  static TempDir* dir_;
  static std::string config_;
};

TempDir* VerifyRun::dir_ = nullptr;
std::string VerifyRun::config_;

TEST_F(VerifyRun, CleanMediumPassesAndIsLeftAsItWas) {
  const auto medium_before = tree_of(dir_->path("dvd"));
  const auto program_before = tree_of(dir_->path("bin"));
  const RunResult run = torvane(*dir_, "dvd", {"--verify"});
  EXPECT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(run.out.find("Medium checked: 13 files, no findings."), std::string::npos) << run.out;
  EXPECT_FALSE(run.log_exists);
  EXPECT_FALSE(fs::exists(dir_->path("error.log")));
  EXPECT_TRUE(tree_of(dir_->path("dvd")) == medium_before);
  EXPECT_TRUE(tree_of(dir_->path("bin")) == program_before);
}

TEST_F(VerifyRun, ChangedBytesOfIndexRecordMemoAndHeaderAreFound) {
  // A byte of a B-tree page of a pool's index.
  expect_found(damaged_copy("index", "POOL1/pool1.cdx", [](std::string& b) { b[3000] ^= 0x01; }),
               "POOL1.CDX", "");
  // A byte of a record label in a pool's position table.
  expect_found(damaged_copy("record", "POOL1/pool1.dbf", [](std::string& b) { b[130 + 47 + 20] ^= 0x01; }),
               "POOL1.DBF", "HEADER differs");
  // A byte of an image in the cover table's memo file.
  expect_found(damaged_copy("memo", "COVER/cover.fpt", [](std::string& b) { b[1024 + 100] ^= 0x01; }),
               "COVER.fpt", "image differs from the import table's");
  // The record count in the pool table's header.
  expect_found(damaged_copy("count", "pool.dbf", [](std::string& b) { b[4] ^= 0x01; }), "pool.dbf", "header says");
}

TEST_F(VerifyRun, PositionsStaleTablesAndFlagsAreFound) {
  // POSITION of the third row one byte further on.
  expect_found(damaged_copy("position", "POOL2/pool2.dbf",
                            [](std::string& b) {
                              std::string field = b.substr(130 + 2 * 47 + 38, 9);
                              field = std::to_string(std::stoull(field) + 1);
                              b.replace(130 + 2 * 47 + 38 + 9 - field.size(), field.size(), field);
                            }),
               "POOL2.DBF", "POSITION is not the start of a record");
  // The first title flagged with cover table 7, which POOL.INI does not list.
  expect_found(damaged_copy("flag", "pool.dbf", [](std::string& b) { b.replace(130 + 18, 2, " 7"); }), "pool.dbf",
               "COVER names no entry of [Cover]");
  // A MAB2 file newer than its position table.
  copy_with_times(dir_->path("dvd"), dir_->path("stale"));
  const fs::path mab = dir_->path("stale/POOL2/POOL2.MAB");
  fs::last_write_time(mab, fs::last_write_time(dir_->path("stale/POOL2/pool2.dbf")) + std::chrono::seconds(5));
  expect_found("stale", "POOL2.DBF", "older than its MAB2 file");
}

}  // namespace
}  // namespace torvane::testing
