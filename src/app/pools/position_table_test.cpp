#include "app/pools/position_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/medium/file_times.h"
#include "app/medium/table_open.h"
#include "app/run_config.h"
#include "platform/fs.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "storage/ntx_index.h"
#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using Lines = std::vector<std::string>;
using Rows = std::vector<PositionRow>;

Rows scan(std::string_view text) {
  Rows rows;
  PositionScan scan([&](const PositionRow& row) { rows.push_back(row); });
  std::uint64_t offset = 0;
  while (offset < text.size()) {
    const std::size_t end = text.find("\r\n", offset);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    scan.line(text.substr(offset, stop - offset), offset);
    offset = stop + 2;
  }
  scan.finish();
  return rows;
}

const std::string kLabel1 = "000001M2.01000024      h";
const std::string kLabel2 = "000002M2.01000024      h";

TEST(PositionScan, RecordsGetTheirLastNumberLabelAndHeaderOffset) {
  EXPECT_EQ(scan("### 000001\r\n540a ISBN 3-88053-101-3 kart.\r\n551  EAN 978 3 88053 101 7\r\n"
                 "### 000002\r\n331  Titel\r\n   542a ISSN 0342-0671\r\n"
                 "*********MAB2 000003\r\n"),
            (Rows{{"9783880531017", kLabel1, 0}, {"03420671", kLabel2, 71}}));
  // A full label is kept, a longer one as it is (the table cuts it).
  EXPECT_EQ(scan("### 000001M2.01200024      a\r\n540  ISBN 978-3-88053-101-7\r\n"),
            (Rows{{"9783880531017", "000001M2.01200024      a", 0}}));
}

TEST(PositionScan, NumbersBeforeTheFirstHeaderTakeItsLabelAtPositionZero) {
  EXPECT_EQ(scan("540  ISSN 0342-0671\r\n### 000001\r\n540  ISBN 3880531013\r\n"),
            (Rows{{"03420671", kLabel1, 0}, {"9783880531017", kLabel1, 21}}));
  EXPECT_TRUE(scan("540  ISBN 3880531013\r\n331  no header\r\n").empty());
}

TEST(PositionScan, KeysOfNumbersThatAreNoIsbn10StayAsExtracted) {
  EXPECT_EQ(scan("### 000001\r\n541a ISMN M-2306-7118-7\r\n"), (Rows{{"M230671187", kLabel1, 0}}));
  // A valid ISBN-10 without a 13-digit form gives no row.
  EXPECT_TRUE(scan("### 000001\r\n540a ISBN 9950123453\r\n").empty());
  // A later qualifying line replaces the earlier number, one that does not qualify does not.
  EXPECT_EQ(scan("### 000001\r\n540  ISBN 3880531013\r\n540  ISBN kaputt\r\n542  12345678901\r\n"),
            (Rows{{"12345678901", kLabel1, 0}}));
}

// ---- The step over real files ---------------------------------------------------------

class PositionTable : public ::testing::Test {
 protected:
  void SetUp() override {
    storage::register_cdx_driver();
    storage::register_ntx_driver();
    entry.number = 1;
    entry.section = "Pool1";
    entry.mab_path = dir.path("POOL1.MAB");
    entry.table_path = dir.path("POOL1.DBF");
    entry.index_path = dir.path("POOL1.cdx");
  }

  Rows rows_of(const std::string& path) {
    Rows rows;
    auto table = storage::DbfTable::open(path, table_open_options(config.index_mode, config.exclusive));
    if (!table) return rows;
    for (table->set_order(0), table->go_top(); !table->eof(); table->skip())
      rows.push_back({table->text("ISBN"), table->text("HEADER"), static_cast<std::uint64_t>(table->number("POSITION"))});
    return rows;
  }

  void update() { update_position_table(entry, config.index_mode, config.exclusive); }

  void age(const std::string& path, int minutes) {
    platform::set_last_write_time(path, {2020, 5, 6, 7, minutes, 0});
  }

  testing::TempDir dir;
  testing::ConsoleCapture capture;
  RunConfig config;
  PoolEntry entry;
  const std::string mab = "### 000001\r\n540a ISBN 3880531013\r\n### 000002\r\n331  Titel\r\n### 000003\r\n542  ISSN 0342-0671\r\n";
  const Rows expected = {{"9783880531017", kLabel1, 0}, {"03420671     ", "000003M2.01000024      h", 58}};
};

TEST(ScanFigure, MegabytesPaceTimeLeftAndPercent) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  EXPECT_EQ(scan_figure(10 * kMiB, 40 * kMiB, 2.0), "10.0/40.0 MB, 5.0 MB/s, noch  0:00:06,  25");
  EXPECT_EQ(scan_figure(0, 40 * kMiB, 0.0), "0.0/40.0 MB, 0.0 MB/s, noch  -:--:--,   0");
  EXPECT_EQ(scan_figure(0, 0, 0.0), "0.0/0.0 MB, 0.0 MB/s, noch  -:--:--, 100");
}

TEST_F(PositionTable, BuildsTableAndIndexOnceAndRebuildsWhatIsStale) {
  dir.write("POOL1.MAB", mab);
  dir.write("POOL1.DBU", "");
  update();
  const std::string table = entry.table_path, index = entry.index_path;
  EXPECT_EQ(capture.lines(), (Lines{"Datei " + dir.path("POOL1.DBU") + " wurde gel\xF6scht.", "Datei " + table + " anlegen...",
                                    "Datei " + table + " wurde angelegt.", "Datei " + index + " anlegen...",
                                    "Datei " + index + " wurde angelegt."}));
  EXPECT_EQ(rows_of(table), expected);
  EXPECT_TRUE(capture.console.figures.back().ends_with(", 100%  ")) << capture.console.figures.back();
  EXPECT_EQ(platform::list_files(dir.path(), "*~*"), std::vector<std::string>{});  // no build left

  // Nothing stale: nothing happens.
  capture.console.text.clear();
  update();
  EXPECT_TRUE(capture.lines().empty());

  // Only the index older than the table: only the index is built.
  age(table, 30);
  age(index, 20);
  age(entry.mab_path, 10);
  update();
  EXPECT_EQ(capture.lines(), (Lines{"Datei " + index + " wurde gel\xF6scht.", "Datei " + index + " anlegen...",
                                    "Datei " + index + " wurde angelegt."}));

  // A MAB2 file newer than its table: both are built again.
  capture.console.text.clear();
  age(entry.mab_path, 40);
  update();
  EXPECT_EQ(capture.lines().front(), "Datei " + table + " wurde gel\xF6scht.");
  EXPECT_EQ(capture.lines()[3], "Datei " + index + " wurde gel\xF6scht.");
  EXPECT_EQ(rows_of(table), expected);
}

TEST_F(PositionTable, EscKeepsTheRowsSoFarButTheTableIsNotCurrentNextTime) {
  std::string text = "### 000001\r\n540a ISBN 3880531013\r\n";
  for (int i = 0; i < 200; ++i) text += "331  x\r\n";
  dir.write("POOL1.MAB", text + "### 000002\r\n542  ISSN 0342-0671\r\n");
  capture.keyboard.keys = {0, 27};  // the second poll, some lines into the first record
  update();
  const Lines lines = capture.lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "Manueller Abbruch - Bitte warten... ");
  EXPECT_EQ(lines[5], "Warnung: Datei " + entry.table_path + " ist unvollst\xE4ndig und wird beim n\xE4" "chsten Lauf neu angelegt.");
  EXPECT_EQ(rows_of(entry.table_path), (Rows{expected[0]}));  // the record pending at Esc is kept
  EXPECT_TRUE(newer(entry.mab_path, entry.table_path));

  capture.console.text.clear();
  update();
  EXPECT_EQ(capture.lines().front(), "Datei " + entry.table_path + " wurde gel\xF6scht.");
  EXPECT_EQ(rows_of(entry.table_path), (Rows{expected[0], {"03420671     ", kLabel2, 34 + 200 * 8}}));
}

TEST_F(PositionTable, DamagedOrForeignTableIsBuiltAgain) {
  dir.write("POOL1.MAB", mab);
  dir.write("POOL1.DBF", "\x04 this is no table");
  age(entry.mab_path, 10);
  update();
  EXPECT_EQ(capture.lines().front(),
            "Warnung: Datei " + entry.table_path + " ist keine g\xFCltige ISBN-Tabelle und wird neu angelegt.");
  EXPECT_EQ(rows_of(entry.table_path), expected);
}

TEST_F(PositionTable, TableHeldByAnotherProgramIsReportedAndTheRunGoesOn) {
  dir.write("POOL1.MAB", mab);
  update();
  std::filesystem::remove(dir.path("pool1.cdx"));
  capture.console.text.clear();
  storage::OpenOptions exclusive;
  exclusive.shared = false;
  auto holder = storage::DbfTable::open(entry.table_path, exclusive);
  ASSERT_TRUE(holder);
  update();
  EXPECT_EQ(capture.lines(), (Lines{"Datei " + entry.index_path + " anlegen...",
                                    "Error: Datei " + entry.table_path + " konnte nicht ge\xF6" "ffnet werden.",
                                    "Error: Datei " + entry.index_path + " wurde nicht angelegt."}));
}

TEST_F(PositionTable, SharedModeAndNtxIndexBuildTheSameRows) {
  dir.write("POOL1.MAB", mab);
  config.exclusive = false;
  config.index_mode = storage::Variant::ntx;
  entry.index_path = dir.path("POOL1.ntx");
  update();
  EXPECT_EQ(rows_of(entry.table_path), expected);
  EXPECT_TRUE(dir.exists("pool1.ntx"));
}

TEST_F(PositionTable, RecordsBeyondTheNineDigitPositionAreLeftOutWithAWarning) {
  {
    std::ofstream out(dir.path("POOL1.MAB"), std::ios::binary);
    out << "### 000001\r\n540a ISBN 3880531013\r\n### 000002\r\n542  ISSN 0342-0671\r\n";
    out.seekp(1'000'000'000);  // a sparse gap of NUL bytes, one long line
    out << "\r\n### 000003\r\n540a ISBN 3880531013\r\n";
  }
  update();
  const Lines lines = capture.lines();
  EXPECT_EQ(lines[1], "Warnung: Datei " + entry.mab_path + " ist gr\xF6\xDF" "er als 999999999 Bytes: Datens\xE4tze ab dieser Position fehlen in " +
                          entry.table_path + ".");
  EXPECT_EQ(rows_of(entry.table_path), (Rows{expected[0], {"03420671     ", kLabel2, 34}}));
}

}  // namespace
}  // namespace torvane::app
