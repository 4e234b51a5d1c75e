// A catalogue from a data supplier must never reach outside the medium: entries that
// climb out, are absolute, name a drive or lead out through a link are reported with
// one line each and their pool is left out, a folder beside the medium stays exactly
// as it was, and the other pools are built as usual.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

const std::string kMab = "### 000001\r\n540a ISBN 3-88053-101-3\r\n### 000002\r\n542a ISSN 0342-0671\r\n";

class MediumContainment : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
#ifdef _WIN32
    GTEST_SKIP() << "the medium's links are made with Linux calls here";
#endif
    dir.write("outside/victim.dbf", "Notizen, keine Tabelle\r\n");
    dir.write("outside/victim.cdx", "Notizen, kein Index\r\n");
    dir.write("outside/covers.dbf", "keine Covertabelle\r\n");
  }
  std::string root() const { return dir.path("dvd") + "\\"; }

  std::vector<std::string> run() {
    RunOptions options;
    options.working_directory = dir.path();
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=Test\r\nDXPData=0\r\n[MAB]\r\nFilter=0\r\n"
                     "[Download]\r\nCover2Pool=1\r\n";
    const RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err << result.log;
    EXPECT_TRUE(result.log.ends_with(kClosing)) << result.log;
    return crlf_lines(result.log);
  }

  TempDir dir{"contain."};
};

TEST_F(MediumContainment, EntriesLeadingOutAreReportedAndNothingOutsideIsTouched) {
  const std::string outside = dir.path("outside");
  std::string catalogue = "[Pool]\r\n1=Good\r\n2=Climb\r\n3=Victim\r\n4=Abs\r\n5=Drive\r\n6=Linked\r\n7=Typo\r\n8=Last\r\n";
  const auto section = [&](const std::string& name, const std::string& keys) {
    catalogue += "[" + name + "]\r\nName=" + name + "\r\nFile=" + name + "\\DATA.MAB\r\n" + keys;
    dir.write("dvd/" + name + "/DATA.MAB", kMab);
  };
  section("Good", "DBFFile=good\\..\\GOOD\\Good.DBF\r\n");  // ".." that stays inside, another case
  section("Climb", "DBFFile=..\\outside\\evil.dbf\r\nCDXFile=..\\outside\\evil.cdx\r\n");
  section("Victim", "DBFFile=..\\outside\\victim.dbf\r\nCDXFile=..\\outside\\victim.cdx\r\n");
  section("Abs", "DBFFile=" + outside + "/abs.dbf\r\n");
  section("Drive", "DBFFile=C:\\x.dbf\r\n");
  section("Linked", "DBFFile=OUT\\linked.dbf\r\n");
  section("Typo", "DBFFile=Typo\\DATA.MAB\r\n");  // the pool's own data
  section("Last", "");
  catalogue += "[Cover]\r\n1=..\\outside\\covers.dbf\r\n";
  dir.write("dvd/POOL.INI", catalogue);
  std::filesystem::create_symlink(outside, dir.path("dvd/OUT"));
  const auto before = file_tree(outside);

  const std::vector<std::string> lines = run();

  EXPECT_EQ(file_tree(outside), before);
  EXPECT_EQ(dir.read("dvd/Typo/DATA.MAB"), kMab);
  std::vector<std::string> errors;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(errors),
               [](const std::string& line) { return line.starts_with("Error: "); });
  const std::string ini = " von " + root() + "POOL.INI ";
  const std::string out = "f\xFChrt aus dem Datentr\xE4ger hinaus: ";
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "Error: Eintrag DBFFile in Sektion [Climb]" + ini + out + "..\\outside\\evil.dbf",
                        "Error: Eintrag DBFFile in Sektion [Victim]" + ini + out + "..\\outside\\victim.dbf",
                        "Error: Eintrag DBFFile in Sektion [Abs]" + ini + out + outside + "/abs.dbf",
                        "Error: Eintrag DBFFile in Sektion [Drive]" + ini + out + "C:\\x.dbf",
                        "Error: Eintrag DBFFile in Sektion [Linked]" + ini + out + root() + "OUT\\linked.dbf",
                        "Error: Eintrag DBFFile in Sektion [Typo]" + ini + "nennt die MAB-Datei der Sektion [Typo]: " +
                            root() + "Typo\\DATA.MAB",
                        "Error: Eintrag 1 in Sektion [Cover]" + ini + out + "..\\outside\\covers.dbf",
                    }));

  // The good pools are built as usual.
  for (const char* built : {"dvd/Good/good.dbf", "dvd/Good/good.cdx", "dvd/Last/data.dbf", "dvd/Last/data.cdx",
                            "dvd/pool.dbf", "dvd/pool.cdx"})
    EXPECT_TRUE(dir.exists(built)) << built;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Datei " + root() + "good\\..\\GOOD\\Good.DBF wurde angelegt."),
            lines.end());
  EXPECT_FALSE(dir.exists("dvd/Typo/data.cdx"));
  EXPECT_FALSE(dir.exists("evil.dbf"));
}

}  // namespace
}  // namespace torvane::testing
