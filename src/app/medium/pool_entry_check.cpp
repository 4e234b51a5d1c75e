#include "app/medium/pool_entry_check.h"

#include <algorithm>
#include <array>
#include <optional>

#include "app/medium/table_builds.h"
#include "files/paths.h"
#include "platform/file.h"
#include "platform/path.h"
#include "storage/byte_order.h"
#include "storage/cdx_format.h"
#include "storage/dbf_format.h"
#include "storage/ntx_format.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

std::string entry_line(const CatalogueContext& context, std::string_view section, std::string_view key,
                       std::string_view reason, std::string_view shown) {
  return "Error: Eintrag " + std::string(key) + " in Sektion [" + std::string(section) + "] von " +
         context.ini_path + " " + std::string(reason) + ": " + std::string(shown);
}

// The bytes at the start of a file, at most `count`; nothing when it cannot be read.
struct Head {
  std::vector<std::uint8_t> bytes;
  std::uint64_t size = 0;
};
std::optional<Head> read_head(std::string_view path, std::size_t count) {
  platform::File file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                             platform::Disposition::open_existing);
  if (!file.is_open()) return std::nullopt;
  const std::int64_t size = file.size();
  if (size < 0) return std::nullopt;
  Head head;
  head.size = static_cast<std::uint64_t>(size);
  head.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count, head.size)));
  if (file.read_at(0, head.bytes) != static_cast<std::int64_t>(head.bytes.size())) return std::nullopt;
  return head;
}

// A header a table could have: a known version byte, a header length that the file
// holds, and field descriptors whose names end within their 11 bytes up to the
// terminator. Text and MAB2 files fail this at once; a table whose descriptors are
// damaged otherwise still passes.
bool plausible_table_header(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  using namespace storage::dbf;
  if (bytes.size() < kHeaderSize || !readable_version(bytes[kVersion])) return false;
  const std::uint32_t header_length = storage::get_u16le(bytes.subspan(kHeaderLength));
  const std::uint32_t record_length = storage::get_u16le(bytes.subspan(kRecordLength));
  if (record_length == 0 || header_length < kHeaderSize + kDescriptorSize || header_length > size) return false;
  for (std::size_t at = kHeaderSize; at < header_length && at < bytes.size(); at += kDescriptorSize) {
    if (bytes[at] == kTerminator) return at > kHeaderSize;
    if (at + kFieldNameWidth > bytes.size()) return false;
    const auto name = bytes.subspan(at, kFieldNameWidth);
    if (std::find(name.begin(), name.end(), std::uint8_t{0}) == name.end()) return false;
  }
  return false;
}

bool plausible_cdx_header(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  using namespace storage::cdx;
  if (size < kHeaderSize + kPageSize || size % kPageSize != 0 || bytes.size() < kHeaderSize) return false;
  const std::uint32_t root = storage::get_u32le(bytes.subspan(kHdrRoot));
  const std::uint32_t key_length = storage::get_u16le(bytes.subspan(kHdrKeyLength));
  return root % kPageSize == 0 && root >= kHeaderSize && std::uint64_t{root} + kPageSize <= size &&
         key_length >= 1 && key_length <= kMaxKeyLength && (bytes[kHdrOptions] & kOptCompact) != 0;
}

bool plausible_ntx_header(std::span<const std::uint8_t> bytes, std::uint64_t size) {
  using namespace storage::ntx;
  if (bytes.size() < kPageSize) return false;
  const Header header = decode_header(bytes);
  return (header.flags & kPlainIndex) == kPlainIndex && header.geometry.fits() && valid_page_offset(header.root, size);
}

// Where each file of the catalogue leads, worked out once per check.
struct Place {
  std::optional<std::string> where;
  bool same(const Place& other) const { return where && other.where && *where == *other.where; }
};
Place place_of(std::string_view path) { return {path.empty() ? std::nullopt : platform::real_location(path)}; }

struct PlacedPool {
  const PoolFiles* files;
  Place mab, table, index;
};
PlacedPool placed(const PoolFiles& pool) {
  return {&pool, place_of(pool.mab.path), place_of(pool.table.path), place_of(pool.index.path)};
}

// How firmly a pool holds a file: its MAB2 file is its data; a table or index name
// written into the catalogue is more likely a slip than one derived from the MAB2
// file. When two pools name one file, the weaker name yields; at equal strength the
// pool listed first keeps it.
int strength(const PoolFile& file, FileRole role) {
  if (role == FileRole::mab) return 3;
  return file.value.empty() ? 2 : 1;
}

// Why the table or index name `file` of `pool` names a file that belongs to something
// else, or "".
std::string foreign_use(const PlacedPool& pool, const PoolFile& file, const Place& at, FileRole role,
                        std::span<const PlacedPool> others) {
  if (at.same(pool.mab)) return "nennt die MAB-Datei der Sektion [" + pool.files->section + "]";
  if (role == FileRole::index && at.same(pool.table)) return "nennt die Tabelle der Sektion [" + pool.files->section + "]";
  for (const PlacedPool& other : others) {
    if (text::equal_ignoring_case(other.files->section, pool.files->section)) continue;
    const std::array<std::pair<FileRole, const Place*>, 3> uses = {
        {{FileRole::mab, &other.mab}, {FileRole::table, &other.table}, {FileRole::index, &other.index}}};
    for (const auto& [other_role, other_at] : uses) {
      if (!at.same(*other_at)) continue;
      // One file built from one source by two pools holds the same content.
      const bool same_source = role == other_role && (role == FileRole::table ? pool.mab.same(other.mab)
                                                                               : pool.table.same(other.table));
      if (same_source) continue;
      const PoolFile& other_file = other_role == FileRole::mab     ? other.files->mab
                                   : other_role == FileRole::table ? other.files->table
                                                                   : other.files->index;
      const int mine = strength(file, role);
      const int theirs = strength(other_file, other_role);
      if (theirs < mine || (theirs == mine && other.files->number > pool.files->number)) continue;
      const std::string what = other_role == FileRole::mab     ? "die MAB-Datei"
                               : other_role == FileRole::table ? "die Tabelle"
                                                               : "die Indexdatei";
      return "nennt " + what + " der Sektion [" + other.files->section + "]";
    }
  }
  return "";
}

}  // namespace

ValueShape value_shape(std::string_view value) {
  if (!value.empty() && is_separator(value.front())) return ValueShape::absolute;
  // A drive ("C:x") and, on Windows, a stream ("A.DBF:x") both name something else.
  if (value.find(':') != std::string_view::npos) return ValueShape::drive;
  int depth = 0;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = start;
    while (end < value.size() && !is_separator(value[end])) ++end;
    const std::string_view part = value.substr(start, end - start);
    if (part == "..") {
      if (--depth < 0) return ValueShape::climbs_out;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return depth > 0 ? ValueShape::relative : ValueShape::climbs_out;
}

bool inside_medium(std::string_view path, std::string_view medium_root) {
  const auto root = platform::real_location(medium_root);
  const auto where = platform::real_location(path);
  if (!root || !where || where->size() <= root->size() || !where->starts_with(*root)) return false;
  return is_separator(root->back()) || is_separator((*where)[root->size()]);
}

std::string outside_problem(const CatalogueContext& context, std::string_view section, std::string_view key,
                            std::string_view value, std::span<const std::string> files) {
  constexpr std::string_view kReason = "f\xFChrt aus dem Datentr\xE4ger hinaus";
  if (!value.empty() && value_shape(value) != ValueShape::relative) return entry_line(context, section, key, kReason, value);
  for (const std::string& file : files) {
    if (!inside_medium(file, context.medium_root)) return entry_line(context, section, key, kReason, file);
  }
  return "";
}

std::string backup_name(std::string_view mab_path, int n) { return files::CFILENOEXT(mab_path) + ".BK" + std::to_string(n); }

std::vector<std::string> touched_files(std::string_view path, FileRole role) {
  std::vector<std::string> files{std::string(path), build_name(path)};
  switch (role) {
    case FileRole::mab:
      for (int n = 1; n <= kMabBackups; ++n) {
        files.push_back(backup_name(path, n));
        files.push_back(build_name(backup_name(path, n)));  // a backup is copied under it
      }
      break;
    case FileRole::table:
      // Its .DBU, the structural index an open attaches, and the index and memo files
      // a build makes or removes beside its build name.
      files.push_back(files::CFILENOEXT(path) + ".DBU");
      files.push_back(files::CFILENOEXT(path) + ".cdx");
      for (const char* companion : {".cdx", ".ntx", ".fpt"}) files.push_back(files::CFILENOEXT(build_name(path)) + companion);
      break;
    case FileRole::index:
      files.push_back(std::string(path) + ".tmp");
      break;
    case FileRole::cover_table:
      files.push_back(files::CFILENOEXT(path) + ".cdx");
      files.push_back(files::CFILENOEXT(path) + ".cdx.tmp");
      files.push_back(files::CFILENOEXT(path) + ".fpt");
      break;
  }
  return files;
}

std::string pool_files_problem(const CatalogueContext& context, const PoolFiles& pool,
                               std::span<const PoolFiles> catalogue, storage::Variant index_mode) {
  const std::array<std::pair<const PoolFile*, FileRole>, 3> own = {
      {{&pool.mab, FileRole::mab}, {&pool.table, FileRole::table}, {&pool.index, FileRole::index}}};
  for (const auto& [file, role] : own) {
    if (file->path.empty()) continue;
    const std::string problem =
        outside_problem(context, pool.section, file->key, file->value, touched_files(file->path, role));
    if (!problem.empty()) return problem;
  }

  std::vector<PlacedPool> others;
  for (const PoolFiles& other : catalogue) others.push_back(placed(other));
  const PlacedPool self = placed(pool);
  const std::string ext = index_mode == storage::Variant::cdx ? "cdx" : "ntx";
  const Place catalogue_file = place_of(context.ini_path);
  const Place pool_table = place_of(context.medium_root + "pool.dbf");
  const Place pool_index = place_of(context.medium_root + "pool." + ext);
  for (const auto& [file, role] : own) {
    if (file->path.empty()) continue;
    const Place at = role == FileRole::mab ? self.mab : role == FileRole::table ? self.table : self.index;
    std::string reason;
    if (at.same(catalogue_file)) reason = "nennt den Pool-Katalog";
    else if (at.same(pool_table) || at.same(pool_index)) reason = "nennt die Pool-Tabelle";
    else if (role != FileRole::mab) reason = foreign_use(self, *file, at, role, others);
    if (!reason.empty()) return entry_line(context, pool.section, file->key, reason, file->path);
  }

  if (!pool.table.path.empty() && !replaceable_as_table(pool.table.path))
    return entry_line(context, pool.section, pool.table.key, "nennt keine ISBN-Tabelle", pool.table.path);
  if (!pool.index.path.empty() && !replaceable_as_index(pool.index.path, index_mode))
    return entry_line(context, pool.section, pool.index.key,
                      index_mode == storage::Variant::cdx ? "nennt keine CDX-Indexdatei" : "nennt keine NTX-Indexdatei",
                      pool.index.path);
  return "";
}

bool replaceable_as_table(std::string_view path) {
  const auto head = read_head(path, 64 * 1024);
  if (!head || head->size == 0) return true;  // nothing there, or nothing in it
  return plausible_table_header(head->bytes, head->size);
}

bool replaceable_as_index(std::string_view path, storage::Variant index_mode) {
  const std::size_t header = index_mode == storage::Variant::cdx ? storage::cdx::kHeaderSize : storage::ntx::kPageSize;
  const auto head = read_head(path, header);
  if (!head || head->size == 0) return true;
  return index_mode == storage::Variant::cdx ? plausible_cdx_header(head->bytes, head->size)
                                             : plausible_ntx_header(head->bytes, head->size);
}

}  // namespace torvane::app
