#include "app/covers/cover_plan.h"

#include <cstdint>
#include <string>
#include <unordered_set>

#include "app/console.h"
#include "app/covers/cover_tables.h"
#include "app/covers/key_map.h"
#include "app/medium/cover_table_files.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_table_files.h"
#include "app/medium/report_lines.h"
#include "app/medium/table_open.h"
#include "files/paths.h"
#include "platform/fs.h"

namespace torvane::app {
namespace {

storage::OpenOptions reading(const char* alias) {
  return cover_open_options(false, alias, true);
}

// The keys of a table's ISBN field in record order; an empty map when the table is
// missing or cannot be read.
IsbnKeyMap keys_of(const std::string& path, const char* alias) {
  IsbnKeyMap keys;
  if (!platform::file_exists(path)) return keys;
  auto table = open_pool_table(path, reading(alias), true);
  if (!table) return keys;
  table->set_order(0);
  for (table->go_top(); !table->eof(); table->skip()) keys.insert(table->text("ISBN"));
  table->close();
  return keys;
}

struct Lacking {
  std::uint64_t titles = 0;       // distinct keys of the pool table without a cover
  std::uint64_t from_import = 0;  // of those, in the import table
  std::uint64_t not_found = 0;    // of the rest, in the not-found table
};

Lacking count_lacking(const RunConfig& config) {
  const IsbnKeyMap covers = keys_of(config.cover_dbf, "COVER");
  const auto not_found_table = existing_not_found_table(config, files::I_EXENAME());
  const IsbnKeyMap not_found = not_found_table ? keys_of(*not_found_table, "NOTFOUND") : IsbnKeyMap();
  const IsbnKeyMap imported = config.cover_import_dbf.empty() ? IsbnKeyMap() : keys_of(config.cover_import_dbf, "TMPCOVER");
  Lacking lacking;
  auto pool = open_pool_table(pool_table_path(config.medium_root), reading("POOL"), true);
  if (!pool) return lacking;
  std::unordered_set<std::string> seen;
  pool->set_order(0);
  for (pool->go_top(); !pool->eof(); pool->skip()) {
    const std::string key = pool->text("ISBN");
    if (covers.contains(key) || !seen.insert(key).second) continue;
    ++lacking.titles;
    if (imported.contains(key)) {
      ++lacking.from_import;
    } else if (not_found.contains(key)) {
      ++lacking.not_found;
    }
  }
  pool->close();
  return lacking;
}

}  // namespace

void plan_pool_table_check(PhaseContext& context) {
  const RunConfig& config = context.config;
  const std::string path = pool_table_path(config.medium_root);
  const bool built_before = config.check && platform::file_exists(pool_ini_path(config.medium_root));
  context.pool_table_present = platform::file_exists(path) || built_before;
  if (!context.pool_table_present) console_line("Error: Datei " + path + " nicht vorhanden!");
}

void plan_cover_phase(PhaseContext& context) {
  const RunConfig& config = context.config;
  if (!platform::file_exists(pool_table_path(config.medium_root))) {
    console_line("Die Titel ohne Cover werden gez\xE4hlt, sobald pool.dbf angelegt ist.");
    return;
  }
  const Lacking lacking = count_lacking(config);
  console_line(statistics_line("Titel ohne Cover", lacking.titles));
  if (!config.cover_import_dbf.empty()) console_line(statistics_line("  davon in der Importtabelle", lacking.from_import));
  const std::uint64_t rest = lacking.titles - lacking.from_import - lacking.not_found;
  if (config.internet) console_line(statistics_line("  davon im Internet zu suchen", rest));
}

void plan_cover_flags(PhaseContext& context) {
  console_line("Die Cover-Kennzeichen in " + pool_table_path(context.config.medium_root) + " w\xFCrden neu gesetzt.");
}

}  // namespace torvane::app
