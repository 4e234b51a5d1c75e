#pragma once
// The compound index file (".cdx"): a B-tree of 512-byte pages whose leaves hold
// prefix- and suffix-compressed keys. Other software on the medium opens these files,
// so every offset below is an external format. Integers are little-endian except the
// update counter and the record/child numbers of interior entries (big-endian).
// Page offsets are byte offsets, multiples of 512; 0xFFFFFFFF means "no page".
//
// File as this system writes it for one table:
//
//   offset  size   content
//   0       1024   compound header (the header of the tag directory)
//   1024    512    root leaf of the tag directory: one key per tag
//   1536    1024   header of the tag
//   2560    512 n  the tag's B-tree pages, in the order the bulk build starts them
//
// Header (compound header and every tag header; 1024 bytes, unlisted bytes 0x00):
//
//   offset  width  content
//   0       4      offset of the B-tree's root page
//   4       4      compound header only: head of the free-page list, 0 when empty
//   8       4      compound header only: update counter, big-endian
//   12      2      key length
//   14      1      options: 0x01 unique, 0x08 for-condition, 0x20 compact,
//                  0x40 compound, 0x80 tag directory
//   15      1      signature 0x01
//   502     2      0 ascending, 1 descending
//   504     2      position of the for-condition text = key expression length + 1
//   506     2      length of the for-condition text + 1
//   508     2      position of the key expression text, 0
//   510     2      length of the key expression text + 1
//   512     512    expression area: key expression, 0x00, for-condition, 0x00
//
// Page header (every B-tree page, 12 bytes):
//
//   0  2  attributes: bit 0 root, bit 1 leaf
//   2  2  number of keys
//   4  4  left sibling on the same level, or 0xFFFFFFFF
//   8  4  right sibling on the same level, or 0xFFFFFFFF
//
// Interior page: from offset 12, entries of key length + 8 bytes: the full key, its
// record number (big-endian) and the child page (big-endian). Each entry carries the
// last (highest) key of its child's subtree.
//
// Leaf page: the compact layout, described with its code in cdx_leaf.h.
//
// Free page: the next free page in its first 4 bytes (0 ends the list), zeros after.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace torvane::storage::cdx {

constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kHeaderSize = 1024;  // two pages
constexpr std::uint32_t kNoPage = 0xFFFFFFFF;

// Where this system puts things in a file it creates.
constexpr std::uint32_t kCompoundHeaderOffset = 0;
constexpr std::uint32_t kDirectoryRootOffset = kCompoundHeaderOffset + kHeaderSize;
constexpr std::uint32_t kFirstTagHeaderOffset = kDirectoryRootOffset + kPageSize;
constexpr std::uint32_t kFirstTagPageOffset = kFirstTagHeaderOffset + kHeaderSize;
static_assert(kDirectoryRootOffset == 1024 && kFirstTagHeaderOffset == 1536 &&
              kFirstTagPageOffset == 2560);

// Header fields.
constexpr std::size_t kHdrRoot = 0;
constexpr std::size_t kHdrFreeList = 4;
constexpr std::size_t kHdrCounter = 8;  // big-endian
constexpr std::size_t kHdrKeyLength = 12;
constexpr std::size_t kHdrOptions = 14;
constexpr std::size_t kHdrSignature = 15;
constexpr std::size_t kHdrDescending = 502;
constexpr std::size_t kHdrForPosition = 504;
constexpr std::size_t kHdrForLength = 506;
constexpr std::size_t kHdrKeyPosition = 508;
constexpr std::size_t kHdrKeyExprLength = 510;
constexpr std::size_t kHdrExpressionArea = 512;

constexpr std::uint8_t kOptUnique = 0x01;
constexpr std::uint8_t kOptForCondition = 0x08;
constexpr std::uint8_t kOptCompact = 0x20;
constexpr std::uint8_t kOptCompound = 0x40;
constexpr std::uint8_t kOptDirectory = 0x80;
constexpr std::uint8_t kSignature = 0x01;
constexpr std::uint8_t kDirectoryOptions = kOptCompact | kOptCompound | kOptDirectory;
constexpr std::uint8_t kTagOptions = kOptCompact | kOptCompound;
static_assert(kDirectoryOptions == 0xE0 && kTagOptions == 0x60);

// The tag directory: keys are tag names, upper case, padded with blanks.
constexpr std::uint32_t kTagNameLength = 10;
// Longest character key a tag may have.
constexpr std::uint32_t kMaxKeyLength = 240;

// Page header fields.
constexpr std::size_t kPgAttributes = 0;
constexpr std::size_t kPgKeyCount = 2;
constexpr std::size_t kPgLeft = 4;
constexpr std::size_t kPgRight = 8;
constexpr std::size_t kPgHeaderSize = 12;
constexpr std::uint16_t kAttrRoot = 0x01;
constexpr std::uint16_t kAttrLeaf = 0x02;

// Interior pages hold at most 500 / (key length + 8) entries.
constexpr std::uint32_t interior_capacity(std::uint32_t key_length) { return 500 / (key_length + 8); }
static_assert(interior_capacity(13) == 23);  // the ISBN tag
static_assert(interior_capacity(10) == 27);  // the tag directory
static_assert(kPgHeaderSize + interior_capacity(1) * (1 + 8) <= kPageSize);

// Leaf page fields after the page header.
constexpr std::size_t kLfFree = 12;
constexpr std::size_t kLfRecordMask = 14;
constexpr std::size_t kLfDupMask = 18;
constexpr std::size_t kLfTrailMask = 19;
constexpr std::size_t kLfRecordBits = 20;
constexpr std::size_t kLfDupBits = 21;
constexpr std::size_t kLfTrailBits = 22;
constexpr std::size_t kLfEntryWidth = 23;
constexpr std::size_t kLfKeyArea = 24;
constexpr std::uint32_t kKeyAreaSize = kPageSize - kLfKeyArea;
static_assert(kKeyAreaSize == 488);

// The smallest entry width; wider entries hold larger record numbers.
constexpr std::uint32_t kMinEntryWidth = 3;

// Bits needed to write the key length: the width of the duplicate and of the trailing
// count field alike (4 for the 13-byte ISBN key and the 10-byte tag name).
constexpr std::uint32_t count_bits(std::uint32_t key_length) {
  return static_cast<std::uint32_t>(std::bit_width(key_length));
}
static_assert(count_bits(13) == 4 && count_bits(10) == 4 && count_bits(240) == 8);

}  // namespace torvane::storage::cdx
