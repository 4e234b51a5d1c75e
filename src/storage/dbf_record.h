#pragma once
// Pure pieces of the DBF table: the field encodings of a record and the header with
// its descriptors (dbf_format.h), built for create and checked on open. No file access.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/dbf_table.h"

namespace torvane::storage::dbf {

// 'C': the bytes left-aligned, blank-padded, cut at the field length.
void encode_text(std::span<std::uint8_t> field, std::string_view text);
// 'N': right-aligned decimal text with exactly `decimals` digits after the point.
// False when it does not fit: the field is then all '*'.
bool encode_number(std::span<std::uint8_t> field, double value, int decimals);
// Value of an 'N' (or 'F') field; 0 when blank or not a number.
double decode_number(std::span<const std::uint8_t> field);
// 'M': first block right-aligned in 10 bytes; 0 is 10 blanks.
void encode_memo_reference(std::span<std::uint8_t> field, std::uint32_t block);
// The block a memo field refers to: decimal text, or a 4-byte little-endian number in
// a 4-byte field (tables of the visual layout); 0 for blanks or anything else.
std::uint32_t decode_memo_reference(std::span<const std::uint8_t> field);

// The layout read from or written into a table's header and descriptors.
struct Layout {
  std::uint8_t version = 0;
  std::uint8_t flags = 0;  // header byte 28
  std::uint32_t header_length = 0;
  std::uint32_t record_length = 0;
  std::vector<Field> fields;
};

// Header, descriptors and 0x0D 0x00 0x1A of a new table, dated today. Empty when the
// schema cannot be written (no fields, a name too long, a length out of range, or a
// record longer than 65,535 bytes).
std::vector<std::uint8_t> build_new_table(std::span<const FieldSpec> fields);

// Checks the header area (the first header-length bytes, or fewer when the file is
// shorter) against the file size. nullopt means corruption: unknown or encrypted
// version, header or record length that cannot hold the descriptors and fields, an
// unknown field type, a field of length 0, or a file shorter than its header.
std::optional<Layout> parse_layout(std::span<const std::uint8_t> header_area, std::uint64_t file_size);

// Whether a table of this layout keeps its memo values in an FPT file beside it: the
// 0xF5 version, or the visual layout with memo fields.
bool has_fpt_memo(const Layout& layout);

// Header rewrite: today's date and the record count; everything else is kept as read.
void refresh_header(std::span<std::uint8_t, 32> header, std::uint32_t record_count);

}  // namespace torvane::storage::dbf
