#include "storage/cdx_check.h"

#include <gtest/gtest.h>

#include "storage/cdx_build.h"
#include "storage/cdx_index.h"
#include "storage/cdx_test_support.h"

namespace torvane::storage::cdx {
namespace {

using namespace cdx_testing;

// A two-level index of 300 keys: ISBNs, equal keys, blank and short keys (trailing
// blanks), so that every part of a leaf entry is in use.
class CheckedIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Row> rows;
    for (std::uint64_t n = 0; n < 300; ++n) {
      if (n % 50 == 0) rows.push_back({""});
      else if (n % 7 == 0) rows.push_back({"977" + std::to_string(n)});
      else rows.push_back({isbn(9783161484100 + (n * 7919) % 200)});
    }
    Table table(path(), rows);
    auto order = create_index(index(), table.source, {});
    ASSERT_TRUE(order);
    order->close();
    bytes_ = read_bytes(index());
  }

  std::string path() const { return dir_.file("pool.dbf"); }
  std::string index() const { return dir_.file("pool.cdx"); }
  Expected expected() const { return {tag_name_for(index()), "ISBN", 13}; }

  // The check of the file with the keys handed over.
  CheckResult walk(Keys& keys) const {
    keys.clear();
    return check_file(index(), expected(),
                      [&](std::string_view key, std::uint32_t record) { keys.emplace_back(std::string(key), record); });
  }

  TempDir dir_;
  std::vector<std::uint8_t> bytes_;
};

TEST_F(CheckedIndex, WalkHandsOverTheKeysTheCheckCollects) {
  const CheckResult collected = check_file(index(), expected());
  ASSERT_TRUE(collected.ok) << collected.problem;
  ASSERT_EQ(collected.entries.size(), 300u);
  ASSERT_GT(bytes_.size(), kFirstTagPageOffset + 2 * kPageSize);  // more than one level

  Keys keys;
  const CheckResult walked = walk(keys);
  EXPECT_TRUE(walked.ok) << walked.problem;
  EXPECT_TRUE(walked.entries.empty());
  EXPECT_EQ(keys, collected.entries);
}

// What a reader of the file gets is its keys in order with their records: a byte
// changed anywhere in the tree's pages is either found as damage or changes them.
TEST_F(CheckedIndex, EveryChangedByteOfATreePageIsFoundOrChangesTheKeys) {
  Keys sound;
  ASSERT_TRUE(walk(sound).ok);
  Keys keys;
  std::size_t unnoticed = 0;
  for (std::size_t at = kFirstTagPageOffset; at < bytes_.size(); ++at) {
    std::vector<std::uint8_t> changed = bytes_;
    changed[at] ^= 0x01;
    ASSERT_TRUE(write_bytes(index(), changed));
    const CheckResult result = walk(keys);
    if (result.ok && keys == sound) ++unnoticed;
    EXPECT_EQ(result.ok, result.problem.empty()) << "byte " << at;
  }
  EXPECT_EQ(unnoticed, 0u);

  // Collected keys of a damaged file are not handed out.
  std::vector<std::uint8_t> changed = bytes_;
  changed[kFirstTagPageOffset + 1] ^= 0x01;  // page attributes no page has
  ASSERT_TRUE(write_bytes(index(), changed));
  const CheckResult damaged = check_file(index(), expected());
  EXPECT_FALSE(damaged.ok);
  EXPECT_TRUE(damaged.entries.empty());
}

}  // namespace
}  // namespace torvane::storage::cdx
