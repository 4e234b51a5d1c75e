#include "app/pools/position_table.h"

#include <array>

#include "app/console.h"
#include "app/medium/file_times.h"
#include "app/medium/table_builds.h"
#include "app/medium/table_health.h"
#include "app/medium/table_open.h"
#include "app/pools/mab_record.h"
#include "app/pools/mab_stream.h"
#include "files/paths.h"
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

enum class Build { created, cut_short, failed };

constexpr std::uint64_t kPollLines = 128;

// Builds the table under its temporary name from one pass over the MAB2 file and
// renames it into place. Prints the lines of the build except the closing ones.
Build build_table(const PoolEntry& entry, storage::Variant index_mode, bool exclusive) {
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
    if (!table->append()) return;  // a lock or network failure drops the row
    table->assign("ISBN", row.key);
    table->assign("HEADER", row.label);
    table->assign_number("POSITION", static_cast<double>(row.position));
    if (table->shared()) table->unlock();
  });

  bool cut_short = false;
  int shown = -1;
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
      progress.show(std::to_string(shown));
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
  if (!cut_short && !beyond_limit && shown != 100) progress.show("100");
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

void update_position_table(const PoolEntry& entry, storage::Variant index_mode, bool exclusive) {
  const std::string& table = entry.table_path;
  const std::string& index = entry.index_path;
  XDELETEFILE(files::CFILENOEXT(table) + ".DBU");

  if (platform::file_exists(table)) {
    if (platform::file_exists(index) && newer(table, index)) XDELETEFILE(index);
    if (newer(entry.mab_path, table)) {
      XDELETEFILE(table);
    } else if (const TableShape shape = table_shape(table); shape == TableShape::incomplete) {
      XOUT("Warnung: Datei " + table + " ist unvollst\xE4ndig und wird neu angelegt.");
      XDELETEFILE(table);
    } else if (shape != TableShape::position_table && shape != TableShape::unreadable) {
      XOUT("Warnung: Datei " + table + " ist keine g\xFCltige ISBN-Tabelle und wird neu angelegt.");
      XDELETEFILE(table);
    } else {
      mend_table(table, index_mode);
    }
  } else {
    XDELETEFILE(index);
  }

  bool cut_short = false;
  if (!platform::file_exists(table)) {
    XOUT("Datei " + table + " anlegen...");
    const Build built = build_table(entry, index_mode, exclusive);
    cut_short = built == Build::cut_short;
    if (built != Build::failed && platform::file_exists(table)) {
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
