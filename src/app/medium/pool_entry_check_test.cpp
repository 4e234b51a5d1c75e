#include "app/medium/pool_entry_check.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "storage/ntx_index.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using storage::Variant;

TEST(ValueShape, RelativePathsMayNotLeaveTheRootByText) {
  EXPECT_EQ(value_shape("POOL1\\POOL1.DBF"), ValueShape::relative);
  EXPECT_EQ(value_shape("POOL1\\..\\POOL1\\POOL1.DBF"), ValueShape::relative);
  EXPECT_EQ(value_shape(".\\A\\.\\B.DBF"), ValueShape::relative);
  EXPECT_EQ(value_shape("A/B//C.DBF"), ValueShape::relative);
  EXPECT_EQ(value_shape("\\srv\\x.dbf"), ValueShape::absolute);
  EXPECT_EQ(value_shape("/srv/x/abs.dbf"), ValueShape::absolute);
  EXPECT_EQ(value_shape("\\\\server\\share\\x.dbf"), ValueShape::absolute);
  EXPECT_EQ(value_shape("C:\\x.dbf"), ValueShape::drive);
  EXPECT_EQ(value_shape("c:x.dbf"), ValueShape::drive);
  EXPECT_EQ(value_shape("POOL1.DBF:stream"), ValueShape::drive);
  EXPECT_EQ(value_shape("..\\..\\outside\\evil.dbf"), ValueShape::climbs_out);
  EXPECT_EQ(value_shape("POOL1\\..\\..\\DVD\\POOL1.DBF"), ValueShape::climbs_out);  // out and back in
  EXPECT_EQ(value_shape("POOL1\\.."), ValueShape::climbs_out);  // the root itself is no file
  EXPECT_EQ(value_shape("."), ValueShape::climbs_out);
}

class EntryCheck : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links are made with Linux calls here";
#endif
    dir.make_dir("DVD/POOL1");
    dir.make_dir("outside");
  }
  std::string root() const { return dir.path("DVD") + "\\"; }
  void link(std::string_view target, std::string_view at) {
    std::filesystem::create_symlink(std::string(target), dir.path(at));
  }
  CatalogueContext context() const { return {root() + "POOL.INI", root()}; }

  testing::TempDir dir{"check."};
};

TEST_F(EntryCheck, LinksOnTheWayAreFollowedAndLetterCaseIgnored) {
  link(dir.path("outside"), "DVD/OUT");             // a folder link leading out
  link("../../outside/evil.dbf", "DVD/POOL1/E.DBF");  // a dangling link: a create would land outside
  link("POOL1", "DVD/SAME");                        // a link that stays inside
  EXPECT_TRUE(inside_medium(root() + "pool1\\pool1.dbf", root()));
  EXPECT_TRUE(inside_medium(root() + "POOL1\\..\\POOL1\\NEW\\X.DBF", root()));
  EXPECT_TRUE(inside_medium(root() + "SAME\\X.DBF", root()));
  EXPECT_FALSE(inside_medium(root() + "OUT\\X.DBF", root()));
  EXPECT_FALSE(inside_medium(root() + "out\\x.dbf", root()));
  EXPECT_FALSE(inside_medium(root() + "POOL1\\E.DBF", root()));
  EXPECT_FALSE(inside_medium(root() + "..\\outside\\x.dbf", root()));
  EXPECT_FALSE(inside_medium(root(), root()));
  // A sibling folder whose name begins like the root's is not inside it.
  dir.make_dir("DVD2");
  EXPECT_FALSE(inside_medium(dir.path("DVD2") + "\\X.DBF", root()));
}

TEST_F(EntryCheck, OutsideLinesNameSectionEntryAndWhatLeadsOut) {
  const std::string head = "Error: Eintrag DBFFile in Sektion [POOL1] von " + root() + "POOL.INI f\xFChrt aus dem Datentr\xE4ger hinaus: ";
  const std::vector<std::string> inside = {root() + "POOL1\\P.DBF"};
  EXPECT_EQ(outside_problem(context(), "POOL1", "DBFFile", "POOL1\\P.DBF", inside), "");
  EXPECT_EQ(outside_problem(context(), "POOL1", "DBFFile", "/srv/x/abs.dbf", inside), head + "/srv/x/abs.dbf");
  // A derived file behind a link: the line shows that file.
  link(dir.path("outside/x.BK1"), "DVD/POOL1/P.BK1");
  const std::vector<std::string> files = touched_files(root() + "POOL1\\P.MAB", FileRole::mab);
  EXPECT_EQ(outside_problem(context(), "POOL1", "DBFFile", "", files), head + root() + "POOL1\\P.BK1");
}

TEST_F(EntryCheck, DerivedFilesCoverBackupsBuildNamesAndCompanions) {
  const auto has = [](const std::vector<std::string>& files, std::string_view name) {
    for (const std::string& f : files)
      if (f.ends_with(name)) return true;
    return false;
  };
  const auto mab = touched_files("D:\\DVD\\P.V1\\A.MAB", FileRole::mab);
  EXPECT_TRUE(has(mab, "P.V1\\A.BK1") && has(mab, "P.V1\\A.BK9") && has(mab, "P.V1\\A.MAB"));
  const auto table = touched_files("D:\\DVD\\P\\A.DBF", FileRole::table);
  EXPECT_TRUE(has(table, "P\\A.DBU") && has(table, "P\\A.cdx") && has(table, ".fpt"));
  EXPECT_TRUE(has(touched_files("D:\\DVD\\P\\A.cdx", FileRole::index), "P\\A.cdx.tmp"));
  const auto cover = touched_files("D:\\DVD\\C\\COVER.DBF", FileRole::cover_table);
  EXPECT_TRUE(has(cover, "C\\COVER.cdx") && has(cover, "C\\COVER.fpt"));
}

TEST_F(EntryCheck, OnlyFilesThatStartLikeTheirKindMayBeReplaced) {
  dir.write("kinds/TEXT.DBF", "ein Text, keine Tabelle\r\n");
  dir.write("kinds/MAB.DBF", "001 x\r\n### 000001\r\n540a ISBN 3880531013\r\n" + std::string(9000, 'x'));
  dir.write("kinds/EMPTY.DBF", "");
  const std::array<storage::FieldSpec, 1> fields = {{{"ISBN", 'C', 13, 0}}};
  ASSERT_TRUE(storage::DbfTable::create(dir.path("kinds/good.dbf"), fields, Variant::cdx));
  // A table header whose field descriptors are damaged is still a (damaged) table.
  std::string damaged = dir.read("kinds/good.dbf");
  damaged[32 + 11] = '?';
  dir.write("kinds/damaged.dbf", damaged);
  EXPECT_FALSE(replaceable_as_table(dir.path("kinds/TEXT.DBF")));
  EXPECT_FALSE(replaceable_as_table(dir.path("kinds/MAB.DBF")));
  EXPECT_TRUE(replaceable_as_table(dir.path("kinds/EMPTY.DBF")));
  EXPECT_TRUE(replaceable_as_table(dir.path("kinds/MISSING.DBF")));
  EXPECT_TRUE(replaceable_as_table(dir.path("kinds/good.dbf")));
  EXPECT_TRUE(replaceable_as_table(dir.path("kinds/damaged.dbf")));

  storage::register_cdx_driver();
  storage::register_ntx_driver();
  for (const Variant variant : {Variant::cdx, Variant::ntx}) {
    const std::string index = dir.path(variant == Variant::cdx ? "kinds/good.cdx" : "kinds/good.ntx");
    storage::OpenOptions options;
    options.variant = variant;
    auto table = storage::DbfTable::open(dir.path("kinds/good.dbf"), options);
    ASSERT_TRUE(table && table->append() && table->assign("ISBN", "9783880531017"));
    ASSERT_TRUE(table->create_index(index));
    table->close();
    EXPECT_TRUE(replaceable_as_index(index, variant));
    EXPECT_FALSE(replaceable_as_index(dir.path("kinds/TEXT.DBF"), variant));
    EXPECT_FALSE(replaceable_as_index(dir.path("kinds/good.dbf"), variant));
    EXPECT_TRUE(replaceable_as_index(dir.path("kinds/EMPTY.DBF"), variant));
  }
  EXPECT_FALSE(replaceable_as_index(dir.path("kinds/good.ntx"), Variant::cdx));
}

// Pools as the catalogue would name them: derived names have no value of their own.
PoolFiles pool(int number, const std::string& section, const std::string& root, const std::string& mab,
               PoolFile table, PoolFile index) {
  return {number, section, {root + mab, "File", mab}, std::move(table), std::move(index)};
}

TEST_F(EntryCheck, TableAndIndexNamesMustNotBelongToSomethingElse) {
  const std::string r = root();
  const PoolFile derived1{r + "POOL1\\P1.dbf", "File", ""}, derived1_index{r + "POOL1\\P1.cdx", "File", ""};
  const PoolFiles one = pool(1, "POOL1", r, "POOL1\\P1.MAB", derived1, derived1_index);
  const PoolFiles two = pool(2, "POOL2", r, "POOL2\\P2.MAB", {r + "POOL2\\P2.dbf", "File", ""}, {r + "POOL2\\P2.cdx", "File", ""});
  const auto problem = [&](const PoolFiles& p, std::vector<PoolFiles> all) {
    return pool_files_problem(context(), p, all, Variant::cdx);
  };
  const auto names = [&](const PoolFile& table, const std::string& reason) {
    return "Error: Eintrag " + table.key + " in Sektion [POOL3] von " + r + "POOL.INI " + reason + ": " + table.path;
  };
  EXPECT_EQ(problem(one, {one, two}), "");

  const auto typo = [&](const std::string& value) {
    return pool(3, "POOL3", r, "POOL3\\P3.MAB", {r + value, "DBFFile", value}, {r + "POOL3\\P3.cdx", "DBFFile", ""});
  };
  const PoolFiles own_mab = typo("POOL3\\P3.MAB");
  EXPECT_EQ(problem(own_mab, {one, two, own_mab}), names(own_mab.table, "nennt die MAB-Datei der Sektion [POOL3]"));
  const PoolFiles other_mab = typo("pool2\\p2.mab");  // letter case does not matter
  EXPECT_EQ(problem(other_mab, {one, two, other_mab}), names(other_mab.table, "nennt die MAB-Datei der Sektion [POOL2]"));
  const PoolFiles other_index = typo("POOL1\\P1.cdx");
  EXPECT_EQ(problem(other_index, {one, two, other_index}),
            names(other_index.table, "nennt die Indexdatei der Sektion [POOL1]"));
  const PoolFiles catalogue = typo("POOL.INI");
  EXPECT_EQ(problem(catalogue, {one, catalogue}), names(catalogue.table, "nennt den Pool-Katalog"));
  const PoolFiles pool_table = typo("POOL1\\..\\POOL.DBF");
  EXPECT_EQ(problem(pool_table, {one, pool_table}), names(pool_table.table, "nennt die Pool-Tabelle"));

  // A written-in name that takes another pool's derived table yields, whatever the order.
  const PoolFiles takes_table = typo("POOL1\\P1.DBF");
  EXPECT_EQ(problem(takes_table, {one, takes_table}), names(takes_table.table, "nennt die Tabelle der Sektion [POOL1]"));
  EXPECT_EQ(problem(one, {one, takes_table}), "");
  // Two derived names from different MAB2 files: the pool listed first keeps the table.
  const PoolFiles same_stem = pool(3, "POOL3", r, "POOL1\\P1.TXT", derived1, derived1_index);
  EXPECT_EQ(problem(one, {one, same_stem}), "");
  EXPECT_NE(problem(same_stem, {one, same_stem}), "");
  // The same MAB2 file under two sections builds the same table: no conflict.
  const PoolFiles twin = pool(3, "POOL3", r, "POOL1\\P1.MAB", derived1, derived1_index);
  EXPECT_EQ(problem(twin, {one, twin}), "");
}

TEST_F(EntryCheck, AnExistingFileOfAnotherKindIsNeverTakenOver) {
  dir.write("DVD/POOL1/NOTES.TXT", "Lieferschein\r\n");
  const std::string r = root();
  const PoolFiles text_table = pool(1, "POOL1", r, "POOL1\\P1.MAB", {r + "POOL1\\NOTES.TXT", "DBFFile", "POOL1\\NOTES.TXT"},
                                    {r + "POOL1\\NOTES.cdx", "DBFFile", ""});
  EXPECT_EQ(pool_files_problem(context(), text_table, std::vector<PoolFiles>{text_table}, Variant::cdx),
            "Error: Eintrag DBFFile in Sektion [POOL1] von " + r + "POOL.INI nennt keine ISBN-Tabelle: " + r +
                "POOL1\\NOTES.TXT");
  dir.write("DVD/POOL1/NOTES.ntx", "Lieferschein\r\n");
  const PoolFiles text_index = pool(1, "POOL1", r, "POOL1\\P1.MAB", {r + "POOL1\\P1.dbf", "File", ""},
                                    {r + "POOL1\\NOTES.ntx", "NTXFile", "POOL1\\NOTES.ntx"});
  EXPECT_EQ(pool_files_problem(context(), text_index, std::vector<PoolFiles>{text_index}, Variant::ntx),
            "Error: Eintrag NTXFile in Sektion [POOL1] von " + r + "POOL.INI nennt keine NTX-Indexdatei: " + r +
                "POOL1\\NOTES.ntx");
}

}  // namespace
}  // namespace torvane::app
