#include "storage/ntx_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/fs.h"
#include "storage/ntx_check.h"
#include "storage/ntx_format.h"
#include "storage/ntx_index.h"
#include "storage/ntx_test_table.h"

namespace torvane::storage {
namespace {

using testing::PoolTable;
using testing::read_bytes;
using testing::RecordingHandler;
using testing::Row;
using testing::TempDir;

std::vector<Row> numbered_rows(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Row> rows;
  for (std::size_t i = 0; i < n; ++i)
    rows.push_back({"978" + std::to_string(1000000000 + random() % 2000000), random() % 9 == 0});
  return rows;
}

// Builds the index of `rows` and returns the file's bytes.
std::vector<std::uint8_t> build(const TempDir& dir, const std::vector<Row>& rows, std::size_t budget = 256 << 20) {
  PoolTable table(dir.file("pool.dbf"), rows);
  IndexOptions options;
  options.variant = Variant::ntx;
  options.sort_memory_budget = budget;
  auto index = create_ntx_index(dir.file("pool.ntx"), table.source(), options);
  EXPECT_NE(index, nullptr);
  if (index) index->close();
  return read_bytes(dir.file("pool.ntx"));
}

ntx::Page page_at(std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return ntx::Page(bytes.data() + offset, ntx::Geometry::for_key(13));
}

TEST(NtxFormat, GeometryOfOtherKeyLengths) {
  EXPECT_EQ(ntx::max_keys(10), 50u);  // 1022 / 20 - 1 = 50, even
  EXPECT_EQ(ntx::max_keys(8), 54u);   // 1022 / 18 - 1 = 55, odd: 54
  EXPECT_EQ(ntx::max_keys(256), 2u);  // 1022 / 266 - 1 = 2
  for (std::uint32_t length = 1; length <= ntx::kMaxKeyLength; ++length)
    EXPECT_TRUE(ntx::Geometry::for_key(length).fits()) << length;
}

TEST(NtxFormat, PageGapsPermuteTheOffsetTable) {
  ntx::PageBytes bytes{};
  ntx::Page page(bytes.data(), ntx::Geometry::for_key(13));
  page.clear();
  page.open_gap(0);
  page.set_item(0, 0, 7, "9780000000007");
  page.open_gap(0);
  page.set_item(0, 0, 5, "9780000000005");
  EXPECT_EQ(page.count(), 2u);
  // Each new key took the first unused slot; the final child item moved back.
  EXPECT_EQ(page.slot(0), 88u + 2 * 21);
  EXPECT_EQ(page.slot(1), 88u + 21);
  EXPECT_EQ(page.slot(2), 88u);
  EXPECT_EQ(page.record(0), 5u);
  EXPECT_EQ(page.key(1), "9780000000007");
  EXPECT_TRUE(page.sound());
  page.close_gap(0);
  EXPECT_EQ(page.count(), 1u);
  EXPECT_EQ(page.record(0), 7u);
  EXPECT_TRUE(page.sound());
  bytes[2 + 2 * 5] = 0xFF;  // a slot offset outside the page
  EXPECT_FALSE(page.sound());
}

TEST(NtxBuild, HeaderOfAFreshIsbnIndex) {
  TempDir dir;
  std::vector<std::uint8_t> bytes = build(dir, {});
  ASSERT_EQ(bytes.size(), 2048u);  // the header and one empty leaf as the root
  const std::vector<std::uint8_t> flags{0x06, 0x00};
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 2), flags);
  EXPECT_EQ(get_u32le(std::span(bytes).subspan(4)), 1024u);  // root
  EXPECT_EQ(get_u32le(std::span(bytes).subspan(8)), 0u);     // free list
  const std::vector<std::uint8_t> sizes{0x15, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x15, 0x00};
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 12, bytes.begin() + 22), sizes);
  EXPECT_EQ(std::string(bytes.begin() + 22, bytes.begin() + 27), std::string("ISBN\0", 5));
  EXPECT_TRUE(std::all_of(bytes.begin() + 27, bytes.begin() + 1024, [](auto b) { return b == 0; }));
  ntx::Page root = page_at(bytes, 1024);
  EXPECT_EQ(root.count(), 0u);
  EXPECT_EQ(root.child(0), 0u);
  for (std::uint32_t i = 0; i <= 42; ++i) EXPECT_EQ(root.slot(i), 88u + 21 * i);
}

TEST(NtxBuild, FortyTwoKeysFillOneLeafAndFortyThreeRotateToTwoHalves) {
  TempDir dir;
  std::vector<Row> rows;
  for (int i = 0; i < 43; ++i) rows.push_back({"97800000000" + std::to_string(10 + i)});
  std::reverse(rows.begin(), rows.end());  // record 43 holds the smallest key

  std::vector<std::uint8_t> bytes = build(dir, {rows.begin() + 1, rows.end()});
  ASSERT_EQ(bytes.size(), 2048u);
  EXPECT_EQ(page_at(bytes, 1024).count(), 42u);

  bytes = build(dir, rows);
  ASSERT_EQ(bytes.size(), 4096u);  // left leaf, right leaf, root
  EXPECT_EQ(get_u32le(std::span(bytes).subspan(4)), 3072u);
  ntx::Page root = page_at(bytes, 3072), left = page_at(bytes, 1024), right = page_at(bytes, 2048);
  ASSERT_EQ(root.count(), 1u);
  EXPECT_EQ(root.child(0), 1024u);
  EXPECT_EQ(root.child(1), 2048u);
  EXPECT_EQ(root.key(0), "9780000000031");  // the 22nd key
  EXPECT_EQ(root.record(0), 22u);
  EXPECT_EQ(left.count(), 21u);
  EXPECT_EQ(right.count(), 21u);
  EXPECT_EQ(left.key(0), "9780000000010");
  EXPECT_EQ(left.record(0), 43u);
  EXPECT_EQ(right.key(20), "9780000000052");
  // The rotated pages are written fresh: slots ascending, unused items zero.
  EXPECT_EQ(left.slot(21), 88u + 21 * 21);
  EXPECT_TRUE(std::all_of(bytes.begin() + 1024 + 88 + 22 * 21, bytes.begin() + 2048, [](auto b) { return b == 0; }));
}

TEST(NtxBuild, EveryPageButTheRootAtLeastHalfFullAtAnySize) {
  // Sizes around the points where a second and a third level appear and where the open
  // pages on the right edge are empty or just short of half.
  for (std::size_t n : {1u, 20u, 21u, 41u, 44u, 63u, 64u, 85u, 86u, 903u, 1805u, 1806u, 1848u, 1849u, 1850u,
                        1870u, 1892u, 2000u, 79506u, 79507u, 79508u, 79550u}) {
    TempDir dir;
    std::vector<Row> rows;
    for (std::size_t i = 0; i < n; ++i) rows.push_back({"978" + std::to_string(1000000000 + i)});
    build(dir, rows);
    const ntx::CheckResult check = ntx::check_file(dir.file("pool.ntx"), true);
    ASSERT_TRUE(check.ok) << n << ": " << check.problem;
    ASSERT_EQ(check.entries.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(check.entries[i].second, i + 1) << n;
  }
}

TEST(NtxBuild, OneByteSequenceWhateverTheSortBudget) {
  TempDir dir;
  const std::vector<Row> rows = numbered_rows(30000, 11);
  const std::vector<std::uint8_t> in_memory = build(dir, rows);
  const std::vector<std::uint8_t> in_runs = build(dir, rows, 50'000);
  EXPECT_TRUE(in_memory == in_runs);
  const ntx::CheckResult check = ntx::check_file(dir.file("pool.ntx"), true);
  ASSERT_TRUE(check.ok) << check.problem;
  EXPECT_EQ(check.entries.size(), rows.size());  // deleted records are indexed too
  EXPECT_EQ(check.depth, 3u);
}

TEST(NtxBuild, FailedBuildLeavesTheOldIndexAndNoTemporaryFile) {
  TempDir dir;
  const std::vector<std::uint8_t> before = build(dir, numbered_rows(100, 1));
  PoolTable table(dir.file("pool.dbf"), numbered_rows(100, 2));
  table.source().record_count = 1000;  // the table file is shorter than that
  RecordingHandler handler;
  IndexOptions options;
  EXPECT_EQ(create_ntx_index(dir.file("pool.ntx"), table.source(), options), nullptr);
  ASSERT_EQ(handler.messages.size(), 1u);
  EXPECT_EQ(handler.messages[0], "Error DBFNTX/1010  Read error: " + dir.file("pool.dbf"));
  EXPECT_EQ(read_bytes(dir.file("pool.ntx")), before);
  EXPECT_FALSE(platform::file_exists(dir.file("pool.ntx.tmp")));
}

TEST(NtxBuild, CreateErrorAndKeyTypeError) {
  TempDir dir;
  PoolTable table(dir.file("pool.dbf"), numbered_rows(10, 1));
  RecordingHandler handler;
  const std::string missing = dir.file("no/such/pool.ntx");
  EXPECT_EQ(create_ntx_index(missing, table.source(), IndexOptions{}), nullptr);
  table.source().key_type = 'M';
  EXPECT_EQ(create_ntx_index(dir.file("pool.ntx"), table.source(), IndexOptions{}), nullptr);
  ASSERT_EQ(handler.messages.size(), 2u);
#ifdef _WIN32
  const std::string code = "3";  // Windows tells a missing folder from a missing file
#else
  const std::string code = "2";
#endif
  EXPECT_EQ(handler.messages[0], "Error DBFNTX/1006  Create error: " + missing + " (DOS Error " + code + ")");
  EXPECT_EQ(handler.messages[1], "Error DBFNTX/1026  Data type error: " + dir.file("pool.ntx"));
}

}  // namespace
}  // namespace torvane::storage
