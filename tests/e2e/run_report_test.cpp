// What a script learns of a run: the exit status under --strict, the run report read
// back with the same JSON library, the error lines on standard error, and a dry run
// that leaves every byte and time stamp of the medium as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/medium_builder.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

using nlohmann::json;

class RunReport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    MediumOptions options;
    options.pools = 2;
    options.records = 40;
    medium = make_medium(dir.path("dvd"), options);
    ASSERT_TRUE(medium.ok) << medium.error;
  }

  RunResult run(std::vector<std::string> args, std::string config_path = {}) {
    RunOptions options;
    options.working_directory = dir.path();
    options.args = {"--config", config_path.empty() ? medium.config_path : config_path};
    options.args.insert(options.args.end(), args.begin(), args.end());
    return run_torvane(options);
  }

  json report() const {
    std::ifstream in(dir.path("report.json"));
    return json::parse(in, nullptr, false);
  }

  // Every entry of the files list with the action given, as path -> entry.
  static std::map<std::string, json> files_with(const json& doc, const std::string& action) {
    std::map<std::string, json> found;
    for (const json& f : doc["files"])
      if (f["action"] == action) found[f["path"].get<std::string>()] = f;
    return found;
  }

  TempDir dir{"e2e.report."};
  GeneratedMedium medium;
};

TEST_F(RunReport, ACleanRunIsOkAndTellsWhatItBuilt) {
  const RunResult first = run({"--strict", "--report", dir.path("report.json")});
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  const json doc = report();
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["schema"], 1);
  EXPECT_EQ(doc["mode"], "prepare");
  EXPECT_EQ(doc["outcome"], "ok");
  EXPECT_EQ(doc["exit_status"], 0);
  EXPECT_EQ(doc["configuration"], medium.config_path);
  EXPECT_EQ(doc["medium"]["resolved"], std::filesystem::canonical(medium.root).string());
  EXPECT_LE(doc["start"].get<std::string>(), doc["end"].get<std::string>());
  EXPECT_GE(doc["duration_seconds"].get<double>(), 0.0);
  ASSERT_EQ(doc["phases"].size(), 10u);
  EXPECT_EQ(doc["phases"][0]["name"], "stale files of the medium root");
  EXPECT_TRUE(doc["phases"][5]["ran"]);

  // Both position tables and the pool table, with their rows; a backup and a filtered
  // MAB2 file for every pool the generator gave failing lines.
  const auto built = files_with(doc, "built");
  std::uint64_t position_rows = 0, pool_rows = 0;
  for (const auto& [path, f] : built) {
    if (path.ends_with("pool.dbf")) pool_rows = f["records"].get<std::uint64_t>();
    if (path.find("POOL1.") != std::string::npos || path.find("POOL2.") != std::string::npos) {
      if (!f["records"].is_null()) position_rows += f["records"].get<std::uint64_t>();
    }
  }
  EXPECT_EQ(position_rows, medium.count("rows"));
  EXPECT_EQ(pool_rows, medium.count("rows"));
  EXPECT_EQ(doc["scan"]["records"].get<std::uint64_t>(), medium.count("rows"));
  EXPECT_EQ(doc["scan"]["numbers"]["isbn"].get<std::uint64_t>() + doc["scan"]["numbers"]["issn"].get<std::uint64_t>() +
                doc["scan"]["numbers"]["ismn"].get<std::uint64_t>() + doc["scan"]["numbers"]["ean"].get<std::uint64_t>(),
            medium.count("rows"));
  if (medium.count("filtered-lines") > 0) {
    EXPECT_FALSE(files_with(doc, "backed up").empty());
    EXPECT_FALSE(files_with(doc, "filtered").empty());
  }
  EXPECT_TRUE(doc["messages"].empty()) << doc["messages"].dump();

  // The second run builds nothing.
  const RunResult second = run({"--strict", "--report", dir.path("report.json")});
  EXPECT_EQ(second.exit_status, 0);
  EXPECT_TRUE(files_with(report(), "built").empty());
}

TEST_F(RunReport, AMissingMab2FileIsAnErrorForScripts) {
  std::filesystem::remove(dir.path("dvd/POOL2/POOL2.MAB"));
  const RunResult plain = run({});
  EXPECT_EQ(plain.exit_status, 0);  // without --strict the status stays as it was

  const RunResult strict = run({"--strict", "--report=" + dir.path("report.json")});
  EXPECT_EQ(strict.exit_status, 4);
  EXPECT_NE(strict.err.find("POOL2.MAB ist nicht vorhanden."), std::string::npos) << strict.err;
  const json doc = report();
  EXPECT_EQ(doc["outcome"], "errors");
  EXPECT_EQ(doc["exit_status"], 4);
  ASSERT_FALSE(doc["messages"].empty());
  EXPECT_EQ(doc["messages"][0]["level"], "error");
  EXPECT_EQ(doc["messages"][0]["phase"], "pool phase and pool table");
}

TEST_F(RunReport, AFatalCheckAndAnUnexpectedFailureHaveTheirOwnStatus) {
  dir.write("nameless.ini", "[DVD]\r\nPfad=" + medium.root + "\r\n");
  EXPECT_EQ(run({}, dir.path("nameless.ini")).exit_status, 0);
  const RunResult fatal = run({"--strict", "--report", dir.path("report.json")}, dir.path("nameless.ini"));
  EXPECT_EQ(fatal.exit_status, 3);
  EXPECT_NE(fatal.err.find("Error: Kein Datentr"), std::string::npos) << fatal.err;
  EXPECT_EQ(report()["outcome"], "fatal");

  // A pool index damaged in place stops the run through the failure handler.
  ASSERT_EQ(run({}).exit_status, 0);
  const std::string index = dir.path("dvd/pool.cdx");
  ASSERT_TRUE(std::filesystem::exists(index));
  std::string bytes = dir.read("dvd/pool.cdx");
  for (std::size_t i = 1536; i < bytes.size(); ++i) bytes[i] = '\xA5';
  dir.write("dvd/pool.cdx", bytes);
  const RunResult failed = run({"--strict", "--report", dir.path("report.json")});
  EXPECT_EQ(failed.exit_status, 1);
  const json doc = report();
  EXPECT_EQ(doc["outcome"], "failed");
  EXPECT_EQ(doc["exit_status"], 1);
  ASSERT_FALSE(doc["messages"].empty());
  EXPECT_NE(doc["messages"].back()["text"].get<std::string>().find("Corruption detected"), std::string::npos);
  // What mends it is said, on the console and in the run log.
  EXPECT_NE(failed.log.find("Hinweis: Datei "), std::string::npos) << failed.log;
  EXPECT_NE(failed.log.find("pool.cdx ist besch\xE4" "digt; wird sie gel\xF6scht, legt der n\xE4" "chste Lauf sie neu an."),
            std::string::npos) << failed.log;
}

TEST_F(RunReport, TheCheckBeforeMasteringReportsItsFindings) {
  ASSERT_EQ(run({}).exit_status, 0);
  const RunResult clean = run({"--verify", "--strict", "--report", dir.path("report.json")});
  EXPECT_EQ(clean.exit_status, 0) << clean.out;
  json doc = report();
  EXPECT_EQ(doc["mode"], "verify");
  EXPECT_EQ(doc["outcome"], "ok");
  EXPECT_TRUE(doc["findings"].empty());

  // The header's record count, changed in place with the file's time kept.
  const auto time = std::filesystem::last_write_time(dir.path("dvd/pool.dbf"));
  std::string bytes = dir.read("dvd/pool.dbf");
  bytes[4] ^= 0x01;
  dir.write("dvd/pool.dbf", bytes);
  std::filesystem::last_write_time(dir.path("dvd/pool.dbf"), time);
  const RunResult damaged = run({"--verify", "--report", dir.path("report.json")});
  EXPECT_EQ(damaged.exit_status, 5);
  doc = report();
  EXPECT_EQ(doc["outcome"], "errors");
  EXPECT_EQ(doc["exit_status"], 5);
  ASSERT_EQ(doc["findings"].size(), 1u) << doc["findings"].dump();
  EXPECT_TRUE(doc["findings"][0]["file"].get<std::string>().ends_with("pool.dbf"));
  EXPECT_FALSE(doc["findings"][0]["remedy"].get<std::string>().empty());
}

TEST_F(RunReport, ABadCommandLineIsStatusTwo) {
  EXPECT_EQ(run({"--frobnicate"}).exit_status, 2);
  EXPECT_EQ(run({"--report"}).exit_status, 2);
}

// Every file under a folder with its bytes and last-write time.
std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> tree(const std::string& root) {
  std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    files[entry.path().string()] = {bytes, entry.last_write_time()};
  }
  return files;
}

TEST_F(RunReport, ADryRunChangesNothingAndSaysWhatARunWouldDo) {
  const auto before = tree(dir.path());
  const RunResult dry = run({"--dry-run"});
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_TRUE(tree(dir.path()) == before) << "the dry run changed a file";
  EXPECT_FALSE(dry.log_exists);
  EXPECT_NE(dry.out.find("pool.dbf w\xC3\xBCrde angelegt"), std::string::npos) << dry.out;
  if (medium.count("filtered-lines") > 0) {
    EXPECT_NE(dry.out.find("w\xC3\xBCrde gefiltert"), std::string::npos);
  }

  // After a run, a changed MAB2 file is named with its table.
  ASSERT_EQ(run({}).exit_status, 0);
  const std::string mab = dir.path("dvd/POOL1/POOL1.MAB");
  std::filesystem::last_write_time(mab, std::filesystem::file_time_type::clock::now());
  const auto after_run = tree(dir.path());
  const RunResult second = run({"--dry-run"});
  EXPECT_TRUE(tree(dir.path()) == after_run);
  EXPECT_NE(second.out.find("(MAB2-Datei neuer)"), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("Titel ohne Cover"), std::string::npos) << second.out;
}

}  // namespace
}  // namespace torvane::testing
