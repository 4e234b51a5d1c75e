#include "app/covers/cover_flags.h"

#include <gtest/gtest.h>

#include "app/covers/cover_test_tables.h"

namespace torvane::app {
namespace {

using cover_test::title;
using Lines = std::vector<std::string>;

class CoverFlags : public cover_test::CoverMedium {
 protected:
  void catalogue(const std::string& cover_section) {
    dir.write("dvd/POOL.INI", "[Pool]\r\n1=POOL1\r\n\r\n[Cover]\r\n" + cover_section);
  }
  Lines run() {
    update_cover_flags(config);
    return capture.lines();
  }
  std::string table(const char* name) const { return dir.path(std::string("dvd/cover/") + name); }
};

TEST_F(CoverFlags, EachListedTableFlagsItsTitlesAndTheCountersRunOn) {
  // title(1) three times (one row per pool), title(3) with a flag from elsewhere.
  write_pool({title(1), title(2), title(1), title(3), title(1)}, {0, 0, 0, 7, 0});
  write_covers(table("a.dbf"), {{title(2), "a2"}, {title(1), "a1"}});
  write_covers(table("b.dbf"), {{title(2), "b2"}}, false);  // gets its index now
  catalogue("1=cover\\a.dbf\r\n2=COVER\\B.DBF\r\n3=cover\\missing.dbf\r\n");
  const Lines lines = run();
  EXPECT_EQ(lines, (Lines{"", "Aktualisiere pool.dbf... ", "",
                          "Eintr\xE4ge in pool.dbf...............:          5",
                          " davon verschieden.................:          6 (120%)",
                          "    davon gefunden.................:          3 (50%)"}));
  EXPECT_EQ(pool_flags(), (std::vector<int>{1, 2, 1, 7, 1}));
  EXPECT_TRUE(dir.exists("dvd/cover/b.cdx"));
  // Five records, two passes: the figure goes 20 .. 100 twice, each change drawn.
  ASSERT_EQ(capture.console.figures.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) {
    const std::string percent = std::to_string(20 * (i % 5 + 1)) + "%  ";
    EXPECT_TRUE(capture.console.figures[i].ends_with(percent)) << capture.console.figures[i];
    EXPECT_TRUE(capture.console.figures[i].starts_with(i < 5 ? "Cover-Tabelle 1: " : "Cover-Tabelle 2: "));
  }
  EXPECT_EQ(flag_figure(3, 250, 1000, 2.0), "Cover-Tabelle 3:  250/1000 Eintr\xE4ge,     125.0/s, noch  0:00:06,  25");
}

TEST_F(CoverFlags, TheListEndsAtTheFirstGapAndAboveNinetyNine) {
  write_pool({title(1), title(2)});
  write_covers(table("a.dbf"), {{title(1), "a"}});
  write_covers(table("c.dbf"), {{title(2), "c"}});
  catalogue("1=cover\\a.dbf\r\n3=cover\\c.dbf\r\n");
  run();
  EXPECT_EQ(pool_flags(), (std::vector<int>{1, 0}));

  std::string section;
  for (int n = 1; n <= 99; ++n) section += std::to_string(n) + "=cover\\none" + std::to_string(n) + ".dbf\r\n";
  catalogue(section + "100=cover\\c.dbf\r\n101=cover\\c.dbf\r\n");
  capture.console = {};
  const Lines lines = run();
  EXPECT_EQ(lines[2], "Warnung: Cover-Eintr\xE4ge ab 100 in " + config.medium_root +
                          "POOL.INI passen nicht in das Feld COVER und werden \xFC" "bersprungen.");
  EXPECT_EQ(lines.size(), 7u);
  EXPECT_EQ(pool_flags(), (std::vector<int>{1, 0}));
}

TEST_F(CoverFlags, ABlankIsbnMatchesNothing) {
  write_pool({"", title(2)});
  write_covers(table("a.dbf"), {{title(1), "a"}});
  catalogue("1=cover\\a.dbf\r\n");
  const Lines lines = run();
  EXPECT_EQ(pool_flags(), (std::vector<int>{0, 0}));
  EXPECT_EQ(lines.back(), "    davon gefunden.................:          0 (0%)");
}

TEST_F(CoverFlags, EscEndsOnlyThePassOverOneTable) {
  write_pool({title(1), title(2), title(3)}, {}, storage::Variant::ntx);
  config.index_mode = storage::Variant::ntx;
  write_covers(table("a.dbf"), {{title(3), "a"}});
  write_covers(table("b.dbf"), {{title(2), "b"}});
  catalogue("1=cover\\a.dbf\r\n2=cover\\b.dbf\r\n");
  capture.keyboard.keys = {27};
  const Lines lines = run();
  EXPECT_EQ(lines[2], "Manueller Abbruch - Bitte warten... ");
  EXPECT_EQ(pool_flags(), (std::vector<int>{0, 2, 0}));
  // The last ISBN carries over: the second pass begins with the one the first ended on.
  EXPECT_EQ(lines.back(), "    davon gefunden.................:          1 (33%)");
}

TEST_F(CoverFlags, WithoutThePoolTable) {
  catalogue("1=cover\\a.dbf\r\n");
  EXPECT_EQ(run(), (Lines{"Error: Datei " + config.medium_root + "pool.dbf nicht vorhanden!"}));
}

}  // namespace
}  // namespace torvane::app
