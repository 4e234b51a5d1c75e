#pragma once
// FPT memo file layout. Big-endian unless marked LE.
//
// The file is a sequence of blocks; block n starts at n x block size. Header, 1,024
// bytes (a file made elsewhere may have only the first 512):
//   offset width  content
//     0     4     next free block: the first block after the last used one
//     4     2     0x0000
//     6     2     block size (64 here)
//     8     8     writer signature "Kestrel" 0x00 (not checked on reading)
//   512    11     "FlexFile3" 0x03 0x00: the extended form
//   524     4 LE  offset of the second free-space directory block, 0 = none
//   528     4 LE  offset of the free-space directory block, 0 = none
//   532     4 LE  update counter, +1 each time the allocation state is stored
//   536     4     lock area of the directory (never written)
//   540     2 LE  alternative block size; replaces the one at 6 when not 0
//
// A value starts on a block boundary:
//     0     4     type: 1 character data (0 reads the same)
//     4     4     length L
//     8     L     the bytes
// and occupies ceil((L + 8) / block size) blocks. When L + 8 does not fill the last
// block, that block's last byte is 0xAF, so the file always ends on a block boundary.
//
// Free-space directory (extended form, after values were replaced): a block of type
// 0x3E8 holding a 2-byte LE count (entries x 4 + 3) and then (byte offset, byte
// length) pairs, 4 bytes LE each. Every free area starts with a block header of type
// 0x3E9 and length (area size - 8).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace torvane::storage::fpt {

constexpr std::size_t kHeaderSize = 1024;
constexpr std::size_t kMinimumHeader = 512;
constexpr std::uint16_t kDefaultBlockSize = 64;

constexpr std::size_t kNextFree = 0;
constexpr std::size_t kBlockSize = 6;
constexpr std::size_t kSignature = 8;
constexpr std::string_view kSignatureText("Kestrel\0", 8);
constexpr std::size_t kExtension = 512;
constexpr std::string_view kExtensionText("FlexFile3\x03\0", 11);
constexpr std::size_t kSecondDirectory = 524;
constexpr std::size_t kDirectory = 528;
constexpr std::size_t kUpdateCounter = 532;
constexpr std::size_t kAlternativeBlockSize = 540;

constexpr std::size_t kBlockHeader = 8;
constexpr std::uint32_t kTypeBinary = 0;
constexpr std::uint32_t kTypeText = 1;
constexpr std::uint32_t kTypeDirectory = 0x3E8;
constexpr std::uint32_t kTypeFreeArea = 0x3E9;
constexpr std::uint8_t kEndByte = 0xAF;

constexpr std::uint64_t blocks_for(std::uint64_t length, std::uint32_t block_size) {
  return (length + kBlockHeader + block_size - 1) / block_size;
}

static_assert(kHeaderSize / kDefaultBlockSize == 16);     // a new file's next free block
static_assert(blocks_for(1000, 64) == 16);                // a 1,000-byte image: blocks 16..31
static_assert(blocks_for(56, 64) == 1);                   // 56 bytes fill one block exactly
static_assert(kExtensionText.size() == 11 && kSignatureText.size() == 8);

}  // namespace torvane::storage::fpt
