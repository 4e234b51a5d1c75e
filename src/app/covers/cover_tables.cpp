#include "app/covers/cover_tables.h"

#include <array>

#include "app/console.h"
#include "app/pools/pool_files.h"
#include "fileutil/library.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace torvane::app {
namespace {

const std::array<storage::FieldSpec, 2> kCoverSchema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
const std::array<storage::FieldSpec, 1> kNotFoundSchema = {{{"ISBN", 'C', 13, 0}}};

std::size_t last_separator(std::string_view path) { return path.find_last_of("\\/"); }

std::string folder_of(std::string_view path) {
  const std::size_t at = last_separator(path);
  return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at));
}

// One key per record and keyed on ISBN; anything else is rebuilt before it is searched.
bool index_matches_table(storage::DbfTable& table) {
  return fileutil::equal_ignoring_case(table.order_key_field(), "ISBN") &&
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

}  // namespace

std::string cover_index_path(std::string_view table) { return fileutil::I_FILENOEXT(table) + ".cdx"; }
std::string cover_memo_path(std::string_view table) { return fileutil::I_FILENOEXT(table) + ".fpt"; }

std::string beside(std::string_view path, std::string_view file_name) {
  const std::size_t at = last_separator(path);
  if (at == std::string_view::npos) return std::string(file_name);
  return std::string(path.substr(0, at + 1)) + std::string(file_name);
}

bool folder_writable(std::string_view folder) {
  const std::string dir = folder.empty() ? std::string(".") : std::string(folder);
  if (!platform::directory_exists(dir) || platform::is_read_only(dir)) return false;
  const std::string probe = dir + "/~probe" + std::to_string(platform::wall_clock_nanoseconds()) + ".tmp";
  platform::File file = platform::File::open(probe, platform::Access::read_write, platform::Share::compatibility,
                                             platform::Disposition::create_always);
  if (!file.is_open()) return false;
  file.close();
  platform::delete_file(probe);
  return true;
}

NotFoundPlace not_found_place(std::string_view cover_dbf, std::string_view executable) {
  const std::string cover_side = beside(cover_dbf, "notfound.dbf");
  if (platform::file_exists(cover_side)) return {cover_side, false};
  const std::string exe_side = beside(executable, "notfound.dbf");
  if (platform::file_exists(exe_side) || folder_writable(folder_of(executable))) return {exe_side, false};
  return {cover_side, true};
}

bool create_cover_table(std::string_view path) {
  return storage::DbfTable::create(path, kCoverSchema, storage::Variant::cdx);
}

bool create_not_found_table(std::string_view path) {
  return storage::DbfTable::create(path, kNotFoundSchema, storage::Variant::cdx);
}

storage::OpenOptions cover_open_options(const RunConfig& config, std::string alias, bool read_only) {
  return storage::OpenOptions()
      .with_variant(storage::Variant::cdx)
      .with_alias(std::move(alias))
      .with_shared(!config.exclusive)
      .with_read_only(read_only);
}

std::unique_ptr<storage::DbfTable> open_keyed_table(std::string_view path, const storage::OpenOptions& options) {
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
  const auto repair = [&](const std::string& path, const char* alias) {
    if (!platform::file_exists(path) || platform::file_exists(cover_index_path(path))) return;
    if (auto table = open_pool_table(path, cover_open_options(config, alias), true)) {
      table->create_index(cover_index_path(path));
      table->close();
    }
  };
  repair(config.cover_dbf, "COVER");
  repair(not_found_place(config.cover_dbf, executable).path, "NOTFOUND");
}

// ---- The import table ----------------------------------------------------------------

std::unique_ptr<ImportTable> ImportTable::open(const std::string& path, const RunConfig& config) {
  if (!platform::file_exists(path)) {
    XOUT("Error: Datei " + path + " nicht vorhanden!");
    return nullptr;
  }
  auto table = open_pool_table(path, cover_open_options(config, "TMPCOVER", true));
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
