// Whole runs with configurations as people write them: saved in UTF-8 by a newer
// editor, with keys the program does not know, with the image server switched on but
// not named, with the not-found table placed by hand; and a run whose log cannot be
// written.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

class ConfigurationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    copy_program(dir.path("bin"));
  }
  RunResult run(const std::string& config, const std::string& working_directory = "") {
    RunOptions options;
    options.working_directory = working_directory.empty() ? dir.path() : working_directory;
    options.executable = dir.path("bin/torvane");
    options.config = config;
    return run_torvane(options);
  }
  std::string config_path() const { return dir.path() + "/test-config.ini"; }
  TempDir dir{"e2e.config."};
};

TEST_F(ConfigurationRun, Utf8NameReachesTheStartUpFilesInWindows1252) {
  for (const std::string mark : {"\xEF\xBB\xBF", ""}) {
    dir.write("dvd/POOL.INI", "[Pool]\r\n");
    dir.write("dvd/BIN/TAV.CDM", "[Main]\r\nTitle=Alte Ausgabe\r\nProgram=TAV.EXE\r\n");
    const RunResult result = run(mark + "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=Pr\xC3\xBC" "fmedium\r\n");
    const std::string which = mark.empty() ? "without mark" : "with mark";
    EXPECT_EQ(result.exit_status, 0) << which;
    EXPECT_EQ(dir.read("dvd/BIN/TAV.CDM"), "[Main]\r\nTitle=Pr\xFC" "fmedium\r\nProgram=TAV.EXE\r\n") << which;
    EXPECT_TRUE(result.log.starts_with(kBanner + "Datentr\xE4ger-Name...................: Pr\xFC" "fmedium\r\n"))
        << which << ":\n" << result.log;
    EXPECT_NE(result.out.find("Pr\xC3\xBC" "fmedium"), std::string::npos) << which;
    EXPECT_EQ(result.out.find("Pr\xC3\x83\xC2\xBC" "fmedium"), std::string::npos) << which;  // not read twice
  }
}

TEST_F(ConfigurationRun, UnknownKeysAndSwitchValuesAreWarnedAboutAfterTheBanner) {
  dir.make_dir("dvd");
  const RunResult result = run("[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nPath=D:\\DVD\r\nCheck=0\r\n"
                               "[Download]\r\nCovr=1\r\nCover=yes\r\n");
  EXPECT_EQ(result.exit_status, 0);
  const std::string expected =
      kBanner + "Warnung: Unbekannter Schl\xFCssel Path in Sektion [DVD] von " + config_path() + " wird nicht beachtet.\r\n" +
      "Warnung: Unbekannter Schl\xFCssel Covr in Sektion [Download] von " + config_path() + " wird nicht beachtet.\r\n" +
      "Warnung: Cover=yes in Sektion [Download] von " + config_path() +
      " ist keiner der Werte 0, 1; Cover bleibt ausgeschaltet.\r\n" +
      "Datentr\xE4ger-Pfad...................: " + dir.path("dvd") + "\\\r\n";
  EXPECT_TRUE(result.log.starts_with(expected)) << result.log;
  EXPECT_TRUE(result.log.ends_with(kClosing));
}

TEST_F(ConfigurationRun, InternetWithoutServerAsksNobodyAndNotFoundDbfPlacesTheTable) {
  storage::register_cdx_driver();
  dir.make_dir("dvd/cover");
  dir.make_dir("data");
  const std::array<storage::FieldSpec, 3> schema = {{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}}};
  ASSERT_TRUE(storage::DbfTable::create(dir.path("dvd/pool.dbf"), schema, storage::Variant::cdx));
  auto pool = storage::DbfTable::open(dir.path("dvd/pool.dbf"));
  ASSERT_TRUE(pool);
  ASSERT_TRUE(pool->append());
  pool->assign("ISBN", "9783161484100");
  ASSERT_TRUE(pool->create_index(dir.path("dvd/pool.cdx")));
  ASSERT_TRUE(pool->close());

  const RunResult result = run("[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nCheck=0\r\n[Download]\r\nCover=1\r\n"
                               "CoverDBF=" + dir.path("dvd/cover") + "/cover.dbf\r\nInternet=1\r\n"
                               "NotFoundDBF=" + dir.path("data") + "/\r\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(result.log.starts_with(kBanner + "Warnung: Internet=1 ohne Server in Sektion [Download] von " + config_path() +
                                     "; Cover werden nicht im Internet gesucht.\r\nDatentr\xE4ger-Pfad"))
      << result.log;
  EXPECT_NE(result.log.find("Cover aus Internet herunterladen...: nein\r\n"), std::string::npos) << result.log;
  EXPECT_EQ(result.log.find("Cover-Server"), std::string::npos) << result.log;
  EXPECT_EQ(result.log.find("Im Internet"), std::string::npos) << result.log;
  EXPECT_TRUE(dir.exists("data/notfound.dbf"));
  EXPECT_TRUE(dir.exists("data/notfound.cdx"));
  EXPECT_FALSE(dir.exists("bin/notfound.dbf"));
  EXPECT_FALSE(dir.exists("dvd/cover/notfound.dbf"));
}

TEST_F(ConfigurationRun, ARunLogThatCannotBeWrittenIsToldOnceOnStandardError) {
  // A folder where the log would go stands for a current folder that cannot be written
  // (a protection that also holds for the administrator).
  dir.make_dir("work/torvane.log");
  const RunResult result = run("[DVD]\r\nPfad=\r\n", dir.path("work"));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.out.find("Error: ORVA Media-CD kann nicht gefunden werden."), std::string::npos);
  EXPECT_EQ(result.err, "torvane: Das Protokoll " + dir.path("work") +
                            "/torvane.log kann nicht geschrieben werden; die Zeilen dieses Laufs fehlen darin.\n");
}

}  // namespace
}  // namespace torvane::testing
