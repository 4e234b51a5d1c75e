#include "app/pools/field_filter.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/fs.h"
#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using Lines = std::vector<std::string>;

class FieldFilter : public ::testing::Test {
 protected:
  std::string mab() const { return dir.path("POOL1/POOL1.MAB"); }
  std::string bk(int n) const { return dir.path("POOL1/POOL1.BK" + std::to_string(n)); }
  void run(FilterSettings settings, std::string_view section = "Pool1") {
    filter_pool_file(mab(), section, table, settings);
  }

  testing::TempDir dir;
  testing::ConsoleCapture capture;
  const PermittedFields table = PermittedFields::standard();
};

TEST_F(FieldFilter, RewriteKeepsEveryLineWholeTrimmedAndDropsTheFailingOnes) {
  const std::string line_1023 = "331 " + std::string(1019, 't');
  const std::string line_3000 = "750c" + std::string(2996, 'a');
  const std::string line_huge = "750f" + std::string(3u << 20, 'h') + " x";  // beyond the read buffer
  const std::string original = "\r\n   \r\n### 000001\r\n  540a ISBN 3880531013  \r\n" + line_1023 + "\r\n" +
                               "599a Lokaldaten\r\n\r\n" + line_3000 + "\r\n" + line_huge + "   \r\n001 x\r\n100b Name";
  dir.write("POOL1/POOL1.MAB", original);
  platform::set_last_write_time(mab(), {2020, 1, 2, 3, 4, 5});

  run({"1", "POOL1", ""});

  EXPECT_EQ(capture.lines(), (Lines{"\xDC" "berp\xFC" "fe Datei " + mab() + "...", "Filtere Datei " + bk(1) + "..."}))
      << capture.console.text;
  // Leading empty lines vanish, the blank one in the middle stays; 599a and 001 fail.
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "### 000001\r\n540a ISBN 3880531013\r\n" + line_1023 + "\r\n\r\n" + line_3000 +
                                           "\r\n" + line_huge + "\r\n100b Name");
  EXPECT_EQ(dir.read("POOL1/pool1.bk1"), original);
  EXPECT_EQ(platform::last_write_time(bk(1)), (platform::LocalTime{2020, 1, 2, 3, 4, 5}));
  EXPECT_EQ(platform::list_files(dir.path("POOL1"), "*~*"), Lines{});  // no temporary left
}

TEST_F(FieldFilter, ExclusionsApplyToTheRewriteAndAnAsteriskDropsEmptyLines) {
  dir.write("POOL1/POOL1.MAB", "### 1\r\n\r\n700 a\r\n540a ISBN 1\r\n540z ISBN 2\r\n");
  run({"2", "OTHER", "700*;540a"});
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "### 1\r\n540z ISBN 2");
}

TEST_F(FieldFilter, CleanFileIsCheckedOnlyAndBackupsAreCountedOn) {
  dir.write("POOL1/POOL1.MAB", "### 1\r\n540a ISBN 1\r\n");
  dir.write("POOL1/pool1.bk1", "old");
  dir.write("POOL1/POOL1.BK2", "old");
  run({"1", "x;pool1;y", ""});
  EXPECT_EQ(capture.lines(), (Lines{"Warnung: Backup-Datei " + bk(1) + " ist noch vorhanden!",
                                    "Warnung: Backup-Datei " + bk(2) + " ist noch vorhanden!",
                                    "\xDC" "berp\xFC" "fe Datei " + mab() + "..."}));
  EXPECT_FALSE(dir.exists("POOL1/pool1.bk3"));

  dir.write("POOL1/POOL1.MAB", " 540a ISBN 1\r\n");  // a leading blank fails the check
  run({"1", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Filtere Datei " + dir.path("POOL1/POOL1.BK3") + "...");
  EXPECT_EQ(dir.read("POOL1/pool1.bk3"), " 540a ISBN 1\r\n");
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "540a ISBN 1");
}

TEST_F(FieldFilter, SwitchesDecideWhetherAPoolIsChecked) {
  dir.write("POOL1/POOL1.MAB", "999 x\r\n");
  const std::string off = "Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in POOL1.MAB deaktiviert!";
  run({"2", "", ""});  // "2" with an empty list filters nothing
  run({"0", "POOL1", ""});
  EXPECT_EQ(capture.lines(), (Lines{off, off}));
  run({"1", "POOL1 ;POOL2", ""});  // a blank belongs to the name
  run({"1", "", ""});
  EXPECT_EQ(capture.lines().size(), 3u);
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "999 x\r\n");
  EXPECT_FALSE(dir.exists("POOL1/pool1.bk1"));
}

TEST_F(FieldFilter, NothingIsLostWhenNoBackupCanBeMadeOrTheFileCannotBeReplaced) {
  dir.write("POOL1/POOL1.MAB", "999 x\r\n");
  for (int n = 1; n <= 9; ++n) dir.write("POOL1/POOL1.BK" + std::to_string(n), "");
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Error: Es konnte keine Backup-Datei angelegt werden!");
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "999 x\r\n");

  std::filesystem::remove(dir.path("POOL1/POOL1.BK9"));
  platform::set_read_only(mab(), true);
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Error: Datei POOL1.MAB konnte nicht gel\xF6scht werden!");
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "999 x\r\n");
  EXPECT_EQ(dir.read("POOL1/pool1.bk9"), "999 x\r\n");
}

TEST_F(FieldFilter, IncompleteBackupStopsTheStep) {
  dir.write("POOL1/POOL1.MAB", "999 x\r\n");
  dir.make_dir("POOL1/pool1.bk1");  // a folder: no file can be copied there
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Error: Backup-Datei POOL1.BK1 konnte nicht angelegt werden!");
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "999 x\r\n");
}

TEST_F(FieldFilter, ABackupThatCannotTakeItsNameLeavesNoTemporary) {
  dir.write("POOL1/POOL1.MAB", "999 x\r\n");
  dir.write("POOL1/POOL1.BK1", "old");
  dir.make_dir("POOL1/pool1.bk2");
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Error: Backup-Datei POOL1.BK2 konnte nicht angelegt werden!");
  EXPECT_EQ(platform::list_files(dir.path("POOL1"), "*"), (Lines{"POOL1.BK1", "POOL1.MAB"}));
}

TEST_F(FieldFilter, LeftoversOfAKilledRewriteOrBackupAreRemoved) {
  dir.write("POOL1/POOL1.MAB", "### 1\r\n");
  for (const char* name : {"pool1~9999997.mab", "pool1~9999997.bk1", "POOL1~9999998.BK9", "pool1~9999997.dbf", "pool1~.bk1", "pool1.bk1"})
    dir.write(std::string("POOL1/") + name, "partial");
  remove_filter_leftovers(mab());
  EXPECT_EQ(platform::list_files(dir.path("POOL1"), "*"), (Lines{"POOL1.MAB", "pool1.bk1", "pool1~.bk1", "pool1~9999997.dbf"}));
  EXPECT_EQ(capture.lines().size(), 3u);
}

TEST_F(FieldFilter, ABackupOfThisVeryFileLeftByAnUnfinishedRunServesAgain) {
  const std::string original = "### 1\r\n999 x\r\n";
  dir.write("POOL1/POOL1.MAB", original);
  dir.write("POOL1/POOL1.BK1", "older data");
  ASSERT_TRUE(platform::copy_file(mab(), bk(2)));  // the backup, then the run ended
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Filtere Datei " + bk(2) + "...");
  EXPECT_FALSE(dir.exists("POOL1/pool1.bk3"));
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "### 1");
  EXPECT_EQ(dir.read("POOL1/pool1.bk2"), original);

  // A backup of other data, or of the same bytes at another time, is no such backup.
  dir.write("POOL1/POOL1.MAB", original);
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(), "Filtere Datei " + bk(3) + "...");
}

TEST_F(FieldFilter, ARewriteThatKeepsNoLineSaysSo) {
  dir.write("POOL1/POOL1.MAB", "999 x\r\n001 y");
  run({"2", "POOL1", ""});
  EXPECT_EQ(capture.lines().back(),
            "Warnung: Datei " + mab() + " ist nach dem Filtern leer, die Daten sind in " + bk(1) + ".");
  EXPECT_EQ(dir.read("POOL1/POOL1.MAB"), "");
  EXPECT_EQ(dir.read("POOL1/pool1.bk1"), "999 x\r\n001 y");
}

}  // namespace
}  // namespace torvane::app
