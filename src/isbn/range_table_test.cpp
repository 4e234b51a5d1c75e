#include "isbn/range_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace torvane::isbn {
namespace {

// The group numbers the table must cover, built from their description: 0 to 5 and 7,
// 80 to 92, 950 to 989, 9946 to 9989 but 9969, 99901 to 99943 but 99902, 99907, 99942.
std::vector<std::string> expected_groups() {
  std::vector<std::string> groups = {"0", "1", "2", "3", "4", "5", "7"};
  for (int g = 80; g <= 92; ++g) groups.push_back(std::to_string(g));
  for (int g = 950; g <= 989; ++g) groups.push_back(std::to_string(g));
  for (int g = 9946; g <= 9989; ++g) {
    if (g != 9969) groups.push_back(std::to_string(g));
  }
  for (int g = 99901; g <= 99943; ++g) {
    if (g != 99902 && g != 99907 && g != 99942) groups.push_back(std::to_string(g));
  }
  return groups;
}

TEST(RangeTable, ShapeOfTheTable) {
  const RangeTable& table = range_table();
  EXPECT_EQ(table.rows().size(), 611u);
  ASSERT_EQ(table.groups().size(), 143u);

  std::vector<std::string> groups;
  std::map<std::size_t, int> per_length;
  for (const auto& group : table.groups()) {
    groups.emplace_back(group.text);
    ++per_length[group.text.size()];
  }
  EXPECT_EQ(groups, expected_groups());
  EXPECT_EQ(per_length, (std::map<std::size_t, int>{{1, 7}, {2, 13}, {3, 40}, {4, 43}, {5, 40}}));

  std::vector<std::string> group_only;
  for (const auto& row : table.rows()) {
    if (!row.has_range) group_only.emplace_back(row.group);
  }
  EXPECT_EQ(group_only, (std::vector<std::string>{"9950", "99929"}));
}

// Within a group the ranges ascend and never overlap once read as fractions
// (35000-39999 lies before 495-699), and low and high have one length.
TEST(RangeTable, RangesAscendWithinEachGroup) {
  auto padded = [](std::string_view digits, char fill) {
    std::string text(digits);
    text.resize(7, fill);
    return text;
  };
  const RangeTable& table = range_table();
  for (const auto& group : table.groups()) {
    std::string previous_high;
    for (std::uint32_t r = group.first_row; r < group.first_row + group.row_count; ++r) {
      const auto& row = table.rows()[r];
      if (!row.has_range) continue;
      SCOPED_TRACE(std::string(kRangeRows[r]));
      EXPECT_EQ(row.low.size(), row.high.size());
      EXPECT_LE(row.low_value, row.high_value);
      std::string low = padded(row.low, '0');
      EXPECT_LT(previous_high, low);
      previous_high = padded(row.high, '9');
    }
  }
}

TEST(RangeTable, TheTableIsBuiltOnce) { EXPECT_EQ(&range_table(), &range_table()); }

TEST(RangeTable, FirstMatchInTableOrderAcrossGroups) {
  // Groups "1" and "12" both begin 1234...: the row that stands first decides.
  const std::vector<std::string_view> short_first = {"1 0 4", "12 00 99"};
  const std::vector<std::string_view> long_first = {"12 00 99", "1 0 4"};
  auto lengths = RangeTable(short_first).find("1234567890");
  ASSERT_TRUE(lengths);
  EXPECT_EQ(lengths->group, 1u);
  EXPECT_EQ(lengths->registrant, 1u);
  lengths = RangeTable(long_first).find("1234567890");
  ASSERT_TRUE(lengths);
  EXPECT_EQ(lengths->group, 2u);
  EXPECT_EQ(lengths->registrant, 2u);

  // A group that appears twice apart: both runs of rows are searched, in order.
  const std::vector<std::string_view> apart = {"5 0 1", "6 0 9", "5 2 9", "5 0 9"};
  RangeTable table(apart);
  EXPECT_EQ(table.groups().size(), 3u);
  lengths = table.find("5312345678");
  ASSERT_TRUE(lengths);
  EXPECT_EQ(lengths->registrant, 1u);
}

TEST(RangeTable, RowsThatNeverMatch) {
  const std::vector<std::string_view> rows = {"",      "7",        "8 x y",       "9a 0 9",
                                              "4 0 9", "3 12345678 99999999"};
  RangeTable table(rows);
  EXPECT_FALSE(table.find("7123456789"));
  EXPECT_FALSE(table.find("8123456789"));
  EXPECT_FALSE(table.find("9a23456789"));
  // Group and registrant must leave a publication element and the check character.
  EXPECT_FALSE(table.find("3999999999"));
  EXPECT_FALSE(table.find("412"));
  EXPECT_FALSE(table.find("4X23"));
  EXPECT_FALSE(table.find(""));
  EXPECT_TRUE(table.find("4123"));
}

}  // namespace
}  // namespace torvane::isbn
