#include "app/run_config.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace torvane::app {
namespace {

TEST(Configuration, FileNameAndMediumRoot) {
  EXPECT_EQ(config_file_for("C:\\TOOLS\\TORVANE.EXE"), "C:\\TOOLS\\TORVANE.INI");
  EXPECT_EQ(config_file_for("C:\\TOOLS.V2\\TORVANE.EXE"), "C:\\TOOLS.V2\\TORVANE.INI");
  EXPECT_EQ(config_file_for("/home/u/.local/bin/torvane"), "/home/u/.local/bin/torvane.INI");
  EXPECT_EQ(medium_root_from("E"), "E:\\");
  EXPECT_EQ(medium_root_from(" D:\\DVD "), "D:\\DVD\\");
  EXPECT_EQ(medium_root_from("D:\\DVD\\"), "D:\\DVD\\");
  EXPECT_EQ(medium_root_from("/srv/dvd/"), "/srv/dvd/");
  EXPECT_EQ(medium_root_from(""), "");
}

TEST(Configuration, FirstLineOfAVersionFile) {
  EXPECT_EQ(first_line_of(" 5.1.2 \r\nzweite"), "5.1.2");
  EXPECT_EQ(first_line_of("unix\nzweite"), "unix");
  EXPECT_EQ(first_line_of(""), "");
  const std::string words = std::string(75, 'a') + " bcdefgh ijk";
  EXPECT_EQ(first_line_of(words), std::string(75, 'a'));  // the word moves to the next piece
  EXPECT_EQ(first_line_of(std::string(100, 'x')), std::string(79, 'x'));
}

TEST(Configuration, EveryKeyWithItsSwitchRule) {
  testing::TempDir dir;
  dir.write("t.ini",
            "[DVD]\r\nPfad= E \r\nName= Medium \r\nDXPData=00\r\nCheck=no\r\nExklusive=0\r\nUseCDX=no\r\n"
            "[MAB]\r\nFilter=2\r\nPoolFilter=P1;P2\r\nMAB-Filter=700*\r\n"
            "[Download]\r\nCover=yes\r\nCover2Pool=1\r\nInternet= 1 \r\nCoverDBF=cover.dbf\r\n"
            "CoverImportDBF=imp.dbf\r\nStart=978\r\nStop=abc\r\nServer=localhost:8080\r\nTimeout=500\r\n"
            "CAFile= C:\\Certs\\Bild Server.pem \r\n");
  const RunConfig c = read_config(dir.path("t.ini"));
  EXPECT_EQ(c.config_file, dir.path("t.ini"));
  EXPECT_EQ(c.medium_root, "E:\\");
  EXPECT_EQ(c.medium_name, "Medium");
  EXPECT_TRUE(c.dxp_data);  // only "0" switches off
  EXPECT_TRUE(c.check);
  EXPECT_FALSE(c.exclusive);
  EXPECT_EQ(c.index_mode, storage::Variant::cdx);
  EXPECT_EQ(c.mab_filter_mode, "2");
  EXPECT_EQ(c.pool_filter, "P1;P2");
  EXPECT_EQ(c.field_exclusions, "700*");
  EXPECT_FALSE(c.cover);  // only "1" switches on
  EXPECT_TRUE(c.cover_to_pool);
  EXPECT_TRUE(c.internet);
  EXPECT_EQ(c.cover_dbf, "cover.dbf");
  EXPECT_EQ(c.cover_import_dbf, "imp.dbf");
  EXPECT_EQ(c.start_isbn, "978");
  EXPECT_EQ(c.stop_percent, 0);
  EXPECT_EQ(c.download_server, "localhost:8080");
  EXPECT_EQ(c.download_timeout_ms, 500);
  EXPECT_EQ(c.ca_file, "C:\\Certs\\Bild Server.pem");

  dir.write("u.ini", "[DVD]\r\nCheck=0\r\nUseCDX=0\r\n[Download]\r\nStop= 42.5%\r\nTimeout=-3\r\n");
  const RunConfig u = read_config(dir.path("u.ini"));
  EXPECT_FALSE(u.check);
  EXPECT_EQ(u.index_mode, storage::Variant::ntx);
  EXPECT_STREQ(u.index_extension(), ".ntx");
  EXPECT_EQ(u.stop_percent, 42);
  EXPECT_EQ(u.download_timeout_ms, 20000);

  const RunConfig none = read_config(dir.path("missing.ini"));
  EXPECT_EQ(none.medium_root, "");
  EXPECT_TRUE(none.check);
  EXPECT_EQ(none.mab_filter_mode, "1");
  EXPECT_EQ(none.download_timeout_ms, 20000);
  EXPECT_EQ(none.warnings,
            (std::vector<std::string>{"Warnung: Die Konfigurationsdatei " + dir.path("missing.ini") + " ist nicht vorhanden."}));
}

TEST(Configuration, Utf8IsReadAsUtf8AndPathsKeepTheirBytes) {
  testing::TempDir dir;
  const std::string body = "[DVD]\r\nName=Pr\xC3\xBC" "fmedium \xE2\x82\xAC\r\nPfad=/srv/Pr\xC3\xBC" "f\r\n"
                           "[Download]\r\nCoverDBF=/srv/B\xC3\xBC" "cher/cover.dbf\r\n";
  for (const std::string& mark : {std::string("\xEF\xBB\xBF"), std::string()}) {
    dir.write("u.ini", mark + body);
    const RunConfig c = read_config(dir.path("u.ini"));
    EXPECT_EQ(c.medium_name, "Pr\xFC" "fmedium \x80") << (mark.empty() ? "without" : "with") << " mark";
    EXPECT_EQ(c.medium_root, "/srv/Pr\xC3\xBC" "f\\");  // a native name on this system
    EXPECT_EQ(c.cover_dbf, "/srv/B\xC3\xBC" "cher/cover.dbf");
    EXPECT_TRUE(c.warnings.empty());
  }
  // A Windows-1252 file, also one with a mark before its umlauts, reads as it did.
  dir.write("w.ini", "[DVD]\r\nName=M\xFCnchen\r\n");
  EXPECT_EQ(read_config(dir.path("w.ini")).medium_name, "M\xFCnchen");
  dir.write("w.ini", "\xEF\xBB\xBF[DVD]\r\nName=M\xFCnchen\r\n");
  EXPECT_EQ(read_config(dir.path("w.ini")).medium_name, "M\xFCnchen");

  // A character that Windows-1252 lacks is read as "?" with one warning for its key.
  dir.write("x.ini", "[DVD]\r\nName=\xC4\x80 und \xF0\x9F\x93\x80\r\n[MAB]\r\nPoolFilter=\xC3\xA4\r\n");
  const RunConfig x = read_config(dir.path("x.ini"));
  EXPECT_EQ(x.medium_name, "? und ?");
  EXPECT_EQ(x.pool_filter, "\xE4");
  EXPECT_EQ(x.warnings, (std::vector<std::string>{"Warnung: Name in Sektion [DVD] von " + dir.path("x.ini") +
                                                  " enth\xE4lt Zeichen ohne Windows-1252-Entsprechung (U+0100, U+1F4C0); "
                                                  "sie werden als ? gelesen."}));
}

TEST(Configuration, UnknownKeysAndSwitchValuesAreWarnedAbout) {
  testing::TempDir dir;
  dir.write("k.ini",
            "[DVD]\r\nPath=D:\\DVD\r\nName=N\r\nUseCDX=no\r\n[mab]\r\n; Filter: 1 = check\r\nfilter=3\r\nPoolFilter=P\r\n"
            "[Download]\r\nCovr=1\r\nCover=yes\r\nInternet=\r\nConnections=2\r\nCAFile=ca.pem\r\nNotFoundDBF=nf.dbf\r\n"
            "[Eigenes]\r\nIrgendwas=1\r\n[DVD]\r\nPfad=E\r\n");
  const std::string file = dir.path("k.ini");
  const RunConfig c = read_config(file);
  EXPECT_EQ(c.warnings,
            (std::vector<std::string>{
                "Warnung: Sektion [DVD] steht mehrfach in " + file + "; nur die erste gilt.",
                "Warnung: Unbekannter Schl\xFCssel Path in Sektion [DVD] von " + file + " wird nicht beachtet.",
                "Warnung: Unbekannter Schl\xFCssel Covr in Sektion [Download] von " + file + " wird nicht beachtet.",
                "Warnung: UseCDX=no in Sektion [DVD] von " + file + " ist keiner der Werte 0, 1; UseCDX bleibt eingeschaltet.",
                "Warnung: Filter=3 in Sektion [MAB] von " + file + " ist keiner der Werte 0, 1, 2; Filter wirkt wie 1.",
                "Warnung: Cover=yes in Sektion [Download] von " + file + " ist keiner der Werte 0, 1; Cover bleibt ausgeschaltet.",
            }));
  // The keys are still read as before: only the warnings are new.
  EXPECT_EQ(c.medium_root, "");
  EXPECT_EQ(c.index_mode, storage::Variant::cdx);
  EXPECT_FALSE(c.cover);
  EXPECT_EQ(c.not_found_dbf, "nf.dbf");

  // A correct configuration gives no warning at all.
  dir.write("ok.ini", "[DVD]\r\nPfad=E\r\nName=N\r\nCheck=1\r\nUseCDX= 0 \r\n[MAB]\r\nFilter=2\r\n"
                      "[Download]\r\nCover=1\r\nInternet=1\r\nServer=localhost\r\n");
  EXPECT_TRUE(read_config(dir.path("ok.ini")).warnings.empty());
}

TEST(Configuration, InternetWithoutAServerIsSwitchedOff) {
  testing::TempDir dir;
  dir.write("i.ini", "[Download]\r\nCover=1\r\nInternet=1\r\nServer=\r\n");
  const RunConfig c = read_config(dir.path("i.ini"));
  EXPECT_FALSE(c.internet);
  EXPECT_EQ(c.warnings, (std::vector<std::string>{"Warnung: Internet=1 ohne Server in Sektion [Download] von " +
                                                  dir.path("i.ini") + "; Cover werden nicht im Internet gesucht."}));
}

TEST(Configuration, AMissingMediumFolderNamesWhereItWasLookedFor) {
  testing::TempDir dir;
  dir.make_dir("dvd");
  EXPECT_EQ(missing_medium_folder_warning(dir.path("dvd") + "\\"), "");
  EXPECT_EQ(missing_medium_folder_warning(dir.path("DVD") + "\\"), "");  // found without regard to case
#ifndef _WIN32  // a drive is a folder under /mnt, names are made lower case, "/" is the separator
  EXPECT_EQ(missing_medium_folder_warning(dir.path("none") + "/"),
            "Warnung: Der Ordner des Datentr\xE4gers " + dir.path("none") + "/ ist nicht vorhanden.");
  EXPECT_EQ(missing_medium_folder_warning(dir.path("New") + "\\"),
            "Warnung: Der Ordner des Datentr\xE4gers " + dir.path("New") + "\\ ist nicht vorhanden (auf diesem System " +
                dir.path("new") + ").");
  const std::string drive = missing_medium_folder_warning("Q:\\TORVANE-FEHLT\\");
  if (!drive.empty()) {  // unless this machine has that folder
    EXPECT_EQ(drive, "Warnung: Der Ordner des Datentr\xE4gers Q:\\TORVANE-FEHLT\\ ist nicht vorhanden "
                     "(auf diesem System /mnt/q/torvane-fehlt).");
  }
#endif
}

}  // namespace
}  // namespace torvane::app
