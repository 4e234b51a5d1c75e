// Whole runs of the pool phase over small media: the field filter with its backup, the
// ISBN position tables of the pools, the pool table, and what a second run leaves
// alone. The media hold no start-up files or pages, so the pool phase's lines follow
// the summary directly; the run log is compared byte for byte from there on, and the
// tables field by field.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/medium_builder.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

using Lines = std::vector<std::string>;

const std::string kStarting = "Beginne mit \xDC" "berp\xFC" "fung...\r\n";

// One table row: ISBN (trimmed) and the second field's text (HEADER + POSITION, or POOL).
struct Row {
  std::string isbn;
  std::string rest;
  friend bool operator==(const Row&, const Row&) = default;
};
std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.isbn << "|" << row.rest; }
using Rows = std::vector<Row>;

std::string trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

Rows read_table(const std::string& path) {
  storage::OpenOptions options;
  options.variant = storage::Variant::ntx;  // record order, no index opened
  options.read_only = true;
  options.shared = true;
  Rows rows;
  auto table = storage::DbfTable::open(path, options);
  if (!table) return rows;
  const bool pool = table->field_index("POOL").has_value();
  for (table->go_top(); !table->eof(); table->skip()) {
    rows.push_back({trimmed(table->text("ISBN")), pool ? trimmed(table->text("POOL"))
                                                       : table->text("HEADER") + "@" + trimmed(table->text("POSITION"))});
  }
  return rows;
}

class PoolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  }
  std::string root() const { return dir.path("dvd") + "\\"; }
  std::string ini() const { return root() + "POOL.INI"; }
  std::string native(std::string_view relative) const { return platform::native_path(root() + std::string(relative)); }

  // The run's log from the pool phase on, without the closing lines.
  Lines run(std::string_view extra = "", std::string input = "") {
    RunOptions options;
    options.working_directory = dir.path();
    options.input = std::move(input);
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=Test\r\nDXPData=0\r\n" + config + std::string(extra);
    const RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err << result.log;
    const std::size_t from = result.log.find(kStarting);
    EXPECT_NE(from, std::string::npos) << result.log;
    EXPECT_TRUE(result.log.ends_with(kClosing)) << result.log;
    if (from == std::string::npos || !result.log.ends_with(kClosing)) return {};
    return crlf_lines(std::string_view(result.log).substr(from + kStarting.size(),
                                                         result.log.size() - kClosing.size() - from - kStarting.size()));
  }
  void age(std::string_view relative, int minute) {
    ASSERT_TRUE(platform::set_last_write_time(root() + std::string(relative), {2021, 3, 4, 5, minute, 0}));
  }

  TempDir dir{"pool.v1"};  // a point in a folder name never cuts a derived name
  std::string config = "[MAB]\r\nPoolFilter=POOL1;POOL2\r\n";
};

const std::string kPool1 =
    "### 000001\r\n540a ISBN 3-88053-101-3 kart.\r\n331  Erstes Buch\r\n999  Lokale Angabe\r\n"
    "### 000002M2.01200024      a\r\n542a ISSN 0342-0671\r\n";
const std::string kPool2 = "  ### 000007\r\n551  EAN 978 3 88053 101 7\r\n### 000008\r\n331  ohne Nummer\r\n";
const std::string kPoolIni = "[Pool]\r\n1=Pool1\r\n2=Pool2\r\n[Pool1]\r\nName=Eins\r\nFile=POOL1\\POOL1.MAB\r\n"
                             "[Pool2]\r\nName=Zwei\r\nFile=POOL2\\P2.MAB\r\nDBFFile=POOL2\\ISBN.DBF\r\nCDXFile=POOL2\\ISBN.IDX\r\n";

TEST_F(PoolRun, TypicalRunFiltersBuildsEveryTableAndASecondRunBuildsNothing) {
  dir.write("dvd/POOL.INI", kPoolIni);
  dir.write("dvd/POOL1/POOL1.MAB", kPool1);
  dir.write("dvd/POOL2/P2.MAB", kPool2);
  const std::string mab1 = root() + "POOL1\\POOL1.MAB", mab2 = root() + "POOL2\\P2.MAB";
  const std::string dbf1 = root() + "POOL1\\POOL1.dbf", cdx1 = root() + "POOL1\\POOL1.cdx";
  const std::string dbf2 = root() + "POOL2\\ISBN.DBF", cdx2 = root() + "POOL2\\ISBN.cdx";
  const std::string bk1 = root() + "POOL1\\POOL1.BK1";
  EXPECT_EQ(run(), (Lines{
                       "\xDC" "berp\xFC" "fe Datei " + mab1 + "...",
                       "Filtere Datei " + bk1 + "...",
                       "Datei " + dbf1 + " anlegen...",
                       "Datei " + dbf1 + " wurde angelegt.",
                       "Datei " + cdx1 + " anlegen...",
                       "Datei " + cdx1 + " wurde angelegt.",
                       "\xDC" "berp\xFC" "fe Datei " + mab2 + "...",
                       "Datei " + dbf2 + " anlegen...",
                       "Datei " + dbf2 + " wurde angelegt.",
                       "Datei " + cdx2 + " anlegen...",
                       "Datei " + cdx2 + " wurde angelegt.",
                       "Datei " + root() + "pool.dbf anlegen...",
                       "Datei " + root() + "pool.dbf wurde angelegt.",
                       "Datei " + root() + "pool.cdx anlegen...",
                       "Datei " + root() + "pool.cdx wurde angelegt.",
                   }));
  EXPECT_EQ(dir.read("dvd/POOL1/pool1.bk1"), kPool1);
  EXPECT_EQ(dir.read("dvd/POOL1/POOL1.MAB"),
            "### 000001\r\n540a ISBN 3-88053-101-3 kart.\r\n331  Erstes Buch\r\n### 000002M2.01200024      a\r\n542a ISSN 0342-0671");
  EXPECT_EQ(read_table(native("POOL1\\POOL1.dbf")),
            (Rows{{"9783880531017", "000001M2.01000024      h@0"}, {"03420671", "000002M2.01200024      a@61"}}));
  EXPECT_EQ(read_table(native("POOL2\\ISBN.DBF")), (Rows{{"9783880531017", "000007M2.01000024      h@0"}}));
  EXPECT_EQ(read_table(native("pool.dbf")), (Rows{{"9783880531017", "1"}, {"03420671", "1"}, {"9783880531017", "2"}}));
  EXPECT_TRUE(dir.exists("dvd/pool.cdx"));

  EXPECT_EQ(run(), (Lines{
                       "Warnung: Backup-Datei " + bk1 + " ist noch vorhanden!",
                       "\xDC" "berp\xFC" "fe Datei " + mab1 + "...",
                       "\xDC" "berp\xFC" "fe Datei " + mab2 + "...",
                   }));
}

TEST_F(PoolRun, StaleFilesAreRebuiltInEachDirection) {
  config = "[MAB]\r\nFilter=0\r\n";
  dir.write("dvd/POOL.INI", kPoolIni);
  dir.write("dvd/POOL1/POOL1.MAB", kPool1);
  dir.write("dvd/POOL2/P2.MAB", kPool2);
  run();
  const std::string off1 = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in POOL1.MAB deaktiviert!";
  const std::string off2 = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in P2.MAB deaktiviert!";
  for (const char* file : {"POOL1\\POOL1.MAB", "POOL2\\P2.MAB", "POOL.INI"}) age(file, 10);
  for (const char* file : {"POOL1\\POOL1.dbf", "POOL1\\POOL1.cdx", "POOL2\\ISBN.DBF", "POOL2\\ISBN.cdx", "pool.dbf", "pool.cdx"})
    age(file, 20);

  // Only an index older than its table: that index alone, since no table the pool
  // table is made of has changed.
  age("POOL2\\ISBN.cdx", 15);
  const std::string cdx2 = root() + "POOL2\\ISBN.cdx", pool = root() + "pool.dbf", pool_cdx = root() + "pool.cdx";
  EXPECT_EQ(run(), (Lines{off1, off2, "Datei " + cdx2 + " wurde gel\xF6scht.", "Datei " + cdx2 + " anlegen...",
                          "Datei " + cdx2 + " wurde angelegt."}));

  // A touched catalogue: the pool table alone.
  for (const char* file : {"POOL2\\ISBN.DBF", "POOL2\\ISBN.cdx", "pool.dbf", "pool.cdx"}) age(file, 20);
  age("POOL.INI", 30);
  EXPECT_EQ(run(), (Lines{off1, off2, "Datei " + pool + " wurde gel\xF6scht.", "Datei " + pool + " anlegen...",
                          "Datei " + pool + " wurde angelegt.", "Datei " + pool_cdx + " wurde gel\xF6scht.",
                          "Datei " + pool_cdx + " anlegen...", "Datei " + pool_cdx + " wurde angelegt."}));
}

TEST_F(PoolRun, CatalogueEntriesAreReportedAndTheOtherPoolsDone) {
  config = "[MAB]\r\nFilter=2\r\nPoolFilter=\r\n";
  std::string catalogue = "[Pool]\r\n1=Pool1\r\n2=Nameless\r\n3=Only\r\n4=Bare\r\n5=Missing\r\n6=Folder\r\n7=Pool1\r\n";
  for (int n = 8; n <= 100; ++n) catalogue += std::to_string(n) + "=Far\r\n";
  catalogue += "102=Never\r\n"
               "[Pool1]\r\nName=Eins\r\nFile=POOL1\\POOL1.MAB\r\n[Nameless]\r\nFile=POOL1\\POOL1.MAB\r\n"
               "[Only]\r\nName=Nur\r\nMABFile=ONLY\\ONLY.MAB\r\n[Bare]\r\nName=Leer\r\n"
               "[Missing]\r\nName=Fehlt\r\nFile=GONE\\GONE.MAB\r\n[Folder]\r\nName=Ordner\r\nFile=POOL1\r\n"
               "[Far]\r\nName=Weit\r\nDBFFile=FAR\\FAR.DBF\r\n[Never]\r\nName=Nie\r\nDBFFile=FAR\\FAR.DBF\r\n";
  dir.write("dvd/POOL.INI", catalogue);
  dir.write("dvd/POOL1/POOL1.MAB", kPool1);
  dir.write("dvd/ONLY/ONLY.MAB", kPool2);
  dir.make_dir("dvd/FAR");
  // The table of the pools beyond 99: built by hand, never by the per-pool steps.
  {
    std::vector<storage::FieldSpec> fields = {{"ISBN", 'C', 13, 0}, {"HEADER", 'C', 24, 0}, {"POSITION", 'N', 9, 0}};
    ASSERT_TRUE(storage::DbfTable::create(native("FAR\\FAR.DBF"), fields, storage::Variant::ntx));
    storage::OpenOptions options;
    options.variant = storage::Variant::ntx;
    auto far = storage::DbfTable::open(native("FAR\\FAR.DBF"), options);
    ASSERT_TRUE(far && far->append() && far->assign("ISBN", "3880531013"));
    ASSERT_TRUE(far->append() && far->assign("ISBN", "9950123453"));  // no 13-digit form
    far->close();
  }
  const Lines lines = run();
  const std::string off = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in POOL1.MAB deaktiviert!";
  const std::string dbf1 = root() + "POOL1\\POOL1.dbf", cdx1 = root() + "POOL1\\POOL1.cdx";
  const std::string only = root() + "ONLY\\ONLY.dbf";
  const Lines head = {
      off,
      "Datei " + dbf1 + " anlegen...",
      "Datei " + dbf1 + " wurde angelegt.",
      "Datei " + cdx1 + " anlegen...",
      "Datei " + cdx1 + " wurde angelegt.",
      "Name-Eintrag in Sektion [Nameless] in " + ini() + " ist nicht vorhanden.",
      "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in ONLY.MAB deaktiviert!",
      "Datei " + only + " anlegen...",
      "Datei " + only + " wurde angelegt.",
      "Datei " + root() + "ONLY\\ONLY.cdx anlegen...",
      "Datei " + root() + "ONLY\\ONLY.cdx wurde angelegt.",
      "(MAB)File-Eintrag in Sektion [Bare] in " + ini() + " ist nicht vorhanden.",
      "Datei " + root() + "GONE\\GONE.MAB ist nicht vorhanden.",
      "Datei " + root() + "POOL1 ist nicht vorhanden.",
      off,  // the section named twice is handled twice
  };
  ASSERT_GT(lines.size(), head.size());
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(head.size())), head);
  // Pools 8 to 99 have no MAB2 file; the import finds the tables of 1, 2, 7 and 8 to 100.
  EXPECT_EQ(lines[head.size()], "(MAB)File-Eintrag in Sektion [Far] in " + ini() + " ist nicht vorhanden.");
  const Lines tail(lines.end() - 7, lines.end());
  EXPECT_EQ(tail, (Lines{"(MAB)File-Eintrag in Sektion [Far] in " + ini() + " ist nicht vorhanden.",
                         "Datei " + root() + "pool.dbf anlegen...",
                         "Error: Datei " + root() + "GONE\\GONE.dbf nicht gefunden.",
                         "Error: Datei " + root() + "POOL1.dbf nicht gefunden.",
                         "Datei " + root() + "pool.dbf wurde angelegt.", "Datei " + root() + "pool.cdx anlegen...",
                         "Datei " + root() + "pool.cdx wurde angelegt."}));
  const Rows pool = read_table(native("pool.dbf"));
  // Pool 2 has no name but its File gives the import the table of pool 1.
  ASSERT_EQ(pool.size(), 2u + 2u + 2u + 93u * 2u);
  EXPECT_EQ(pool[2], (Row{"9783880531017", "2"}));
  EXPECT_EQ(pool[4], (Row{"9783880531017", "7"}));
  EXPECT_EQ(pool[6], (Row{"9783880531017", "8"}));
  EXPECT_EQ(pool[7], (Row{"", "8"}));  // an ISBN-10 without 13-digit form keeps its row
  EXPECT_EQ(pool.back(), (Row{"", "100"}));
}

TEST_F(PoolRun, EscEndsTheScanAndTheNextRunBuildsTheTableAgain) {
  config = "[MAB]\r\nFilter=0\r\n";
  dir.write("dvd/POOL.INI", "[Pool]\r\n1=Pool1\r\n[Pool1]\r\nName=Eins\r\nFile=POOL1\\POOL1.MAB\r\n");
  dir.write("dvd/POOL1/POOL1.MAB", kPool1);
  const std::string dbf1 = root() + "POOL1\\POOL1.dbf", cdx1 = root() + "POOL1\\POOL1.cdx";
  const Lines first = run("", "\x1b");
  ASSERT_GE(first.size(), 8u);
  EXPECT_EQ(first[2], "Manueller Abbruch - Bitte warten... ");
  EXPECT_EQ(first[3], "Datei " + dbf1 + " wurde angelegt.");
  EXPECT_EQ(first[6], "Warnung: Datei " + dbf1 + " ist unvollst\xE4ndig und wird beim n\xE4" "chsten Lauf neu angelegt.");
  EXPECT_TRUE(read_table(native("POOL1\\POOL1.dbf")).empty());

  const Lines second = run();
  ASSERT_GE(second.size(), 2u);
  EXPECT_EQ(second[1], "Datei " + dbf1 + " wurde gel\xF6scht.");
  EXPECT_EQ(read_table(native("POOL1\\POOL1.dbf")).size(), 2u);
}

TEST_F(PoolRun, SharedModeBuildsTheSameTables) {
  config = "Exklusive=0\r\n[MAB]\r\nFilter=0\r\n";
  dir.write("dvd/POOL.INI", kPoolIni);
  dir.write("dvd/POOL1/POOL1.MAB", kPool1);
  dir.write("dvd/POOL2/P2.MAB", kPool2);
  run();
  EXPECT_EQ(read_table(native("pool.dbf")), (Rows{{"9783880531017", "1"}, {"03420671", "1"}, {"9783880531017", "2"}}));
  // Shared appends leave no end-of-file marker.
  EXPECT_NE(dir.read("dvd/pool.dbf").back(), '\x1A');
}

TEST_F(PoolRun, HostileMabDataAndDamagedTablesGiveClearLines) {
  config = "[MAB]\r\nFilter=0\r\n";
  const std::string huge_header = "### 000001" + std::string(5000, 'x');
  dir.write("dvd/POOL.INI", "[Pool]\r\n1=Pool1\r\n2=Pool2\r\n3=Broken\r\n" + kPoolIni.substr(kPoolIni.find("[Pool1]")) +
                                "[Broken]\r\nName=Kaputt\r\nDBFFile=BROKEN.DBF\r\n");
  dir.write("dvd/POOL1/POOL1.MAB", std::string("\0\x01\xFF\r\n540a ISBN 3880531013\r\n", 27) + huge_header +
                                       "\r\n540\r\n540a ISBN " + std::string(100, '7') + "\r\n\r551 x\n\r\n");
  dir.write("dvd/POOL2/P2.MAB", std::string("\0\0\0", 3));
  dir.write("dvd/BROKEN.DBF", "\x03 not a table");
  const Lines lines = run();
  const std::string broken = "Error: Datei " + root() + "BROKEN.DBF ist besch\xE4" "digt.";
  EXPECT_NE(std::find(lines.begin(), lines.end(), broken), lines.end());
  EXPECT_EQ(lines.back(), "Datei " + root() + "pool.cdx wurde angelegt.");
  // The number before the long header counts for it; the rest of the lines offer none.
  EXPECT_EQ(read_table(native("POOL1\\POOL1.dbf")), (Rows{{"9783880531017", huge_header.substr(4, 24) + "@0"}}));
  EXPECT_TRUE(read_table(native("POOL2\\ISBN.DBF")).empty());
}

// A generated medium: every row of every position table as the generator expects it.
TEST_F(PoolRun, GeneratedMediumGivesTheExpectedRowsInEveryPool) {
  MediumOptions options;
  options.pools = 3;
  options.records = 400;
  options.filter_lines = 0;
  options.manifest = true;
  options.stale = false;
  const GeneratedMedium medium = make_medium(dir.path("gen"), options);
  ASSERT_TRUE(medium.ok) << medium.error;
  RunOptions run_options;
  run_options.working_directory = dir.path();
  run_options.args = {"--config", medium.config_path};
  const RunResult result = run_torvane(run_options);
  ASSERT_EQ(result.exit_status, 0) << result.log;
  const std::vector<ManifestRow> manifest = read_manifest(medium.manifest_path);
  ASSERT_EQ(manifest.size(), medium.count("rows"));
  std::vector<Rows> expected(4);
  for (const ManifestRow& row : manifest) {
    std::string label = row.label;
    label.resize(24, ' ');
    expected[static_cast<std::size_t>(row.pool)].push_back({row.key, label + "@" + std::to_string(row.position)});
  }
  for (int pool = 1; pool <= 3; ++pool) {
    const std::string table = medium.root + "/POOL" + std::to_string(pool) + "/POOL" + std::to_string(pool) + ".DBF";
    EXPECT_EQ(read_table(platform::native_path(table)), expected[static_cast<std::size_t>(pool)]) << pool;
  }
  EXPECT_EQ(read_table(platform::native_path(medium.root + "/pool.dbf")).size(), manifest.size());
}

}  // namespace
}  // namespace torvane::testing
