#pragma once
// File rules shared by the pool steps: which of two files is newer, the temporary name
// a file is built under before it is renamed into place and the removal of what a
// killed run left under such names, opening a pool table with a clear message instead
// of a failure dialog when it is damaged, lacks its ISBN field or is held by another
// program, and building its index.

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/run_config.h"
#include "storage/dbf_table.h"

namespace torvane::app {

// Newer(A, B): A's last-write instant is later, at the file system's full precision,
// so that a source changed in the same second as the file built from it still counts
// as newer. False when either time cannot be read.
bool newer(std::string_view a, std::string_view b);

// The name a file is built under beside its final name: "~" and the process number
// before the first point of the file-name part ("D:\DVD\POOL1.DBF" gives
// "D:\DVD\POOL1~4711.DBF"), so a table built there never meets the index files of the
// final name, and two processes never build under one name.
std::string build_name(std::string_view path);

// Whether `name`, a file-name part, is a build name of the file `path` in any process
// (its part before the first point, "~", one or more digits, then the rest of its
// name) or such a build name with one of `companions` ("cdx") as its extension.
// Letter case is ignored.
bool is_build_leftover(std::string_view name, std::string_view path, std::span<const std::string_view> companions);
// Deletes, with XDELETEFILE's lines, every file beside `path` that is_build_leftover
// names: what a killed run left. Nothing else is touched, and a build of another
// process that still runs is left alone.
void remove_build_leftovers(std::string_view path, std::span<const std::string_view> companions);
// The index and memo files a table build may leave beside its build name.
inline constexpr std::string_view kTableCompanions[] = {"cdx", "ntx", "fpt"};

// A table is built under its build name and renamed into place when complete, so a
// crash leaves the old table or the new one.
//
// begin_build creates and opens the table under `temporary` (the run's index variant
// and open mode), after removing what an earlier build left there; nullptr when that
// fails. finish_build closes it and renames it over `path`; when either fails, the
// build is removed and the result is false. With `older_than`, the build is dated
// before that file first (make_older_than), so that an incomplete build never passes
// for current, even when the run ends right after the rename. discard_build removes a
// build and the index a crash may have left beside it.
std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const RunConfig& config, std::string alias = {});
bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path,
                  std::string_view older_than = {});
void discard_build(const std::string& temporary);

// Gives `path` a last-write time one second before that of `reference`, so that the
// reference counts as newer on any file system's time grain. False when a time cannot
// be read or set.
bool make_older_than(std::string_view path, std::string_view reference);

// After an index build: an index that is older than its table by the table's own
// header write (the structural-index flag) gets the table's time, so that the next
// run does not take it as stale.
void keep_index_current(std::string_view table, std::string_view index);

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

// Open options of the pool phase: the run's index variant and open mode.
storage::OpenOptions pool_open_options(const RunConfig& config, std::string alias = {});

// Opens a table that is to be read for its ISBN field, mended first (mend_table) unless
// it is opened read-only. Prints "Error: Datei <path> konnte nicht geöffnet werden."
// when another program holds it, and a line of its own when the file is damaged,
// incomplete or has no ISBN field; nullptr then. With `quiet` nothing is printed but
// the lines of a mend.
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
