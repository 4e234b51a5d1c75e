#include "app/verify/table_verify.h"

#include "files/paths.h"
#include "platform/fs.h"
#include "storage/cdx_build.h"
#include "storage/cdx_check.h"
#include "storage/ntx_check.h"

namespace torvane::app {
namespace {

using Entries = std::vector<std::pair<std::string, std::uint32_t>>;

constexpr std::size_t kIsbn = 0;  // the ISBN field is the first of every schema here

// The index's keys in key order, or what is wrong with its file.
struct IndexRead {
  std::string problem;
  Entries entries;
};

IndexRead read_index(std::string_view index, storage::Variant variant, std::uint32_t key_length) {
  if (variant == storage::Variant::cdx) {
    storage::cdx::CheckResult r =
        storage::cdx::check_file(index, {storage::cdx::tag_name_for(index), "ISBN", key_length});
    return {r.problem, std::move(r.entries)};
  }
  storage::ntx::CheckResult r = storage::ntx::check_file(index, storage::ntx::Expected{"ISBN", key_length});
  return {r.problem, std::move(r.entries)};
}

// Keys against records: one key per record, each equal to the record's ISBN.
void match_keys(const Entries& entries, const storage::dbf::TableCheck& table, storage::FaultList& faults) {
  if (entries.size() != table.records)
    faults.add("holds " + std::to_string(entries.size()) + " keys for " + std::to_string(table.records) + " records");
  std::vector<bool> seen(table.records + std::size_t{1}, false);
  for (const auto& [key, record] : entries) {
    if (record == 0 || record > table.records || seen[record]) {
      faults.add("key for a record that is not there or reached twice", "record " + std::to_string(record));
      continue;
    }
    seen[record] = true;
    if (key != table.field(record, kIsbn))
      faults.add("key differs from its record's ISBN", "record " + std::to_string(record));
  }
}

}  // namespace

const std::vector<storage::FieldSpec> kPositionSchema = {{"ISBN", 'C', 13, 0}, {"HEADER", 'C', 24, 0}, {"POSITION", 'N', 9, 0}};
const std::vector<storage::FieldSpec> kPoolSchema = {{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
const std::vector<storage::FieldSpec> kCoverSchema = {{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
const std::vector<storage::FieldSpec> kNotFoundSchema = {{"ISBN", 'C', 13, 0}};

CheckedTable verify_table(std::string_view path, std::span<const storage::FieldSpec> schema, std::string_view index,
                          storage::Variant variant, std::string_view remedy, std::string_view index_remedy,
                          VerifyFindings& findings) {
  CheckedTable checked;
  // A CDX file of the table's own name is its structural index, which the header marks.
  const bool structural = variant == storage::Variant::cdx && platform::file_exists(files::I_FILENOEXT(path) + ".cdx");
  checked.table = storage::dbf::check_table(path, schema, structural);
  findings.checked();
  findings.add(path, checked.table.faults, remedy);

  findings.checked();
  IndexRead read = read_index(index, variant, schema[kIsbn].length);
  if (!read.problem.empty()) {
    findings.add(index, "damaged: " + read.problem, index_remedy);
    return checked;
  }
  if (!checked.table.records_usable) return checked;
  storage::FaultList faults;
  match_keys(read.entries, checked.table, faults);
  findings.add(index, faults, index_remedy);
  checked.index_sound = faults.empty();
  return checked;
}

std::uint32_t memo_block(std::string_view field) {
  std::uint32_t block = 0;
  for (char c : field)
    if (c >= '0' && c <= '9') block = block * 10 + static_cast<std::uint32_t>(c - '0');
  return block;
}

std::string field_text(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

}  // namespace torvane::app
