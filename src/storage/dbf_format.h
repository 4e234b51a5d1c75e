#pragma once
// DBF table file layout. Little-endian throughout.
//
//   header        32 bytes
//   descriptors   32 bytes per field, in schema order
//   terminator    0x0D 0x00
//   records       record-length bytes each, record 1 first
//   end marker    0x1A (present after an exclusive header write; shared appends
//                 leave the file without it)
//
// Header:
//   offset width  content
//     0     1     version: 0x03 no memo, 0xF5 memo in an FPT file
//     1     3     date of the last write: year - 1900, month, day
//     4     4     record count (readers compute it from the file size instead)
//     8     2     header length = 32 + 32 x fields + 2
//    10     2     record length, deletion flag included
//    12    16     reserved, kept as read
//    28     1     flags: bit 0 = structural CDX index present
//    29     1     code page mark, 0x00
//    30     2     reserved
//
// Field descriptor:
//     0    11     name, upper case, 0x00-padded (at most 10 characters)
//    11     1     type letter
//    12     4     0x00
//    16     1     length (for 'C' the low byte)
//    17     1     decimals ('N'); for 'C' the high byte of the length
//    18    14     0x00
//
// Record: byte 0 is 0x20 (live) or 0x2A (deleted), then the fields without gaps.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace torvane::storage::dbf {

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kFieldNameWidth = 11;
constexpr std::size_t kMaxFieldName = 10;

constexpr std::size_t kVersion = 0;
constexpr std::size_t kYear = 1;
constexpr std::size_t kMonth = 2;
constexpr std::size_t kDay = 3;
constexpr std::size_t kRecordCount = 4;
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kRecordLength = 10;
constexpr std::size_t kFlags = 28;
constexpr std::size_t kCodePage = 29;

constexpr std::size_t kDescType = 11;
constexpr std::size_t kDescLength = 16;
constexpr std::size_t kDescDecimals = 17;

constexpr std::uint8_t kTerminator = 0x0D;
constexpr std::uint8_t kEndOfFile = 0x1A;
constexpr std::uint8_t kLive = 0x20;
constexpr std::uint8_t kDeleted = 0x2A;
constexpr std::uint8_t kFlagStructuralIndex = 0x01;

constexpr std::uint8_t kVersionPlain = 0x03;
constexpr std::uint8_t kVersionFptMemo = 0xF5;
constexpr std::uint8_t kVersionDbtMemo = 0x83;
constexpr std::uint8_t kVersionSmtMemo = 0xE5;
constexpr std::uint8_t kVersionVisual = 0x30;
constexpr std::uint8_t kVersionVisualAuto = 0x31;

constexpr std::size_t kMemoFieldLength = 10;

// Versions a table may carry to be opened; the encrypted forms (0x06, 0x86, 0xE6,
// 0xF6) and everything else are refused as corruption.
constexpr bool readable_version(std::uint8_t v) {
  return v == kVersionPlain || v == kVersionDbtMemo || v == kVersionFptMemo || v == kVersionSmtMemo ||
         v == kVersionVisual || v == kVersionVisualAuto;
}

// Field types a table made elsewhere may have; this system reads 'C', 'N' and 'M'.
constexpr bool known_field_type(char t) {
  return std::string_view("CNFDLMGPIYB8T@V").find(t) != std::string_view::npos;
}
constexpr bool memo_reference_type(char t) { return t == 'M' || t == 'G' || t == 'P'; }

constexpr std::size_t header_length(std::size_t fields) { return kHeaderSize + kDescriptorSize * fields + 2; }

// Record length of a schema given by its field lengths (the deletion flag is byte 0).
template <std::size_t N>
constexpr std::size_t record_length(const std::array<std::size_t, N>& lengths) {
  std::size_t total = 1;
  for (std::size_t l : lengths) total += l;
  return total;
}

// The four schemas the system creates: header length, record length, fresh file size.
// ISBN position table: ISBN C13, HEADER C24, POSITION N9
static_assert(header_length(3) == 130 && record_length(std::array<std::size_t, 3>{13, 24, 9}) == 47);
// pool table: ISBN C13, POOL N4, COVER N2
static_assert(header_length(3) == 130 && record_length(std::array<std::size_t, 3>{13, 4, 2}) == 20);
// cover table: ISBN C13, COVER M10
static_assert(header_length(2) == 98 && record_length(std::array<std::size_t, 2>{13, 10}) == 24);
// not-found table: ISBN C13
static_assert(header_length(1) == 66 && record_length(std::array<std::size_t, 1>{13}) == 14);
// A fresh table ends with 0x0D 0x00 0x1A: header length + 1 bytes.
static_assert(header_length(2) + 1 == 99 && header_length(1) + 1 == 67);

}  // namespace torvane::storage::dbf
