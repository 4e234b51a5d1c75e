#include "storage/dbf_health.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "storage/byte_order.h"
#include "storage/dbf_format.h"
#include "storage/dbf_record.h"
#include "storage/dbf_table_state.h"

namespace torvane::storage {
namespace {

using Kind = TableHealth::Kind;

// The smallest header a table can have: one descriptor.
constexpr std::uint32_t kSmallestHeader = dbf::header_length(1);

// What the open file says; `path` names its companions.
TableHealth inspect_file(platform::File& file, std::string_view path, Variant variant) {
  TableHealth h;
  h.kind = Kind::unreadable;
  const std::int64_t size = file.size();
  if (size < 0) return h;
  if (size == 0) {
    h.kind = Kind::cut_short;
    return h;
  }
  std::vector<std::uint8_t> area(dbf::kHeaderSize);
  const std::int64_t got = file.read_at(0, area);
  if (got <= 0) return h;
  if (!dbf::readable_version(area[dbf::kVersion])) {
    h.kind = Kind::not_a_table;
    return h;
  }
  h.kind = Kind::cut_short;
  if (got < static_cast<std::int64_t>(dbf::kHeaderSize)) return h;
  const std::uint32_t header_length = get_u16le(std::span(area).subspan(dbf::kHeaderLength));
  if (header_length >= kSmallestHeader && header_length > static_cast<std::uint64_t>(size)) return h;

  h.kind = Kind::damaged;
  if (header_length > dbf::kHeaderSize && header_length <= static_cast<std::uint64_t>(size)) {
    area.resize(header_length);
    if (file.read_at(0, area) != static_cast<std::int64_t>(header_length)) return h;
  }
  const auto layout = dbf::parse_layout(area, static_cast<std::uint64_t>(size));
  if (!layout) return h;

  h.kind = Kind::table;
  h.header_length = layout->header_length;
  h.record_length = layout->record_length;
  h.header_count = get_u32le(std::span(area).subspan(dbf::kRecordCount));
  const std::uint64_t body = static_cast<std::uint64_t>(size) - layout->header_length;
  h.records = static_cast<std::uint32_t>(std::min<std::uint64_t>(body / layout->record_length, 0xFFFFFFFFu));
  const std::uint64_t rest = body % layout->record_length;
  if (rest > 1) {
    h.torn_record = true;
  } else if (rest == 1) {
    std::array<std::uint8_t, 1> last{};
    h.torn_record = file.read_at(static_cast<std::uint64_t>(size) - 1, last) != 1 || last[0] != dbf::kEndOfFile;
  }
  h.structural_flag = (layout->flags & dbf::kFlagStructuralIndex) != 0;
  h.structural_index = platform::file_exists(with_extension(path, "cdx"));
  h.flag_wrong = h.structural_flag ? !h.structural_index : variant == Variant::cdx && h.structural_index;
  h.memo_missing = dbf::has_fpt_memo(*layout) && !platform::file_exists(with_extension(path, "fpt"));
  h.fields = layout->fields;
  return h;
}

// The header bytes and the end of the file as a complete table has them. The end is
// only touched when a torn record is cut off; the header is written last, so a repair
// cut short is found and done again.
bool mend(platform::File& file, const TableHealth& h) {
  if (h.torn_record) {
    const std::uint64_t end = h.header_length + std::uint64_t{h.records} * h.record_length;
    const std::uint8_t marker = dbf::kEndOfFile;
    if (!file.truncate(end) || file.write_at(end, std::span(&marker, 1)) != 1) return false;
  }
  std::array<std::uint8_t, dbf::kHeaderSize> header{};
  if (file.read_at(0, header) != static_cast<std::int64_t>(header.size())) return false;
  put_u32le(std::span(header).subspan(dbf::kRecordCount), h.records);
  if (h.flag_wrong) header[dbf::kFlags] ^= dbf::kFlagStructuralIndex;
  return file.write_at(0, header) == static_cast<std::int64_t>(header.size()) && file.flush();
}

}  // namespace

TableHealth inspect_table(std::string_view path, Variant variant) {
  if (!platform::file_exists(path)) return {};
  platform::File file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                             platform::Disposition::open_existing);
  if (!file.is_open()) {
    TableHealth h;
    h.kind = Kind::unreadable;
    return h;
  }
  return inspect_file(file, path, variant);
}

bool repair_table(std::string_view path, Variant variant) {
  const auto time = platform::last_write_instant(path);
  platform::File file = platform::File::open(path, platform::Access::read_write, platform::Share::exclusive,
                                             platform::Disposition::open_existing);
  if (!file.is_open()) return false;
  // Judged again now that nobody else can change it.
  const TableHealth h = inspect_file(file, path, variant);
  if (!h.needs_repair()) return h.kind == Kind::table && !h.memo_missing;
  const bool mended = mend(file, h);
  file.close();
  if (mended && time) platform::set_last_write_instant(path, *time);
  return mended;
}

}  // namespace torvane::storage
