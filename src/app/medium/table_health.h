#pragma once
// What a table file's header says about it as a table of ISBNs, and the mending of
// what a killed run leaves in a table's header.

#include <string_view>

#include "storage/storage_error.h"

namespace torvane::app {

// What the header of a table file says about it as a pool table.
enum class TableShape {
  unreadable,     // no file, or it cannot be read
  damaged,        // header or field descriptors do not describe a table, or no table at all
  incomplete,     // a table cut short (empty, or shorter than its header) or without its memo file
  no_isbn_field,  // a table without a character field ISBN
  isbn_table,     // has the ISBN field
  position_table  // ISBN C13, HEADER C24, POSITION N9
};
TableShape table_shape(std::string_view path);

// Mends in place what a run killed while writing a table leaves in its header (record
// count, a torn last record, the structural-index flag; storage::repair_table), with
// the line "Warnung: Datei <path> war unvollständig geschrieben und wurde repariert."
// or, when that cannot be done, "Error: Datei <path> konnte nicht repariert werden.".
// A flag left without its index file alone is no reason: the index build that follows
// wherever an index is missing sets it right. Nothing happens to, and nothing is
// printed for, any other file.
void mend_table(std::string_view path, storage::Variant variant);

}  // namespace torvane::app
