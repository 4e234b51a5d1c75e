// Whole-program runs of the driver: banner, configuration, fatal checks, summary and
// closing lines, compared byte for byte in the run log.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane {
namespace {

using testing::kBanner;
using testing::kClosing;
using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;

// The console's line end: CR LF stays on Windows.
#ifdef _WIN32
const std::string kNewLine = "\r\n";
#else
const std::string kNewLine = "\n";
#endif

std::string line(std::string_view label, std::string_view value) {
  std::string out(label);
  out.append(35 - label.size(), '.');
  return out + ": " + std::string(value) + "\r\n";
}

// The warning for a medium folder that is not there, with the folder this system looked
// in when that reads differently.
std::string missing_folder(std::string_view root, [[maybe_unused]] std::string_view seen = "") {
  std::string out = "Warnung: Der Ordner des Datentr\xE4gers " + std::string(root) + " ist nicht vorhanden";
#ifndef _WIN32
  if (!seen.empty()) out += " (auf diesem System " + std::string(seen) + ")";
#endif
  return out + ".\r\n";
}

// The log of a run that reached the phases: the summary part byte for byte, then
// whatever the phases printed, then the closing lines.
::testing::AssertionResult summary_and_closing(const std::string& log, const std::string& summary) {
  const std::string head = kBanner + summary;
  if (log.rfind(head, 0) != 0) return ::testing::AssertionFailure() << "log starts differently:\n" << log;
  if (log.size() < head.size() + kClosing.size() || log.compare(log.size() - kClosing.size(), kClosing.size(), kClosing) != 0) {
    return ::testing::AssertionFailure() << "log ends differently:\n" << log;
  }
  return ::testing::AssertionSuccess();
}

class DriverRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  }
  RunResult run(const std::string& config) {
    RunOptions options;
    options.working_directory = dir.path();
    options.config = config;
    return testing::run_torvane(options);
  }
  std::string config_path() const { return dir.path() + "/test-config.ini"; }
  // A medium folder with POOL.INI (upper case, as copied from the original medium).
  std::string medium(std::string_view version = "", std::string_view install = "") {
    dir.write("DVD/POOL.INI", "[Pool]\r\n");
    if (!version.empty()) dir.write("DVD/VERSION.TXT", version);
    if (!install.empty()) dir.write("DVD/VERINST.TXT", install);
    return dir.path("DVD");
  }
  TempDir dir{"e2e."};
};

TEST_F(DriverRun, WithoutAConfigurationFileTheMediumIsNotFound) {
  // The copy has no configuration beside it; it is started without arguments.
  const std::string exe = testing::copy_program(dir.path("bin"));
  RunOptions options;
  options.working_directory = dir.path();
  options.executable = exe;
  const RunResult result = testing::run_torvane(options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.log, kBanner + "Warnung: Die Konfigurationsdatei " + dir.path("bin") + "/torvane.INI ist nicht vorhanden.\r\n" +
                            "Error: ORVA Media-CD kann nicht gefunden werden.\r\n\r\n");
  EXPECT_NE(result.out.find("nicht gefunden werden." + kNewLine + kNewLine + "Press any key to continue..."),
            std::string::npos)
      << result.out;
}

TEST_F(DriverRun, ConfigurationBesideTheExecutableInAFolderWithAPoint) {
  const std::string exe = testing::copy_program(dir.path("tools.v2"));
  dir.write("tools.v2/TORVANE.INI", "[DVD]\r\nPfad=" + medium() + "\r\nName=Beispiel\r\nCheck=0\r\n");
  dir.write("tools.ini", "[DVD]\r\nPfad=\r\n");  // where a cut at the folder's point would look
  RunOptions options;
  options.working_directory = dir.path();
  options.executable = exe;
  const RunResult result = testing::run_torvane(options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(summary_and_closing(result.log, line("Datentr\xE4ger-Name", "Beispiel") +
                                                  line("Datentr\xE4ger-Pfad", dir.path("DVD") + "\\") +
                                                  line("Indexdatei", ".cdx") + "\r\n"));
}

TEST_F(DriverRun, FatalChecks) {
  RunResult result = run("[DVD]\r\nPfad=\r\nName=X\r\n");
  EXPECT_EQ(result.log, kBanner + "Error: ORVA Media-CD kann nicht gefunden werden.\r\n\r\n");

  result = run("[DVD]\r\nPfad=" + dir.path("DVD") + "\r\n");
  EXPECT_EQ(result.log, kBanner + "Error: Kein Datentr\xE4ger-Name in " + config_path() + ".\r\n\r\n");

  // Switch values other than "0" leave DXPData on.
  result = run("[DVD]\r\nPfad=" + dir.path("DVD") + "\r\nName=X\r\nDXPData=00\r\n");
  EXPECT_EQ(result.log, kBanner + "Warnung: DXPData=00 in Sektion [DVD] von " + config_path() +
                            " ist keiner der Werte 0, 1; DXPData bleibt eingeschaltet.\r\n" +
                            missing_folder(dir.path("DVD") + "\\", dir.path("dvd")) +
                            "Error: POOL.INI der LUMO-/DXP-Daten-DVD ist nicht in " + dir.path("DVD") +
                            "\\ vorhanden.\r\n\r\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_FALSE(dir.exists("DVD"));  // nothing was made
}

TEST_F(DriverRun, SummaryWithVersionFilesAndAnEmptyPoolFilter) {
  const std::string root = medium(" 5.1 Build 7 \r\nsecond line", "C:\\TAV\r\n");
  const RunResult result = run("\xEF\xBB\xBF[dvd]\r\npfad = " + root + "\\\r\nname = Bibliothek M\xFCnchen\r\n"
                               "[MAB]\r\nPoolFilter=\r\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(summary_and_closing(
      result.log, line("Datentr\xE4ger-Name", "Bibliothek M\xFCnchen") + line("Datentr\xE4ger-Pfad", root + "\\") +
                      line("TAV-Version", "5.1 Build 7") + line("TAV-Verzeichnis", "C:\\TAV") +
                      line("Pool-Pr\xFC" "fung", "") + line("Indexdatei", ".cdx") +
                      "\r\nBeginne mit \xDC" "berp\xFC" "fung...\r\n"));
#ifdef _WIN32
  // The console gets the same text in the OEM code page 850.
  EXPECT_NE(result.out.find("Bibliothek M\x81nchen"), std::string::npos);
  EXPECT_NE(result.out.find("Beginne mit \x9A" "berp\x81" "fung...\r\n"), std::string::npos);
#else
  // The console gets the same text in UTF-8.
  EXPECT_NE(result.out.find("Bibliothek M\xC3\xBCnchen"), std::string::npos);
  EXPECT_NE(result.out.find("Beginne mit \xC3\x9C" "berp\xC3\xBC" "fung...\n"), std::string::npos);
#endif
  EXPECT_EQ(result.out.find('\xFC'), std::string::npos);
}

TEST_F(DriverRun, PfadFormsAndCheckOff) {
  struct Case {
    std::string pfad, root, seen;  // seen: the folder on this system, when it reads differently
  } cases[] = {{"E", "E:\\", "/mnt/e"}, {"D:\\DVD", "D:\\DVD\\", "/mnt/d/dvd"}, {"D:\\DVD\\", "D:\\DVD\\", "/mnt/d/dvd"},
               {dir.path("nowhere"), dir.path("nowhere") + "\\", ""}};
  for (const Case& c : cases) {
    // Check off: no name and no POOL.INI needed, a missing folder is only a warning here.
    const RunResult result = run("[DVD]\r\nPfad=" + c.pfad + "\r\nCheck=0\r\nUseCDX=no\r\n[MAB]\r\nPoolFilter=P\r\n");
    EXPECT_EQ(result.exit_status, 0);
    const std::string warnings = "Warnung: UseCDX=no in Sektion [DVD] von " + config_path() +
                                 " ist keiner der Werte 0, 1; UseCDX bleibt eingeschaltet.\r\n" +
                                 (std::filesystem::exists(c.seen) ? "" : missing_folder(c.root, c.seen));
    EXPECT_TRUE(summary_and_closing(result.log, warnings + line("Datentr\xE4ger-Pfad", c.root) +
                                                    line("Indexdatei", ".cdx") + "\r\n"))
        << c.pfad;
  }
  const RunResult ntx = run("[DVD]\r\nPfad=E\r\nCheck=0\r\nUseCDX=0\r\n");
  EXPECT_NE(ntx.log.find(line("Indexdatei", ".ntx")), std::string::npos);
}

TEST_F(DriverRun, CheckOnWithoutPoolIniWhenDxpDataIsOff) {
  dir.make_dir("DVD");
  const RunResult result = run("[DVD]\r\nPfad=" + dir.path("DVD") + "\r\nName=N\r\nDXPData=0\r\n");
  EXPECT_TRUE(summary_and_closing(result.log, line("Datentr\xE4ger-Name", "N") +
                                                  line("Datentr\xE4ger-Pfad", dir.path("DVD") + "\\") +
                                                  line("Pool-Pr\xFC" "fung", "") + line("Indexdatei", ".cdx") +
                                                  "\r\nBeginne mit \xDC" "berp\xFC" "fung...\r\n"));
}

TEST_F(DriverRun, RunLogOfThePreviousRunIsReplaced) {
  dir.write("torvane.log", "old content\r\n");
  const RunResult result = run("");
  EXPECT_EQ(result.log, kBanner + "Error: ORVA Media-CD kann nicht gefunden werden.\r\n\r\n");
}

TEST_F(DriverRun, CommandLine) {
  RunOptions options;
  options.working_directory = dir.path();
  options.args = {"--version"};
  RunResult result = testing::run_torvane(options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "TORVANE 3.10.800 (8AV1330)" + kNewLine);
  EXPECT_FALSE(result.log_exists);

  options.args = {"--help"};
  result = testing::run_torvane(options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.out.find("--config"), std::string::npos);

  options.args = {"--bogus"};
  result = testing::run_torvane(options);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_FALSE(result.log_exists);
}

}  // namespace
}  // namespace torvane
