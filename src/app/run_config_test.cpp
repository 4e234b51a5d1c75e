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
            "CoverImportDBF=imp.dbf\r\nStart=978\r\nStop=abc\r\nServer=localhost:8080\r\nTimeout=500\r\n");
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
}

}  // namespace
}  // namespace torvane::app
