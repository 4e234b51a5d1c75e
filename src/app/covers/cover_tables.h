#pragma once
// The tables of the cover phases. All of them use the CDX driver; the index file is
// the table's path before the first point of its file name + ".cdx", one order on ISBN.
//
//   table            file                 fields                        opened
//   cover table      `CoverDBF`           ISBN C13, COVER M10 (+ .fpt)  open mode
//   not-found table  notfound.dbf         ISBN C13                      open mode
//   import table     `CoverImportDBF`     at least ISBN C, COVER M      read only, as TMPCOVER
//
// A cover or not-found index that is not sound or does not hold one key per record (a
// run killed while or before its index pages were written) is rebuilt when a run opens
// the table while no other program has it open (in either open mode), with one
// "Warnung: " line, so a title with a cover is never given a second one and a kill
// never fails every later run.
//
// Both tables are created complete under a build name ("cover~4711.dbf" with its
// .fpt and .cdx) and renamed into place, the table last, so that the table under its
// final name always has its memo file and index. One found incomplete all the same (a
// run killed before this was so, or a table copied in part) is made usable again
// before it is used, with one "Warnung: " line.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/covers/key_map.h"
#include "app/medium/cover_table_files.h"
#include "app/run_config.h"
#include "storage/dbf_table.h"

namespace torvane::app {

enum class CoverTable { cover, not_found };

// Creates the table, empty and complete: built with its memo file and index under its
// build name and renamed into place, the companions first and the table last. What a
// killed run left under build names of the table goes first, as do a memo or index
// file of the final name without its table. The index is built in the given open mode.
// False when it failed; nothing is then left under the final names.
bool create_cover_table(std::string_view path, bool shared = false);
bool create_not_found_table(std::string_view path, bool shared = false);

// Makes a table that a killed run left incomplete usable again, with one "Warnung: "
// line: one too short for its header, or without its memo file, is made anew and
// empty (the images of a cover table are lost with its memo file); one whose header
// disagrees with its records or with its index file is mended in place. A missing
// file, or one that is no table at all, is left to the caller, which reports it. False
// when the table could not be made anew.
bool restore_cover_table(std::string_view path, CoverTable kind, bool shared = false);

// CDX variant and the run's open mode.
storage::OpenOptions cover_open_options(bool exclusive, std::string alias, bool read_only = false);

// A table searched through its ISBN order, restored first when it is incomplete
// (restore_cover_table), its CDX file checked page by page and dropped when it is not
// sound: attaches the CDX file or creates it when it is missing, and rebuilds it when
// its keys do not match the records one for one. Prints "Error: Datei
// <path> ist beschädigt." (or "hat kein Feld ISBN.", "konnte nicht geöffnet werden.")
// and gives nullptr when the table cannot be used.
std::unique_ptr<storage::DbfTable> open_keyed_table(std::string_view path, CoverTable kind,
                                                    const storage::OpenOptions& options);

// Whether a key is in a cover or not-found table. A table this run holds exclusively is
// read once in record order and its keys kept in memory, together with the keys the
// phase appends, so a look-up costs neither an index search nor a record read; a shared
// table, which other programs may extend meanwhile, is searched through its index.
class KeyLookup {
 public:
  explicit KeyLookup(storage::DbfTable& table);
  bool contains(const std::string& key);
  void added(const std::string& key);

 private:
  storage::DbfTable& table_;
  std::optional<IsbnKeyMap> keys_;
};

// Before the cover phase: a cover or not-found table that is incomplete is restored
// (restore_cover_table), and one without its CDX file gets one.
void repair_cover_indexes(const RunConfig& config, std::string_view executable);

// The import table of covers, searched by ISBN through its own first order when that
// is keyed on ISBN and complete, else through a key list built in memory for the run.
// A table held exclusively is read once in record order, and a whole 13-byte ISBN is
// then found without an index search.
// The table is never changed.
class ImportTable {
 public:
  // Prints one "Error: " line and gives nullptr when the table is missing or unusable.
  static std::unique_ptr<ImportTable> open(const std::string& path, bool exclusive);

  // Positions on the first record whose ISBN begins with value; true when there is one.
  bool find(std::string_view value);
  // The COVER of the record found; nullopt when it cannot be read.
  std::optional<std::string> cover();
  bool close() { return table_->close(); }

 private:
  explicit ImportTable(std::unique_ptr<storage::DbfTable> table) : table_(std::move(table)) {}
  void read_keys();

  std::unique_ptr<storage::DbfTable> table_;
  // Without a usable index: every key with its first record, for prefix searches.
  std::optional<std::map<std::string, std::uint32_t, std::less<>>> keys_;
  // Held exclusively with a 13-byte ISBN: the same for whole keys, looked up by hash.
  std::optional<IsbnKeyMap> records_;
};

}  // namespace torvane::app
