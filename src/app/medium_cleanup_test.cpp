#include "app/medium_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using torvane::testing::ConsoleCapture;
using torvane::testing::TempDir;

class MediumCleanup : public ::testing::Test {
 protected:
  std::string root() const { return dir.path("dvd") + "/"; }
  std::string changed(std::string_view relative) const {
    return "Titel-Eintrag in " + root() + std::string(relative) + " ge\xE4ndert.";
  }

  TempDir dir;
  ConsoleCapture capture;
};

TEST_F(MediumCleanup, DeletesThePresentStaleFilesInOrder) {
  dir.write("dvd/POOL.DBU", "x");
  dir.write("dvd/INSTALL.ERR", "x");
  dir.write("dvd/BIN/MEDIACD.GID", "x");
  dir.write("dvd/KEEP.TXT", "x");
  delete_stale_files(root());
  EXPECT_THAT(capture.lines(), ElementsAre("Datei " + root() + "INSTALL.ERR wurde gel\xF6scht.",
                                           "Datei " + root() + "POOL.DBU wurde gel\xF6scht.",
                                           "Datei " + root() + "BIN\\MEDIACD.GID wurde gel\xF6scht."));
  EXPECT_FALSE(dir.exists("dvd/POOL.DBU"));
  EXPECT_FALSE(dir.exists("dvd/BIN/MEDIACD.GID"));
  EXPECT_TRUE(dir.exists("dvd/KEEP.TXT"));
}

TEST_F(MediumCleanup, StampsEveryTitleInsideMainSectionsOnly) {
  dir.write("dvd/BIN/A.CDM",
            "; start\r\nTitle=Before any section\r\n[Main]\r\n  title=Old\r\nX=1\r\n[Other]\r\nTitle=Other\r\n"
            "[main]\r\nTITLE=" + std::string(3000, 'L') + "\r\nTitle = blank before the sign\r\n");
  delete_stale_files(root());  // nothing there: says nothing
  stamp_startup_titles(root(), "DVD 2024");
  EXPECT_THAT(capture.lines(), ElementsAre(changed("BIN\\A.CDM"), changed("BIN\\A.CDM")));
  EXPECT_EQ(dir.read("dvd/BIN/A.CDM"),
            "; start\r\nTitle=Before any section\r\n[Main]\r\nTitle=DVD 2024\r\nX=1\r\n[Other]\r\nTitle=Other\r\n"
            "[main]\r\nTitle=DVD 2024\r\nTitle = blank before the sign\r\n");
  EXPECT_FALSE(dir.exists("dvd/BIN/A.#$#"));
}

TEST_F(MediumCleanup, LeavesTitledAndUnmatchedFilesUntouched) {
  const std::string titled = "[Main]\r\nTitle=DVD 2024  \r\n[Main]\r\nTitle=Another\r\n";
  const std::string bracket = "[Main]\r\nTitle=[Alt]\r\nTitle=Old\r\n";  // "[" ends the scan of [Main]
  const std::string unmatched = "[Main]\r\nTitle = Old\r\n";
  const std::string read_only = "[Main]\r\nTitle=Old\r\n";
  dir.write("dvd/BIN/TITLED.CDM", titled);
  dir.write("dvd/BIN/BRACKET.CDM", bracket);
  dir.write("dvd/BIN/UNMATCHED.CDM", unmatched);
  dir.write("dvd/BIN/READONLY.CDM", read_only);
  dir.write("dvd/BIN/.HIDDEN.CDM", read_only);
  dir.make_dir("dvd/BIN/FOLDER.CDM");
  ASSERT_TRUE(platform::set_read_only(dir.path("dvd/BIN/READONLY.CDM"), true));
  const auto before = platform::last_write_time(dir.path("dvd/BIN/TITLED.CDM"));

  stamp_startup_titles(root(), "DVD 2024");
  EXPECT_THAT(capture.lines(), IsEmpty());
  EXPECT_EQ(dir.read("dvd/BIN/TITLED.CDM"), titled);
  EXPECT_EQ(platform::last_write_time(dir.path("dvd/BIN/TITLED.CDM")), before);
  EXPECT_EQ(dir.read("dvd/BIN/BRACKET.CDM"), bracket);
  EXPECT_EQ(dir.read("dvd/BIN/UNMATCHED.CDM"), unmatched);
  EXPECT_EQ(dir.read("dvd/BIN/READONLY.CDM"), read_only);
  EXPECT_EQ(dir.read("dvd/BIN/.HIDDEN.CDM"), read_only);
  platform::set_read_only(dir.path("dvd/BIN/READONLY.CDM"), false);
}

TEST_F(MediumCleanup, MissingFoldersMeanNothingToDo) {
  dir.make_dir("dvd");
  stamp_startup_titles(root(), "DVD 2024");
  stamp_documentation_titles(root());
  EXPECT_THAT(capture.lines(), IsEmpty());
  EXPECT_FALSE(dir.exists("dvd/bin"));
  EXPECT_FALSE(dir.exists("dvd/doku"));
}

TEST_F(MediumCleanup, GivesTheEmptyHeadOfEachStartPageATitle) {
  dir.write("dvd/DOKU/HTML/INDEX.HTM", "<HTML><HEAD></HEAD>\r\n<BODY>Doku</BODY>\r\n</HTML>");
  dir.write("dvd/DOKU/EURO/INDEX.HTM",
            "<!-- Euro -->\r\n  <html><head></head>  \r\n<html><head><title>X</title></head>\r\n");
  stamp_documentation_titles(root());
  EXPECT_THAT(capture.lines(),
              ElementsAre(changed("DOKU\\HTML\\INDEX.HTM"), changed("DOKU\\EURO\\INDEX.HTM")));
  EXPECT_EQ(dir.read("dvd/DOKU/HTML/INDEX.HTM"),
            "<html><head><title>ORVA-Dokumentation</title></head>\r\n<BODY>Doku</BODY>\r\n</HTML>");
  EXPECT_EQ(dir.read("dvd/DOKU/EURO/INDEX.HTM"),
            "<!-- Euro -->\r\n<html><head><title>ORVA-Dokumentation</title></head>\r\n"
            "<html><head><title>X</title></head>\r\n");

  stamp_documentation_titles(root());  // a second run finds nothing to change
  EXPECT_EQ(capture.lines().size(), 2u);
}

TEST_F(MediumCleanup, ChecksTheSetUpProgramsBelowTheMediumRoot) {
  dir.write("dvd/TAV/INSTALL.EXE", "MZ");
  dir.write("dvd/TAV/ERROR.LOG", "old");
  check_setup_programs(root(), "C:\\TAV");
  EXPECT_THAT(capture.lines(), ElementsAre("Error: Datei " + root() + "\\TAV\\SETUP.EXE ist nicht vorhanden.",
                                           "Datei " + root() + "\\TAV\\ERROR.LOG wurde gel\xF6scht."));
  EXPECT_FALSE(dir.exists("dvd/TAV/ERROR.LOG"));
}

TEST_F(MediumCleanup, InstallationDirectoryWithoutDriveLosesTwoCharacters) {
  dir.write("dvd/V/SETUP.EXE", "MZ");
  dir.write("dvd/V/INSTALL.EXE", "MZ");
  check_setup_programs(root(), "TAV");
  EXPECT_THAT(capture.lines(), IsEmpty());
  check_setup_programs(root(), "C:\\TOOLS");
  EXPECT_THAT(capture.lines(), ElementsAre("Error: Datei " + root() + "\\TOOLS\\SETUP.EXE ist nicht vorhanden.",
                                           "Error: Datei " + root() + "\\TOOLS\\INSTALL.EXE ist nicht vorhanden."));
}

}  // namespace
}  // namespace torvane::app
