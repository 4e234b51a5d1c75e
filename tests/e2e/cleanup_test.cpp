// Whole runs over a small medium: the stale files are deleted, the medium's name is
// stamped into the start-up definition files, the documentation start pages get their
// title, and the set-up programs are looked for. The report lines follow the settings
// summary directly.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string kDeleted = " wurde gel\xF6scht.";
const std::string kStarting = "Beginne mit \xDC" "berp\xFC" "fung...";

// The lines that the first phases printed: after the summary's closing lines, up to
// the first line that is none of their reports.
std::vector<std::string> cleanup_report(const std::string& log) {
  const std::vector<std::string> lines = crlf_lines(log);
  std::size_t at = 0;
  while (at < lines.size() && lines[at].rfind("Indexdatei", 0) != 0) ++at;
  at += 2;  // the summary's last line and the empty line after it
  if (at < lines.size() && lines[at] == kStarting) ++at;
  std::vector<std::string> report;
  for (; at < lines.size(); ++at) {
    const std::string& line = lines[at];
    if (line.ends_with("pool.dbf nicht vorhanden!")) break;  // the cover phase's pool table check
    const bool ours = line.rfind("Titel-Eintrag in ", 0) == 0 || line.rfind("Error: Datei ", 0) == 0 ||
                      (line.rfind("Datei ", 0) == 0 && line.ends_with(kDeleted));
    if (!ours) break;
    report.push_back(line);
  }
  return report;
}

class CleanupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  }
  std::string root() const { return dir.path("dvd") + "\\"; }
  RunResult run(std::string_view extra_config = "") {
    RunOptions options;
    options.working_directory = dir.path();
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=DVD 2024\r\nDXPData=0\r\n" +
                     std::string(extra_config);
    RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result;
  }
  void write_stale_files() {
    for (const char* name : {"INSTALL.ERR", "ERROR.LOG", "MEDIACD.GID", "POOL.DBU", "BIN/MEDIACD.GID"}) {
      dir.write(std::string("dvd/") + name, "stale");
    }
  }
  std::vector<std::string> stale_lines() const {
    std::vector<std::string> lines;
    for (const char* name : {"INSTALL.ERR", "ERROR.LOG", "MEDIACD.GID", "POOL.DBU", "BIN\\MEDIACD.GID"}) {
      lines.push_back("Datei " + root() + name + kDeleted);
    }
    return lines;
  }

  TempDir dir;
};

TEST_F(CleanupRun, StampsTheMediumAndChecksItsInstallation) {
  write_stale_files();
  const std::string titled = "[Main]\r\nTitle=DVD 2024\r\n[Main]\r\nTitle=Zweiter Titel\r\n";
  const std::string bracket = "[Main]\r\nTitle=[Alt]\r\nProgram=ALT.EXE\r\n";
  const std::string early = "Title=Vor jedem Abschnitt\r\n[Main]\r\nProgram=PRE.EXE\r\n";
  dir.write("dvd/BIN/DXP.CDM", titled);
  dir.write("dvd/BIN/ALT.CDM", bracket);
  dir.write("dvd/BIN/PRE.CDM", early);
  dir.write("dvd/BIN/TAV.CDM", "; TAV\r\n[Main]\r\n   title=LUMO (alt)\r\nProgram=TAV.EXE\r\n");
  dir.write("dvd/DOKU/HTML/INDEX.HTM", "<HTML><HEAD></HEAD>\r\n<BODY>\r\n");
  dir.write("dvd/DOKU/EURO/INDEX.HTM", "<!DOCTYPE html>\r\n  <html><head></head>  \r\n<body>");
  dir.write("dvd/VERINST.TXT", "C:\\TAV\r\n");
  dir.write("dvd/TAV/SETUP.EXE", "MZ");
  dir.write("dvd/TAV/ERROR.LOG", "old");

  std::vector<std::string> expected = stale_lines();
  for (const char* path : {"BIN\\TAV.CDM", "DOKU\\HTML\\INDEX.HTM", "DOKU\\EURO\\INDEX.HTM"}) {
    expected.push_back("Titel-Eintrag in " + root() + path + " ge\xE4ndert.");
  }
  expected.push_back("Error: Datei " + root() + "\\TAV\\INSTALL.EXE ist nicht vorhanden.");
  expected.push_back("Datei " + root() + "\\TAV\\ERROR.LOG" + kDeleted);
  EXPECT_THAT(cleanup_report(run().log), ElementsAreArray(expected));

  EXPECT_EQ(dir.read("dvd/BIN/TAV.CDM"), "; TAV\r\n[Main]\r\nTitle=DVD 2024\r\nProgram=TAV.EXE\r\n");
  EXPECT_EQ(dir.read("dvd/BIN/DXP.CDM"), titled);
  EXPECT_EQ(dir.read("dvd/BIN/ALT.CDM"), bracket);
  EXPECT_EQ(dir.read("dvd/BIN/PRE.CDM"), early);
  EXPECT_EQ(dir.read("dvd/DOKU/HTML/INDEX.HTM"),
            "<html><head><title>ORVA-Dokumentation</title></head>\r\n<BODY>\r\n");
  EXPECT_EQ(dir.read("dvd/DOKU/EURO/INDEX.HTM"),
            "<!DOCTYPE html>\r\n<html><head><title>ORVA-Dokumentation</title></head>\r\n<body>");
  for (const char* gone : {"dvd/INSTALL.ERR", "dvd/ERROR.LOG", "dvd/MEDIACD.GID", "dvd/POOL.DBU",
                           "dvd/BIN/MEDIACD.GID", "dvd/TAV/ERROR.LOG", "dvd/BIN/TAV.#$#"}) {
    EXPECT_FALSE(dir.exists(gone)) << gone;
  }

  // A second run finds everything stamped; only the missing program is reported.
  EXPECT_THAT(cleanup_report(run().log),
              ElementsAre("Error: Datei " + root() + "\\TAV\\INSTALL.EXE ist nicht vorhanden."));
}

TEST_F(CleanupRun, WithoutCheckOnlyTheStaleFilesGo) {
  write_stale_files();
  const std::string startup = "[Main]\r\nTitle=Alt\r\n";
  const std::string page = "<HTML><HEAD></HEAD>\r\n";
  dir.write("dvd/BIN/TAV.CDM", startup);
  dir.write("dvd/DOKU/HTML/INDEX.HTM", page);
  dir.write("dvd/VERINST.TXT", "C:\\TAV\r\n");
  EXPECT_THAT(cleanup_report(run("Check=0\r\n").log), ElementsAreArray(stale_lines()));
  EXPECT_EQ(dir.read("dvd/BIN/TAV.CDM"), startup);
  EXPECT_EQ(dir.read("dvd/DOKU/HTML/INDEX.HTM"), page);
}

TEST_F(CleanupRun, InstallationDirectoryWithoutDriveLetter) {
  dir.write("dvd/VERINST.TXT", "TAV");
  dir.write("dvd/V/INSTALL.EXE", "MZ");
  dir.write("dvd/V/ERROR.LOG", "old");
  EXPECT_THAT(cleanup_report(run().log),
              ElementsAre("Error: Datei " + root() + "V\\SETUP.EXE ist nicht vorhanden.",
                          "Datei " + root() + "V\\ERROR.LOG" + kDeleted));
  EXPECT_FALSE(dir.exists("dvd/V/ERROR.LOG"));
}

TEST_F(CleanupRun, EmptyMediumSaysNothing) {
  dir.make_dir("dvd");
  EXPECT_THAT(cleanup_report(run().log), IsEmpty());
}

}  // namespace
}  // namespace torvane::testing
