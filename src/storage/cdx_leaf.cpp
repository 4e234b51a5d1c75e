#include "storage/cdx_leaf.h"

#include <algorithm>
#include <cstring>

#include "storage/byte_order.h"

namespace torvane::storage::cdx {
namespace {

std::uint64_t get_uint_le(std::span<const std::uint8_t> bytes, std::uint32_t width) {
  std::uint64_t value = 0;
  for (std::uint32_t i = width; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

void put_uint_le(std::span<std::uint8_t> bytes, std::uint32_t width, std::uint64_t value) {
  for (std::uint32_t i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_page_header(const Page& page, std::span<std::uint8_t> out) {
  std::uint16_t attributes = (page.root ? kAttrRoot : 0) | (page.leaf ? kAttrLeaf : 0);
  put_u16le(out.subspan(kPgAttributes), attributes);
  put_u16le(out.subspan(kPgKeyCount), static_cast<std::uint16_t>(page.count()));
  put_u32le(out.subspan(kPgLeft), page.left);
  put_u32le(out.subspan(kPgRight), page.right);
}

bool encode_leaf(const Page& page, char pad, std::span<std::uint8_t> out) {
  const std::uint32_t k = page.key_length;
  const LeafLayout layout = leaf_layout(k, page.width);
  const std::size_t entries_end = kLfKeyArea + page.count() * layout.width;
  if (entries_end > kPageSize) return false;
  std::size_t stored_start = kPageSize;
  for (std::size_t i = 0; i < page.count(); ++i) {
    const std::string_view key = page.key(i);
    LeafEntry entry;
    entry.record = page.records[i];
    if (entry.record > layout.record_mask()) return false;
    entry.trailing = trailing_count(key, pad);
    entry.duplicate = i == 0 ? 0 : duplicate_count(page.key(i - 1), key, entry.trailing);
    const std::size_t stored = k - entry.duplicate - entry.trailing;
    if (stored_start < entries_end + stored) return false;
    stored_start -= stored;
    std::memcpy(out.data() + stored_start, key.data() + entry.duplicate, stored);
    put_uint_le(out.subspan(kLfKeyArea + i * layout.width), layout.width, pack_entry(layout, entry));
  }
  put_u16le(out.subspan(kLfFree), static_cast<std::uint16_t>(stored_start - entries_end));
  put_u32le(out.subspan(kLfRecordMask), layout.record_mask());
  out[kLfDupMask] = static_cast<std::uint8_t>(layout.dup_mask());
  out[kLfTrailMask] = static_cast<std::uint8_t>(layout.trail_mask());
  out[kLfRecordBits] = static_cast<std::uint8_t>(layout.record_bits);
  out[kLfDupBits] = static_cast<std::uint8_t>(layout.dup_bits);
  out[kLfTrailBits] = static_cast<std::uint8_t>(layout.trail_bits);
  out[kLfEntryWidth] = static_cast<std::uint8_t>(layout.width);
  return true;
}

bool encode_interior(const Page& page, std::span<std::uint8_t> out) {
  const std::uint32_t k = page.key_length;
  if (page.count() > interior_capacity(k)) return false;
  for (std::size_t i = 0; i < page.count(); ++i) {
    const std::size_t at = kPgHeaderSize + i * (k + 8);
    std::memcpy(out.data() + at, page.key(i).data(), k);
    put_u32be(out.subspan(at + k), page.records[i]);
    put_u32be(out.subspan(at + k + 4), page.children[i]);
  }
  return true;
}

// The layout a leaf declares, when it is one that can be read.
bool read_leaf_layout(std::span<const std::uint8_t> in, LeafLayout& layout) {
  layout.width = in[kLfEntryWidth];
  layout.record_bits = in[kLfRecordBits];
  layout.dup_bits = in[kLfDupBits];
  layout.trail_bits = in[kLfTrailBits];
  if (layout.width < 1 || layout.width > 8) return false;
  if (layout.record_bits < 1 || layout.record_bits > 32 || layout.dup_bits > 8 ||
      layout.trail_bits > 8)
    return false;
  if (layout.record_bits + layout.dup_bits + layout.trail_bits != 8 * layout.width) return false;
  return get_u32le(in.subspan(kLfRecordMask)) == layout.record_mask() &&
         in[kLfDupMask] == layout.dup_mask() && in[kLfTrailMask] == layout.trail_mask();
}

bool decode_leaf(std::span<const std::uint8_t> in, std::size_t count, char pad, Page& out) {
  const std::uint32_t k = out.key_length;
  LeafLayout layout;
  if (!read_leaf_layout(in, layout)) return false;
  out.width = layout.width;
  const std::size_t entries_end = kLfKeyArea + count * layout.width;
  if (entries_end > kPageSize || get_u16le(in.subspan(kLfFree)) > kKeyAreaSize) return false;
  out.keys.resize(count * k);
  out.records.resize(count);
  std::size_t stored_start = kPageSize;
  for (std::size_t i = 0; i < count; ++i) {
    const LeafEntry entry =
        unpack_entry(layout, get_uint_le(in.subspan(kLfKeyArea + i * layout.width), layout.width));
    if (entry.duplicate + entry.trailing > k || (i == 0 && entry.duplicate != 0)) return false;
    const std::size_t stored = k - entry.duplicate - entry.trailing;
    if (stored_start < entries_end + stored) return false;
    stored_start -= stored;
    char* key = out.keys.data() + i * k;
    if (entry.duplicate > 0) std::memcpy(key, key - k, entry.duplicate);
    std::memcpy(key + entry.duplicate, in.data() + stored_start, stored);
    std::memset(key + entry.duplicate + stored, pad, entry.trailing);
    out.records[i] = entry.record;
  }
  return true;
}

bool decode_interior(std::span<const std::uint8_t> in, std::size_t count, Page& out) {
  const std::uint32_t k = out.key_length;
  if (kPgHeaderSize + count * (k + 8) > kPageSize) return false;
  out.keys.resize(count * k);
  out.records.resize(count);
  out.children.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kPgHeaderSize + i * (k + 8);
    std::memcpy(out.keys.data() + i * k, in.data() + at, k);
    out.records[i] = get_u32be(in.subspan(at + k));
    out.children[i] = get_u32be(in.subspan(at + k + 4));
  }
  return true;
}

// Pairs (key, record number) strictly ascending: a page out of order is damaged, and
// walks rely on it to end.
bool entries_ascend(const Page& page) {
  for (std::size_t i = 1; i < page.count(); ++i) {
    const int order = std::memcmp(page.key(i - 1).data(), page.key(i).data(), page.key_length);
    if (order > 0 || (order == 0 && page.records[i - 1] >= page.records[i])) return false;
  }
  return true;
}

}  // namespace

LeafLayout leaf_layout(std::uint32_t key_length, std::uint32_t width) {
  LeafLayout layout;
  layout.width = width;
  layout.dup_bits = layout.trail_bits = count_bits(key_length);
  layout.record_bits = 8 * width - 2 * layout.dup_bits;
  return layout;
}

std::uint32_t entry_width_for(std::uint32_t key_length, std::uint32_t record, std::uint32_t at_least) {
  std::uint32_t width = std::max(at_least, kMinEntryWidth);
  while (leaf_layout(key_length, width).record_mask() < record) ++width;
  return width;
}

std::uint64_t pack_entry(const LeafLayout& layout, const LeafEntry& entry) {
  return std::uint64_t{entry.record} | (std::uint64_t{entry.duplicate} << layout.record_bits) |
         (std::uint64_t{entry.trailing} << (layout.record_bits + layout.dup_bits));
}

LeafEntry unpack_entry(const LeafLayout& layout, std::uint64_t bits) {
  LeafEntry entry;
  entry.record = static_cast<std::uint32_t>(bits & layout.record_mask());
  entry.duplicate = static_cast<std::uint32_t>((bits >> layout.record_bits) & layout.dup_mask());
  entry.trailing =
      static_cast<std::uint32_t>((bits >> (layout.record_bits + layout.dup_bits)) & layout.trail_mask());
  return entry;
}

std::uint32_t trailing_count(std::string_view key, char pad) {
  std::uint32_t n = 0;
  while (n < key.size() && key[key.size() - 1 - n] == pad) ++n;
  return n;
}

std::uint32_t duplicate_count(std::string_view previous, std::string_view key, std::uint32_t trailing) {
  const std::size_t limit = std::min(previous.size(), key.size() - trailing);
  std::uint32_t n = 0;
  while (n < limit && previous[n] == key[n]) ++n;
  return n;
}

std::uint32_t key_cost(std::string_view previous, std::string_view key, char pad, std::uint32_t width) {
  const std::uint32_t trailing = trailing_count(key, pad);
  const std::uint32_t duplicate = previous.empty() ? 0 : duplicate_count(previous, key, trailing);
  return width + static_cast<std::uint32_t>(key.size()) - duplicate - trailing;
}

void Page::insert(std::size_t at, std::string_view key, std::uint32_t record, std::uint32_t child) {
  keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at * key_length), key.begin(), key.end());
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(at), record);
  if (!leaf) children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), child);
}

void Page::erase(std::size_t at) {
  const auto first = keys.begin() + static_cast<std::ptrdiff_t>(at * key_length);
  keys.erase(first, first + key_length);
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(at));
  if (!leaf) children.erase(children.begin() + static_cast<std::ptrdiff_t>(at));
}

void Page::clear_entries() {
  keys.clear();
  records.clear();
  children.clear();
}

std::uint32_t leaf_used(const Page& page, char pad) {
  std::uint32_t used = 0;
  for (std::size_t i = 0; i < page.count(); ++i)
    used += key_cost(i == 0 ? std::string_view{} : page.key(i - 1), page.key(i), pad, page.width);
  return used;
}

std::uint32_t leaf_width_needed(const Page& page, std::uint32_t at_least) {
  std::uint32_t highest = 0;
  for (std::uint32_t record : page.records) highest = std::max(highest, record);
  return entry_width_for(page.key_length, highest, at_least);
}

bool encode_page(const Page& page, char pad, std::span<std::uint8_t> out) {
  if (out.size() < kPageSize || page.count() > 0xFFFF) return false;
  std::fill(out.begin(), out.begin() + kPageSize, std::uint8_t{0});
  put_page_header(page, out);
  return page.leaf ? encode_leaf(page, pad, out) : encode_interior(page, out);
}

bool decode_page(std::span<const std::uint8_t> in, std::uint32_t offset, std::uint32_t key_length,
                 char pad, Page& out) {
  if (in.size() < kPageSize || key_length == 0 || key_length > kMaxKeyLength) return false;
  const std::uint16_t attributes = get_u16le(in.subspan(kPgAttributes));
  if (attributes > (kAttrRoot | kAttrLeaf)) return false;
  out.offset = offset;
  out.leaf = (attributes & kAttrLeaf) != 0;
  out.root = (attributes & kAttrRoot) != 0;
  out.left = get_u32le(in.subspan(kPgLeft));
  out.right = get_u32le(in.subspan(kPgRight));
  out.key_length = key_length;
  out.clear_entries();
  const std::size_t count = get_u16le(in.subspan(kPgKeyCount));
  if (!(out.leaf ? decode_leaf(in, count, pad, out) : decode_interior(in, count, out))) return false;
  return entries_ascend(out);
}

}  // namespace torvane::storage::cdx
