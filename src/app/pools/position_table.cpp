#include "app/pools/position_table.h"

#include <array>
#include <cstdio>

#include "app/console.h"
#include "app/medium/file_times.h"
#include "app/medium/report_lines.h"
#include "app/medium/mab_record.h"
#include "app/medium/table_builds.h"
#include "app/medium/table_health.h"
#include "app/medium/table_open.h"
#include "app/pools/mab_stream.h"
#include "app/run_record.h"
#include "files/paths.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "storage/dbf_table.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

const std::array<storage::FieldSpec, 3> kSchema = {{
    {"ISBN", 'C', 13, 0},
    {"HEADER", 'C', 24, 0},
    {"POSITION", 'N', 9, 0},
}};

// The whole-number percentage of the file read, as the progress figure shows it.
int percent_read(std::uint64_t offset, std::uint64_t size) {
  return size == 0 ? 100 : static_cast<int>(offset * 100 / size);
}

constexpr double kMegabyte = 1024.0 * 1024.0;

enum class Build { created, cut_short, failed };

constexpr std::uint64_t kPollLines = 128;

// Builds the table under its temporary name from one pass over the MAB2 file and
// renames it into place. Prints the lines of the build except the closing ones.
Build build_table(const PoolEntry& entry, storage::Variant index_mode, bool exclusive, std::uint64_t& rows) {
  ProgressDisplay progress;
  MabLineScanner reader(entry.mab_path);
  if (!reader.is_open()) {
    XOUT("Error: Datei " + entry.mab_path + " konnte nicht gelesen werden.");
    return Build::failed;
  }
  const std::string temporary = build_name(entry.table_path);
  auto table = begin_build(temporary, kSchema, table_open_options(index_mode, exclusive));
  if (!table) return Build::failed;

  bool beyond_limit = false;
  PositionScan scan([&](const PositionRow& row) {
    if (row.position > kMaxPosition) {
      beyond_limit = true;
      return;
    }
    record_scanned_number(row.key);
    if (!table->append()) return;  // a lock or network failure drops the row
    ++rows;
    table->assign("ISBN", row.key);
    table->assign("HEADER", row.label);
    table->assign_number("POSITION", static_cast<double>(row.position));
    if (table->shared()) table->unlock();
  });

  bool cut_short = false;
  int shown = -1;
  const std::uint64_t started_ms = platform::steady_milliseconds();
  std::uint64_t next_figure_at = 0;
  EscPoll esc;
  std::uint64_t lines = 0;
  while (reader.next()) {
    scan.line(reader.head(), reader.offset());
    if (scan.pending_position() > kMaxPosition) {
      beyond_limit = true;  // every later record lies beyond as well
      break;
    }
    if (reader.offset() >= next_figure_at) {  // a division only when the figure changes
      shown = percent_read(reader.offset(), reader.size());
      next_figure_at = reader.size() / 100 * static_cast<std::uint64_t>(shown + 1) +
                       reader.size() % 100 * static_cast<std::uint64_t>(shown + 1) / 100;
      const double seconds = static_cast<double>(platform::steady_milliseconds() - started_ms) / 1000.0;
      progress.show(scan_figure(reader.offset(), reader.size(), seconds));
    }
    // The first line polls, then every kPollLines lines: a poll reads the clock.
    if ((lines++ % kPollLines) == 0 && esc.pressed()) {
      XOUT("Manueller Abbruch - Bitte warten... ");
      cut_short = true;
      break;
    }
  }
  if (reader.failed()) {
    table->close();
    discard_build(temporary);
    XOUT("Error: Datei " + entry.mab_path + " konnte nicht gelesen werden.");
    return Build::failed;
  }
  if (!cut_short && !beyond_limit && shown != 100) {
    const double seconds = static_cast<double>(platform::steady_milliseconds() - started_ms) / 1000.0;
    progress.show(scan_figure(reader.size(), reader.size(), seconds));
  }
  scan.finish();
  if (beyond_limit) {
    XOUT("Warnung: Datei " + entry.mab_path + " ist gr\xF6\xDF" "er als " + std::to_string(kMaxPosition) +
         " Bytes: Datens\xE4tze ab dieser Position fehlen in " + entry.table_path + ".");
  }
  // A table cut short takes its place already dated before its MAB2 file.
  if (!finish_build(std::move(table), temporary, entry.table_path, cut_short ? entry.mab_path : std::string_view{}))
    return Build::failed;
  return cut_short ? Build::cut_short : Build::created;
}

}  // namespace

// ---- The scan ----------------------------------------------------------------------

std::string scan_figure(std::uint64_t offset, std::uint64_t size, double seconds) {
  const double done = static_cast<double>(offset) / kMegabyte;
  const double rate = seconds > 0 ? done / seconds : 0.0;
  char figure[120];
  std::snprintf(figure, sizeof figure, "%.1f/%.1f MB, %.1f MB/s, noch %8s, %3d", done,
                static_cast<double>(size) / kMegabyte, rate, time_left(offset, size, seconds).c_str(),
                percent_read(offset, size));
  return figure;
}

void PositionScan::line(std::string_view text, std::uint64_t offset) {
  const std::string_view t = text::trim(text.substr(0, kScannedLineBytes));
  if (t.empty()) return;
  if ((t.front() == '#' || t.front() == '*') && is_header_line(t)) {
    if (label_.empty()) assign_label(label_, t);  // numbers before the first header line
    emit_pending();
    position_ = offset;
    assign_label(label_, t);
  } else if (t.front() == '5') {
    if (auto number = number_of(t)) number_ = std::move(*number);
  }
}

void PositionScan::emit_pending() {
  if (number_.empty() || label_.empty()) return;
  row_.key = isbn_key_of(number_);
  if (!row_.key.empty()) {
    row_.label = label_;
    row_.position = position_;
    emit_(row_);
  }
  number_.clear();
  label_.clear();
}

// ---- The step ----------------------------------------------------------------------

const char* position_table_staleness_name(PositionTableStaleness staleness) {
  switch (staleness) {
    case PositionTableStaleness::current: return "current";
    case PositionTableStaleness::missing: return "missing";
    case PositionTableStaleness::source_newer: return "MAB2 file newer";
    case PositionTableStaleness::incomplete: return "incomplete";
    case PositionTableStaleness::not_a_position_table: return "not a position table";
  }
  return "";
}

const char* position_table_staleness_text(PositionTableStaleness staleness) {
  switch (staleness) {
    case PositionTableStaleness::current: return "aktuell";
    case PositionTableStaleness::missing: return "fehlt";
    case PositionTableStaleness::source_newer: return "MAB2-Datei neuer";
    case PositionTableStaleness::incomplete: return "unvollst\xE4ndig";
    case PositionTableStaleness::not_a_position_table: return "keine ISBN-Tabelle";
  }
  return "";
}

PositionTableStaleness position_table_staleness(const PoolEntry& entry) {
  if (!platform::file_exists(entry.table_path)) return PositionTableStaleness::missing;
  if (newer(entry.mab_path, entry.table_path)) return PositionTableStaleness::source_newer;
  const TableShape shape = table_shape(entry.table_path);
  if (shape == TableShape::incomplete) return PositionTableStaleness::incomplete;
  if (shape != TableShape::position_table && shape != TableShape::unreadable) return PositionTableStaleness::not_a_position_table;
  return PositionTableStaleness::current;
}

void update_position_table(const PoolEntry& entry, storage::Variant index_mode, bool exclusive) {
  const std::string& table = entry.table_path;
  const std::string& index = entry.index_path;
  XDELETEFILE(files::CFILENOEXT(table) + ".DBU");

  const PositionTableStaleness staleness = position_table_staleness(entry);
  if (staleness == PositionTableStaleness::missing) {
    XDELETEFILE(index);
  } else {
    if (platform::file_exists(index) && newer(table, index)) XDELETEFILE(index);
    if (staleness == PositionTableStaleness::incomplete)
      XOUT("Warnung: Datei " + table + " ist unvollst\xE4ndig und wird neu angelegt.");
    if (staleness == PositionTableStaleness::not_a_position_table)
      XOUT("Warnung: Datei " + table + " ist keine g\xFCltige ISBN-Tabelle und wird neu angelegt.");
    if (staleness == PositionTableStaleness::current) {
      mend_table(table, index_mode);
    } else {
      XDELETEFILE(table);
    }
  }

  bool cut_short = false;
  if (!platform::file_exists(table)) {
    XOUT("Datei " + table + " anlegen...");
    std::uint64_t rows = 0;
    const Build built = build_table(entry, index_mode, exclusive, rows);
    cut_short = built == Build::cut_short;
    if (built != Build::failed && platform::file_exists(table)) {
      const std::string reason = position_table_staleness_name(staleness);
      record_file(FileAction::built, table, cut_short ? reason + ", cut short by Esc" : reason, rows);
      XOUT("Datei " + table + " wurde angelegt.");
      XDELETEFILE(index);
    } else {
      XOUT("Error: Datei " + table + " wurde nicht angelegt.");
    }
  }

  if (platform::file_exists(table) && !platform::file_exists(index))
    build_pool_index(table, index, table_open_options(index_mode, exclusive));

  // A table cut short by Esc serves this run, but must not pass for current later: the
  // index build may have dated it anew when it wrote the table's header.
  if (cut_short && platform::file_exists(table)) {
    make_older_than(table, entry.mab_path);
    XOUT("Warnung: Datei " + table + " ist unvollst\xE4ndig und wird beim n\xE4" "chsten Lauf neu angelegt.");
  }
}

}  // namespace torvane::app
