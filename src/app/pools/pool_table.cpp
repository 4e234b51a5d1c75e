#include "app/pools/pool_table.h"

#include <array>

#include "app/console.h"
#include "app/medium/file_times.h"
#include "app/medium/mab_record.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_table_files.h"
#include "app/medium/table_builds.h"
#include "app/medium/table_health.h"
#include "app/medium/table_open.h"
#include "app/run_record.h"
#include "platform/fs.h"
#include "storage/dbf_table.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

const std::array<storage::FieldSpec, 3> kSchema = {{
    {"ISBN", 'C', 13, 0},
    {"POOL", 'N', 4, 0},
    {"COVER", 'N', 2, 0},
}};

// Appends the rows of one pool's position table.
void import_pool(storage::DbfTable& pool, storage::DbfTable& imp, int number, std::uint64_t& rows) {
  imp.set_order(0);  // record order, whatever index came with the table
  for (imp.go_top(); !imp.eof(); imp.skip()) {
    const std::string isbn = imp.text("ISBN");
    if (text::trim(isbn).empty()) continue;
    if (!pool.append()) continue;  // a lock or network failure drops the row
    ++rows;
    pool.assign("ISBN", isbn_key_of(text::upper(isbn)));
    pool.assign_number("POOL", number);
    if (pool.shared()) pool.unlock();
  }
}

// Builds the pool table under its temporary name and renames it into place.
bool build_table(const RunConfig& config, std::string_view ini_path, const std::string& path, std::uint64_t& rows) {
  const std::string temporary = build_name(path);
  auto pool = begin_build(temporary, kSchema, table_open_options(config.index_mode, config.exclusive, "POOL"));
  if (!pool) return false;
  for_each_pool(ini_path, kPoolImportLimit, [&](int number, const std::string& section) {
    const PoolImport named = pool_import(ini_path, number, section, config.medium_root, config.index_mode);
    if (!named.problem.empty()) XOUT(named.problem);
    const std::string& table = named.path;
    if (table.empty()) return;
    if (!platform::file_exists(table)) {
      XOUT("Error: Datei " + table + " nicht gefunden.");
      return;
    }
    auto imp = open_pool_table(table, table_open_options(config.index_mode, config.exclusive, "IMP"));
    if (!imp) return;
    console_line("Importiere Daten aus Pool " + section + "...");
    import_pool(*pool, *imp, number, rows);
    imp->close();
  });
  return finish_build(std::move(pool), temporary, path);
}

// Whether POOL.INI or the position table of some pool of the catalogue is newer than
// the pool table: decided from the files alone, so that a run that ended after
// rebuilding a pool's table, before the pool table, is made good by the next one.
bool sources_newer(const RunConfig& config, std::string_view ini_path, const std::string& path) {
  bool stale = newer(ini_path, path);
  for_each_pool(ini_path, kPoolImportLimit, [&](int number, const std::string& section) {
    if (stale) return;
    const std::string table = pool_import(ini_path, number, section, config.medium_root, config.index_mode).path;
    stale = !table.empty() && newer(table, path);
  });
  return stale;
}

}  // namespace

const char* pool_table_staleness_name(PoolTableStaleness staleness) {
  switch (staleness) {
    case PoolTableStaleness::current: return "current";
    case PoolTableStaleness::missing: return "missing";
    case PoolTableStaleness::sources_newer: return "POOL.INI or a position table newer";
    case PoolTableStaleness::incomplete: return "incomplete";
  }
  return "";
}

const char* pool_table_staleness_text(PoolTableStaleness staleness) {
  switch (staleness) {
    case PoolTableStaleness::current: return "aktuell";
    case PoolTableStaleness::missing: return "fehlt";
    case PoolTableStaleness::sources_newer: return "POOL.INI oder eine Positionstabelle neuer";
    case PoolTableStaleness::incomplete: return "unvollst\xE4ndig";
  }
  return "";
}

PoolTableStaleness pool_table_staleness(const RunConfig& config, std::string_view ini_path) {
  const std::string table = pool_table_path(config.medium_root);
  if (!platform::file_exists(table)) return PoolTableStaleness::missing;
  if (sources_newer(config, ini_path, table)) return PoolTableStaleness::sources_newer;
  if (table_shape(table) == TableShape::incomplete) return PoolTableStaleness::incomplete;
  return PoolTableStaleness::current;
}

void build_pool_table(const RunConfig& config, std::string_view ini_path) {
  const std::string table = pool_table_path(config.medium_root);
  const std::string index = pool_index_path(config.medium_root, config.index_mode);
  remove_build_leftovers(table, kTableCompanions);
  const PoolTableStaleness staleness = pool_table_staleness(config, ini_path);
  if (staleness != PoolTableStaleness::missing) {
    if (platform::file_exists(index) && newer(table, index)) XDELETEFILE(index);
    if (staleness == PoolTableStaleness::incomplete)
      XOUT("Warnung: Datei " + table + " ist unvollst\xE4ndig und wird neu angelegt.");
    if (staleness == PoolTableStaleness::current) {
      mend_table(table, config.index_mode);
    } else {
      XDELETEFILE(table);
    }
  }

  if (!platform::file_exists(table)) {
    XOUT("Datei " + table + " anlegen...");
    std::uint64_t rows = 0;
    if (build_table(config, ini_path, table, rows) && platform::file_exists(table)) {
      record_file(FileAction::built, table, pool_table_staleness_name(staleness), rows);
      XOUT("Datei " + table + " wurde angelegt.");
      XDELETEFILE(index);
    } else {
      XOUT("Error: Datei " + table + " wurde nicht angelegt.");
    }
  }

  if (platform::file_exists(table) && !platform::file_exists(index))
    build_pool_index(table, index, table_open_options(config.index_mode, config.exclusive, "POOL"));
}

}  // namespace torvane::app
