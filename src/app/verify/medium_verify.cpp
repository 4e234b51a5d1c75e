#include "app/verify/medium_verify.h"

#include <algorithm>
#include <map>
#include <optional>

#include "app/medium/cover_table_files.h"
#include "app/medium/file_times.h"
#include "app/medium/mab_record.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_table_files.h"
#include "app/verify/mab_positions.h"
#include "app/verify/table_verify.h"
#include "app/verify/verify_findings.h"
#include "files/ini_file.h"
#include "files/paths.h"
#include "platform/fs.h"
#include "storage/dbf_record.h"
#include "storage/fpt_check.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

using storage::FaultList;
using storage::dbf::TableCheck;

constexpr std::size_t kIsbn = 0, kPoolNumber = 1, kCoverFlag = 2, kCoverMemo = 1;
constexpr int kLargestFlag = 99;  // COVER holds two digits

// The rows pool.dbf must hold, compared with its records as they come: pool by pool in
// catalogue order, each pool's live rows with an ISBN in record order.
class PoolRows {
 public:
  explicit PoolRows(const TableCheck* pool) : pool_(pool) {}

  void expect(const TableCheck& position_table, int pool_number) {
    if (pool_ == nullptr) return;
    const std::string number = field_number(pool_number, pool_->fields[kPoolNumber].length);
    for (std::uint32_t n = 1; n <= position_table.records; ++n) {
      if (position_table.record(n)[0] == '*') continue;
      const std::string_view isbn = position_table.field(n, kIsbn);
      if (text::trim(isbn).empty()) continue;
      const std::uint32_t row = ++row_;
      if (row > pool_->records) continue;
      const std::string_view key = pool_->field(row, kIsbn);
      const bool same_key = already_key(isbn) ? key == isbn : holds_text(key, isbn_key_of(text::upper(isbn)));
      if (!same_key || pool_->field(row, kPoolNumber) != number)
        faults_.add("record differs from the row of the position tables it stands for", "record " + std::to_string(row));
    }
  }

  void finish(VerifyFindings& findings, const std::string& path) {
    if (pool_ == nullptr) return;
    if (row_ != pool_->records)
      faults_.add("holds " + std::to_string(pool_->records) + " records for " + std::to_string(row_) +
                  " rows of the position tables");
    findings.add(path, faults_, kRebuild);
  }

 private:
  // Whether the pool table takes an ISBN field as it is: digits from its first byte on,
  // blanks only at the end, and not ten of them (an ISBN-10 becomes its EAN-13). The
  // common case, tested without building the key.
  static bool already_key(std::string_view field) {
    const std::size_t end = field.find_last_not_of(' ');
    if (end == std::string_view::npos || end + 1 == 10) return false;
    return std::all_of(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(end + 1),
                       [](char c) { return c >= '0' && c <= '9'; });
  }

  static std::string field_number(int n, std::size_t width) {
    std::string text = std::to_string(n);
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
  }

  const TableCheck* pool_;
  std::uint32_t row_ = 0;
  FaultList faults_;
};

struct Medium {
  const RunConfig& config;
  std::string ini;
  VerifyFindings& findings;
};

// One position table with its index, its place in the catalogue and its MAB2 file.
std::optional<TableCheck> verify_pool(Medium& m, const PoolEntry& entry) {
  if (!platform::file_exists(entry.mab_path)) {
    m.findings.add(entry.mab_path, "missing", "put the MAB2 file back or " + std::string(kFixCatalogue));
    return std::nullopt;
  }
  if (!platform::file_exists(entry.table_path)) {
    m.findings.add(entry.table_path, "missing", kNextRun);
    return std::nullopt;
  }
  if (newer(entry.mab_path, entry.table_path))
    m.findings.add(entry.table_path, "older than its MAB2 file " + entry.mab_path, kNextRun);
  if (!platform::file_exists(entry.index_path)) {
    m.findings.add(entry.index_path, "missing", kNextRun);
  } else if (newer(entry.table_path, entry.index_path)) {
    m.findings.add(entry.index_path, "older than its table", kNextRun);
  }
  CheckedTable checked;
  if (platform::file_exists(entry.index_path)) {
    checked = verify_table(entry.table_path, kPositionSchema, entry.index_path, m.config.index_mode, kRebuild, kRebuild,
                           m.findings);
  } else {
    checked.table = storage::dbf::check_table(entry.table_path, kPositionSchema, false);
    m.findings.add(entry.table_path, checked.table.faults, kRebuild);
  }
  if (!checked.table.records_usable) return std::nullopt;
  FaultList faults;
  check_positions(entry.mab_path, checked.table, faults);
  m.findings.checked();
  m.findings.add(entry.table_path, faults, kRebuild);
  return std::move(checked.table);
}

// The pools of the catalogue: their position tables, and the rows pool.dbf must hold.
void verify_pools(Medium& m, const TableCheck* pool_table) {
  const RunConfig& c = m.config;
  PoolRows rows(pool_table);
  bool sources_newer = pool_table != nullptr && newer(m.ini, pool_table_path(c.medium_root));
  for_each_pool(m.ini, kPoolImportLimit, [&](int number, const std::string& section) {
    std::optional<TableCheck> table;
    if (number <= kPoolStepLimit) {
      const PoolEntry entry = resolve_pool(m.ini, number, section, c.medium_root, c.index_mode);
      switch (entry.status) {
        case PoolEntry::Status::no_name:
          m.findings.add(m.ini, "pool section [" + section + "] has no Name entry", kFixCatalogue);
          return;
        case PoolEntry::Status::no_mab_file:
          m.findings.add(m.ini, "pool section [" + section + "] names no MAB2 file", kFixCatalogue);
          return;
        case PoolEntry::Status::rejected:
          m.findings.add(m.ini, entry.problem, kFixCatalogue);
          return;
        case PoolEntry::Status::ok:
          table = verify_pool(m, entry);
          break;
      }
    }
    const PoolImport import = pool_import(m.ini, number, section, c.medium_root, c.index_mode);
    if (import.path.empty() || !platform::file_exists(import.path)) return;
    if (pool_table != nullptr && newer(import.path, pool_table_path(c.medium_root))) sources_newer = true;
    if (!table) {
      if (number <= kPoolStepLimit) return;  // damaged or missing: found above
      table = storage::dbf::check_table(import.path, kPositionSchema, false);
      if (!table->records_usable) return;
    }
    rows.expect(*table, number);
  });
  if (sources_newer)
    m.findings.add(pool_table_path(c.medium_root), "older than POOL.INI or a position table", kNextRun);
  rows.finish(m.findings, pool_table_path(c.medium_root));
}

// The cover tables: `CoverDBF` and the entries of [Cover], each checked once.
struct CoverTables {
  std::map<std::string, CheckedTable> by_path;   // checked tables by their path
  std::vector<std::optional<std::string>> listed;  // [Cover] entry n - 1: its path, if the file exists
};

// Keys of an import table (trimmed, upper case) with the memo values they hold.
std::multimap<std::string, std::string> import_values(const std::string& path) {
  std::multimap<std::string, std::string> values;
  const std::optional<std::string> bytes = platform::read_whole_file(path);
  if (!bytes) return values;
  const std::span raw(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
  const auto layout = storage::dbf::parse_layout(raw, raw.size());
  if (!layout) return values;
  const auto find = [&](std::string_view name) {
    return std::find_if(layout->fields.begin(), layout->fields.end(), [&](const storage::Field& f) { return f.name == name; });
  };
  const auto isbn = find("ISBN"), cover = find("COVER");
  if (isbn == layout->fields.end() || cover == layout->fields.end()) return values;
  const storage::fpt::MemoCheck memo = storage::fpt::read_memo(files::I_FILENOEXT(path) + ".fpt");
  const std::string_view all(*bytes);
  for (std::uint64_t at = layout->header_length; at + layout->record_length <= all.size(); at += layout->record_length) {
    const std::string_view record = all.substr(at, layout->record_length);
    const auto block = storage::dbf::decode_memo_reference(
        std::span(reinterpret_cast<const std::uint8_t*>(record.data()) + cover->offset, cover->length));
    if (const auto value = memo.value(block); value && block != 0)
      values.emplace(text::upper(text::trim(record.substr(isbn->offset, isbn->length))), std::string(*value));
  }
  return values;
}

void verify_cover_table(Medium& m, const std::string& path, CheckedTable& checked,
                        const std::multimap<std::string, std::string>& imported) {
  checked = verify_table(path, kCoverSchema, cover_index_path(path), storage::Variant::cdx, kCoverTable, kRebuild,
                         m.findings);
  if (!checked.table.records_usable) return;
  std::vector<storage::fpt::MemoReference> references;
  for (std::uint32_t n = 1; n <= checked.table.records; ++n)
    if (const std::uint32_t block = memo_block(checked.table.field(n, kCoverMemo)); block != 0)
      references.push_back({n, block});
  const std::string memo_path = cover_memo_path(path);
  const storage::fpt::MemoCheck memo = storage::fpt::check_memo(memo_path, references);
  m.findings.checked();
  m.findings.add(memo_path, memo.faults, kCoverTable);
  if (!memo.faults.empty() || imported.empty()) return;
  // An image taken from the import table is the import table's image.
  FaultList faults;
  for (const auto& ref : references) {
    const std::string key = text::upper(text::trim(checked.table.field(ref.record, kIsbn)));
    const auto [first, last] = imported.equal_range(key);
    if (first == last) continue;
    const std::optional<std::string_view> value = memo.value(ref.block);
    if (!std::any_of(first, last, [&](const auto& entry) { return value && entry.second == *value; }))
      faults.add("image differs from the import table's", "record " + std::to_string(ref.record));
  }
  m.findings.add(memo_path, faults, kCoverTable);
}

CoverTables verify_cover_tables(Medium& m) {
  const RunConfig& c = m.config;
  CoverTables covers;
  std::multimap<std::string, std::string> imported;
  if (!c.cover_import_dbf.empty() && platform::file_exists(c.cover_import_dbf))
    imported = import_values(c.cover_import_dbf);
  std::vector<std::string> paths;
  if (!c.cover_dbf.empty()) {
    if (platform::file_exists(c.cover_dbf)) paths.push_back(c.cover_dbf);
    else if (c.cover) m.findings.add(c.cover_dbf, "missing", "the next run with Cover=1 creates it");
  }
  const files::TIni ini(m.ini);
  for (int n = 1; n <= kLargestFlag && platform::file_exists(m.ini); ++n) {
    const std::string entry(text::trim(ini.Get("Cover", std::to_string(n), "").text()));
    if (entry.empty()) break;
    const std::string path = c.medium_root + entry;
    const bool exists = platform::file_exists(path);
    covers.listed.push_back(exists ? std::optional(path) : std::nullopt);
    if (exists) paths.push_back(path);
  }
  // One file under two names (CoverDBF and a [Cover] entry) is checked once.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> seen;
  for (const std::string& path : paths) {
    const auto stamp = platform::file_stamp(path);
    const auto id = stamp ? std::pair(stamp->device, stamp->inode) : std::pair<std::uint64_t, std::uint64_t>(0, 0);
    if (const auto it = seen.find(id); stamp && it != seen.end()) {
      covers.by_path[path] = covers.by_path[it->second];
      continue;
    }
    seen[id] = path;
    verify_cover_table(m, path, covers.by_path[path], imported);
  }
  return covers;
}

void verify_not_found_table(Medium& m, std::string_view executable) {
  if (m.config.cover_dbf.empty()) return;
  const std::optional<std::string> found = existing_not_found_table(m.config, executable);
  if (!found) return;
  const std::string& path = *found;
  verify_table(path, kNotFoundSchema, cover_index_path(path), storage::Variant::cdx, kNotFoundTable, kRebuild,
               m.findings);
}

// The number in a COVER field: 0 when blank, -1 when it holds no number (a fault the
// table check reports).
int flag_of(std::string_view field) {
  const std::string_view digits = text::trim(field);
  if (digits.empty()) return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The ISBN fields of a table, looked up by binary search: the pool table's millions of
// titles are looked up in every cover table.
class SortedKeys {
 public:
  SortedKeys() = default;
  explicit SortedKeys(const TableCheck& table) {
    keys_.reserve(table.records);
    for (std::uint32_t n = 1; n <= table.records; ++n) keys_.push_back(table.field(n, kIsbn));
    std::ranges::sort(keys_);
  }
  bool contains(std::string_view key) const { return std::ranges::binary_search(keys_, key); }

 private:
  std::vector<std::string_view> keys_;
};

// The COVER flag of each title against the cover tables of [Cover]: a flag names an
// entry whose table holds the title; with Cover2Pool on, the last such entry.
void verify_cover_flags(Medium& m, const TableCheck& pool, const CoverTables& covers) {
  std::vector<SortedKeys> keys(covers.listed.size());
  for (std::size_t i = 0; i < covers.listed.size(); ++i) {
    if (!covers.listed[i]) continue;
    const TableCheck& table = covers.by_path.at(*covers.listed[i]).table;
    if (table.records_usable) keys[i] = SortedKeys(table);
  }
  FaultList faults;
  for (std::uint32_t n = 1; n <= pool.records; ++n) {
    const std::string_view isbn = pool.field(n, kIsbn);
    const int flag = flag_of(pool.field(n, kCoverFlag));
    int last = 0;
    if (!text::trim(isbn).empty())
      for (std::size_t i = 0; i < keys.size(); ++i)
        if (keys[i].contains(isbn)) last = static_cast<int>(i) + 1;
    if (flag == last) continue;
    const std::string place = "record " + std::to_string(n) + ", COVER " + std::to_string(flag);
    if (flag < 0) continue;
    if (flag > static_cast<int>(covers.listed.size()))
      faults.add("COVER names no entry of [Cover] in POOL.INI", place);
    else if (flag != 0 && !covers.listed[flag - 1])
      faults.add("COVER names a cover table that does not exist", place);
    else if (flag != 0 && !keys[flag - 1].contains(isbn))
      faults.add("COVER names a cover table that does not hold the title", place);
    else if (m.config.cover_to_pool)
      faults.add("COVER is not the last cover table that holds the title", place);
  }
  m.findings.add(pool_table_path(m.config.medium_root), faults, kRebuild);
}

}  // namespace

std::vector<VerifyFinding> verify_medium(const RunConfig& config, std::string_view executable) {
  VerifyFindings findings;
  if (config.medium_root.empty()) {
    findings.add(config.config_file, "names no medium folder (Pfad)", "set Pfad in section [DVD]");
    return findings.finish();
  }
  Medium m{config, pool_ini_path(config.medium_root), findings};
  const std::string pool_path = pool_table_path(config.medium_root);
  const std::string pool_index = pool_index_path(config.medium_root, config.index_mode);
  const bool catalogue = platform::file_exists(m.ini);
  if (!catalogue) findings.add(m.ini, "missing", "copy the catalogue onto the medium");

  std::optional<CheckedTable> pool;
  if (!platform::file_exists(pool_path)) {
    if (catalogue) findings.add(pool_path, "missing", kNextRun);
  } else if (!platform::file_exists(pool_index)) {
    findings.add(pool_index, "missing", kNextRun);
  } else {
    if (newer(pool_path, pool_index)) findings.add(pool_index, "older than its table", kNextRun);
    pool = verify_table(pool_path, kPoolSchema, pool_index, config.index_mode, kRebuild, kRebuild, findings);
  }
  const TableCheck* pool_table = pool && pool->table.records_usable ? &pool->table : nullptr;
  if (catalogue) verify_pools(m, pool_table);

  const CoverTables covers = verify_cover_tables(m);
  verify_not_found_table(m, executable);
  if (pool_table != nullptr) verify_cover_flags(m, *pool_table, covers);
  return findings.finish();
}

}  // namespace torvane::app
