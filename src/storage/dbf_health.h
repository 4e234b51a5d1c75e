#pragma once
// What a table file says about itself before it is opened, and the repair of what a
// run killed while writing it leaves behind.
//
// A table is complete when
//   - the file is at least as long as the header it begins;
//   - the record count at header offset 4 equals the whole records in the file (an
//     exclusive close leaves one 0x1A after the last record, a shared append none);
//   - header byte 28 bit 0 is set exactly when its structural index (<name>.cdx) is
//     there;
//   - a version that keeps memo values in an FPT file (0xF5) has that file.
// A run killed while creating a table leaves it shorter than its header or without its
// memo file; one killed while closing it, a header count behind its records or a torn
// last record; one killed between renaming a new structural index into place and
// marking it in the header, byte 28 at 0.

#include <cstdint>
#include <string_view>
#include <vector>

#include "storage/dbf_table.h"

namespace torvane::storage {

struct TableHealth {
  enum class Kind {
    missing,      // no file of that name
    unreadable,   // it cannot be opened or read
    not_a_table,  // it does not begin with a DBF version byte
    cut_short,    // empty, or shorter than the header it begins
    damaged,      // header and descriptors describe no table
    table,        // a table; the fields below tell what disagrees
  };
  Kind kind = Kind::missing;
  std::uint32_t header_length = 0;
  std::uint32_t record_length = 0;
  std::uint32_t header_count = 0;  // as the header says
  std::uint32_t records = 0;       // whole records in the file
  bool torn_record = false;        // part of a record after the last whole one
  bool structural_flag = false;    // header byte 28 bit 0
  bool structural_index = false;   // <name>.cdx exists
  bool flag_wrong = false;         // the flag disagrees with the index file
  bool memo_missing = false;       // the version names an FPT file that is not there
  std::vector<Field> fields;       // of a table

  // Nothing of it can be trusted: the table is to be made anew.
  bool needs_rebuild() const { return kind == Kind::cut_short || (kind == Kind::table && memo_missing); }
  // Its records are sound but its header disagrees with the file: repair_table mends it.
  bool needs_repair() const {
    return kind == Kind::table && !memo_missing && (header_count != records || torn_record || flag_wrong);
  }
};

// Reads the header of the table at path without opening it as a table. A structural
// index without the flag counts as wrong only for the CDX variant, which sets the flag;
// a flag without its index file is wrong for both.
TableHealth inspect_table(std::string_view path, Variant variant);

// Brings the header in line with the file: the record count of the whole records (a
// torn last record is cut off and the end marker written behind the last whole one),
// byte 28 as the structural index's presence demands. No other byte changes, and the
// table keeps its last-write time, so that its index does not look older than it
// afterwards. The file is held exclusively meanwhile: a table another program has open
// is left alone. True when the table is complete afterwards; nothing is raised.
bool repair_table(std::string_view path, Variant variant);

}  // namespace torvane::storage
