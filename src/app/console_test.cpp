#include "app/console.h"

#include <gtest/gtest.h>

#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using Lines = std::vector<std::string>;

class ConsoleTest : public ::testing::Test {
 protected:
  testing::TempDir dir{"console."};
  testing::ConsoleCapture capture{dir.path() + "/TORVANE.LOG"};
};

TEST_F(ConsoleTest, XoutWritesConsoleAndLogLines) {
  XOUT();
  XOUT("Beginne mit \xDC" "berp\xFC" "fung...");
  console_line("Importiere Daten aus Pool P1...");
  XOUT("x");
  EXPECT_EQ(capture.console.text, "\r\n\r\nBeginne mit \xDC" "berp\xFC" "fung...\r\nImportiere Daten aus Pool P1...\r\nx");
  EXPECT_EQ(dir.read("torvane.log"), "\r\nBeginne mit \xDC" "berp\xFC" "fung...\r\nx\r\n");
}

TEST_F(ConsoleTest, RunLogIsDeletedAndALostLogIsToldOnceOnStandardError) {
  ::testing::internal::CaptureStderr();
  XOUT("old");
  delete_run_log();
  EXPECT_FALSE(dir.exists("torvane.log"));
  XOUT("new");
  EXPECT_EQ(dir.read("torvane.log"), "new\r\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  ::testing::internal::CaptureStderr();
  set_run_log(dir.path() + "/no-such-folder/x.log");
  XOUT("lost");
  XOUT("lost too");
  EXPECT_EQ(capture.lines().back(), "lost too");  // the console is unaffected
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(told, "torvane: Das Protokoll " + dir.path() +
                      "/no-such-folder/x.log kann nicht geschrieben werden; die Zeilen dieses Laufs fehlen darin.\n");
}

TEST_F(ConsoleTest, ProgressFiguresOnlyWhenTheyChange) {
  XOUT("Suche nach Covers... ");
  const CursorPosition at = cursor_position();
  EXPECT_EQ(at.column, 21);
  ProgressDisplay progress;
  for (const char* figure : {"0.0", "0.0", "0.0", "0.1", "0.1", "100.0"}) progress.show(figure);
  EXPECT_EQ(capture.console.figures, (Lines{"0.0%  ", "0.1%  ", "100.0%  "}));
  EXPECT_EQ(capture.console.saved_positions, 2);
  EXPECT_EQ(dir.read("torvane.log"), "Suche nach Covers... \r\n");  // figures are not logged
}

TEST_F(ConsoleTest, EscEndsAPollingLoopAndOtherKeysAreIgnored) {
  capture.keyboard.keys = {'a', 0, 27, 27};
  EscPoll poll;
  int items = 0;
  do ++items;
  while (!poll.pressed());
  EXPECT_EQ(items, 3);
  // The second Esc still waits: the next loop ends after its first item.
  EscPoll next;
  EXPECT_TRUE(next.pressed());
  EXPECT_EQ(poll_key(), 0);
}

TEST_F(ConsoleTest, KeyPromptEchoesPrintableKeysAndIsNotLogged) {
  capture.keyboard.keys = {0xFC};
  key_prompt();
  capture.keyboard.keys = {27};
  key_prompt();
  EXPECT_EQ(capture.console.text, "\r\nPress any key to continue...\xFC\r\nPress any key to continue...");
  EXPECT_FALSE(dir.exists("torvane.log"));
}

TEST_F(ConsoleTest, XDeleteFileReportsWhatHappened) {
  dir.write("DVD/INSTALL.ERR", "x");
  XDELETEFILE(dir.path() + "\\DVD\\INSTALL.ERR");
  XDELETEFILE(dir.path() + "\\DVD\\MISSING.ERR");
  EXPECT_FALSE(dir.exists("DVD/INSTALL.ERR"));
  EXPECT_EQ(capture.lines(), (Lines{"Datei " + dir.path() + "\\DVD\\INSTALL.ERR wurde gel\xF6scht."}));
}

TEST_F(ConsoleTest, XDeleteFileReportsAFileThatStays) {
  dir.write("ro/a.dbu", "x");
  std::filesystem::permissions(dir.path("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  XDELETEFILE(dir.path("ro/a.dbu"));
  std::filesystem::permissions(dir.path("ro"), std::filesystem::perms::owner_all);
  if (!dir.exists("ro/a.dbu")) GTEST_SKIP() << "the folder's protection does not hold for this user";
  EXPECT_EQ(capture.lines(), (Lines{"Error: Datei " + dir.path("ro/a.dbu") + " konnte nicht gel\xF6scht werden."}));
}

}  // namespace
}  // namespace torvane::app
