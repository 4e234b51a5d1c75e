// Tables that a killed run left incomplete: the next run repairs or remakes each with one
// "Warnung: " line, the cover phase and the cover flags work, and the run after that is
// quiet. A file that is no table at all is reported and left alone.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "storage/byte_order.h"
#include "storage/cdx_check.h"
#include "storage/cdx_index.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

std::string title(int n) { return ean13("97831614" + std::to_string(8400 + n)); }

std::vector<std::string> titles(int count) {
  std::vector<std::string> keys;
  for (int n = 1; n <= count; ++n) keys.push_back(title(n));
  return keys;
}

class TableRepairRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    storage::register_cdx_driver();
    copy_program(dir.path("bin"));
    dir.make_dir("dvd/COVER");
    dir.write("dvd/POOL.INI", "[Pool]\r\n[Cover]\r\n1=COVER\\COVER.DBF\r\n");
  }
  std::string root() const { return dir.path("dvd") + "\\"; }
  std::string cover_shown() const { return root() + "COVER\\COVER.DBF"; }
  std::string cover_file() const { return dir.path("dvd/COVER/cover.dbf"); }

  RunResult run() {
    RunOptions options;
    options.working_directory = dir.path();
    options.executable = dir.path("bin/torvane");
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nCheck=0\r\n" + dvd_settings +
                     "[Download]\r\nCover=1\r\nCover2Pool=1\r\nCoverDBF=" + cover_shown() + "\r\n";
    RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result;
  }

  // The lines of a run that begin with prefix.
  static std::vector<std::string> lines_of(const RunResult& result, std::string_view prefix) {
    std::vector<std::string> found;
    for (const std::string& line : crlf_lines(result.log))
      if (line.starts_with(prefix)) found.push_back(line);
    return found;
  }

  // One run with exactly the Warnung lines given and no Error line, then one without any.
  void expect_repaired_once(const std::vector<std::string>& warnings) {
    const RunResult first = run();
    EXPECT_EQ(lines_of(first, "Warnung: "), warnings) << first.log;
    EXPECT_EQ(lines_of(first, "Error"), std::vector<std::string>{}) << first.log;
    EXPECT_NE(first.log.find("Gefundene ISBN-Cover"), std::string::npos) << first.log;
    EXPECT_NE(first.log.find("    davon gefunden"), std::string::npos) << first.log;
    const RunResult second = run();
    EXPECT_EQ(lines_of(second, "Warnung: "), std::vector<std::string>{}) << second.log;
    EXPECT_EQ(lines_of(second, "Error"), std::vector<std::string>{}) << second.log;
  }

  void write_pool(const std::vector<std::string>& isbns) {
    write_pool_table(dir.path("dvd/pool.dbf"), dir.path("dvd/pool.cdx"), isbns);
  }

  // The cover table with one image per key and its index.
  void write_covers(const std::vector<std::string>& keys) {
    const std::array<storage::FieldSpec, 2> schema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
    ASSERT_TRUE(storage::DbfTable::create(cover_file(), schema, storage::Variant::cdx));
    auto table = storage::DbfTable::open(cover_file());
    ASSERT_TRUE(table);
    for (const std::string& key : keys) {
      ASSERT_TRUE(table->append());
      table->assign("ISBN", key);
      table->assign_memo("COVER", "GIF89a" + key);
    }
    ASSERT_TRUE(table->create_index(dir.path("dvd/COVER/cover.cdx")));
    ASSERT_TRUE(table->close());
  }

  // Records of a table, read by the program's own table layer.
  std::uint32_t records_of(const std::string& path) {
    auto table = storage::DbfTable::open(path, storage::OpenOptions().with_read_only());
    return table ? table->record_count() : 0;
  }

  static std::uint32_t header_count(const std::string& bytes) {
    return storage::get_u32le(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), 8).subspan(4));
  }

  TempDir dir{"e2e.repair."};
  std::string dvd_settings;  // more lines of [DVD]
};

TEST_F(TableRepairRun, ACoverTableWithoutItsMemoFileIsMadeAnewEmpty) {
  write_pool(titles(3));
  write_covers(titles(3));
  ASSERT_TRUE(std::filesystem::remove(dir.path("dvd/COVER/cover.fpt")));
  expect_repaired_once({"Warnung: Datei " + cover_shown() +
                        " ist unvollst\xE4ndig, die Cover darin sind verloren; sie wird leer neu angelegt."});
  EXPECT_TRUE(dir.exists("dvd/COVER/cover.fpt"));
  EXPECT_TRUE(dir.exists("dvd/COVER/cover.cdx"));
  EXPECT_EQ(records_of(cover_file()), 0u);
}

TEST_F(TableRepairRun, EmptyCoverAndNotFoundTablesAreMadeAnew) {
  write_pool(titles(3));
  dir.write("dvd/COVER/COVER.DBF", "");
  dir.write("dvd/COVER/cover.cdx", "stale");
  dir.write("bin/notfound.dbf", "");
  // What a run killed while creating the cover table left under its build name.
  dir.write("dvd/COVER/cover~99999.dbf", "");
  dir.write("dvd/COVER/cover~99999.cdx.tmp", "");
  const RunResult first = run();
  const std::vector<std::string> warnings = lines_of(first, "Warnung: ");
  ASSERT_EQ(warnings.size(), 2u) << first.log;
  EXPECT_EQ(warnings[0], "Warnung: Datei " + cover_shown() +
                             " ist unvollst\xE4ndig, die Cover darin sind verloren; sie wird leer neu angelegt.");
  EXPECT_TRUE(warnings[1].ends_with("notfound.dbf ist unvollst\xE4ndig und wird leer neu angelegt.")) << warnings[1];
  EXPECT_EQ(lines_of(first, "Error"), std::vector<std::string>{}) << first.log;
  EXPECT_NE(first.log.find("Nicht-gefundene Cover..............:          3"), std::string::npos) << first.log;
  EXPECT_FALSE(dir.exists("dvd/COVER/cover~99999.dbf"));
  EXPECT_FALSE(dir.exists("dvd/COVER/cover~99999.cdx.tmp"));
  for (const char* file : {"dvd/COVER/cover.dbf", "dvd/COVER/cover.fpt", "bin/notfound.dbf", "bin/notfound.cdx"})
    EXPECT_TRUE(dir.exists(file)) << file;
  const RunResult second = run();
  EXPECT_EQ(lines_of(second, "Warnung: "), std::vector<std::string>{}) << second.log;
}

// A kill while the cover table was closed: records, memo values and index on disk, the
// header still counting none. Only the count changes; the index is kept.
TEST_F(TableRepairRun, AHeaderCountOfNoneBeforeTwentyRecordsIsMended) {
  write_pool(titles(20));
  write_covers(titles(20));
  const std::string table = dir.read("dvd/COVER/cover.dbf");
  const std::string index = dir.read("dvd/COVER/cover.cdx");
  ASSERT_EQ(header_count(table), 20u);
  std::string killed = table;
  killed.replace(storage::dbf::kRecordCount, 4, std::string(4, '\0'));
  dir.write("dvd/COVER/cover.dbf", killed);
  expect_repaired_once({"Warnung: Datei " + cover_shown() + " war unvollst\xE4ndig geschrieben und wurde repariert."});
  EXPECT_EQ(dir.read("dvd/COVER/cover.dbf"), table);
  EXPECT_EQ(dir.read("dvd/COVER/cover.cdx"), index);
}

// A kill between the rename of a new index and the header update: byte 28 is set again.
TEST_F(TableRepairRun, ALostStructuralFlagIsSetAgain) {
  write_pool(titles(5));
  write_covers(titles(2));
  const std::string table = dir.read("dvd/COVER/cover.dbf");
  ASSERT_EQ(table[storage::dbf::kFlags], '\x01');
  std::string killed = table;
  killed[storage::dbf::kFlags] = '\0';
  dir.write("dvd/COVER/cover.dbf", killed);
  expect_repaired_once({"Warnung: Datei " + cover_shown() + " war unvollst\xE4ndig geschrieben und wurde repariert."});
  EXPECT_EQ(dir.read("dvd/COVER/cover.dbf")[storage::dbf::kFlags], '\x01');
  EXPECT_EQ(records_of(cover_file()), 2u);
}

// The pool table is read only by the cover phase, and still mended before it; its index,
// current before, is not rebuilt.
TEST_F(TableRepairRun, APoolTableCountingNoneIsMendedWithoutRebuildingItsIndex) {
  write_pool(titles(4));
  write_covers(titles(2));
  const std::string index = dir.read("dvd/pool.cdx");
  std::string killed = dir.read("dvd/pool.dbf");
  killed.replace(storage::dbf::kRecordCount, 4, std::string(4, '\0'));
  dir.write("dvd/pool.dbf", killed);
  expect_repaired_once({"Warnung: Datei " + root() + "pool.dbf war unvollst\xE4ndig geschrieben und wurde repariert."});
  EXPECT_EQ(header_count(dir.read("dvd/pool.dbf")), 4u);
  EXPECT_EQ(dir.read("dvd/pool.cdx"), index);
}

// A kill while index pages were written in place: the tree is no longer sound. The index
// is built anew, with the table's keys, and the run goes on; in shared mode too, when no
// other program has the table open.
class TornIndexRun : public TableRepairRun, public ::testing::WithParamInterface<bool> {};

TEST_P(TornIndexRun, AnIndexWithTornPagesIsBuiltAnew) {
  if (!GetParam()) dvd_settings = "Exklusive=0\r\n";
  write_pool(titles(300));
  write_covers(titles(300));
  std::string index = dir.read("dvd/COVER/cover.cdx");
  ASSERT_GT(index.size(), 4096u);  // more than one leaf
  index.replace(index.size() - 512 + 20, 40, std::string(40, '\x5A'));
  dir.write("dvd/COVER/cover.cdx", index);
  expect_repaired_once({"Warnung: Datei " + root() + "COVER\\COVER.cdx war unvollst\xE4ndig geschrieben und wird neu aufgebaut."});
  EXPECT_EQ(storage::cdx::check_file(dir.path("dvd/COVER/cover.cdx")).entries.size(), 300u);
  EXPECT_EQ(records_of(cover_file()), 300u);
}

INSTANTIATE_TEST_SUITE_P(OpenModes, TornIndexRun, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Exclusive" : "Shared"; });

TEST_F(TableRepairRun, AFileThatIsNoTableIsReportedAndLeftAlone) {
  write_pool(titles(2));
  dir.write("dvd/COVER/COVER.DBF", "ISBN;COVER\r\n");
  const RunResult result = run();
  const std::vector<std::string> errors = lines_of(result, "Error: Datei " + cover_shown());
  ASSERT_FALSE(errors.empty()) << result.log;
  EXPECT_EQ(errors.front(), "Error: Datei " + cover_shown() + " ist besch\xE4" "digt.");
  EXPECT_EQ(lines_of(result, "Warnung: "), std::vector<std::string>{}) << result.log;
  EXPECT_EQ(dir.read("dvd/COVER/COVER.DBF"), "ISBN;COVER\r\n");
}

}  // namespace
}  // namespace torvane::testing
