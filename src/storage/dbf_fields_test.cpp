// Field look-up by name and the exclusive write-behind window, through whole tables.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "storage/dbf_table.h"
#include "support/index_test_support.h"

namespace torvane::storage {
namespace {

class DbfFieldsTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name) const { return dir_.file(name); }

  index_testing::RecordFailures failures;

 private:
  index_testing::TempDir dir_;
};

// Names of every length class the look-up distinguishes (1-3, 4-7, 8-10 bytes).
const std::vector<FieldSpec> kMixed{{"A", 'C', 2, 0},          {"NAM", 'C', 3, 0},     {"ISBN", 'C', 13, 0},
                                    {"HEADER", 'C', 24, 0},    {"POSITION", 'N', 9, 0}, {"POSITIONS", 'N', 3, 0},
                                    {"LONGNAME10", 'C', 5, 0}};

TEST_F(DbfFieldsTest, FieldsAreFoundByExactNameOrIgnoringCaseAndNeverByANeighbour) {
  const std::string path = file("mixed.dbf");
  ASSERT_TRUE(DbfTable::create(path, kMixed, Variant::cdx));
  auto t = DbfTable::open(path, OpenOptions().with_shared(false));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->append());
  // Out of schema order and repeated, so that the remembered position is wrong often.
  EXPECT_TRUE(t->assign("LONGNAME10", "tail"));
  EXPECT_TRUE(t->assign("a", "x"));
  EXPECT_TRUE(t->assign("NAM", "nm"));
  EXPECT_TRUE(t->assign_number("POSITIONS", 7));
  EXPECT_TRUE(t->assign_number("position", 123));
  EXPECT_TRUE(t->assign("Header", "head"));
  EXPECT_TRUE(t->assign("ISBN", "978"));
  EXPECT_TRUE(failures.messages.empty());
  ASSERT_TRUE(t->close());

  t = DbfTable::open(path, OpenOptions().with_shared(false).with_read_only());
  ASSERT_TRUE(t);
  EXPECT_EQ(t->text("A"), "x ");
  EXPECT_EQ(t->text("nam"), "nm ");
  EXPECT_EQ(t->text("ISBN"), "978          ");
  EXPECT_EQ(t->text("HEADER"), "head" + std::string(20, ' '));
  EXPECT_EQ(t->number("POSITION"), 123);
  EXPECT_EQ(t->number("POSITIONS"), 7);
  EXPECT_EQ(t->text("LONGNAME10"), "tail ");
  EXPECT_EQ(t->field_index("POSITIONS"), 5u);
  EXPECT_EQ(t->field_index("longname10"), 6u);
  // Same length, one byte off, at the start, middle or end; prefixes; too long; empty.
  for (const char* other : {"B", "NAX", "ISBX", "XSBN", "HEADEX", "POSITIOM", "QOSITION", "POSITIONX", "LONGNAME1",
                            "LONGNAME10X", "POS", "ISBNISBNISBNISBNISBN", ""}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(t->field_index(other).has_value());
    EXPECT_EQ(t->text(other), "");
  }
}

TEST_F(DbfFieldsTest, ChecksOfAChangeStillApplyWhileARecordIsBeingWritten) {
  const std::string path = file("pool.dbf");
  const std::vector<FieldSpec> pool{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}};
  ASSERT_TRUE(DbfTable::create(path, pool, Variant::cdx));
  auto t = DbfTable::open(path, OpenOptions().with_shared(false));
  ASSERT_TRUE(t->append());
  EXPECT_TRUE(t->assign("ISBN", "1"));
  EXPECT_FALSE(t->assign("NOSUCH", "1"));        // unknown field
  EXPECT_FALSE(t->assign("POOL", "1"));          // text into a numeric field
  EXPECT_FALSE(t->assign_number("ISBN", 1));     // number into a text field
  EXPECT_FALSE(t->assign_number("POOL", 12345)); // too wide: all '*'
  EXPECT_EQ(failures.messages.size(), 4u);
  EXPECT_EQ(t->text("POOL"), "****");
  ASSERT_TRUE(t->close());

  auto read_only = DbfTable::open(path, OpenOptions().with_shared(false).with_read_only());
  failures.messages.clear();
  EXPECT_FALSE(read_only->assign("ISBN", "2"));
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_NE(failures.messages[0].find("Write not allowed"), std::string::npos);
}

TEST_F(DbfFieldsTest, AppendsAfterAReadInTheMiddleKeepEveryRecord) {
  const std::string path = file("pool.dbf");
  const std::vector<FieldSpec> pool{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 6, 0}};
  constexpr int kFirst = 20'000, kMore = 30'000;  // each beyond one window of records
  ASSERT_TRUE(DbfTable::create(path, pool, Variant::cdx));
  {
    auto t = DbfTable::open(path, OpenOptions().with_shared(false));
    for (int i = 1; i <= kFirst; ++i) {
      ASSERT_TRUE(t->append());
      ASSERT_TRUE(t->assign_number("POOL", i));
    }
    ASSERT_TRUE(t->close());
  }
  {
    auto t = DbfTable::open(path, OpenOptions().with_shared(false));
    ASSERT_TRUE(t->go_to(kFirst - 5));  // loads a short window near the end
    EXPECT_EQ(t->number("POOL"), kFirst - 5);
    for (int i = kFirst + 1; i <= kFirst + kMore; ++i) {
      ASSERT_TRUE(t->append());
      ASSERT_TRUE(t->assign_number("POOL", -i));
    }
    ASSERT_TRUE(t->close());
  }
  EXPECT_EQ(std::filesystem::file_size(path), 98u + 20u * (kFirst + kMore) + 1u);
  auto t = DbfTable::open(path, OpenOptions().with_shared(false).with_read_only());
  int expected = 1;
  for (t->go_top(); !t->eof(); t->skip(), ++expected) {
    ASSERT_EQ(t->number("POOL"), expected <= kFirst ? expected : -expected) << expected;
  }
  EXPECT_EQ(expected, kFirst + kMore + 1);
  EXPECT_TRUE(failures.messages.empty());
}

}  // namespace
}  // namespace torvane::storage
