#pragma once
// The range table that says where the elements of an ISBN end. Each row is a text of
// up to three fields separated by single blanks:
//
//   group   registration group, 1 to 5 digits
//   low     lowest registrant of a range; its length is the registrant's length
//   high    highest registrant of the range, as long as low
//
// The rows of a group stand together, their ranges in ascending order, and the first
// row in table order that matches a number wins: in group 3 the number 30345... fails
// "3 00 02" (registrant 03) and "3 030 033" (034) and matches "3 0340 0369" (0345).
// Two rows carry a group and no range (9950 and 99929); they never match, so numbers
// of those groups stay without hyphens.
//
// The table is built once, on first use, and kept for the rest of the run. It is
// indexed by group: a lookup walks the leading digits of the number through a small
// digit tree and looks only at the rows of the groups found on the way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace torvane::isbn {

inline constexpr std::size_t kRangeRowCount = 611;
extern const std::array<std::string_view, kRangeRowCount> kRangeRows;

// Lengths of the registration group and registrant elements of a number.
struct ElementLengths {
  std::size_t group = 0;
  std::size_t registrant = 0;
};

class RangeTable {
 public:
  struct Row {
    std::string_view group;  // empty: the row is skipped
    std::string_view low;
    std::string_view high;
    std::uint32_t low_value = 0;
    std::uint32_t high_value = 0;
    bool has_range = false;  // false for a row that carries only a group
  };

  // Rows of one group that stand together in the table.
  struct Group {
    std::string_view text;
    std::uint32_t first_row = 0;
    std::uint32_t row_count = 0;
  };

  explicit RangeTable(std::span<const std::string_view> rows);

  // The element lengths of `number` (an ISBN-10, or an ISBN-13 after its three-digit
  // prefix) by the first row in table order whose group the number begins with and
  // whose range holds the registrant that follows. Group and registrant must be
  // digits and leave room for at least a publication element and the check character.
  std::optional<ElementLengths> find(std::string_view number) const;

  std::span<const Row> rows() const { return rows_; }
  std::span<const Group> groups() const { return groups_; }

 private:
  // Digit tree over the group texts: node 0 is the root; `group` is the first entry of
  // `groups_` whose text ends at this node (further ones chain through next_same_);
  // `path_groups` are the entries ending at this node or above it, in table order.
  struct Node {
    std::array<std::int32_t, 10> child;
    std::int32_t parent = 0;
    std::int32_t depth = 0;
    std::int32_t group = -1;
    std::vector<std::int32_t> path_groups;
  };

  // What a lookup reads of each row, packed; a registrant length of 0: no range.
  struct Range {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    std::uint8_t group_length = 0;
    std::uint8_t registrant_length = 0;
  };

  std::vector<Row> rows_;
  std::vector<Range> ranges_;  // one per row
  std::vector<Group> groups_;
  std::vector<std::int32_t> next_same_;
  std::vector<Node> nodes_;
  // The node that the first three digits reach, for each of them: the walk's first
  // three steps in one look-up.
  std::vector<std::int32_t> node_of_three_;
  std::size_t max_group_length_ = 0;
};

// The table of kRangeRows, built on the first call and kept for the run.
const RangeTable& range_table();

}  // namespace torvane::isbn
