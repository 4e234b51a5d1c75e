// Whole runs with several exchanges in flight (`Connections`): for the same answers of
// the image server, a run with eight connections leaves the same files, byte for byte,
// and the same run log as a run with one.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "isbn/numbers.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/http_test_server.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

std::string title(int n) { return ean13("97831614" + std::to_string(1000 + n).substr(0, 4)); }

void write_table(const std::string& path, const std::vector<std::pair<std::string, std::string>>& rows, bool memo) {
  std::vector<storage::FieldSpec> schema = {{"ISBN", 'C', 13, 0}};
  if (memo) schema.push_back({"COVER", 'M', 10, 0});
  ASSERT_TRUE(storage::DbfTable::create(path, schema, storage::Variant::cdx));
  auto table = storage::DbfTable::open(path);
  ASSERT_TRUE(table);
  for (const auto& [key, image] : rows) {
    ASSERT_TRUE(table->append());
    table->assign("ISBN", key);
    if (memo) table->assign_memo("COVER", image);
  }
  ASSERT_TRUE(table->create_index(path.substr(0, path.rfind('.')) + ".cdx"));
  ASSERT_TRUE(table->close());
}

// The medium: 60 titles in key order, copies of some, an old-style ISMN, a 979 number,
// an invalid number; covers on the server for every fifth title (some of them only
// under a later path), import covers for others, and titles a former run did not find.
void write_medium(TempDir& dir) {
  std::vector<std::pair<std::string, std::string>> pool;
  for (int n = 0; n < 60; ++n) pool.emplace_back(title(n), "");
  for (int n : {7, 10, 33}) pool.emplace_back(title(n), "");
  for (const char* other : {"M123456789", "9791000000007", "12345678"}) pool.emplace_back(other, "");
  dir.make_dir("dvd/COVER");
  dir.make_dir("bin");
  std::vector<storage::FieldSpec> schema = {{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
  ASSERT_TRUE(storage::DbfTable::create(dir.path("dvd/pool.dbf"), schema, storage::Variant::cdx));
  auto table = storage::DbfTable::open(dir.path("dvd/pool.dbf"));
  for (const auto& row : pool) {
    ASSERT_TRUE(table->append());
    table->assign("ISBN", row.first);
    table->assign_number("POOL", 1);
  }
  ASSERT_TRUE(table->create_index(dir.path("dvd/pool.cdx")));
  ASSERT_TRUE(table->close());
  write_table(dir.path("dvd/IMPORT.DBF"), {{title(4), "GIF89a import 4"}, {title(21), "GIF89a import 21"}}, true);
  write_table(dir.path("dvd/COVER/notfound.dbf"), {{title(8), ""}, {title(9), ""}}, false);
  dir.write("dvd/POOL.INI", "[Pool]\r\n[Cover]\r\n1=COVER\\COVER.DBF\r\n");
}

TEST(CoverConnections, EightConnectionsLeaveTheSameFilesAsOne) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  storage::register_cdx_driver();
  // Answers that take longer the earlier the title, so that later titles come first.
  HttpTestServer server(
      [](const std::string& path) {
        int n = -1;
        for (int i = 0; i < 60 && n < 0; ++i)
          if (path.find(isbn10_of(title(i))) != std::string::npos) n = i;
        ScriptedReply reply{HttpTestServer::response(404, "")};
        reply.pause = std::chrono::milliseconds(n >= 0 ? (60 - n) / 6 : 0);
        std::string image = "GIF89a" + std::string(1000 + n, static_cast<char>('a' + n % 26));
        if (n % 5 == 0 && path.ends_with(n % 10 == 0 ? ".MZZZZZZZ.jpg" : ".TZZZZZZZ.gif"))
          reply.bytes = HttpTestServer::response(200, image);
        return reply;
      },
      HttpTestServer::Serving::side_by_side);

  std::map<std::string, std::string> files[2];
  std::string logs[2];
  for (int round = 0; round < 2; ++round) {
    TempDir dir{"e2e.connections."};
    write_medium(dir);
    copy_program(dir.path("bin"));
    RunOptions options;
    options.working_directory = dir.path();
    options.executable = dir.path("bin/torvane");
    // The same relative paths in both rounds, so the run logs can be compared whole.
    options.config = "[DVD]\r\nPfad=dvd\r\nCheck=0\r\n[Download]\r\nCover=1\r\nCover2Pool=1\r\n"
                     "CoverDBF=dvd\\COVER\\COVER.DBF\r\nCoverImportDBF=dvd\\IMPORT.DBF\r\nInternet=1\r\n"
                     "Server=127.0.0.1:" + std::to_string(server.port()) + "\r\nTimeout=5000\r\nConnections=" +
                     (round == 0 ? "1" : "8") + "\r\n";
    const RunResult result = run_torvane(options);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    files[round] = file_tree(dir.path("dvd"));
    logs[round] = result.log;
  }
  EXPECT_EQ(logs[1], logs[0]);
  ASSERT_EQ(files[1].size(), files[0].size());
  for (const auto& [name, bytes] : files[0]) EXPECT_TRUE(files[1][name] == bytes) << name << " differs";
  // The medium had all that was meant: covers from the server and the import table,
  // titles not found, and titles skipped because a former run had not found them.
  EXPECT_NE(logs[0].find("Im Internet gefunden...............:         12\r\n"), std::string::npos) << logs[0];
  EXPECT_NE(logs[0].find("Gefundene ISBN-Cover...............:         14\r\n"), std::string::npos) << logs[0];
}

}  // namespace
}  // namespace torvane::testing
