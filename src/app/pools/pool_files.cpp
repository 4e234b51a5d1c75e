#include "app/pools/pool_files.h"

#include <chrono>
#include <vector>

#include "app/console.h"
#include "fileutil/library.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "storage/byte_order.h"
#include "storage/dbf_format.h"
#include "storage/dbf_record.h"

namespace torvane::app {

bool newer(std::string_view a, std::string_view b) {
  const auto time_a = platform::last_write_time(a);
  const auto time_b = platform::last_write_time(b);
  return time_a && time_b && *time_a > *time_b;
}

std::string build_name(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  const std::size_t name_start = separator == std::string_view::npos ? 0 : separator + 1;
  const std::size_t point = path.find('.', name_start);
  const std::size_t at = point == std::string_view::npos ? path.size() : point;
  std::string name(path.substr(0, at));
  name += '~';
  name += path.substr(at);
  return name;
}

std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const RunConfig& config, std::string alias) {
  discard_build(temporary);
  if (!storage::DbfTable::create(temporary, schema, config.index_mode)) return nullptr;
  auto table = storage::DbfTable::open(temporary, pool_open_options(config, std::move(alias)));
  if (!table) discard_build(temporary);
  return table;
}

bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path) {
  const bool closed = table->close();
  table.reset();
  if (closed && platform::rename_file(temporary, path)) return true;
  discard_build(temporary);
  return false;
}

void discard_build(const std::string& temporary) {
  platform::delete_file(temporary);
  platform::delete_file(fileutil::I_FILENOEXT(temporary) + ".cdx");
}

bool make_older_than(std::string_view path, std::string_view reference) {
  using namespace std::chrono;
  const auto time = platform::last_write_time(reference);
  if (!time) return false;
  const sys_days date{year{time->year} / month{static_cast<unsigned>(time->month)} /
                      day{static_cast<unsigned>(time->day)}};
  const sys_seconds moment = date + hours{time->hour} + minutes{time->minute} + seconds{time->second} - seconds{1};
  const sys_days earlier_date = floor<days>(moment);
  const year_month_day ymd{earlier_date};
  const hh_mm_ss clock{moment - earlier_date};
  platform::LocalTime earlier;
  earlier.year = static_cast<int>(ymd.year());
  earlier.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  earlier.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  earlier.hour = static_cast<int>(clock.hours().count());
  earlier.minute = static_cast<int>(clock.minutes().count());
  earlier.second = static_cast<int>(clock.seconds().count());
  return platform::set_last_write_time(path, earlier);
}

void keep_index_current(std::string_view table, std::string_view index) {
  if (!newer(table, index)) return;
  if (const auto time = platform::last_write_time(table)) platform::set_last_write_time(index, *time);
}

TableShape table_shape(std::string_view path) {
  platform::File file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                             platform::Disposition::open_existing);
  if (!file.is_open()) return TableShape::unreadable;
  const std::int64_t size = file.size();
  std::vector<std::uint8_t> area(storage::dbf::kHeaderSize);
  if (size < 0 || file.read_at(0, area) != static_cast<std::int64_t>(area.size())) return TableShape::damaged;
  const std::uint32_t header_length = storage::get_u16le(std::span(area).subspan(storage::dbf::kHeaderLength));
  if (header_length > area.size() && header_length <= static_cast<std::uint64_t>(size)) {
    area.resize(header_length);
    if (file.read_at(0, area) != static_cast<std::int64_t>(header_length)) return TableShape::damaged;
  }
  const auto layout = storage::dbf::parse_layout(area, static_cast<std::uint64_t>(size));
  if (!layout) return TableShape::damaged;

  const auto field = [&](std::string_view name) -> const storage::Field* {
    for (const storage::Field& f : layout->fields)
      if (fileutil::equal_ignoring_case(f.name, name)) return &f;
    return nullptr;
  };
  const storage::Field* isbn = field("ISBN");
  if (isbn == nullptr || isbn->type != 'C') return TableShape::no_isbn_field;
  const storage::Field* header = field("HEADER");
  const storage::Field* position = field("POSITION");
  const bool position_schema = isbn->length == 13 && header != nullptr && header->type == 'C' &&
                               header->length == 24 && position != nullptr && position->type == 'N' &&
                               position->length == 9;
  return position_schema ? TableShape::position_table : TableShape::isbn_table;
}

storage::OpenOptions pool_open_options(const RunConfig& config, std::string alias) {
  storage::OpenOptions options;
  options.variant = config.index_mode;
  options.alias = std::move(alias);
  options.shared = !config.exclusive;
  return options;
}

std::unique_ptr<storage::DbfTable> open_pool_table(std::string_view path, const storage::OpenOptions& options,
                                                   bool quiet) {
  const std::string shown(path);
  const TableShape shape = table_shape(path);
  if (shape == TableShape::damaged || shape == TableShape::no_isbn_field) {
    if (!quiet && shape == TableShape::damaged) XOUT("Error: Datei " + shown + " ist besch\xE4" "digt.");
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
    XOUT("Datei " + shown + " wurde angelegt.");
    return true;
  }
  XOUT("Error: Datei " + shown + " wurde nicht angelegt.");
  return false;
}

}  // namespace torvane::app
