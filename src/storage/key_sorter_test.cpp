#include "storage/key_sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "storage/ntx_test_table.h"

namespace torvane::storage {
namespace {

using testing::PoolTable;
using testing::RecordingHandler;
using testing::Row;
using testing::TempDir;

using Pairs = std::vector<std::pair<std::string, std::uint32_t>>;

Pairs drain(SortedKeys& keys) {
  Pairs out;
  std::string_view key;
  std::uint32_t record = 0;
  while (keys.next(key, record)) out.emplace_back(std::string(key), record);
  return out;
}

// Keys with many duplicates, shared prefixes, bytes above 0x7F and deleted records.
std::vector<Row> awkward_rows(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Row> rows;
  for (std::size_t i = 0; i < n; ++i) {
    std::string isbn = "978";
    for (int d = 0; d < 10; ++d) isbn += static_cast<char>('0' + random() % 3);
    if (random() % 7 == 0) isbn[5] = static_cast<char>(0xE4);  // sorts after the digits
    if (random() % 11 == 0) isbn = "97";                       // padded with blanks
    rows.push_back({isbn, random() % 5 == 0});
  }
  return rows;
}

Pairs expected_order(const std::vector<Row>& rows) {
  Pairs out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string key = rows[i].isbn.substr(0, 13);
    key.resize(13, ' ');
    out.emplace_back(key, static_cast<std::uint32_t>(i + 1));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    const int c = std::memcmp(a.first.data(), b.first.data(), 13);  // unsigned bytes
    return c != 0 ? c < 0 : a.second < b.second;
  });
  return out;
}

TEST(KeySorter, SameOrderWhateverTheMemoryBudget) {
  TempDir dir;
  const std::vector<Row> rows = awkward_rows(5000, 7);
  PoolTable table(dir.file("pool.dbf"), rows);
  const Pairs expected = expected_order(rows);
  // All in memory, a few runs, and runs of the minimum size (hundreds of them).
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{20'000}, std::size_t{1}}) {
    IndexOptions options;
    options.variant = Variant::ntx;
    options.sort_memory_budget = budget;
    auto keys = sort_keys(table.source(), options);
    ASSERT_NE(keys, nullptr) << budget;
    EXPECT_EQ(keys->count(), rows.size());
    EXPECT_EQ(drain(*keys), expected) << "budget " << budget;
    EXPECT_FALSE(keys->failed());
  }
}

TEST(KeySorter, KeysOfAnotherWidthSortTheSameWay) {
  TempDir dir;
  const std::vector<Row> rows = awkward_rows(3000, 11);
  PoolTable table(dir.file("pool.dbf"), rows);
  KeySource source = table.source();
  source.key_length = 6;  // the first six bytes of the ISBN field only
  Pairs expected;
  for (const auto& [key, record] : expected_order(rows)) expected.emplace_back(key.substr(0, 6), record);
  std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    const int c = std::memcmp(a.first.data(), b.first.data(), 6);
    return c != 0 ? c < 0 : a.second < b.second;
  });
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{1}}) {
    IndexOptions options;
    options.sort_memory_budget = budget;
    auto keys = sort_keys(source, options);
    ASSERT_NE(keys, nullptr) << budget;
    EXPECT_EQ(drain(*keys), expected) << "budget " << budget;
  }
}

TEST(KeySorter, EmptyTableAndSingleRecord) {
  TempDir dir;
  PoolTable empty(dir.file("empty.dbf"), {});
  auto keys = sort_keys(empty.source(), IndexOptions{});
  ASSERT_NE(keys, nullptr);
  EXPECT_EQ(keys->count(), 0u);
  EXPECT_TRUE(drain(*keys).empty());

  PoolTable one(dir.file("one.dbf"), {{"9783161484100", true}});
  IndexOptions tiny;
  tiny.sort_memory_budget = 1;
  keys = sort_keys(one.source(), tiny);
  ASSERT_NE(keys, nullptr);
  EXPECT_EQ(drain(*keys), (Pairs{{"9783161484100", 1}}));
}

TEST(KeySorter, ReadsAcrossBlockBoundaries) {
  // 65,535 / 20 = 3,276 records per block: cover both sides of several block ends.
  TempDir dir;
  std::vector<Row> rows;
  for (int i = 9999; i >= 0; --i) rows.push_back({"978" + std::to_string(1000000000 + i)});
  PoolTable table(dir.file("pool.dbf"), rows);
  auto keys = sort_keys(table.source(), IndexOptions{});
  ASSERT_NE(keys, nullptr);
  const Pairs got = drain(*keys);
  ASSERT_EQ(got.size(), rows.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].second, rows.size() - i);
    EXPECT_EQ(got[i].first, "978" + std::to_string(1000000000 + i));
  }
}

TEST(KeySorter, ShortTableFileIsAReadErrorNotACrash) {
  TempDir dir;
  PoolTable table(dir.file("pool.dbf"), awkward_rows(100, 3));
  table.source().record_count = 5000;  // more records than the file holds
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{1}}) {
    RecordingHandler handler;
    IndexOptions options;
    options.variant = Variant::ntx;
    options.sort_memory_budget = budget;
    EXPECT_EQ(sort_keys(table.source(), options), nullptr);
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0], "Error DBFNTX/1010  Read error: " + dir.file("pool.dbf"));
  }
}

TEST(KeySorter, KeyFieldOutsideTheRecordIsCorruption) {
  TempDir dir;
  PoolTable table(dir.file("pool.dbf"), awkward_rows(10, 3));
  table.source().key_offset = 15;  // 15 + 13 > record length 20
  RecordingHandler handler;
  EXPECT_EQ(sort_keys(table.source(), IndexOptions{}), nullptr);
  ASSERT_EQ(handler.messages.size(), 1u);
  EXPECT_NE(handler.messages[0].find("/1012  Corruption detected"), std::string::npos);
}

}  // namespace
}  // namespace torvane::storage
