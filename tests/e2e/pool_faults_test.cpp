// Runs of the pool phase over the state a killed or disturbed run leaves on a medium: a
// position table rebuilt without the pool table, a MAB2 file changed in the second its
// table was built, files left under temporary names, a MAB2 file with foreign line
// ends. Each time the next run must leave the medium right.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kStarting = "Beginne mit \xDC" "berp\xFC" "fung...\r\n";
const std::string kPool1 = "### 000001\r\n540a ISBN 3-88053-101-3 kart.\r\n### 000002\r\n542a ISSN 0342-0671\r\n";
const std::string kPool2 = "### 000007\r\n551  EAN 978 3 88053 101 7\r\n";
const std::string kPoolIni = "[Pool]\r\n1=Pool1\r\n2=Pool2\r\n[Pool1]\r\nName=Eins\r\nFile=POOL1\\POOL1.MAB\r\n"
                             "[Pool2]\r\nName=Zwei\r\nFile=POOL2\\POOL2.MAB\r\n";

// "ISBN@POSITION" or "ISBN@POOL" of every row, in record order.
Lines rows_of(const std::string& native) {
  storage::OpenOptions options;
  options.variant = storage::Variant::ntx;  // record order, no index opened
  options.read_only = true;
  options.shared = true;
  Lines rows;
  auto table = storage::DbfTable::open(native, options);
  if (!table) return {"<no table>"};
  const std::string second = table->field_index("POOL") ? "POOL" : "POSITION";
  for (table->go_top(); !table->eof(); table->skip()) {
    std::string value = table->text(second);
    value.erase(0, value.find_first_not_of(' '));
    rows.push_back(table->text("ISBN").substr(0, table->text("ISBN").find(' ')) + "@" + value);
  }
  return rows;
}

class PoolFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    dir.write("dvd/POOL.INI", kPoolIni);
    dir.write("dvd/POOL1/POOL1.MAB", kPool1);
    dir.write("dvd/POOL2/POOL2.MAB", kPool2);
  }
  std::string root() const { return dir.path("dvd") + "\\"; }
  std::string native(std::string_view relative) const { return platform::native_path(root() + std::string(relative)); }

  // The run's log from the pool phase on, without the closing lines.
  Lines run() {
    RunOptions options;
    options.working_directory = dir.path();
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=Test\r\nDXPData=0\r\n" + config;
    const RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err << result.log;
    const std::size_t from = result.log.find(kStarting);
    if (from == std::string::npos || !result.log.ends_with(kClosing)) return {"<unexpected log>", result.log};
    const std::size_t begin = from + kStarting.size();
    return crlf_lines(std::string_view(result.log).substr(begin, result.log.size() - kClosing.size() - begin));
  }

  platform::FileTime instant(std::string_view relative) const {
    return platform::last_write_instant(root() + std::string(relative)).value_or(platform::FileTime{});
  }
  void stamp(std::string_view relative, platform::FileTime time) {
    ASSERT_TRUE(platform::set_last_write_instant(root() + std::string(relative), time));
  }

  TempDir dir{"faults."};
  std::string config = "[MAB]\r\nFilter=0\r\n";
  const std::string off1 = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in POOL1.MAB deaktiviert!";
  const std::string off2 = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in POOL2.MAB deaktiviert!";
};

TEST_F(PoolFaults, APositionTableRebuiltWithoutThePoolTableIsMadeGoodByTheNextRun) {
  run();
  const std::string old_pool = dir.read("dvd/pool.dbf"), old_index = dir.read("dvd/pool.cdx");
  dir.write("dvd/POOL1/POOL1.MAB", kPool1 + "### 000003\r\n540a ISBN 3880531013\r\n");
  run();
  // What a run killed after the position table leaves: the old pool table and index,
  // older than the new position table.
  dir.write("dvd/pool.dbf", old_pool);
  dir.write("dvd/pool.cdx", old_index);
  const platform::FileTime table = instant("POOL1\\POOL1.dbf");
  stamp("pool.dbf", table - 2s);
  stamp("pool.cdx", table - 2s);
  ASSERT_EQ(rows_of(native("pool.dbf")).size(), 3u);

  const std::string pool = root() + "pool.dbf", index = root() + "pool.cdx";
  EXPECT_EQ(run(), (Lines{off1, off2, "Datei " + pool + " wurde gel\xF6scht.", "Datei " + pool + " anlegen...",
                          "Datei " + pool + " wurde angelegt.", "Datei " + index + " wurde gel\xF6scht.",
                          "Datei " + index + " anlegen...", "Datei " + index + " wurde angelegt."}));
  EXPECT_EQ(rows_of(native("pool.dbf")),
            (Lines{"9783880531017@1", "03420671@1", "9783880531017@1", "9783880531017@2"}));
  EXPECT_EQ(run(), (Lines{off1, off2}));
}

TEST_F(PoolFaults, AMabFileChangedInTheSecondItsTableWasBuiltIsScannedAgain) {
  run();
  // One more line before the second record moves it.
  dir.write("dvd/POOL1/POOL1.MAB", "### 000001\r\n540a ISBN 3-88053-101-3 kart.\r\n331  Neuer Titel\r\n"
                                   "### 000002\r\n542a ISSN 0342-0671\r\n");
  const platform::FileTime second =
      std::chrono::floor<std::chrono::seconds>(platform::FileTime(std::chrono::system_clock::now())) - 10s;
  for (const char* file : {"POOL1\\POOL1.dbf", "POOL1\\POOL1.cdx", "POOL2\\POOL2.dbf", "POOL2\\POOL2.cdx",
                           "POOL.INI", "POOL2\\POOL2.MAB"})
    stamp(file, second + 100ms);
  stamp("POOL1\\POOL1.MAB", second + 600ms);
  stamp("pool.dbf", second + 800ms);
  stamp("pool.cdx", second + 800ms);

  const std::string table = root() + "POOL1\\POOL1.dbf";
  const Lines lines = run();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "Datei " + table + " wurde gel\xF6scht.");
  EXPECT_EQ(rows_of(native("POOL1\\POOL1.dbf")), (Lines{"9783880531017@0", "03420671@61"}));
  EXPECT_EQ(lines.back(), "Datei " + root() + "pool.cdx wurde angelegt.");
}

TEST_F(PoolFaults, LeftoversOfAKilledRunAreRemovedAlsoWhenNothingIsRebuilt) {
  run();
  const Lines leftovers = {"POOL1/pool1~9999993.dbf", "POOL1/pool1~9999993.cdx", "POOL1/pool1~9999994.mab",
                           "POOL1/POOL1~9999994.BK1",   "pool~9999996.dbf",           "pool~9999996.ntx"};
  const Lines kept = {"POOL1/pool1~.dbf", "POOL1/pool1~4x.dbf", "POOL1/notes~1.txt", "pool~9999996.txt"};
  for (const std::string& name : leftovers) dir.write("dvd/" + name, "partial");
  for (const std::string& name : kept) dir.write("dvd/" + name, "mine");

  const Lines lines = run();
  EXPECT_EQ(lines, (Lines{"Datei " + root() + "POOL1\\POOL1~9999994.BK1 wurde gel\xF6scht.",
                          "Datei " + root() + "POOL1\\pool1~9999994.mab wurde gel\xF6scht.",
                          "Datei " + root() + "POOL1\\pool1~9999993.cdx wurde gel\xF6scht.",
                          "Datei " + root() + "POOL1\\pool1~9999993.dbf wurde gel\xF6scht.", off1, off2,
                          "Datei " + root() + "pool~9999996.dbf wurde gel\xF6scht.",
                          "Datei " + root() + "pool~9999996.ntx wurde gel\xF6scht."}));
  for (const std::string& name : leftovers) EXPECT_FALSE(dir.exists("dvd/" + name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(dir.read("dvd/" + name), "mine") << name;
}

TEST_F(PoolFaults, APartialBackupOfAKilledRunIsRemovedAndTheBackupMadeComplete) {
  config = "[MAB]\r\nPoolFilter=POOL1\r\n";
  const std::string original = kPool1 + "999  Lokal\r\n";
  dir.write("dvd/POOL1/POOL1.MAB", original);
  dir.write("dvd/POOL1/pool1~9999999.bk1", original.substr(0, 20));  // the copy a kill cut short
  const Lines lines = run();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Datei " + root() + "POOL1\\pool1~9999999.bk1 wurde gel\xF6scht.");
  EXPECT_EQ(lines[2], "Filtere Datei " + root() + "POOL1\\POOL1.BK1...");
  EXPECT_EQ(dir.read("dvd/POOL1/pool1.bk1"), original);
  EXPECT_EQ(dir.read("dvd/POOL1/POOL1.MAB"), kPool1.substr(0, kPool1.size() - 2));
  EXPECT_EQ(platform::list_files(root() + "POOL1", "*~*"), Lines{});
}

TEST_F(PoolFaults, MabFilesWithoutCrLfLineEndsAreLeftAsTheyAreWithAnError) {
  config = "[MAB]\r\nFilter=2\r\nPoolFilter=POOL1;POOL2\r\n";
  run();
  const std::string table1 = dir.read("dvd/POOL1/pool1.dbf"), table2 = dir.read("dvd/POOL2/pool2.dbf");
  const std::string pool = dir.read("dvd/pool.dbf");
  // Converted by a tool of another system: LF only, CR only; a first line the filter
  // would reject.
  const std::string lf = "999  Lokal\n### 000001\n540a ISBN 3880531013\n";
  const std::string cr = "### 000007\r551  EAN 9783880531017\r";
  dir.write("dvd/POOL1/POOL1.MAB", lf);
  dir.write("dvd/POOL2/POOL2.MAB", cr);
  const std::string tail = " hat keine CR-LF-Zeilenenden, der Pool wird \xFC" "bersprungen.";
  EXPECT_EQ(run(), (Lines{"Error: Datei " + root() + "POOL1\\POOL1.MAB" + tail,
                          "Error: Datei " + root() + "POOL2\\POOL2.MAB" + tail}));
  EXPECT_EQ(dir.read("dvd/POOL1/POOL1.MAB"), lf);
  EXPECT_EQ(dir.read("dvd/POOL2/POOL2.MAB"), cr);
  EXPECT_EQ(dir.read("dvd/POOL1/pool1.dbf"), table1);
  EXPECT_EQ(dir.read("dvd/POOL2/pool2.dbf"), table2);
  EXPECT_EQ(dir.read("dvd/pool.dbf"), pool);
  EXPECT_FALSE(dir.exists("dvd/POOL1/pool1.bk2"));  // the first run's backup is .BK1
}

}  // namespace
}  // namespace torvane::testing
