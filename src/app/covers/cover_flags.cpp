#include "app/covers/cover_flags.h"

#include <cstdio>

#include "app/console.h"
#include "app/covers/cover_tables.h"
#include "app/medium/file_times.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_entry_check.h"
#include "app/medium/pool_table_files.h"
#include "app/medium/report_lines.h"
#include "app/medium/table_open.h"
#include "files/ini_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

using storage::DbfTable;

constexpr int kLastListed = 9999;
constexpr int kLargestFlag = 99;  // COVER is numeric, two digits

struct FlagCounts {
  std::uint64_t found = 0, distinct = 0;
  std::string last_isbn;  // trailing blanks do not count in comparisons
};

std::string_view without_trailing_blanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The pool table in the run's index variant and open mode, its index attached or made.
std::unique_ptr<DbfTable> open_pool(const RunConfig& config) {
  const std::string table = pool_table_path(config.medium_root);
  const std::string index = pool_index_path(config.medium_root, config.index_mode);
  auto pool = open_pool_table(table, table_open_options(config.index_mode, config.exclusive, "POOL"));
  if (!pool) return nullptr;
  const bool attached = platform::file_exists(index) ? pool->add_index(index) : pool->create_index(index);
  if (!attached || pool->order() == 0) {
    pool->close();
    return nullptr;
  }
  return pool;
}

// One pass over the pool table for cover table n. The figure is made anew only when
// its percentage changes.
void flag_pass(DbfTable& pool, DbfTable& covers, int n, FlagCounts& counts, ProgressDisplay& progress) {
  KeyLookup cover_keys(covers);
  const std::uint64_t keys = pool.key_count();
  const std::uint64_t started_ms = platform::steady_milliseconds();
  std::uint64_t shown = 101;
  EscPoll esc;
  for (pool.go_top(); !pool.eof();) {
    const std::uint64_t done = pool.key_number();
    if (const std::uint64_t percent = whole_percent(done, keys); percent != shown) {
      shown = percent;
      const double seconds = static_cast<double>(platform::steady_milliseconds() - started_ms) / 1000.0;
      progress.show(flag_figure(n, done, keys, seconds));
    }
    // The whole field, blanks included: a blank ISBN is no prefix of every key.
    const std::string isbn = pool.text("ISBN");
    const std::string_view key = without_trailing_blanks(isbn);
    const bool new_isbn = key != counts.last_isbn;
    if (!key.empty() && cover_keys.contains(isbn)) {
      if (static_cast<long>(pool.number("COVER")) != n && pool.lock_record()) {
        pool.assign_number("COVER", n);
        if (pool.shared()) pool.unlock();
      }
      if (new_isbn) ++counts.found;
    }
    if (new_isbn) {
      counts.last_isbn = std::string(key);
      ++counts.distinct;
    }
    pool.skip();
    if (esc.pressed()) {
      XOUT("Manueller Abbruch - Bitte warten... ");
      break;
    }
  }
}

}  // namespace

std::string flag_figure(int table, std::uint64_t done, std::uint64_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  const int width = static_cast<int>(std::to_string(total).size());
  char figure[160];
  std::snprintf(figure, sizeof figure, "Cover-Tabelle %d: %*llu/%llu Eintr\xE4ge, %9.1f/s, noch %8s, %3llu", table,
                width, static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), rate,
                time_left(done, total, seconds).c_str(), static_cast<unsigned long long>(whole_percent(done, total)));
  return figure;
}

void update_cover_flags(const RunConfig& config) {
  const std::string pool_path = pool_table_path(config.medium_root);
  if (!platform::file_exists(pool_path)) {
    XOUT("Error: Datei " + pool_path + " nicht vorhanden!");
    return;
  }
  // The flags change no key, so an index that is current now stays current: it gets the
  // table's new time afterwards, and the next run does not take it as stale.
  const std::string pool_index = pool_index_path(config.medium_root, config.index_mode);
  const bool index_current = !platform::file_exists(pool_index) || !newer(pool_path, pool_index);
  const files::TIni ini(pool_ini_path(config.medium_root));
  XOUT();
  console_line("Aktualisiere pool.dbf... ");
  ProgressDisplay progress;
  FlagCounts counts;

  auto pool = open_pool(config);
  if (!pool) return;
  for (int n = 1; n <= kLastListed; ++n) {
    const std::string entry(text::trim(ini.Get("Cover", std::to_string(n), "").text()));
    if (entry.empty()) break;
    if (n > kLargestFlag) {
      XOUT("Warnung: Cover-Eintr\xE4ge ab " + std::to_string(n) + " in " + ini.cFileName +
           " passen nicht in das Feld COVER und werden \xFC" "bersprungen.");
      break;
    }
    const std::string path = config.medium_root + entry;
    const std::string problem = outside_problem({ini.cFileName, config.medium_root}, "Cover", std::to_string(n), entry,
                                                touched_files(path, FileRole::cover_table));
    if (!problem.empty()) {
      XOUT(problem);
      continue;
    }
    if (!platform::file_exists(path)) continue;
    auto covers = open_keyed_table(path, CoverTable::cover, cover_open_options(config.exclusive, "COVER"));
    if (!covers) continue;
    flag_pass(*pool, *covers, n, counts, progress);
    covers->close();
  }

  const std::uint64_t records = pool->record_count();
  XOUT();
  XOUT(statistics_line("Eintr\xE4ge in pool.dbf", records));
  XOUT(statistics_line(" davon verschieden", counts.distinct) + percent_suffix(counts.distinct, records));
  XOUT(statistics_line("    davon gefunden", counts.found) + percent_suffix(counts.found, counts.distinct));
  pool->close();
  if (index_current) keep_index_current(pool_path, pool_index);
}

void cover_flags(PhaseContext& context) { update_cover_flags(context.config); }

}  // namespace torvane::app
