// Write-behind of an exclusive index: the file after close holds exactly the bytes it
// would hold had every change been written at once, and a reopen sees every change.

#include "storage/cdx_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "storage/cdx_index.h"
#include "storage/cdx_test_support.h"

namespace torvane::storage::cdx {
namespace {

using namespace cdx_testing;

enum class Writing { behind, flushed_each_change, shared };

struct Change {
  bool add = true;
  std::string key;
  std::uint32_t record = 0;
};

// Appends, key changes and removals in one repeatable order, so that leaves split,
// merge and free pages, the root splits and entries grow a byte.
std::vector<Change> changes(std::size_t count, Keys& live) {
  std::mt19937_64 random(77);
  std::vector<Change> out;
  std::uint32_t record = 0;
  live.clear();
  while (out.size() < count) {
    const unsigned what = random() % 10;
    if (what < 7 || live.size() < 50) {
      record += random() % 40 == 0 ? 70000 : 1;
      std::string key = what == 0 ? "9783161484100" : isbn(9780000000000 + random() % 300000);
      out.push_back({true, key, record});
      live.emplace_back(key, record);
    } else {
      const std::size_t at = random() % live.size();
      out.push_back({false, live[at].first, live[at].second});
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  std::sort(live.begin(), live.end());
  return out;
}

// The file <folder>/pool.cdx after the changes (the tag takes its name from the file).
std::vector<std::uint8_t> index_after(const std::string& folder, const std::vector<Change>& list, Writing writing) {
  std::filesystem::create_directory(folder);
  const std::string path = folder + "/pool.cdx";
  Table table(folder + "/pool.dbf", {});
  IndexOptions options;
  options.shared = writing == Writing::shared;
  std::unique_ptr<OrderIndex> order = create_index(path, table.source, options);
  EXPECT_TRUE(order);
  if (!order) return {};
  for (const Change& c : list) {
    const bool ok = c.add ? order->insert(c.key, c.record) : order->remove(c.key, c.record);
    EXPECT_TRUE(ok);
    if (!ok) break;
    if (writing == Writing::flushed_each_change) {
      EXPECT_TRUE(order->flush());
    }
  }
  EXPECT_TRUE(order->close());
  std::vector<std::uint8_t> bytes = read_bytes(path);
  // Only a shared file counts its changes.
  if (writing == Writing::shared && bytes.size() >= 12) std::fill(bytes.begin() + 8, bytes.begin() + 12, 0);
  return bytes;
}

TEST(CdxWriteBehind, FileAfterCloseIsTheSameAsWithEveryChangeWritten) {
  TempDir dir;
  Keys live;
  // A flush after every change syncs the file each time: a shorter list for that one.
  const std::vector<Change> short_list = changes(400, live);
  EXPECT_TRUE(index_after(dir.file("behind_short"), short_list, Writing::behind) ==
              index_after(dir.file("each"), short_list, Writing::flushed_each_change));
  const std::vector<Change> list = changes(4000, live);
  EXPECT_TRUE(index_after(dir.file("behind"), list, Writing::behind) ==
              index_after(dir.file("shared"), list, Writing::shared));

  Keys keys;
  ASSERT_EQ(check_index(dir.file("behind/pool.cdx"), keys), "");
  EXPECT_EQ(keys.size(), live.size());
  Table table(dir.file("behind/pool.dbf"), {});
  std::unique_ptr<OrderIndex> again = open_index(dir.file("behind/pool.cdx"), table.source, {});
  ASSERT_TRUE(again);
  Keys walked;
  for (auto record = again->go_top(); record && *record != 0; record = again->skip())
    walked.emplace_back(again->current_key(), *record);
  EXPECT_EQ(walked, live);
  EXPECT_EQ(again->key_count(), live.size());
}

// More pages change than the cache keeps: they are written when it is emptied, and the
// later changes to them still reach the file.
TEST(CdxWriteBehind, PagesLeavingTheCacheAreWrittenFirst) {
  TempDir dir;
  std::vector<Change> list;
  std::mt19937_64 random(5);
  for (std::uint32_t record = 1; record <= 150000; ++record)
    list.push_back({true, isbn(9780000000000 + random() % 1000000000), record});
  for (std::uint32_t record = 1; record <= 150000; record += 97) list.push_back({false, list[record - 1].key, record});
  EXPECT_TRUE(index_after(dir.file("behind"), list, Writing::behind) ==
              index_after(dir.file("shared"), list, Writing::shared));
  Keys keys;
  ASSERT_EQ(check_index(dir.file("behind/pool.cdx"), keys), "");
  EXPECT_EQ(keys.size(), 150000u - 1547u);
}

// A change that fails undoes only itself: the unwritten changes before it survive.
TEST(CdxWriteBehind, FailedChangeKeepsTheUnwrittenOnesBeforeIt) {
  TempDir dir;
  Table table(dir.file("pool.dbf"), {});
  std::unique_ptr<OrderIndex> order = create_index(dir.file("pool.cdx"), table.source, {});
  ASSERT_TRUE(order);
  Keys expected;
  for (std::uint32_t record = 1; record <= 300; ++record) {
    ASSERT_TRUE(order->insert(isbn(9783000000000 + record * 7), record));
    expected.emplace_back(isbn(9783000000000 + record * 7), record);
  }
  {
    RecordFailures failures;
    EXPECT_FALSE(order->remove("9783000000007", 999));
    EXPECT_TRUE(failures.saw("Corruption detected"));
  }
  ASSERT_TRUE(order->insert("9783000000001", 301));
  expected.insert(expected.begin(), {"9783000000001", 301});
  ASSERT_TRUE(order->close());
  Keys keys;
  ASSERT_EQ(check_index(dir.file("pool.cdx"), keys), "");
  EXPECT_EQ(keys, expected);
}

}  // namespace
}  // namespace torvane::storage::cdx
