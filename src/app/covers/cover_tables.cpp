#include "app/covers/cover_tables.h"

#include <array>

#include "app/console.h"
#include "app/medium/table_builds.h"
#include "app/medium/table_health.h"
#include "app/medium/table_open.h"
#include "app/run_record.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "storage/cdx_check.h"
#include "storage/dbf_health.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

const std::array<storage::FieldSpec, 2> kCoverSchema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
const std::array<storage::FieldSpec, 1> kNotFoundSchema = {{{"ISBN", 'C', 13, 0}}};
// What a build under the build name leaves beside it: the memo and index files, and
// the index's own temporary file.
constexpr std::string_view kBuildCompanions[] = {"fpt", "cdx", "cdx.tmp"};

// One key per record and keyed on ISBN; anything else is rebuilt before it is searched.
bool index_matches_table(storage::DbfTable& table) {
  return text::equal_ignoring_case(table.order_key_field(), "ISBN") &&
         table.order_key_total() == table.record_count();
}

// Held by this run alone and keyed on a 13-byte ISBN: its keys can be read into memory.
bool keys_can_be_held(storage::DbfTable& table) {
  const auto isbn = table.field_index("ISBN");
  return !table.shared() && isbn && table.fields()[*isbn].length == IsbnKeyMap::kKeyLength;
}

// Every visible record's ISBN field with its record number, in record order; the
// table's order is the same afterwards.
template <typename Visit>
void for_each_key(storage::DbfTable& table, Visit visit) {
  const int order = table.order();
  table.set_order(0);
  for (table.go_top(); !table.eof(); table.skip()) visit(table.text("ISBN"), table.record_number());
  table.set_order(order);
}

bool attach_or_create(storage::DbfTable& table, const std::string& index) {
  if (platform::file_exists(index)) return table.add_index(index) && table.order() != 0;
  return table.create_index(index);
}

std::span<const storage::FieldSpec> schema_of(CoverTable kind) {
  if (kind == CoverTable::cover) return kCoverSchema;
  return kNotFoundSchema;
}

// The memo and index files of a table, in the order they are put into place.
std::array<std::string, 2> companions_of(std::string_view table) {
  return {cover_memo_path(table), cover_index_path(table)};
}

void delete_build(const std::string& temporary) {
  for (const std::string& companion : companions_of(temporary)) platform::delete_file(companion);
  platform::delete_file(temporary);
}

// A memo or index file under the table's name without the table: left by a run killed
// while the table was put into place or made anew.
void delete_orphaned_companions(const std::string& path) {
  if (platform::file_exists(path)) return;
  for (const std::string& companion : companions_of(path)) platform::delete_file(companion);
}

// The table under its build name, empty, with its memo file (when the schema has one)
// and its index; closed again.
bool build_empty(const std::string& temporary, std::span<const storage::FieldSpec> schema, const std::string& path,
                 bool shared) {
  if (!storage::DbfTable::create(temporary, schema, storage::Variant::cdx)) return false;
  auto table = storage::DbfTable::open(
      temporary, storage::OpenOptions().with_variant(storage::Variant::cdx).with_alias("BUILD").with_shared(shared));
  if (!table) return false;
  const bool indexed = table->create_index(cover_index_path(temporary), "ISBN", cover_index_path(path));
  return table->close() && indexed;
}

// Companions first, the table last: under its final name it always has them.
bool put_in_place(const std::string& temporary, const std::string& path) {
  const std::array<std::string, 2> from = companions_of(temporary);
  const std::array<std::string, 2> to = companions_of(path);
  for (std::size_t i = 0; i < from.size(); ++i) {
    if (platform::file_exists(from[i]) && !platform::rename_file(from[i], to[i])) return false;
  }
  return platform::rename_file(temporary, path);
}

bool create_complete(std::string_view table, CoverTable kind, bool shared) {
  const std::string path(table);
  remove_build_leftovers(path, kBuildCompanions);
  delete_orphaned_companions(path);
  const std::string temporary = build_name(path);
  if (build_empty(temporary, schema_of(kind), path, shared) && put_in_place(temporary, path)) return true;
  delete_build(temporary);
  delete_orphaned_companions(path);
  return false;
}

// A table cut short or without its memo file holds nothing that can be used: it goes,
// the table first, and an empty one takes its place.
bool make_anew(const std::string& path, CoverTable kind, bool shared) {
  XOUT("Warnung: Datei " + path +
       (kind == CoverTable::cover ? " ist unvollst\xE4ndig, die Cover darin sind verloren; sie wird leer neu angelegt."
                                  : " ist unvollst\xE4ndig und wird leer neu angelegt."));
  if (!platform::delete_file(path)) {
    XOUT("Error: Datei " + path + " konnte nicht gel\xF6scht werden.");
    return false;
  }
  if (create_complete(path, kind, shared)) {
    record_file(FileAction::built, path, "incomplete", 0);
    return true;
  }
  XOUT("Error: Datei " + path + " wurde nicht angelegt.");
  return false;
}

// Whether no other program has the table open: its file can be opened exclusively. A
// run in shared mode then judges the index as one in exclusive mode does.
bool held_by_nobody(const std::string& path) {
  return platform::File::open(path, platform::Access::read, platform::Share::exclusive,
                              platform::Disposition::open_existing)
      .is_open();
}

// An index file a run killed while writing its pages left unsound, or one not holding
// one key per record, goes with one "Warnung: " line; whoever opens the table next
// builds it anew. True when it was deleted.
bool drop_broken_index(const std::string& index, std::uint32_t records) {
  if (!platform::file_exists(index)) return false;
  const storage::cdx::CheckResult check = storage::cdx::check_file(index);
  if (check.ok && check.entries.size() == records) return false;
  record_file(FileAction::repaired, index, "index pages unsound or keys missing");
  XOUT("Warnung: Datei " + index + " war unvollst\xE4ndig geschrieben und wird neu aufgebaut.");
  return platform::delete_file(index);
}

// Before a table is opened for its index: an index a killed run left unsound goes (and
// the header's index flag with it), so that opening never meets it. Only a run that
// holds the table alone may judge its index: another program may be writing its pages
// right now.
void drop_unsound_index(const std::string& path, bool shared) {
  if (shared && !held_by_nobody(path)) return;
  const storage::TableHealth health = storage::inspect_table(path, storage::Variant::cdx);
  if (health.kind != storage::TableHealth::Kind::table) return;
  if (drop_broken_index(cover_index_path(path), health.records)) mend_table(path, storage::Variant::cdx);
}

}  // namespace

bool create_cover_table(std::string_view path, bool shared) {
  if (!create_complete(path, CoverTable::cover, shared)) return false;
  record_file(FileAction::built, path, "missing", 0);
  return true;
}

bool create_not_found_table(std::string_view path, bool shared) {
  if (!create_complete(path, CoverTable::not_found, shared)) return false;
  record_file(FileAction::built, path, "missing", 0);
  return true;
}

bool restore_cover_table(std::string_view table, CoverTable kind, bool shared) {
  const std::string path(table);
  const storage::TableHealth health = storage::inspect_table(path, storage::Variant::cdx);
  if (health.needs_rebuild()) return make_anew(path, kind, shared);
  if (health.needs_repair()) mend_table(path, storage::Variant::cdx);
  return true;
}

storage::OpenOptions cover_open_options(bool exclusive, std::string alias, bool read_only) {
  return storage::OpenOptions()
      .with_variant(storage::Variant::cdx)
      .with_alias(std::move(alias))
      .with_shared(!exclusive)
      .with_read_only(read_only);
}

std::unique_ptr<storage::DbfTable> open_keyed_table(std::string_view path, CoverTable kind,
                                                    const storage::OpenOptions& options) {
  const bool shared = options.shared.value_or(false);
  if (!restore_cover_table(path, kind, shared)) return nullptr;
  drop_unsound_index(std::string(path), shared);
  auto table = open_pool_table(path, options);
  if (!table) return nullptr;
  const std::string index = cover_index_path(path);
  bool usable = attach_or_create(*table, index);
  // Rebuilding under other programs' feet would break their view of the index: only
  // a table held exclusively is checked.
  if (usable && !table->shared() && !table->read_only() && !index_matches_table(*table)) {
    usable = table->create_index(index);
  }
  if (!usable) {
    XOUT("Error: Datei " + index + " konnte nicht ge\xF6" "ffnet werden.");
    table->close();
    return nullptr;
  }
  return table;
}

KeyLookup::KeyLookup(storage::DbfTable& table) : table_(table) {
  if (!keys_can_be_held(table)) return;
  keys_.emplace();
  keys_->reserve(table.record_count());
  for_each_key(table, [&](const std::string& key, std::uint32_t) { keys_->insert(key); });
}

bool KeyLookup::contains(const std::string& key) {
  if (!keys_ || key.size() != IsbnKeyMap::kKeyLength) return table_.seek(key);
  return keys_->contains(key);
}

void KeyLookup::added(const std::string& key) {
  if (keys_) keys_->insert(key);
}

void repair_cover_indexes(const RunConfig& config, std::string_view executable) {
  const auto repair = [&](const std::string& path, CoverTable kind, const char* alias) {
    if (!platform::file_exists(path) || !restore_cover_table(path, kind, !config.exclusive) ||
        platform::file_exists(cover_index_path(path)))
      return;
    if (auto table = open_pool_table(path, cover_open_options(config.exclusive, alias), true)) {
      table->create_index(cover_index_path(path));
      table->close();
    }
  };
  repair(config.cover_dbf, CoverTable::cover, "COVER");
  repair(not_found_place(config, executable).path, CoverTable::not_found, "NOTFOUND");
}

// ---- The import table ----------------------------------------------------------------

std::unique_ptr<ImportTable> ImportTable::open(const std::string& path, bool exclusive) {
  if (!platform::file_exists(path)) {
    XOUT("Error: Datei " + path + " nicht vorhanden!");
    return nullptr;
  }
  auto table = open_pool_table(path, cover_open_options(exclusive, "TMPCOVER", true));
  if (!table) return nullptr;
  const auto cover = table->field_index("COVER");
  if (!cover || table->fields()[*cover].type != 'M') {
    XOUT("Error: Datei " + path + " hat kein Memofeld COVER.");
    table->close();
    return nullptr;
  }
  std::unique_ptr<ImportTable> import(new ImportTable(std::move(table)));
  storage::DbfTable& t = *import->table_;
  if (t.order() != 0) t.set_order(1);
  if (t.order() == 0 || !index_matches_table(t)) {
    t.set_order(0);
    import->keys_.emplace();
  }
  if (keys_can_be_held(t)) {
    import->records_.emplace();
    import->records_->reserve(t.record_count());
  }
  if (import->keys_ || import->records_) import->read_keys();
  return import;
}

void ImportTable::read_keys() {
  for_each_key(*table_, [&](const std::string& key, std::uint32_t record) {
    if (keys_) keys_->emplace(key, record);
    if (records_) records_->insert(key, record);
  });
}

bool ImportTable::find(std::string_view value) {
  if (records_ && value.size() == IsbnKeyMap::kKeyLength) {
    const auto record = records_->find(value);
    return record && table_->go_to(*record) && !table_->eof();
  }
  if (!keys_) return table_->seek(value);
  const auto it = keys_->lower_bound(value);
  if (it == keys_->end() || !it->first.starts_with(value)) return false;
  return table_->go_to(it->second) && !table_->eof();
}

std::optional<std::string> ImportTable::cover() { return table_->memo("COVER"); }

}  // namespace torvane::app
