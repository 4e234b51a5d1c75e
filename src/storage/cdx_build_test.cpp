#include "storage/cdx_build.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "storage/cdx_index.h"
#include "storage/cdx_test_support.h"

namespace torvane::storage::cdx {
namespace {

using namespace cdx_testing;

std::vector<std::uint8_t> build(const TempDir& dir, const std::vector<Row>& rows, IndexOptions options = {},
                                const std::string& name = "pool.cdx") {
  Table table(dir.file("pool.dbf"), rows);
  std::unique_ptr<OrderIndex> order = create_index(dir.file(name), table.source, options);
  EXPECT_TRUE(order);
  if (order) order->close();
  return read_bytes(dir.file(name));
}

std::vector<std::uint8_t> hex(std::initializer_list<int> values) {
  return std::vector<std::uint8_t>(values.begin(), values.end());
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t n) {
  return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}

TEST(CdxBuild, EmptyTableGivesHeadersDirectoryAndOneEmptyRootLeaf) {
  TempDir dir;
  const std::vector<std::uint8_t> file = build(dir, {});
  ASSERT_EQ(file.size(), 3072u);

  std::vector<std::uint8_t> expected(3072, 0);
  const auto put = [&](std::size_t at, const std::vector<std::uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
  };
  // Compound header: root 1024, key length 10, options 0xE0, signature, 1/1/0/1.
  put(0, hex({0x00, 0x04, 0x00, 0x00}));
  put(12, hex({0x0A, 0x00, 0xE0, 0x01}));
  put(504, hex({0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00}));
  // Directory root leaf: one key "POOL" (4 stored bytes, 6 trailing) -> 1536.
  put(1024, hex({0x03, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  put(1024 + 12, hex({0xE1, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x0F, 0x0F, 0x10, 0x04, 0x04, 0x03}));
  put(1024 + 24, hex({0x00, 0x06, 0x60}));
  put(1536 - 4, hex({'P', 'O', 'O', 'L'}));
  // Tag header: root 2560, key length 13, options 0x60, expression "ISBN".
  put(1536, hex({0x00, 0x0A, 0x00, 0x00}));
  put(1536 + 12, hex({0x0D, 0x00, 0x60, 0x01}));
  put(1536 + 504, hex({0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00}));
  put(1536 + 512, hex({'I', 'S', 'B', 'N'}));
  // The tag's root: an empty leaf, 488 bytes free.
  put(2560, hex({0x03, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  put(2560 + 12, hex({0xE8, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x0F, 0x0F, 0x10, 0x04, 0x04, 0x03}));
  EXPECT_EQ(file, expected);
}

TEST(CdxBuild, EqualKeysFollowRecordNumberAndStoreNoBytes) {
  TempDir dir;
  const std::vector<std::uint8_t> file =
      build(dir, {{"9783161484100"}, {"9783161484100"}, {"9780306406157"}});
  ASSERT_EQ(file.size(), 3072u);
  const std::size_t leaf = 2560;
  EXPECT_EQ(slice(file, leaf, 4), hex({0x03, 0x00, 0x03, 0x00}));
  // Record 3 whole; record 1 shares "978"; record 2 shares all 13: duplicate 13, trailing 0.
  EXPECT_EQ(slice(file, leaf + 24, 9), hex({0x03, 0x00, 0x00, 0x01, 0x00, 0x03, 0x02, 0x00, 0x0D}));
  EXPECT_EQ(slice(file, leaf + 12, 2), hex({0xC8, 0x01}));  // 488 - 9 - 13 - 10
  Keys keys;
  ASSERT_EQ(check_index(dir.file("pool.cdx"), keys), "");
  EXPECT_EQ(keys, (Keys{{"9780306406157", 3}, {"9783161484100", 1}, {"9783161484100", 2}}));
}

TEST(CdxBuild, EntryWidthIsFixedByTheRecordCount) {
  for (const auto& [records, width, mask] : {std::tuple{65535u, 3, 0xFFFFu}, std::tuple{70000u, 4, 0xFFFFFFu}}) {
    TempDir dir;
    std::vector<Row> rows(records, Row{"9783161484100"});
    const std::vector<std::uint8_t> file = build(dir, rows);
    // Every leaf of the build, the first included, which holds only small record numbers.
    EXPECT_EQ(file[2560 + kLfEntryWidth], width) << records;
    EXPECT_EQ(get_u32le(std::span(file).subspan(2560 + kLfRecordMask)), mask) << records;
    Keys keys;
    ASSERT_EQ(check_index(dir.file("pool.cdx"), keys), "");
    EXPECT_EQ(keys.size(), records);
  }
}

TEST(CdxBuild, PagesAreNumberedInTheOrderTheyAreStarted) {
  // Equal keys cost 3 bytes after the first (16): 158 to a leaf. 24 full leaves and a
  // 25th with one key overflow the first interior page (23 entries) into a second.
  TempDir dir;
  const std::vector<std::uint8_t> file = build(dir, std::vector<Row>(158 * 24 + 1, Row{"9783161484100"}));
  ASSERT_EQ(file.size(), 16896u);
  const auto u32 = [&](std::size_t at) { return get_u32le(std::span(file).subspan(at)); };
  const auto u16 = [&](std::size_t at) { return get_u16le(std::span(file).subspan(at)); };
  EXPECT_EQ(u32(1536), 16384u);                                          // root started last
  EXPECT_EQ(u16(2560 + 2), 158);                                         // first leaf
  EXPECT_EQ(u32(2560 + 8), 3072u);                                       // its successor
  EXPECT_EQ(u16(3584), 0);                                               // interior after leaf 2
  EXPECT_EQ(u16(3584 + 2), 23);
  EXPECT_EQ(u32(3584 + 8), 15872u);
  EXPECT_EQ(u32(4096 + 4), 3072u);                                       // leaf 3 after the parent
  EXPECT_EQ(u16(15360 + 2), 1);                                          // leaf 25
  EXPECT_EQ(u32(15360 + 4), 14848u);
  EXPECT_EQ(u16(15872 + 2), 2);                                          // second interior page
  EXPECT_EQ(u16(16384), 1);                                              // interior root
  EXPECT_EQ(u16(16384 + 2), 2);
  EXPECT_EQ(get_u32be(std::span(file).subspan(16384 + 12 + 13 + 4)), 3584u);
  EXPECT_EQ(get_u32be(std::span(file).subspan(16384 + 12 + 21 + 13 + 4)), 15872u);
  Keys keys;
  EXPECT_EQ(check_index(dir.file("pool.cdx"), keys), "");
}

TEST(CdxBuild, SameBytesWhateverTheSortBudgetAndNoTemporaryFileLeft) {
  std::mt19937_64 random(6);
  std::vector<Row> rows;
  for (int i = 0; i < 30000; ++i) rows.push_back({isbn(9780000000000 + random() % 20000000), i % 7 == 0});
  TempDir dir;
  const std::vector<std::uint8_t> whole = build(dir, rows);
  IndexOptions small;
  small.sort_memory_budget = 4096;  // spills runs to a temporary file
  EXPECT_EQ(build(dir, rows, small), whole);
  EXPECT_FALSE(std::filesystem::exists(dir.file(temporary_name_for("pool.cdx"))));

  Keys keys;
  ASSERT_EQ(check_index(dir.file("pool.cdx"), keys), "");
  Keys expected;
  for (std::uint32_t i = 0; i < rows.size(); ++i) expected.emplace_back(rows[i].isbn, i + 1);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);  // deleted records keep their keys
}

TEST(CdxBuild, UpdateCounterMarksABuildOnASharedTable) {
  TempDir dir;
  const std::vector<std::uint8_t> exclusive = build(dir, {{"9783161484100"}});
  EXPECT_EQ(slice(exclusive, 4, 8), std::vector<std::uint8_t>(8, 0));
  IndexOptions shared;
  shared.shared = true;
  const std::vector<std::uint8_t> file = build(dir, {{"9783161484100"}}, shared);
  EXPECT_EQ(get_u32le(std::span(file).subspan(4)), 0u);
  EXPECT_GE(get_u32be(std::span(file).subspan(8)), 1u);
}

TEST(CdxBuild, TagIsNamedAfterTheIndexFile) {
  EXPECT_EQ(tag_name_for("D:\\DVD\\POOL\\notfound.cdx"), "NOTFOUND");
  EXPECT_EQ(tag_name_for("/tmp/tmp.x1/dvd/cover.cdx"), "COVER");
  EXPECT_EQ(tag_name_for("verylongname12.cdx"), "VERYLONGNA");
  TempDir dir;
  const std::vector<std::uint8_t> file = build(dir, {}, {}, "cover.cdx");
  EXPECT_EQ(file[1024 + 24 + 2], 0x50);  // trailing count 5
  EXPECT_EQ(std::string(file.begin() + 1536 - 5, file.begin() + 1536), "COVER");
}

TEST(CdxBuild, FailedBuildLeavesTheOldFileAlone) {
  TempDir dir;
  const std::vector<std::uint8_t> old = build(dir, {{"9783161484100"}});
  Table table(dir.file("pool.dbf"), {{"9780306406157"}});
  table.source.record_count = 5;  // more records than the file holds
  RecordFailures failures;
  EXPECT_FALSE(create_index(dir.file("pool.cdx"), table.source, {}));
  EXPECT_TRUE(failures.saw("Read error"));
  EXPECT_EQ(read_bytes(dir.file("pool.cdx")), old);
  EXPECT_FALSE(std::filesystem::exists(dir.file(temporary_name_for("pool.cdx"))));

  table.source.record_count = 1;
  table.source.key_type = 'D';
  EXPECT_FALSE(create_index(dir.file("pool.cdx"), table.source, {}));
  EXPECT_TRUE(failures.saw("DBFCDX/1026"));
  EXPECT_EQ(read_bytes(dir.file("pool.cdx")), old);
}

}  // namespace
}  // namespace torvane::storage::cdx
