#pragma once
// Compound index pages in memory, and their bytes.
//
// A leaf page keeps its keys compressed. After the 12-byte page header:
//
//   offset  width  content
//   12      2      free bytes in the key area
//   14      4      record-number mask
//   18      1      duplicate-count mask
//   19      1      trailing-count mask
//   20      1      bits of the record number
//   21      1      bits of the duplicate count
//   22      1      bits of the trailing count
//   23      1      entry width in bytes
//   24      488    key area
//
// The key area holds one fixed-width entry per key from its start, in key order, and
// the stored key bytes from its end backwards (the first key's bytes at the very end);
// the gap between the two is the free space, all zero.
//
// An entry is `width` bytes read as one little-endian integer:
//
//   high bits                                             low bits
//   [ trailing count | duplicate count | record number ]
//     trail_bits       dup_bits          8 * width - dup_bits - trail_bits
//
// The duplicate count is how many leading bytes the key shares with the key before it
// in the page (0 for the first), the trailing count how many of its final bytes are the
// pad byte (a blank for character keys). Only the middle part is stored:
// key length - duplicate - trailing bytes. Both count fields are as wide as the key
// length needs; the entry starts at 3 bytes and grows by one byte (8 more record bits)
// whenever a record number beyond the mask must be held. A key costs
// width + stored bytes, and a page's free space is 488 minus what its keys cost.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "storage/cdx_format.h"

namespace torvane::storage::cdx {

struct LeafLayout {
  std::uint32_t width = kMinEntryWidth;
  std::uint32_t record_bits = 0;
  std::uint32_t dup_bits = 0;
  std::uint32_t trail_bits = 0;

  static std::uint32_t mask(std::uint32_t bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << bits) - 1;
  }
  std::uint32_t record_mask() const { return mask(record_bits); }
  std::uint32_t dup_mask() const { return mask(dup_bits); }
  std::uint32_t trail_mask() const { return mask(trail_bits); }
};

// The layout this system writes for a leaf of the given entry width: both count
// fields count_bits(key length) wide, the rest for the record number.
LeafLayout leaf_layout(std::uint32_t key_length, std::uint32_t width);
// The smallest entry width, not below `at_least`, whose record mask holds `record`.
std::uint32_t entry_width_for(std::uint32_t key_length, std::uint32_t record,
                              std::uint32_t at_least = kMinEntryWidth);

struct LeafEntry {
  std::uint32_t record = 0;
  std::uint32_t duplicate = 0;
  std::uint32_t trailing = 0;
  friend bool operator==(const LeafEntry&, const LeafEntry&) = default;
};

// The entry as a `layout.width`-byte little-endian integer (the low bytes of the result).
std::uint64_t pack_entry(const LeafLayout& layout, const LeafEntry& entry);
LeafEntry unpack_entry(const LeafLayout& layout, std::uint64_t bits);

// How many final bytes of key equal pad.
std::uint32_t trailing_count(std::string_view key, char pad);
// How many leading bytes key shares with previous, at most key length - trailing.
std::uint32_t duplicate_count(std::string_view previous, std::string_view key,
                              std::uint32_t trailing);
// What the key costs in a leaf of that width after `previous` ("" for the first key).
std::uint32_t key_cost(std::string_view previous, std::string_view key, char pad,
                       std::uint32_t width);

// A page decoded: full-length keys in key order.
struct Page {
  std::uint32_t offset = 0;
  bool leaf = true;
  bool root = false;
  std::uint32_t left = kNoPage;
  std::uint32_t right = kNoPage;
  std::uint32_t width = kMinEntryWidth;  // leaves only
  std::uint32_t key_length = 0;
  std::vector<char> keys;                // count() * key_length bytes
  std::vector<std::uint32_t> records;
  std::vector<std::uint32_t> children;   // interior pages only

  std::size_t count() const { return records.size(); }
  std::string_view key(std::size_t i) const {
    return {keys.data() + i * key_length, key_length};
  }
  std::string_view last_key() const { return key(count() - 1); }
  void insert(std::size_t at, std::string_view key, std::uint32_t record,
              std::uint32_t child = 0);
  void erase(std::size_t at);
  void clear_entries();
};

// Bytes a leaf's keys take in its key area (entries and stored bytes), at its width.
std::uint32_t leaf_used(const Page& page, char pad);
// The smallest width that holds every record number of the page, not below at_least.
std::uint32_t leaf_width_needed(const Page& page, std::uint32_t at_least = kMinEntryWidth);

// Writes the page's 512 bytes. False when a leaf's keys do not fit its key area or an
// interior page holds more entries than it may.
bool encode_page(const Page& page, char pad, std::span<std::uint8_t> out);
// Reads a page; false when its contents are inconsistent (counts or free space out of
// range, counts beyond the key, bad leaf layout).
bool decode_page(std::span<const std::uint8_t> in, std::uint32_t offset,
                 std::uint32_t key_length, char pad, Page& out);

}  // namespace torvane::storage::cdx
