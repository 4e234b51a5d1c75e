#pragma once
// The checks every path from POOL.INI passes before anything is read, created, renamed
// or deleted through it. The catalogue comes with the medium, from a data supplier, and
// the program often runs with an administrator's rights, so a catalogue must never
// reach outside the medium root nor turn one pool's data into another pool's table:
//
//   - the entry's value is a relative path that stays below the medium root as text:
//     no leading "\" or "/", no drive or stream (":"), no ".." above the root;
//   - the file and every file derived from it (temporary names, backups, memo and
//     index files beside it) lead to a place inside the medium root once every
//     symbolic link on the way is followed;
//   - a table or index name of a pool is not a file of another kind: POOL.INI, the
//     pool table, a pool's MAB2 file, another pool's table or index; and an existing
//     file under it at least starts like a table (an index) of the expected kind.
//
// Each check gives the "Error: " line that names the POOL.INI section and entry, or ""
// when the path may be used.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_error.h"

namespace torvane::app {

// What a POOL.INI value looks like as a path below the medium root, by text alone.
enum class ValueShape { relative, absolute, drive, climbs_out };
ValueShape value_shape(std::string_view value);

// Whether `path` leads to a place strictly below the medium root, links followed.
bool inside_medium(std::string_view path, std::string_view medium_root);

// Where a message points the reader: the catalogue and its medium root.
struct CatalogueContext {
  std::string ini_path;
  std::string medium_root;
};

// The "Error: " line for an entry whose value or files lead outside the medium, or
// "". `files` are the entry's file and what the program derives from it; an empty
// `value` (a name derived from another entry, checked there) skips the text check.
std::string outside_problem(const CatalogueContext& context, std::string_view section, std::string_view key,
                            std::string_view value, std::span<const std::string> files);

// One file of a pool and the POOL.INI entry its name comes from; `value` is empty for
// a name derived from another file of the pool.
struct PoolFile {
  std::string path;
  std::string key;
  std::string value;
};

// The three files of one pool as the catalogue names them (an empty path when the
// catalogue names none).
struct PoolFiles {
  int number = 0;
  std::string section;
  PoolFile mab, table, index;
};

// The check of one pool of the per-pool steps against the catalogue (every pool it
// lists, this one included): containment of its files and of what is derived from
// them, then the table and index names. "" when the pool may be handled.
std::string pool_files_problem(const CatalogueContext& context, const PoolFiles& pool,
                               std::span<const PoolFiles> catalogue, storage::Variant index_mode);

// A file of a pool and the files the pool steps derive from it: for the MAB2 file its
// backups and filtered copy, for the table its build name and the files a build or an
// open makes or removes beside it, for the index its build name. A cover table of the
// `Cover` section comes with its index and memo file.
enum class FileRole { mab, table, index, cover_table };
// A MAB2 file keeps up to this many backups, .BK1 to .BK9, before it is filtered.
inline constexpr int kMabBackups = 9;
// Backup n of a MAB2 file: its name cut before the first point + ".BK" + n.
std::string backup_name(std::string_view mab_path, int n);
std::vector<std::string> touched_files(std::string_view path, FileRole role);

// What an existing file under a table or index name is. An empty or missing file
// holds nothing and may be replaced.
bool replaceable_as_table(std::string_view path);
bool replaceable_as_index(std::string_view path, storage::Variant index_mode);

}  // namespace torvane::app
