#pragma once
// The pool catalogue "POOL.INI" of the medium root and the name rules of its pools.
//
//   [Pool]        1=<section>, 2=<section>, ... in catalogue order; the list ends at the
//                 first number without a value
//   [<section>]   Name, File (or MABFile), DBFFile, CDXFile, NTXFile; paths relative to
//                 the medium root, appended to it as they are
//
// Every lookup goes through the INI reader (which keeps the parsed file), so the
// catalogue holds no state of its own. Every path it hands out has passed the checks
// of pool_entry_check.h; a pool whose paths fail them is left out with one line.

#include <functional>
#include <string>
#include <string_view>

#include "storage/storage_error.h"

namespace torvane::app {

// The per-pool steps see pools 1 to 99, the pool table import 1 to 9999.
constexpr int kPoolStepLimit = 99;
constexpr int kPoolImportLimit = 9999;

// The catalogue's path: medium root + "POOL.INI".
std::string pool_ini_path(std::string_view medium_root);

// Calls visit(number, section) for n = 1, 2, ... up to limit, ending at the first
// number whose value in [Pool] is empty.
void for_each_pool(std::string_view ini_path, int limit,
                   const std::function<void(int number, const std::string& section)>& visit);

// What the per-pool steps need of one pool, and why a pool is left out: no `Name`, no
// MAB2 file entry, or a path that must not be used (`problem` is its "Error: " line).
struct PoolEntry {
  enum class Status { ok, no_name, no_mab_file, rejected };
  Status status = Status::ok;
  int number = 0;
  std::string section;
  std::string mab_path;
  std::string table_path;
  std::string index_path;
  std::string problem;
};

// Name resolution for the per-pool steps.
PoolEntry resolve_pool(std::string_view ini_path, int number, const std::string& section,
                       std::string_view medium_root, storage::Variant index_mode);

// The table the pool table import reads for a pool: `DBFFile`, else `File` without
// extension + ".dbf", else none (the pool is left out without a line). A pool that
// the per-pool steps rejected is left out as well, without a second line; a path
// that leads outside the medium is left out with `problem`.
struct PoolImport {
  std::string path;  // "" when the pool is left out
  std::string problem;
};
PoolImport pool_import(std::string_view ini_path, int number, const std::string& section,
                         std::string_view medium_root, storage::Variant index_mode);

// "cdx" or "ntx".
std::string_view index_extension(storage::Variant index_mode);

// Whether `PoolFilter` selects the section: ";" + SECTION + ";" occurs in
// ";" + FILTER + ";", letter case ignored, blanks belonging to the names.
bool pool_selected(std::string_view section, std::string_view pool_filter);

}  // namespace torvane::app
