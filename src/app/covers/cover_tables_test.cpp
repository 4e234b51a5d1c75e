#include "app/covers/cover_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/covers/cover_test_tables.h"
#include "platform/fs.h"
#include "storage/dbf_format.h"

namespace torvane::app {
namespace {

using cover_test::CoverMedium;
using cover_test::title;

class CoverTables : public CoverMedium {
 protected:
  std::vector<std::string> files_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path(folder)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// A new table appears with its memo file and its index, which carries the tag of the
// final name (not of the build name), and nothing else is left in the folder.
TEST_F(CoverTables, ANewTableIsCompleteUnderItsFinalNameOnly) {
  ASSERT_TRUE(create_cover_table(config.cover_dbf));
  EXPECT_EQ(files_in("dvd/cover"), (std::vector<std::string>{"cover.cdx", "cover.dbf", "cover.fpt"}));
  const std::string table = dir.read("dvd/cover/cover.dbf");
  ASSERT_EQ(table.size(), 99u);
  EXPECT_EQ(table[storage::dbf::kFlags], '\x01');
  EXPECT_EQ(dir.read("dvd/cover/cover.fpt").size(), 1024u);
  // The tag directory's only key, stored at the end of its root leaf.
  const std::string index = dir.read("dvd/cover/cover.cdx");
  ASSERT_EQ(index.size(), 3072u);
  EXPECT_EQ(index.substr(1536 - 5, 5), "COVER");

  ASSERT_TRUE(create_not_found_table(dir.path("dvd/cover/notfound.dbf"), true));
  EXPECT_EQ(dir.read("dvd/cover/notfound.dbf").size(), 67u);
  EXPECT_EQ(dir.read("dvd/cover/notfound.cdx").substr(1536 - 8, 8), "NOTFOUND");
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(CoverTables, OnlyLeftoversOfKilledCreationsGoBeforeANewTable) {
  const std::vector<std::string> leftovers = {"cover~9999995.dbf", "cover~9999995.fpt", "cover~9999995.cdx", "cover~9999994.cdx.tmp"};
  const std::vector<std::string> others = {"cover~.dbf", "cover~12a.dbf", "cover~1.txt", "covers~1.dbf", "notes.dbf"};
  for (const std::string& name : leftovers) dir.write("dvd/cover/" + name, "x");
  for (const std::string& name : others) dir.write("dvd/cover/" + name, "x");
  // Companions of the final name without their table.
  dir.write("dvd/cover/cover.fpt", "old images");
  dir.write("dvd/cover/cover.cdx", "old index");
  ASSERT_TRUE(create_cover_table(config.cover_dbf));
  for (const std::string& name : leftovers) EXPECT_FALSE(dir.exists("dvd/cover/" + name)) << name;
  for (const std::string& name : others) EXPECT_TRUE(dir.exists("dvd/cover/" + name)) << name;
  EXPECT_EQ(dir.read("dvd/cover/cover.fpt").size(), 1024u);
  EXPECT_EQ(dir.read("dvd/cover/cover.cdx").size(), 3072u);
}

TEST_F(CoverTables, IncompleteTablesAreMadeAnewOrMendedOnce) {
  write_covers(config.cover_dbf, {{title(1), "GIF89a one"}, {title(2), "GIF89a two"}});
  const std::string good = dir.read("dvd/cover/cover.dbf");

  std::string killed = good;
  killed[storage::dbf::kRecordCount] = 0;
  dir.write("dvd/cover/cover.dbf", killed);
  EXPECT_TRUE(restore_cover_table(config.cover_dbf, CoverTable::cover));
  EXPECT_TRUE(restore_cover_table(config.cover_dbf, CoverTable::cover));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Warnung: Datei " + config.cover_dbf +
                                                       " war unvollst\xE4ndig geschrieben und wurde repariert."}));
  EXPECT_EQ(dir.read("dvd/cover/cover.dbf"), good);

  capture.console.text.clear();
  std::filesystem::remove(dir.path("dvd/cover/cover.fpt"));
  auto table = open_keyed_table(config.cover_dbf, CoverTable::cover, cover_open_options(config.exclusive, "COVER"));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->record_count(), 0u);
  EXPECT_TRUE(table->has_memo_file());
  table->close();
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"Warnung: Datei " + config.cover_dbf +
                                      " ist unvollst\xE4ndig, die Cover darin sind verloren; sie wird leer neu angelegt."}));

  // No table at all: left to the caller, untouched.
  capture.console.text.clear();
  dir.write("dvd/cover/cover.dbf", "text");
  EXPECT_TRUE(restore_cover_table(config.cover_dbf, CoverTable::cover));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(dir.read("dvd/cover/cover.dbf"), "text");
}

TEST_F(CoverTables, AnImportTableWithoutItsMemoFileIsReportedNotOpened) {
  const std::string import = dir.path("dvd/import.dbf");
  write_covers(import, {{title(1), "GIF89a one"}});
  std::filesystem::remove(dir.path("dvd/import.fpt"));
  const std::string before = dir.read("dvd/import.dbf");
  EXPECT_EQ(ImportTable::open(import, config.exclusive), nullptr);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Error: Datei " + import + " ist besch\xE4" "digt."}));
  EXPECT_EQ(dir.read("dvd/import.dbf"), before);
}

}  // namespace
}  // namespace torvane::app
