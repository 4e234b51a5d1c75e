#pragma once
// The NTX index file: one order in a B-tree of 1,024-byte blocks. All integers are
// little-endian; page references are byte offsets of blocks. Block 0 is the header.
//
// Header block (bytes not listed are 0x00):
//   offset width content                                   ISBN index
//      0     2  type flags (0x0006 plain; see below)          0x0006
//      2     2  update counter, +1 each time the header is saved
//      4     4  root page offset
//      8     4  head of the free-page list, 0 when empty
//     12     2  item size = key length + 8                    21
//     14     2  key length                                    13
//     16     2  key decimals                                  0
//     18     2  maximum keys per page                         42
//     20     2  half page = maximum keys / 2                  21
//     22   256  key expression, 0x00-padded                   "ISBN"
//    278     1  unique flag
//    280     1  descending flag
//    282   256  for-condition, 0x00-padded
//    538    12  tag name (never written here)
//    550     1  custom-order flag
//
// Page block:
//      0     2  number of keys n
//      2     2 x (maximum keys + 1)  offsets of the item slots from the page start, in key order
//   2 x maximum keys + 4             the item slots, item size bytes each
//
// Item: child page offset (4; 0 in a leaf), record number (4), key (key length bytes).
// A page with n keys uses items 0..n: item n carries only the child pointer to the
// keys greater than the last key. A fresh page lists its slots in ascending order;
// inserting and removing keys permutes the offset table instead of moving items, so a
// page is sound when its offset table is a permutation of the slot positions.
//
// Free pages: the header's free-list head names the first; a free page's item 0 child
// pointer names the next; 0 ends the list.
//
// Keys order by unsigned bytes, equal keys by ascending record number.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/byte_order.h"

namespace torvane::storage::ntx {

constexpr std::size_t kPageSize = 1024;
using PageBytes = std::array<std::uint8_t, kPageSize>;

// Type flags.
constexpr std::uint16_t kPlainIndex = 0x0006;
constexpr std::uint16_t kForCondition = 0x0001;
constexpr std::uint16_t kPartial = 0x0008;
constexpr std::uint16_t kExtendedLocks = 0x0010;  // switches the table's lock offsets
constexpr std::uint16_t kLargeFile = 0x0200;      // page references in other units: not read here

// The index's own read (shared) and write (exclusive) lock: one byte of the index file.
constexpr std::uint64_t kLockOffset = 1'000'000'000;

// Header field offsets.
constexpr std::size_t kFlagsAt = 0, kCounterAt = 2, kRootAt = 4, kFreeListAt = 8, kItemSizeAt = 12,
                      kKeyLengthAt = 14, kDecimalsAt = 16, kMaxKeysAt = 18, kHalfPageAt = 20,
                      kExpressionAt = 22, kUniqueAt = 278, kDescendingAt = 280, kConditionAt = 282,
                      kTagNameAt = 538, kCustomAt = 550;
constexpr std::size_t kTextWidth = 256;
// A save that changed only the root, the free list and the counter rewrites this much.
constexpr std::size_t kHeaderPrefix = 12;

constexpr std::uint32_t kMaxKeyLength = 256;

constexpr std::uint32_t item_size(std::uint32_t key_length) { return key_length + 8; }

// 1,022 / (key length + 10) - 1, lowered to an even number when odd and above 2.
constexpr std::uint32_t max_keys(std::uint32_t key_length) {
  const std::uint32_t keys = 1022 / (key_length + 10) - 1;
  return keys % 2 == 1 && keys > 2 ? keys - 1 : keys;
}

constexpr std::uint32_t items_start(std::uint32_t max_keys) { return 2 * max_keys + 4; }

static_assert(max_keys(13) == 42);
static_assert(item_size(13) == 21);
static_assert(items_start(42) == 88 && items_start(42) + 43 * 21 <= kPageSize);

// The shape of the pages of one index, from its header.
struct Geometry {
  std::uint32_t key_length = 13;
  std::uint32_t item_size = 21;
  std::uint32_t max_keys = 42;
  std::uint32_t half_page = 21;

  static Geometry for_key(std::uint32_t key_length) {
    const std::uint32_t keys = ntx::max_keys(key_length);
    return {key_length, ntx::item_size(key_length), keys, keys / 2};
  }
  // The slot table and all items fit in one page.
  bool fits() const {
    return key_length >= 1 && key_length <= kMaxKeyLength && item_size == key_length + 8 && max_keys >= 2 &&
           items_start(max_keys) + (max_keys + 1) * item_size <= kPageSize;
  }
};

struct Header {
  std::uint16_t flags = kPlainIndex;
  std::uint16_t counter = 0;
  std::uint32_t root = 0;
  std::uint32_t free_list = 0;
  Geometry geometry;
  std::uint16_t key_decimals = 0;
  std::string expression;  // "ISBN"
  bool unique = false;
  bool descending = false;
};

inline void put_text(std::span<std::uint8_t> out, std::string_view text) {
  std::fill(out.begin(), out.end(), 0);
  std::copy_n(text.begin(), std::min(text.size(), out.size() - 1), out.begin());
}

inline PageBytes encode_header(const Header& h) {
  PageBytes b{};
  const std::span<std::uint8_t> s(b);
  put_u16le(s.subspan(kFlagsAt), h.flags);
  put_u16le(s.subspan(kCounterAt), h.counter);
  put_u32le(s.subspan(kRootAt), h.root);
  put_u32le(s.subspan(kFreeListAt), h.free_list);
  put_u16le(s.subspan(kItemSizeAt), static_cast<std::uint16_t>(h.geometry.item_size));
  put_u16le(s.subspan(kKeyLengthAt), static_cast<std::uint16_t>(h.geometry.key_length));
  put_u16le(s.subspan(kDecimalsAt), h.key_decimals);
  put_u16le(s.subspan(kMaxKeysAt), static_cast<std::uint16_t>(h.geometry.max_keys));
  put_u16le(s.subspan(kHalfPageAt), static_cast<std::uint16_t>(h.geometry.half_page));
  put_text(s.subspan(kExpressionAt, kTextWidth), h.expression);
  b[kUniqueAt] = h.unique ? 1 : 0;
  b[kDescendingAt] = h.descending ? 1 : 0;
  return b;
}

// The first bytes of a header save: flags, counter, root, free list.
inline std::array<std::uint8_t, kHeaderPrefix> encode_header_prefix(const Header& h) {
  const PageBytes full = encode_header(h);
  std::array<std::uint8_t, kHeaderPrefix> out{};
  std::copy_n(full.begin(), kHeaderPrefix, out.begin());
  return out;
}

// Takes flags, counter, root and free list from the first bytes of a header.
inline void decode_header_prefix(std::span<const std::uint8_t> b, Header& h) {
  h.flags = get_u16le(b.subspan(kFlagsAt));
  h.counter = get_u16le(b.subspan(kCounterAt));
  h.root = get_u32le(b.subspan(kRootAt));
  h.free_list = get_u32le(b.subspan(kFreeListAt));
}

inline Header decode_header(std::span<const std::uint8_t> b) {
  Header h;
  decode_header_prefix(b, h);
  h.geometry.item_size = get_u16le(b.subspan(kItemSizeAt));
  h.geometry.key_length = get_u16le(b.subspan(kKeyLengthAt));
  h.key_decimals = get_u16le(b.subspan(kDecimalsAt));
  h.geometry.max_keys = get_u16le(b.subspan(kMaxKeysAt));
  h.geometry.half_page = get_u16le(b.subspan(kHalfPageAt));
  const auto text = b.subspan(kExpressionAt, kTextWidth);
  const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
  h.expression.assign(text.begin(), end);
  h.unique = b[kUniqueAt] != 0;
  h.descending = b[kDescendingAt] != 0;
  return h;
}

// A page reference is a whole block after the header, inside the file.
inline bool valid_page_offset(std::uint64_t offset, std::uint64_t file_size) {
  return offset >= kPageSize && offset % kPageSize == 0 && offset + kPageSize <= file_size;
}

// Why a header cannot be used, or nothing when it can.
inline std::optional<std::string_view> header_problem(const Header& h, std::uint64_t file_size) {
  constexpr std::uint16_t known = kPlainIndex | kForCondition | kPartial | kExtendedLocks;
  if ((h.flags & kPlainIndex) != kPlainIndex || (h.flags & ~known) != 0) return "type flags";
  if (!h.geometry.fits()) return "key length, item size or maximum keys";
  if (h.descending) return "descending order";
  if (!valid_page_offset(h.root, file_size)) return "root page offset";
  if (h.free_list != 0 && !valid_page_offset(h.free_list, file_size)) return "free-list head";
  return std::nullopt;
}

// One item of a page, decoded.
struct Item {
  std::uint32_t child = 0;
  std::uint32_t record = 0;
  std::string key;
};

// A view of one page's bytes with the index's geometry. Pure: no file access.
class Page {
 public:
  Page(std::uint8_t* bytes, const Geometry& g) : b_(bytes), g_(g) {}

  std::uint32_t count() const { return get_u16le(span(0, 2)); }
  std::uint32_t slot(std::uint32_t i) const { return get_u16le(span(2 + 2 * i, 2)); }
  std::uint32_t child(std::uint32_t i) const { return get_u32le(span(slot(i), 4)); }
  std::uint32_t record(std::uint32_t i) const { return get_u32le(span(slot(i) + 4, 4)); }
  const std::uint8_t* key_bytes(std::uint32_t i) const { return b_ + slot(i) + 8; }
  std::string_view key(std::uint32_t i) const {
    return {reinterpret_cast<const char*>(key_bytes(i)), g_.key_length};
  }

  // Empty page with the slot offsets in ascending order and zeroed items.
  void clear() {
    std::memset(b_, 0, kPageSize);
    for (std::uint32_t i = 0; i <= g_.max_keys; ++i)
      set_slot(i, items_start(g_.max_keys) + i * g_.item_size);
  }
  void set_count(std::uint32_t n) { put_u16le(mspan(0, 2), static_cast<std::uint16_t>(n)); }
  void set_child(std::uint32_t i, std::uint32_t child) { put_u32le(mspan(slot(i), 4), child); }
  void set_item(std::uint32_t i, std::uint32_t child, std::uint32_t record, std::string_view key) {
    put_u32le(mspan(slot(i), 4), child);
    put_u32le(mspan(slot(i) + 4, 4), record);
    std::memcpy(b_ + slot(i) + 8, key.data(), std::min<std::size_t>(key.size(), g_.key_length));
  }

  // Opens a gap at position i for a new item (the unused slot n + 1 moves to i); n + 1.
  void open_gap(std::uint32_t i) {
    const std::uint32_t n = count();
    const std::uint32_t spare = slot(n + 1);
    std::memmove(b_ + 2 + 2 * (i + 1), b_ + 2 + 2 * i, 2 * (n + 1 - i));
    set_slot(i, spare);
    set_count(n + 1);
  }
  // Removes item i (a key); its slot moves behind the used ones. n - 1.
  void close_gap(std::uint32_t i) {
    const std::uint32_t n = count();
    const std::uint32_t freed = slot(i);
    std::memmove(b_ + 2 + 2 * i, b_ + 2 + 2 * (i + 1), 2 * (n - i));
    set_slot(n, freed);
    set_count(n - 1);
  }

  // Sound: at most maximum keys, and the offset table is a permutation of the slots.
  bool sound() const {
    if (count() > g_.max_keys) return false;
    std::vector<bool> seen(g_.max_keys + 1, false);
    for (std::uint32_t i = 0; i <= g_.max_keys; ++i) {
      const std::uint32_t at = slot(i);
      if (at < items_start(g_.max_keys) || (at - items_start(g_.max_keys)) % g_.item_size != 0) return false;
      const std::uint32_t index = (at - items_start(g_.max_keys)) / g_.item_size;
      if (index > g_.max_keys || seen[index]) return false;
      seen[index] = true;
    }
    return true;
  }

  // Items 0..n-1 and the final child, in key order.
  std::vector<Item> items() const {
    std::vector<Item> out;
    for (std::uint32_t i = 0; i <= count(); ++i) out.push_back({child(i), record(i), std::string(i < count() ? key(i) : "")});
    return out;
  }
  // Rewrites the page fresh from keys and a final child (items.back() gives the child).
  void assign(const std::vector<Item>& items) {
    clear();
    const auto n = static_cast<std::uint32_t>(items.size() - 1);
    for (std::uint32_t i = 0; i < n; ++i) set_item(i, items[i].child, items[i].record, items[i].key);
    set_child(n, items.back().child);
    set_count(n);
  }

 private:
  void set_slot(std::uint32_t i, std::uint32_t at) { put_u16le(mspan(2 + 2 * i, 2), static_cast<std::uint16_t>(at)); }
  std::span<const std::uint8_t> span(std::size_t at, std::size_t n) const { return {b_ + at, n}; }
  std::span<std::uint8_t> mspan(std::size_t at, std::size_t n) { return {b_ + at, n}; }

  std::uint8_t* b_;
  Geometry g_;
};

// Key order: unsigned bytes, then record number.
inline int compare_entries(std::string_view a, std::uint32_t ra, std::string_view b, std::uint32_t rb) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

// Moves keys between two neighbour pages through the separating key of their parent so
// that the left page keeps (left + right + 1) / 2 keys and the right one the rest.
// `separator` is replaced by the new separating key (its child, the left page, stays).
inline void rotate_pages(Page& left, Item& separator, Page& right) {
  std::vector<Item> all = left.items();
  Item final_left = all.back();
  all.back() = {final_left.child, separator.record, separator.key};
  std::vector<Item> tail = right.items();
  all.insert(all.end(), tail.begin(), tail.end());
  const std::size_t keys = all.size() - 1;  // left + 1 + right
  const std::size_t keep = keys / 2;        // (left + right + 1) / 2
  std::vector<Item> new_left(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep) + 1);
  separator.record = all[keep].record;
  separator.key = all[keep].key;
  std::vector<Item> new_right(all.begin() + static_cast<std::ptrdiff_t>(keep) + 1, all.end());
  new_left.back().record = 0;
  new_left.back().key.clear();
  left.assign(new_left);
  right.assign(new_right);
}

}  // namespace torvane::storage::ntx
