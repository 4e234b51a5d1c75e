#include "storage/dbf_health.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "storage/cdx_index.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table.h"
#include "support/index_test_support.h"

namespace torvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = TableHealth::Kind;
using index_testing::read_bytes;
using index_testing::RecordFailures;
using index_testing::TempDir;
using index_testing::write_bytes;

const std::array<FieldSpec, 1> kIsbnOnly = {{{"ISBN", 'C', 13, 0}}};
const std::array<FieldSpec, 2> kWithMemo = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};

// A not-found table of three records with its structural index, closed exclusively:
// header count 3, byte 28 = 1, 0x1A after the last record.
class TableHealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    register_cdx_driver();
    ASSERT_TRUE(DbfTable::create(table, kIsbnOnly, Variant::cdx));
    auto t = DbfTable::open(table, OpenOptions().with_variant(Variant::cdx));
    ASSERT_TRUE(t);
    for (const char* isbn : {"9783161484100", "9780306406157", "9781234567897"}) {
      ASSERT_TRUE(t->append());
      ASSERT_TRUE(t->assign("ISBN", isbn));
    }
    ASSERT_TRUE(t->create_index(dir.file("nf.cdx")));
    ASSERT_TRUE(t->close());
    good = read_bytes(table);
    ASSERT_EQ(good.size(), 66u + 3 * 14 + 1);
  }

  TableHealth inspect(Variant variant = Variant::cdx) const { return inspect_table(table, variant); }

  TempDir dir;
  RecordFailures failures;
  const std::string table = dir.file("nf.dbf");
  Bytes good;
};

TEST_F(TableHealthTest, ACompleteTableNeedsNothingAndKeepsItsBytes) {
  const TableHealth h = inspect();
  EXPECT_EQ(h.kind, Kind::table);
  EXPECT_EQ(h.header_length, 66u);
  EXPECT_EQ(h.record_length, 14u);
  EXPECT_EQ(h.header_count, 3u);
  EXPECT_EQ(h.records, 3u);
  EXPECT_TRUE(h.structural_flag && h.structural_index);
  EXPECT_FALSE(h.torn_record || h.flag_wrong || h.memo_missing);
  EXPECT_FALSE(h.needs_repair() || h.needs_rebuild());
  ASSERT_EQ(h.fields.size(), 1u);
  EXPECT_EQ(h.fields[0].name, "ISBN");

  EXPECT_TRUE(repair_table(table, Variant::cdx));
  EXPECT_EQ(read_bytes(table), good);
  // A shared append leaves no end marker: still complete.
  write_bytes(table, Bytes(good.begin(), good.end() - 1));
  EXPECT_FALSE(inspect().needs_repair());
  EXPECT_TRUE(failures.messages.empty());
}

// What a killed run leaves, one change each, and the golden bytes the repair gives back.
TEST_F(TableHealthTest, KilledRunsLeaveHeadersThatAreMendedToTheGoldenBytes) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
  };
  const std::vector<Case> cases = {
      {"header count 0 after a kill while closing", [](Bytes& b) { b[dbf::kRecordCount] = 0; }},
      {"header count beyond the records", [](Bytes& b) { b[dbf::kRecordCount] = 20; }},
      {"structural flag lost after the index rename", [](Bytes& b) { b[dbf::kFlags] = 0; }},
      {"torn last record", [](Bytes& b) {
         b.pop_back();
         b.insert(b.end(), {' ', '9', '7', '8'});
       }},
      {"torn record of one byte", [](Bytes& b) { b.back() = ' '; }},
  };
  for (const Case& c : cases) {
    Bytes damaged = good;
    c.damage(damaged);
    ASSERT_TRUE(write_bytes(table, damaged));
    const TableHealth h = inspect();
    EXPECT_TRUE(h.needs_repair()) << c.what;
    EXPECT_FALSE(h.needs_rebuild()) << c.what;
    EXPECT_TRUE(repair_table(table, Variant::cdx)) << c.what;
    EXPECT_EQ(read_bytes(table), good) << c.what;
    EXPECT_FALSE(inspect().needs_repair()) << c.what;
  }
}

TEST_F(TableHealthTest, TheStructuralFlagFollowsTheIndexFile) {
  // An NTX run never sets the flag: a CDX file beside it is no reason to.
  Bytes unflagged = good;
  unflagged[dbf::kFlags] = 0;
  ASSERT_TRUE(write_bytes(table, unflagged));
  EXPECT_FALSE(inspect(Variant::ntx).flag_wrong);
  EXPECT_TRUE(repair_table(table, Variant::ntx));
  EXPECT_EQ(read_bytes(table), unflagged);

  // A flag without its index file is wrong for both: it is cleared.
  ASSERT_TRUE(write_bytes(table, good));
  ASSERT_TRUE(platform::delete_file(dir.file("nf.cdx")));
  for (const Variant variant : {Variant::cdx, Variant::ntx}) {
    ASSERT_TRUE(write_bytes(table, good));
    EXPECT_TRUE(inspect(variant).flag_wrong);
    EXPECT_TRUE(repair_table(table, variant));
    EXPECT_EQ(read_bytes(table), unflagged);
  }
  EXPECT_FALSE(inspect().needs_repair());
}

TEST_F(TableHealthTest, TheRepairKeepsTheLastWriteTime) {
  Bytes damaged = good;
  damaged[dbf::kRecordCount] = 0;
  ASSERT_TRUE(write_bytes(table, damaged));
  const platform::FileTime then = platform::FileTime(std::chrono::seconds(1'600'000'000)) + std::chrono::milliseconds(250);
  ASSERT_TRUE(platform::set_last_write_instant(table, then));
  ASSERT_TRUE(repair_table(table, Variant::cdx));
  EXPECT_EQ(platform::last_write_instant(table), then);
}

TEST_F(TableHealthTest, ATableHeldByAnotherHandleIsLeftAlone) {
  Bytes damaged = good;
  damaged[dbf::kRecordCount] = 0;
  ASSERT_TRUE(write_bytes(table, damaged));
  auto held = DbfTable::open(table, OpenOptions().with_variant(Variant::cdx).with_shared(true).with_read_only());
  ASSERT_TRUE(held);
  EXPECT_FALSE(repair_table(table, Variant::cdx));
  EXPECT_EQ(read_bytes(table), damaged);
  held->close();
  EXPECT_TRUE(repair_table(table, Variant::cdx));
  EXPECT_EQ(read_bytes(table), good);
}

TEST_F(TableHealthTest, FilesThatAreNoCompleteTable) {
  struct Case {
    const char* what;
    Bytes bytes;
    Kind kind;
  };
  Bytes unknown_type = good;
  unknown_type[dbf::kHeaderSize + dbf::kDescType] = 'X';
  const std::vector<Case> cases = {
      {"empty", {}, Kind::cut_short},
      {"cut inside the first 32 bytes", Bytes(good.begin(), good.begin() + 20), Kind::cut_short},
      {"cut inside the descriptors", Bytes(good.begin(), good.begin() + 50), Kind::cut_short},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\r', '\n'}, Kind::not_a_table},
      {"unknown version", Bytes(40, 0x04), Kind::not_a_table},
      {"unknown field type", unknown_type, Kind::damaged},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_bytes(table, c.bytes));
    const TableHealth h = inspect();
    EXPECT_EQ(h.kind, c.kind) << c.what;
    EXPECT_EQ(h.needs_rebuild(), c.kind == Kind::cut_short) << c.what;
    EXPECT_FALSE(h.needs_repair()) << c.what;
    EXPECT_FALSE(repair_table(table, Variant::cdx)) << c.what;
    EXPECT_EQ(read_bytes(table), c.bytes) << c.what;  // only tables get repaired
  }
  EXPECT_EQ(inspect_table(dir.file("none.dbf"), Variant::cdx).kind, Kind::missing);
}

TEST_F(TableHealthTest, ATableWithoutItsMemoFileIsToBeMadeAnew) {
  const std::string covers = dir.file("cover.dbf");
  ASSERT_TRUE(DbfTable::create(covers, kWithMemo, Variant::cdx));
  EXPECT_FALSE(inspect_table(covers, Variant::cdx).memo_missing);
  ASSERT_TRUE(platform::delete_file(dir.file("cover.fpt")));
  const TableHealth h = inspect_table(covers, Variant::cdx);
  EXPECT_TRUE(h.memo_missing);
  EXPECT_TRUE(h.needs_rebuild());
  EXPECT_FALSE(h.needs_repair());
}

}  // namespace
}  // namespace torvane::storage
