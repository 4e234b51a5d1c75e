#include "storage/dbf_check.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>

#include "storage/fpt_check.h"
#include "support/temp_dir.h"

namespace torvane::storage {
namespace {

const std::array<FieldSpec, 2> kSchema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};

// A cover table of two records with images of 1,000 and 56 bytes.
class CheckedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DbfTable::create(path(), kSchema, Variant::cdx));
    auto table = DbfTable::open(path());
    ASSERT_TRUE(table);
    for (const auto& [isbn, size] : {std::pair{"9783161484100", 1000}, std::pair{"9783161484117", 56}}) {
      ASSERT_TRUE(table->append());
      table->assign("ISBN", isbn);
      table->assign_memo("COVER", std::string(static_cast<std::size_t>(size), 'x'));
    }
    ASSERT_TRUE(table->close());
  }
  std::string path() const { return dir.path("cover.dbf"); }
  std::string memo() const { return dir.path("cover.fpt"); }
  void flip(const std::string& file, std::size_t at) {
    std::string bytes = testing_read(file);
    bytes[at] ^= 0x01;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string testing_read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::vector<fpt::MemoReference> references() const { return {{1, 16}, {2, 32}}; }
  torvane::testing::TempDir dir;
};

TEST_F(CheckedFiles, SoundTableAndMemoPass) {
  const dbf::TableCheck table = dbf::check_table(path(), kSchema, false);
  EXPECT_TRUE(table.ok()) << table.faults.lines().front();
  EXPECT_EQ(table.records, 2u);
  EXPECT_EQ(table.field(2, 0), "9783161484117");
  EXPECT_TRUE(fpt::check_memo(memo(), references()).faults.empty());
  // The flag must follow the structural index, and another schema is another table.
  EXPECT_FALSE(dbf::check_table(path(), kSchema, true).ok());
  EXPECT_FALSE(dbf::check_table(path(), std::array<FieldSpec, 1>{{{"ISBN", 'C', 13, 0}}}, false).ok());
}

TEST_F(CheckedFiles, OneChangedByteIsAFault) {
  // Version, record count, a descriptor, a deletion flag, a memo reference.
  for (std::size_t at : {std::size_t{0}, std::size_t{4}, std::size_t{40}, std::size_t{98}, std::size_t{98 + 24 + 20}}) {
    SetUp();
    flip(path(), at);
    EXPECT_FALSE(dbf::check_table(path(), kSchema, false).ok()) << "byte " << at;
  }
  // Block size, a value's length, its closing byte, a value's type.
  for (std::size_t at : {std::size_t{6}, std::size_t{1024 + 5}, std::size_t{2047}, std::size_t{2048 + 2}}) {
    SetUp();
    flip(memo(), at);
    EXPECT_FALSE(fpt::check_memo(memo(), references()).faults.empty()) << "byte " << at;
  }
}

TEST(FieldText, NumbersAndMemoReferences) {
  EXPECT_TRUE(dbf::valid_number_text("    12345", 0));
  EXPECT_TRUE(dbf::valid_number_text("         ", 0));
  EXPECT_TRUE(dbf::valid_number_text("  -1.50", 2));
  EXPECT_FALSE(dbf::valid_number_text("  12 345", 0));
  EXPECT_FALSE(dbf::valid_number_text("12345    ", 0));
  EXPECT_FALSE(dbf::valid_number_text("*********", 0));
  EXPECT_FALSE(dbf::valid_number_text("   1.5", 2));
  EXPECT_TRUE(dbf::valid_memo_reference("        16"));
  EXPECT_TRUE(dbf::valid_memo_reference("          "));
  EXPECT_FALSE(dbf::valid_memo_reference("       1 6"));
}

}  // namespace
}  // namespace torvane::storage
