#pragma once
// Opening a table that is read for its ISBN field, with a clear message instead of a
// failure dialog when it is damaged, lacks its ISBN field or is held by another
// program, and building its index on ISBN.

#include <memory>
#include <string>
#include <string_view>

#include "app/medium/table_health.h"
#include "storage/dbf_table.h"

namespace torvane::app {

// Open options of the run's tables: its index variant and open mode (`Exklusive`).
storage::OpenOptions table_open_options(storage::Variant index_mode, bool exclusive, std::string alias = {});

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
