#include "app/verify/table_verify.h"

#include <functional>

#include "files/paths.h"
#include "platform/fs.h"
#include "storage/cdx_build.h"
#include "storage/cdx_check.h"
#include "storage/ntx_check.h"

namespace torvane::app {
namespace {

constexpr std::size_t kIsbn = 0;  // the ISBN field is the first of every schema here

// Keys against records as the index walk hands them over: one key per record, each
// equal to the record's ISBN.
class KeyMatch {
 public:
  explicit KeyMatch(const storage::dbf::TableCheck& table)
      : table_(table), seen_(table.records + std::size_t{1}, false) {}

  void operator()(std::string_view key, std::uint32_t record) {
    ++keys_;
    if (record == 0 || record > table_.records || seen_[record]) {
      faults_.add("key for a record that is not there or reached twice", "record " + std::to_string(record));
      return;
    }
    seen_[record] = true;
    if (key != table_.field(record, kIsbn))
      faults_.add("key differs from its record's ISBN", "record " + std::to_string(record));
  }

  // The faults found, the count of keys against the records last.
  storage::FaultList finish() {
    if (keys_ != table_.records)
      faults_.add("holds " + std::to_string(keys_) + " keys for " + std::to_string(table_.records) + " records");
    return std::move(faults_);
  }

 private:
  const storage::dbf::TableCheck& table_;
  std::vector<bool> seen_;
  std::uint64_t keys_ = 0;
  storage::FaultList faults_;
};

// Walks the index, handing its keys in key order to `match`; what is wrong with its
// file, empty when nothing.
std::string walk_index(std::string_view index, storage::Variant variant, std::uint32_t key_length, KeyMatch& match) {
  if (variant == storage::Variant::cdx) {
    const storage::cdx::Expected expected{storage::cdx::tag_name_for(index), "ISBN", key_length};
    return storage::cdx::check_file(index, expected, std::ref(match)).problem;
  }
  const storage::ntx::CheckResult r = storage::ntx::check_file(index, storage::ntx::Expected{"ISBN", key_length});
  for (const auto& [key, record] : r.entries) match(key, record);
  return r.problem;
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
  KeyMatch match(checked.table);
  const std::string problem = walk_index(index, variant, schema[kIsbn].length, match);
  if (!problem.empty()) {
    findings.add(index, "damaged: " + problem, index_remedy);
    return checked;
  }
  if (!checked.table.records_usable) return checked;
  const storage::FaultList faults = match.finish();
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

bool holds_text(std::string_view field, std::string_view text) {
  const std::string_view stored = text.substr(0, field.size());
  return field.starts_with(stored) && field.find_first_not_of(' ', stored.size()) == std::string_view::npos;
}

}  // namespace torvane::app
