#pragma once
// A full check of a table file the program builds, read as bytes and never opened as a
// table (no lock is taken, nothing is written):
//
//   - header and field descriptors byte for byte as creating `schema` writes them,
//     except the date of the last write (which must be a date), the record count and
//     the structural-index flag;
//   - the record count of the header equal to the whole records in the file, after
//     which at most the end marker 0x1A follows;
//   - header byte 28 bit 0 set exactly when the table has a structural index;
//   - every record live (0x20: the program never marks one deleted, and a reader skips
//     a deleted one) and every numeric or memo field holding text of its type: blank,
//     or decimal digits aligned right (numbers with a sign and their declared decimals).
//
// Character fields may hold any byte; what they hold is judged against the table's
// index and its sources by the caller.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/dbf_table.h"
#include "storage/fault_list.h"

namespace torvane::storage::dbf {

struct TableCheck {
  bool readable = false;        // the file could be read
  bool records_usable = false;  // its layout is the schema's: record() and field() may be used
  FaultList faults;
  std::string bytes;            // the whole file
  std::uint32_t records = 0;    // whole records in the file
  std::uint32_t header_length = 0;
  std::uint32_t record_length = 0;
  std::vector<Field> fields;    // of the schema, with their offsets

  bool ok() const { return readable && faults.empty(); }
  // Record n (1-based, at most `records`), deletion flag first.
  std::string_view record(std::uint32_t n) const {
    return std::string_view(bytes).substr(header_length + std::uint64_t{n - 1} * record_length, record_length);
  }
  // Field i of the schema in record n.
  std::string_view field(std::uint32_t n, std::size_t i) const {
    return record(n).substr(fields[i].offset, fields[i].length);
  }
};

TableCheck check_table(std::string_view path, std::span<const FieldSpec> schema, bool structural_index);

// Whether the bytes of a field are what the table layout writes for a number with
// `decimals` decimals (blank for no value), and for a memo reference (blank, or a block
// number aligned right).
bool valid_number_text(std::string_view field, int decimals);
bool valid_memo_reference(std::string_view field);

}  // namespace torvane::storage::dbf
