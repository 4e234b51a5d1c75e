#include "storage/dbf_check.h"

#include <algorithm>
#include <optional>

#include "storage/byte_order.h"
#include "storage/dbf_format.h"
#include "storage/dbf_record.h"

namespace torvane::storage::dbf {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Header bytes that differ from one table of a schema to the next: the date, the
// record count and the flags (judged on their own).
bool varies(std::size_t offset) {
  return (offset >= kYear && offset < kRecordCount + 4) || offset == kFlags;
}

void check_header(TableCheck& check, std::span<const FieldSpec> schema, bool structural_index) {
  const std::vector<std::uint8_t> expected = build_new_table(schema);
  const std::span<const std::uint8_t> file = as_bytes(check.bytes);
  const std::size_t header_length = expected.size() - 1;  // without the end marker
  if (file.size() < header_length) {
    check.faults.add("file shorter than the header of its table", std::to_string(file.size()) + " bytes");
    return;
  }
  for (std::size_t i = 0; i < header_length; ++i) {
    if (!varies(i) && file[i] != expected[i]) {
      check.faults.add("header or field descriptors not as the table is made", "byte " + std::to_string(i));
      break;
    }
  }
  const int month = file[kMonth], day = file[kDay];
  if (month < 1 || month > 12 || day < 1 || day > 31) check.faults.add("date of the last write is no date");
  const bool flag = (file[kFlags] & kFlagStructuralIndex) != 0;
  if ((file[kFlags] & ~kFlagStructuralIndex) != 0 || flag != structural_index)
    check.faults.add(structural_index ? "header does not mark its structural index"
                                      : "header marks a structural index that is not there");

  const auto layout = parse_layout(expected, expected.size());
  if (!layout) return;
  check.header_length = layout->header_length;
  check.record_length = layout->record_length;
  check.fields = layout->fields;
  check.records_usable = get_u16le(file.subspan(kHeaderLength)) == layout->header_length &&
                         get_u16le(file.subspan(kRecordLength)) == layout->record_length &&
                         std::equal(file.begin() + kHeaderSize, file.begin() + header_length,
                                    expected.begin() + kHeaderSize);
}

void check_size(TableCheck& check) {
  const std::uint64_t body = check.bytes.size() - check.header_length;
  check.records = static_cast<std::uint32_t>(std::min<std::uint64_t>(body / check.record_length, 0xFFFFFFFFu));
  const std::uint64_t rest = body % check.record_length;
  if (rest > 1 || (rest == 1 && static_cast<std::uint8_t>(check.bytes.back()) != kEndOfFile))
    check.faults.add("bytes after the last whole record", std::to_string(rest) + " bytes");
  const std::uint32_t count = get_u32le(as_bytes(check.bytes).subspan(kRecordCount));
  if (count != check.records)
    check.faults.add("header says " + std::to_string(count) + " records, the file holds " +
                     std::to_string(check.records));
}

void check_records(TableCheck& check) {
  for (std::uint32_t n = 1; n <= check.records; ++n) {
    const std::string_view record = check.record(n);
    const auto flag = static_cast<std::uint8_t>(record[0]);
    if (flag == kDeleted) check.faults.add("record marked deleted", "record " + std::to_string(n));
    else if (flag != kLive) check.faults.add("deletion flag neither blank nor *", "record " + std::to_string(n));
    for (std::size_t i = 0; i < check.fields.size(); ++i) {
      const Field& f = check.fields[i];
      const std::string_view value = record.substr(f.offset, f.length);
      if ((f.type == 'N' && !valid_number_text(value, f.decimals)) || (f.type == 'M' && !valid_memo_reference(value)))
        check.faults.add("field " + f.name + " holds no " + (f.type == 'N' ? "number" : "memo reference"),
                         "record " + std::to_string(n));
    }
  }
}

}  // namespace

bool valid_number_text(std::string_view field, int decimals) {
  std::size_t i = field.find_first_not_of(' ');
  if (i == std::string_view::npos) return true;
  if (field[i] == '-') ++i;
  const std::size_t digits = i;
  while (i < field.size() && is_digit(field[i])) ++i;
  if (i == digits) return false;
  if (decimals > 0) {
    if (i >= field.size() || field[i] != '.') return false;
    const std::size_t point = ++i;
    while (i < field.size() && is_digit(field[i])) ++i;
    if (i - point != static_cast<std::size_t>(decimals)) return false;
  }
  return i == field.size();
}

bool valid_memo_reference(std::string_view field) {
  const std::size_t i = field.find_first_not_of(' ');
  return i == std::string_view::npos || std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i), field.end(), is_digit);
}

TableCheck check_table(std::string_view path, std::span<const FieldSpec> schema, bool structural_index) {
  TableCheck check;
  if (!read_checked_file(path, check)) return check;
  check_header(check, schema, structural_index);
  if (!check.records_usable) return check;
  check_size(check);
  check_records(check);
  return check;
}

}  // namespace torvane::storage::dbf
