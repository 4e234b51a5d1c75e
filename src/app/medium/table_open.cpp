#include "app/medium/table_open.h"

#include "app/console.h"
#include "app/medium/file_times.h"
#include "app/medium/table_health.h"
#include "app/run_record.h"
#include "platform/fs.h"

namespace torvane::app {

storage::OpenOptions table_open_options(storage::Variant index_mode, bool exclusive, std::string alias) {
  storage::OpenOptions options;
  options.variant = index_mode;
  options.alias = std::move(alias);
  options.shared = !exclusive;
  return options;
}

std::unique_ptr<storage::DbfTable> open_pool_table(std::string_view path, const storage::OpenOptions& options,
                                                   bool quiet) {
  const std::string shown(path);
  // A table read only is never changed, not even mended: the import table is not ours.
  if (!options.read_only) mend_table(path, options.variant.value_or(storage::kDefaultVariant));
  const TableShape shape = table_shape(path);
  const bool unusable = shape == TableShape::damaged || shape == TableShape::incomplete;
  if (unusable || shape == TableShape::no_isbn_field) {
    if (!quiet && unusable) XOUT("Error: Datei " + shown + " ist besch\xE4" "digt.");
    if (!quiet && shape == TableShape::no_isbn_field) XOUT("Error: Datei " + shown + " hat kein Feld ISBN.");
    return nullptr;
  }
  storage::clear_network_error();
  auto table = storage::DbfTable::open(path, options);
  if (!table && storage::network_error() && !quiet)
    XOUT("Error: Datei " + shown + " konnte nicht ge\xF6" "ffnet werden.");
  return table;
}

void make_pool_index(std::string_view table, std::string_view index, const storage::OpenOptions& options, bool quiet) {
  if (auto opened = open_pool_table(table, options, quiet)) {
    opened->create_index(index);
    opened->close();
    keep_index_current(table, index);
  }
}

bool build_pool_index(std::string_view table, std::string_view index, const storage::OpenOptions& options) {
  const std::string shown(index);
  XOUT("Datei " + shown + " anlegen...");
  make_pool_index(table, index, options);
  if (platform::file_exists(index)) {
    record_file(FileAction::built, shown, "index missing");
    XOUT("Datei " + shown + " wurde angelegt.");
    return true;
  }
  XOUT("Error: Datei " + shown + " wurde nicht angelegt.");
  return false;
}

}  // namespace torvane::app
