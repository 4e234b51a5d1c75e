#pragma once
// File rules shared by the pool steps: which of two files is newer, the temporary name
// a file is built under before it is renamed into place, opening a pool table with a
// clear message instead of a failure dialog when it is damaged, lacks its ISBN field
// or is held by another program, and building its index.

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/run_config.h"
#include "storage/dbf_table.h"

namespace torvane::app {

// Newer(A, B): A's last-write date is later, or the dates are equal and A's time of
// day (local, to the second) is later. False when either time cannot be read.
bool newer(std::string_view a, std::string_view b);

// The name a file is built under beside its final name: "~" before the first point of
// the file-name part ("D:\DVD\POOL1.DBF" gives "D:\DVD\POOL1~.DBF"), so a table built
// there never meets the index files of the final name.
std::string build_name(std::string_view path);

// A table is built under its build name and renamed into place when complete, so a
// crash leaves the old table or the new one.
//
// begin_build creates and opens the table under `temporary` (the run's index variant
// and open mode), after removing what an earlier build left there; nullptr when that
// fails. finish_build closes it and renames it over `path`; when either fails, the
// build is removed and the result is false. discard_build removes a build and the
// index a crash may have left beside it.
std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const RunConfig& config, std::string alias = {});
bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path);
void discard_build(const std::string& temporary);

// Gives `path` a last-write time one second before that of `reference`, so that the
// reference counts as newer. False when a time cannot be read or set.
bool make_older_than(std::string_view path, std::string_view reference);

// After an index build: an index that is older than its table by the table's own
// header write (the structural-index flag) gets the table's time, so that the next
// run does not take it as stale.
void keep_index_current(std::string_view table, std::string_view index);

// What the header of a table file says about it as a pool table.
enum class TableShape {
  unreadable,     // no file, or it cannot be read
  damaged,        // header or field descriptors do not describe a table
  no_isbn_field,  // a table without a character field ISBN
  isbn_table,     // has the ISBN field
  position_table  // ISBN C13, HEADER C24, POSITION N9
};
TableShape table_shape(std::string_view path);

// Open options of the pool phase: the run's index variant and open mode.
storage::OpenOptions pool_open_options(const RunConfig& config, std::string alias = {});

// Opens a table that is to be read for its ISBN field. Prints "Error: Datei <path>
// konnte nicht geöffnet werden." when another program holds it, and a line of its own
// when the file is damaged or has no ISBN field; nullptr then. With `quiet` nothing is
// printed.
std::unique_ptr<storage::DbfTable> open_pool_table(std::string_view path, const storage::OpenOptions& options,
                                                   bool quiet = false);

// Opens the table, creates its index on ISBN at index_path, closes the table and keeps
// the index current (keep_index_current). With `quiet` nothing is printed.
void make_pool_index(std::string_view table, std::string_view index, const storage::OpenOptions& options,
                     bool quiet = false);
// make_pool_index between "Datei <index> anlegen..." and "Datei <index> wurde
// angelegt." (or "Error: Datei <index> wurde nicht angelegt."); true when the index
// file exists afterwards.
bool build_pool_index(std::string_view table, std::string_view index, const storage::OpenOptions& options);

}  // namespace torvane::app
