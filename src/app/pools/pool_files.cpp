#include "app/pools/pool_files.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "app/console.h"
#include "files/paths.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "storage/dbf_health.h"
#include "text/file_name.h"
#include "text/letter_case.h"

namespace torvane::app {

namespace {

// Where the file-name part of a path starts, and its first point (or its end).
struct NameParts {
  std::size_t name = 0;
  std::size_t point = 0;
};
NameParts name_parts(std::string_view path) { return {text::file_name_start(path), text::first_name_point(path)}; }

// Whether the process number after "~" in a build name is that of another process that
// still runs: a cover table outside the medium may be shared by runs over other media,
// and their builds in progress are not leftovers.
bool built_by_other_live_process(std::string_view name, std::size_t stem_length) {
  unsigned long owner = 0;
  for (std::size_t i = stem_length + 1; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
    owner = owner * 10 + static_cast<unsigned long>(name[i] - '0');
  return owner != platform::process_id() && platform::process_running(owner);
}

}  // namespace

bool newer(std::string_view a, std::string_view b) {
  const auto time_a = platform::last_write_instant(a);
  const auto time_b = platform::last_write_instant(b);
  return time_a && time_b && *time_a > *time_b;
}

std::string build_name(std::string_view path) {
  const NameParts parts = name_parts(path);
  std::string name(path.substr(0, parts.point));
  name += '~';
  name += std::to_string(platform::process_id());
  name += path.substr(parts.point);
  return name;
}

bool is_build_leftover(std::string_view name, std::string_view path, std::span<const std::string_view> companions) {
  const NameParts parts = name_parts(path);
  const std::string_view stem = path.substr(parts.name, parts.point - parts.name);
  if (name.size() <= stem.size() + 1 || !text::equal_ignoring_case(name.substr(0, stem.size()), stem) ||
      name[stem.size()] != '~')
    return false;
  name.remove_prefix(stem.size() + 1);
  const std::size_t digits = name.find_first_not_of("0123456789");
  if (digits == 0) return false;
  const std::string_view rest = digits == std::string_view::npos ? std::string_view{} : name.substr(digits);
  if (text::equal_ignoring_case(rest, path.substr(parts.point))) return true;
  if (rest.empty() || rest.front() != '.') return false;
  return std::any_of(companions.begin(), companions.end(), [&](std::string_view extension) {
    return text::equal_ignoring_case(rest.substr(1), extension);
  });
}

void remove_build_leftovers(std::string_view path, std::span<const std::string_view> companions) {
  const NameParts parts = name_parts(path);
  const std::string folder(path.substr(0, parts.name));
  const std::string stem(path.substr(parts.name, parts.point - parts.name));
  for (const std::string& name : platform::list_files(folder, stem + "~*")) {
    if (is_build_leftover(name, path, companions) && !built_by_other_live_process(name, stem.size()))
      XDELETEFILE(folder + name);
  }
}

std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const RunConfig& config, std::string alias) {
  discard_build(temporary);
  if (!storage::DbfTable::create(temporary, schema, config.index_mode)) return nullptr;
  auto table = storage::DbfTable::open(temporary, pool_open_options(config, std::move(alias)));
  if (!table) discard_build(temporary);
  return table;
}

bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path,
                  std::string_view older_than) {
  const bool closed = table->close();
  table.reset();
  const bool dated = older_than.empty() || make_older_than(temporary, older_than);
  if (closed && dated && platform::rename_file(temporary, path)) return true;
  discard_build(temporary);
  return false;
}

void discard_build(const std::string& temporary) {
  platform::delete_file(temporary);
  platform::delete_file(files::I_FILENOEXT(temporary) + ".cdx");
}

bool make_older_than(std::string_view path, std::string_view reference) {
  const auto time = platform::last_write_instant(reference);
  return time && platform::set_last_write_instant(path, *time - std::chrono::seconds(1));
}

void keep_index_current(std::string_view table, std::string_view index) {
  if (!newer(table, index)) return;
  if (const auto time = platform::last_write_instant(table)) platform::set_last_write_instant(index, *time);
}

TableShape table_shape(std::string_view path) {
  using Kind = storage::TableHealth::Kind;
  const storage::TableHealth health = storage::inspect_table(path, storage::Variant::cdx);
  switch (health.kind) {
    case Kind::missing:
    case Kind::unreadable: return TableShape::unreadable;
    case Kind::not_a_table:
    case Kind::damaged: return TableShape::damaged;
    case Kind::cut_short: return TableShape::incomplete;
    case Kind::table: break;
  }
  if (health.memo_missing) return TableShape::incomplete;

  const auto field = [&](std::string_view name) -> const storage::Field* {
    for (const storage::Field& f : health.fields)
      if (text::equal_ignoring_case(f.name, name)) return &f;
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

void mend_table(std::string_view path, storage::Variant variant) {
  const storage::TableHealth health = storage::inspect_table(path, variant);
  // A flag whose index file is gone (a stale index deleted, a run killed before its
  // rebuild) needs no line: every step that finds the index missing builds it, and
  // that sets the flag again.
  const bool index_follows = health.structural_flag && !health.structural_index;
  const bool header_wrong = health.header_count != health.records || health.torn_record;
  if (!health.needs_repair() || (index_follows && !header_wrong)) return;
  const std::string shown(path);
  if (storage::repair_table(path, variant)) {
    XOUT("Warnung: Datei " + shown + " war unvollst\xE4ndig geschrieben und wurde repariert.");
  } else {
    XOUT("Error: Datei " + shown + " konnte nicht repariert werden.");
  }
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
  // A table read only is never changed, not even mended: the import table is not ours.
  if (!options.read_only) mend_table(path, options.variant.value_or(storage::table_settings().default_variant));
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
    XOUT("Datei " + shown + " wurde angelegt.");
    return true;
  }
  XOUT("Error: Datei " + shown + " wurde nicht angelegt.");
  return false;
}

}  // namespace torvane::app
