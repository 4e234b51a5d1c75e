#include "app/medium/pool_catalogue.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using storage::Variant;

class PoolCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("POOL.INI",
              "[Pool]\r\n1=Pool1\r\n2=pool2\r\n3=Only\r\n4=Nameless\r\n5=Pool1\r\n7=Late\r\n"
              "[POOL1]\r\nName=Eins\r\nFile=P1\\DATA.MAB\r\nDBFFile=P1\\ISBN.DBF\r\nCDXFile=P1\\ISBN.IDX\r\nNTXFile=P1\\X.NTX\r\n"
              "[Pool2]\r\nName=Zwei\r\nFile=P2.V1\\P2.MAB\r\nMABFile=ignored.mab\r\n"
              "[Only]\r\nName=Drei\r\nMABFile=P3\\P3.MAB\r\n"
              "[Nameless]\r\nFile=P4\\P4.MAB\r\n");
  }
  PoolEntry resolve(int n, const std::string& section, Variant mode = Variant::cdx) {
    return resolve_pool(ini(), n, section, root, mode);
  }
  std::string ini() const { return dir.path("POOL.INI"); }

  testing::TempDir dir;
  const std::string root = "D:\\DVD\\";
};

TEST_F(PoolCatalogue, EnumerationStopsAtTheFirstHoleAndAtItsLimit) {
  std::vector<std::pair<int, std::string>> seen;
  for_each_pool(ini(), 99, [&](int n, const std::string& section) { seen.emplace_back(n, section); });
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{1, "Pool1"}, {2, "pool2"}, {3, "Only"}, {4, "Nameless"}, {5, "Pool1"}}));
  seen.clear();
  for_each_pool(ini(), 2, [&](int n, const std::string& section) { seen.emplace_back(n, section); });
  EXPECT_EQ(seen.size(), 2u);
  for_each_pool(dir.path("missing.ini"), 99, [&](int, const std::string&) { ADD_FAILURE(); });
}

TEST_F(PoolCatalogue, NamesOfThePerPoolSteps) {
  const PoolEntry one = resolve(1, "Pool1");
  EXPECT_EQ(one.status, PoolEntry::Status::ok);
  EXPECT_EQ(one.mab_path, "D:\\DVD\\P1\\DATA.MAB");
  EXPECT_EQ(one.table_path, "D:\\DVD\\P1\\ISBN.DBF");
  EXPECT_EQ(one.index_path, "D:\\DVD\\P1\\ISBN.cdx");  // another extension is replaced
  EXPECT_EQ(resolve(1, "Pool1", Variant::ntx).index_path, "D:\\DVD\\P1\\X.NTX");  // the right one is kept

  // Derived names are cut at the first point of the file name, never in a folder name.
  const PoolEntry two = resolve(2, "pool2", Variant::ntx);
  EXPECT_EQ(two.mab_path, "D:\\DVD\\P2.V1\\P2.MAB");
  EXPECT_EQ(two.table_path, "D:\\DVD\\P2.V1\\P2.dbf");
  EXPECT_EQ(two.index_path, "D:\\DVD\\P2.V1\\P2.ntx");

  EXPECT_EQ(resolve(3, "Only").mab_path, "D:\\DVD\\P3\\P3.MAB");
  EXPECT_EQ(resolve(4, "Nameless").status, PoolEntry::Status::no_name);
  EXPECT_EQ(resolve(6, "Missing").status, PoolEntry::Status::no_name);
}

TEST_F(PoolCatalogue, ImportPathsNeedDbfFileOrFile) {
  const auto import = [&](int n, const std::string& section) { return pool_import(ini(), n, section, root, Variant::cdx); };
  EXPECT_EQ(import(1, "Pool1").path, "D:\\DVD\\P1\\ISBN.DBF");
  EXPECT_EQ(import(2, "Pool2").path, "D:\\DVD\\P2.V1\\P2.dbf");
  EXPECT_EQ(import(3, "Only").path, "");  // MABFile is not consulted
  EXPECT_EQ(import(4, "Nameless").path, "D:\\DVD\\P4\\P4.dbf");  // no Name needed
  EXPECT_EQ(import(4, "Nameless").problem, "");
}

TEST_F(PoolCatalogue, EntriesLeadingOutOfTheMediumLeaveThePoolOut) {
  dir.write("POOL.INI",
            "[Pool]\r\n1=Good\r\n2=Climb\r\n3=Abs\r\n4=Drive\r\n5=Away\r\n"
            "[Good]\r\nName=G\r\nFile=G\\G.MAB\r\nDBFFile=G\\..\\G\\G.DBF\r\n"
            "[Climb]\r\nName=C\r\nFile=C\\C.MAB\r\nDBFFile=..\\..\\outside\\evil.dbf\r\n"
            "[Abs]\r\nName=A\r\nFile=A\\A.MAB\r\nCDXFile=/srv/x/abs.cdx\r\n"
            "[Drive]\r\nName=D\r\nMABFile=C:\\D.MAB\r\n"
            "[Away]\r\nFile=..\\A.MAB\r\n");  // no Name: only the import sees it
  const auto expected = [&](const std::string& key, const std::string& section, const std::string& value) {
    return "Error: Eintrag " + key + " in Sektion [" + section + "] von " + ini() +
           " f\xFChrt aus dem Datentr\xE4ger hinaus: " + value;
  };
  EXPECT_EQ(resolve(1, "Good").status, PoolEntry::Status::ok);
  EXPECT_EQ(resolve(1, "Good").table_path, "D:\\DVD\\G\\..\\G\\G.DBF");
  const PoolEntry climb = resolve(2, "Climb");
  EXPECT_EQ(climb.status, PoolEntry::Status::rejected);
  EXPECT_EQ(climb.problem, expected("DBFFile", "Climb", "..\\..\\outside\\evil.dbf"));
  EXPECT_EQ(resolve(3, "Abs").problem, expected("CDXFile", "Abs", "/srv/x/abs.cdx"));
  EXPECT_EQ(resolve(4, "Drive").problem, expected("MABFile", "Drive", "C:\\D.MAB"));

  // The import leaves out what the per-pool steps rejected without a second line, and
  // reports what only it reads.
  const PoolImport climbing = pool_import(ini(), 2, "Climb", root, Variant::cdx);
  EXPECT_EQ(climbing.path, "");
  EXPECT_EQ(climbing.problem, "");
  const PoolImport away = pool_import(ini(), 5, "Away", root, Variant::cdx);
  EXPECT_EQ(away.path, "");
  EXPECT_EQ(away.problem, expected("File", "Away", "..\\A.MAB"));
  EXPECT_EQ(pool_import(ini(), 1, "Good", root, Variant::cdx).path, "D:\\DVD\\G\\..\\G\\G.DBF");
}

TEST(PoolSelection, SectionsSeparatedBySemicolonsIgnoringCase) {
  EXPECT_TRUE(pool_selected("pool1", "POOL1;Pool2"));
  EXPECT_TRUE(pool_selected("POOL2", "POOL1;Pool2"));
  EXPECT_FALSE(pool_selected("POOL2", "POOL1; POOL2"));
  EXPECT_FALSE(pool_selected("POOL", "POOL1"));
  EXPECT_FALSE(pool_selected("Pool1", ""));
}

}  // namespace
}  // namespace torvane::app
