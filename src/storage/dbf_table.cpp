#include "storage/dbf_table.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/fs.h"
#include "storage/byte_order.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table_state.h"
#include "text/file_name.h"

namespace torvane::storage {
namespace {

// The write-behind and read-ahead window of an exclusive table.
constexpr std::size_t kWindowBytes = 256 * 1024;
// A jump away from the window loads only this much around the record read.
constexpr std::size_t kRandomReadBytes = 4096;

bool network_error_flag = false;

}  // namespace

bool network_error() { return network_error_flag; }
void clear_network_error() { network_error_flag = false; }
void set_network_error() { network_error_flag = true; }

std::string with_extension(std::string_view path, std::string_view extension) {
  return std::string(text::cut_at_first_point(path)) + "." + std::string(extension);
}

bool same_name(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return upper(x) == upper(y); });
}

std::string default_alias(std::string_view path) {
  std::string_view name = text::cut_at_first_point(text::file_name_part(path));
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  std::string alias(name);
  for (char& c : alias) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return alias;
}

// --- State: records, window, header -------------------------------------------------

bool DbfTable::State::fail(int subcode, int os_code) {
  raise(StorageError{subcode, variant, path, os_code});
  return false;
}

bool DbfTable::State::hidden_record() const {
  return !record.empty() && record[0] == dbf::kDeleted;
}

void DbfTable::State::position_eof() {
  record_number = count + 1;
  std::fill(record.begin(), record.end(), dbf::kLive);
  eof = true;
  key_number.reset();
}

std::uint32_t DbfTable::State::count_from_size() {
  const std::int64_t size = file.size();
  if (size < static_cast<std::int64_t>(layout.header_length)) return 0;
  const std::uint64_t records = (static_cast<std::uint64_t>(size) - layout.header_length) / layout.record_length;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(records, 0xFFFFFFFFu));
}

bool DbfTable::State::flush_window() {
  RecordWindow& w = window;
  if (w.dirty_first == 0) return true;
  // The memo values first: a record never reaches the file before the value it names.
  if (memo && !memo->flush_values()) return false;
  const std::size_t rl = layout.record_length;
  const auto first = w.bytes.begin() + static_cast<std::ptrdiff_t>((w.dirty_first - 1) * rl);
  const std::span<const std::uint8_t> piece(&*first, (w.dirty_last - w.dirty_first + 1) * rl);
  const std::uint64_t at = record_offset(w.first + w.dirty_first - 1);
  w.dirty_first = w.dirty_last = 0;
  disk_count = std::max(disk_count, w.first + w.count - 1);
  written = true;
  if (file.write_at(at, piece) < 0) return fail(kWriteError, file.os_error());
  return true;
}

bool DbfTable::State::load_window(std::uint32_t number, bool sequential) {
  if (!flush_window()) return false;
  const std::size_t rl = layout.record_length;
  const std::size_t wanted = std::max<std::size_t>(1, (sequential ? kWindowBytes : kRandomReadBytes) / rl);
  const std::size_t present = disk_count >= number ? disk_count - number + 1 : 0;
  const std::size_t n = std::min(wanted, present);
  window.first = 0;
  window.count = 0;
  window.bytes.resize(n * rl);
  const std::int64_t got = n == 0 ? 0 : file.read_at(record_offset(number), window.bytes);
  if (got < static_cast<std::int64_t>(rl)) return fail(kReadError, got < 0 ? file.os_error() : 0);
  window.first = number;
  window.count = static_cast<std::uint32_t>(static_cast<std::size_t>(got) / rl);
  window.bytes.resize(window.count * rl);
  return true;
}

bool DbfTable::State::read_record(std::uint32_t number) {
  const std::size_t rl = layout.record_length;
  if (shared) {
    const std::int64_t got = file.read_at(record_offset(number), record);
    if (got != static_cast<std::int64_t>(rl)) return fail(kReadError, got < 0 ? file.os_error() : 0);
  } else {
    if (!window.contains(number) && !load_window(number, number == last_read + 1)) return false;
    std::memcpy(record.data(), window.bytes.data() + (number - window.first) * rl, rl);
  }
  last_read = number;
  return true;
}

bool DbfTable::State::write_record(std::uint32_t number) {
  const std::size_t rl = layout.record_length;
  if (shared) {
    written = true;
    if (file.write_at(record_offset(number), record) < 0) return fail(kWriteError, file.os_error());
    return true;
  }
  RecordWindow& w = window;
  const std::size_t capacity = std::max<std::size_t>(1, kWindowBytes / rl);
  if (!w.contains(number)) {
    if (w.first != 0 && number == w.first + w.count && w.count < capacity) {
      // Room for the whole window at once, not a resize per appended record.
      if (w.bytes.size() < (w.count + 1) * rl) w.bytes.resize(capacity * rl);
      ++w.count;
    } else if (number <= disk_count) {
      if (!load_window(number, true)) return false;
    } else {
      if (!flush_window()) return false;
      w.first = number;
      w.count = 1;
      w.bytes.resize(rl);
    }
  }
  const std::uint32_t position = number - w.first + 1;
  std::copy(record.begin(), record.end(), w.bytes.begin() + static_cast<std::ptrdiff_t>((position - 1) * rl));
  w.dirty_first = w.dirty_first == 0 ? position : std::min(w.dirty_first, position);
  w.dirty_last = std::max(w.dirty_last, position);
  return true;
}

void DbfTable::State::begin_change() {
  if (hot) return;
  hot = true;
  was_deleted = record[0] == dbf::kDeleted;
  old_keys.clear();
  for (const Order& o : orders) old_keys.push_back(key_of(o));
}

// Writes the pending record and keeps every order current: an appended record's keys
// go in once; a changed key is removed and inserted anew.
bool DbfTable::State::make_cold() {
  if (!hot && !insert_pending) return true;
  bool ok = !hot || write_record(record_number);
  bool touched = false;
  for (std::size_t i = 0; ok && i < orders.size(); ++i) {
    Order& o = orders[i];
    if (!o.maintained) continue;
    const std::string key = key_of(o);
    const bool controls = static_cast<int>(i) + 1 == controlling;
    if (insert_pending) {
      ok = o.index->insert(key, record_number);
      if (ok && controls && total_keys) ++*total_keys;
    } else if (i < old_keys.size() && old_keys[i] != key) {
      ok = o.index->remove(old_keys[i], record_number) && o.index->insert(key, record_number);
      if (controls && was_deleted) hidden.reset();
    } else {
      continue;
    }
    touched = true;
  }
  if (ok && hidden && record[0] == dbf::kDeleted && !was_deleted) {
    if (Order* o = controlling_order()) {
      auto entry = std::make_pair(key_of(*o), record_number);
      hidden->insert(std::upper_bound(hidden->begin(), hidden->end(), entry), std::move(entry));
    }
  }
  if (touched || (record[0] == dbf::kDeleted && !was_deleted)) forget_positions();
  if (appended) header_dirty = true;
  hot = appended = insert_pending = false;
  return ok;
}

bool DbfTable::State::write_header() {
  if (read_only) return true;
  written = true;
  const bool held = locks.append_locked();
  if (shared) {
    if (!held && !locks.lock_append()) return fail(kLockFailure, file.os_error());
    count = count_from_size();
  } else {
    if (!flush_window()) return false;
    const std::uint64_t end = layout.header_length + std::uint64_t{count} * layout.record_length;
    const std::uint8_t marker = dbf::kEndOfFile;
    if (file.write_at(end, std::span(&marker, 1)) < 0 || !file.truncate(end + 1))
      return fail(kWriteError, file.os_error());
    disk_count = count;
  }
  dbf::refresh_header(header, count);
  const bool header_written = file.write_at(0, header) == static_cast<std::int64_t>(header.size());
  if (shared && !held) locks.unlock_append();
  if (!header_written) return fail(kWriteError, file.os_error());
  header_dirty = false;
  return true;
}

std::string DbfTable::State::key_of(const Order& order) const {
  if (!order.maintained) return {};
  return std::string(reinterpret_cast<const char*>(record.data()) + order.key_offset, order.key_length);
}

Order* DbfTable::State::controlling_order() {
  return controlling > 0 ? &orders[static_cast<std::size_t>(controlling - 1)] : nullptr;
}

void DbfTable::State::forget_positions() {
  order_synced = false;
  key_number.reset();
}

// Callers name fields as stored and mostly in schema order, once per record: the field
// after the last one found is tried first, then all of them by probe, then all of them
// ignoring letter case.
const Field* DbfTable::State::find_field(std::string_view name) const {
  const std::vector<Field>& fields = layout.fields;
  const std::size_t n = name_probes.size();
  if (name.size() <= 16 && n > 0) {
    const NameProbe probe = NameProbe::of(name);
    std::size_t i = field_hint < n ? field_hint : 0;
    if (name_probes[i] == probe) {
      field_hint = i + 1;
      return &fields[i];
    }
    for (i = 0; i < n; ++i) {
      if (name_probes[i] == probe) {
        field_hint = i + 1;
        return &fields[i];
      }
    }
  }
  for (const Field& f : fields)
    if (same_name(f.name, name)) return &f;
  return nullptr;
}

// --- Create, open, close ----------------------------------------------------------

DbfTable::DbfTable(std::unique_ptr<State> state) : s_(std::move(state)) {}
DbfTable::~DbfTable() { close(); }

bool DbfTable::create(std::string_view path, std::span<const FieldSpec> fields, Variant variant) {
  const std::vector<std::uint8_t> bytes = dbf::build_new_table(fields);
  if (bytes.empty()) {
    raise(StorageError{kCreateError, variant, std::string(path), 0});
    return false;
  }
  for (;;) {
    // Cut only once the file is ours: a table open elsewhere is refused, not emptied.
    platform::File file = platform::File::open(path, platform::Access::read_write, platform::Share::exclusive,
                                               platform::Disposition::open_or_create);
    if (file.is_open() && file.truncate(0) && file.write_at(0, bytes) == static_cast<std::int64_t>(bytes.size()) &&
        file.flush())
      break;
    if (!raise(StorageError{kCreateError, variant, std::string(path), file.os_error()})) return false;
  }
  if (bytes[dbf::kVersion] == dbf::kVersionFptMemo) return FptMemo::create(with_extension(path, "fpt"), variant);
  return true;
}

std::unique_ptr<DbfTable> DbfTable::open(std::string_view path, const OpenOptions& options) {
  auto s = std::make_unique<State>();
  s->path = std::string(path);
  s->variant = options.variant.value_or(kDefaultVariant);
  s->alias = options.alias.empty() ? default_alias(path) : options.alias;
  s->shared = options.shared.value_or(false);
  s->read_only = options.read_only;
  for (;;) {
    s->file = platform::File::open(path, s->read_only ? platform::Access::read : platform::Access::read_write,
                                   s->shared ? platform::Share::shared : platform::Share::exclusive,
                                   platform::Disposition::open_existing);
    if (s->file.is_open()) break;
    if (s->file.os_error() == platform::kOsSharingViolation) {
      set_network_error();
      return nullptr;
    }
    if (!raise(StorageError{kOpenError, s->variant, s->path, s->file.os_error()})) return nullptr;
  }
  const std::int64_t size = s->file.size();
  std::vector<std::uint8_t> area(dbf::kHeaderSize);
  if (size < 0 || s->file.read_at(0, area) != static_cast<std::int64_t>(area.size())) {
    s->fail(kCorruption, s->file.os_error());
    return nullptr;
  }
  const std::uint32_t header_length = get_u16le(std::span(area).subspan(dbf::kHeaderLength));
  if (header_length > dbf::kHeaderSize && header_length <= static_cast<std::uint64_t>(size)) {
    area.resize(header_length);
    if (s->file.read_at(0, area) != static_cast<std::int64_t>(header_length)) area.resize(dbf::kHeaderSize);
  }
  auto layout = dbf::parse_layout(area, static_cast<std::uint64_t>(size));
  if (!layout) {
    s->fail(kCorruption);
    return nullptr;
  }
  s->layout = std::move(*layout);
  // A name is always the first field of that name: a later field of the same name (a
  // damaged or foreign table) gets a probe no name matches, so the hint never finds it.
  for (const Field& f : s->layout.fields) {
    NameProbe probe = NameProbe::of(f.name);
    if (std::find(s->name_probes.begin(), s->name_probes.end(), probe) != s->name_probes.end())
      probe.size = NameProbe::kNoProbe;
    s->name_probes.push_back(probe);
  }
  std::copy_n(area.begin(), s->header.size(), s->header.begin());
  s->record.assign(s->layout.record_length, dbf::kLive);
  s->count = s->disk_count = s->count_from_size();
  s->locks.attach(&s->file, dbf::lock_scheme(s->variant, s->layout.flags & dbf::kFlagStructuralIndex),
                  s->layout.header_length, s->layout.record_length);
  s->open = true;
  std::unique_ptr<DbfTable> table(new DbfTable(std::move(s)));
  if (!table->open_memo_and_index()) return nullptr;
  table->go_top();
  return table;
}

bool DbfTable::open_memo_and_index() {
  State& s = *s_;
  if (dbf::has_fpt_memo(s.layout)) {
    s.memo = FptMemo::open(with_extension(s.path, "fpt"), s.variant, s.shared, s.read_only);
    if (!s.memo) return false;
  }
  if (s.variant == Variant::cdx) {
    const std::string structural = with_extension(s.path, "cdx");
    if (platform::file_exists(structural) && !add_index(structural)) return false;
  }
  return true;
}

bool DbfTable::close() {
  if (!s_ || !s_->open) return true;
  State& s = *s_;
  // The header's record count is written last: a run killed before it leaves a count
  // behind the records, which the next run recognises and mends; one killed after it
  // has every record, memo value and index page it counts on disk.
  bool ok = s.make_cold();
  ok = s.flush_window() && ok;
  s.locks.release_all();
  if (s.memo) ok = s.memo->close() && ok;
  s.memo.reset();
  for (Order& o : s.orders) ok = o.index->close() && ok;
  s.orders.clear();
  s.controlling = 0;
  if (s.header_dirty) ok = s.write_header() && ok;
  // A table only read through this handle has nothing of ours to bring to disk.
  if (s.written && !s.file.flush()) ok = s.fail(kWriteError, s.file.os_error());
  s.file.close();
  s.open = false;
  return ok;
}

bool DbfTable::flush() {
  State& s = *s_;
  if (!s.open) return false;
  bool ok = s.make_cold() && s.flush_window();
  if (s.memo) ok = s.memo->flush() && ok;
  for (Order& o : s.orders) ok = o.index->flush() && ok;
  if (s.header_dirty) ok = s.write_header() && ok;
  if (!s.read_only && !s.file.flush()) ok = s.fail(kWriteError, s.file.os_error());
  return ok;
}

bool DbfTable::is_open() const { return s_ && s_->open; }
const std::string& DbfTable::path() const { return s_->path; }
const std::string& DbfTable::alias() const { return s_->alias; }
Variant DbfTable::variant() const { return s_->variant; }
bool DbfTable::shared() const { return s_->shared; }
bool DbfTable::read_only() const { return s_->read_only; }
std::uint8_t DbfTable::version() const { return s_->layout.version; }
std::uint32_t DbfTable::header_length() const { return s_->layout.header_length; }
std::uint32_t DbfTable::record_length() const { return s_->layout.record_length; }
const std::vector<Field>& DbfTable::fields() const { return s_->layout.fields; }
bool DbfTable::structural_index() const { return (s_->header[dbf::kFlags] & dbf::kFlagStructuralIndex) != 0; }
bool DbfTable::has_memo_file() const { return s_->memo != nullptr; }

std::optional<std::size_t> DbfTable::field_index(std::string_view name) const {
  const Field* f = s_->find_field(name);
  if (f == nullptr) return std::nullopt;
  return static_cast<std::size_t>(f - s_->layout.fields.data());
}

// --- Navigation in record order (orders: dbf_orders.cpp) ---------------------------

bool DbfTable::go_to(std::uint32_t number) {
  State& s = *s_;
  if (!s.open || !s.make_cold()) return false;
  if (s.shared && number > s.count) s.count = s.count_from_size();
  s.forget_positions();
  s.found = false;
  if (number == 0 || number > s.count) {
    s.position_eof();
    return true;
  }
  s.eof = false;
  s.record_number = number;
  if (s.read_record(number)) return true;
  s.position_eof();
  return false;
}

bool DbfTable::go_top() {
  State& s = *s_;
  if (!s.open || !s.make_cold()) return false;
  s.found = false;
  if (s.controlling_order() != nullptr) return order_top();
  if (s.shared) s.count = s.count_from_size();
  for (std::uint32_t r = 1; r <= s.count; ++r) {
    if (!s.read_record(r)) break;
    if (s.hidden_record()) continue;
    s.record_number = r;
    s.eof = s.bof = false;
    return true;
  }
  s.position_eof();
  s.bof = true;
  return true;
}

bool DbfTable::skip(long steps) {
  State& s = *s_;
  if (!s.open || steps < 0 || !s.make_cold()) return false;
  s.bof = false;
  for (long i = 0; i < steps && !s.eof; ++i) {
    if (s.controlling_order() != nullptr) {
      if (!order_next()) return false;
      continue;
    }
    std::uint32_t r = s.record_number;
    for (;;) {
      ++r;
      if (s.shared && r > s.count) s.count = s.count_from_size();
      if (r > s.count) {
        s.position_eof();
        break;
      }
      if (!s.read_record(r)) {
        s.position_eof();
        return false;
      }
      if (!s.hidden_record()) {
        s.record_number = r;
        break;
      }
    }
  }
  return true;
}

bool DbfTable::eof() const { return s_->eof; }
bool DbfTable::bof() const { return s_->bof; }
bool DbfTable::found() const { return s_->found; }
std::uint32_t DbfTable::record_number() const { return s_->record_number; }
bool DbfTable::deleted() const { return !s_->eof && s_->record[0] == dbf::kDeleted; }

std::uint32_t DbfTable::record_count() {
  State& s = *s_;
  if (s.open && s.shared) s.count = std::max(s.count, s.count_from_size());
  return s.count;
}

// --- Fields -----------------------------------------------------------------------

std::string DbfTable::text(std::string_view name) const {
  const Field* f = s_->find_field(name);
  if (f == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(s_->record.data()) + f->offset, f->length);
}

double DbfTable::number(std::string_view name) const {
  const Field* f = s_->find_field(name);
  if (f == nullptr) return 0;
  return dbf::decode_number(std::span(s_->record).subspan(f->offset, f->length));
}

std::optional<std::string> DbfTable::memo(std::string_view name) {
  State& s = *s_;
  const Field* f = s.find_field(name);
  if (f == nullptr || !dbf::memo_reference_type(f->type)) {
    s.fail(kDataTypeError);
    return std::nullopt;
  }
  const std::uint32_t block = dbf::decode_memo_reference(std::span(s.record).subspan(f->offset, f->length));
  if (block == 0) return std::string();
  if (!s.memo) {
    s.fail(kMemoOpenError);
    return std::nullopt;
  }
  return s.memo->read(block);
}

// The checks before a change of the current record; failures raised.
bool DbfTable::may_change() {
  State& s = *s_;
  if (!s.open || s.eof) return false;
  if (s.read_only) return s.fail(kWriteNotAllowed);
  if (s.shared && !s.locks.holds(s.record_number)) return s.fail(kLockRequired);
  return true;
}

const Field* DbfTable::field_for_change(std::string_view name, char type) {
  State& s = *s_;
  const Field* found = s.find_field(name);
  if (found == nullptr) {
    raise(StorageError{kDataTypeError, s.variant, std::string(name), 0});
    return nullptr;
  }
  const Field& f = *found;
  const bool fits = type == 'M' ? dbf::memo_reference_type(f.type) : type == 'N' ? (f.type == 'N' || f.type == 'F')
                                                                                 : f.type == type;
  if (!fits) {
    raise(StorageError{kDataTypeError, s.variant, s.path + " " + f.name, 0});
    return nullptr;
  }
  // A hot record of an exclusive table has passed these checks already and nothing
  // that would change their answer happens before it is made cold.
  if (s.hot && !s.shared) return &f;
  if (!may_change()) return nullptr;
  s.begin_change();
  return &f;
}

bool DbfTable::assign(std::string_view name, std::string_view value) {
  const Field* f = field_for_change(name, 'C');
  if (f == nullptr) return false;
  dbf::encode_text(std::span(s_->record).subspan(f->offset, f->length), value);
  return true;
}

bool DbfTable::assign_number(std::string_view name, double value) {
  const Field* f = field_for_change(name, 'N');
  if (f == nullptr) return false;
  if (dbf::encode_number(std::span(s_->record).subspan(f->offset, f->length), value, f->decimals)) return true;
  raise(StorageError{kDataWidthError, s_->variant, s_->path + " " + f->name, 0});
  return false;
}

bool DbfTable::assign_memo(std::string_view name, std::string_view value) {
  State& s = *s_;
  const Field* f = field_for_change(name, 'M');
  if (f == nullptr) return false;
  if (!s.memo) return s.fail(kMemoOpenError);
  const auto field = std::span(s.record).subspan(f->offset, f->length);
  const auto block = s.memo->write(dbf::decode_memo_reference(field), value);
  if (!block) return false;
  dbf::encode_memo_reference(field, *block);
  return true;
}

bool DbfTable::delete_record() {
  if (!may_change()) return false;
  s_->begin_change();
  s_->record[0] = dbf::kDeleted;
  return true;
}

// --- Appends and locks --------------------------------------------------------------

bool DbfTable::append() {
  State& s = *s_;
  if (!s.open || !s.make_cold()) return false;
  clear_network_error();
  if (s.read_only) return s.fail(kWriteNotAllowed);
  if (s.shared) {
    if (!s.locks.lock_append()) return s.fail(kLockFailure, s.file.os_error());
    s.count = s.count_from_size();
    const std::uint32_t number = s.count + 1;
    if (!s.locks.file_locked() && !s.locks.holds(number)) {
      s.locks.unlock_records();
      if (!s.locks.lock_record(number)) {
        s.locks.unlock_append();
        set_network_error();
        return false;
      }
    }
  }
  std::fill(s.record.begin(), s.record.end(), dbf::kLive);
  s.record_number = ++s.count;
  s.eof = s.bof = s.found = false;
  s.forget_positions();
  s.old_keys.clear();
  s.was_deleted = false;
  s.insert_pending = true;
  s.hot = true;
  s.appended = true;
  if (!s.shared) return true;
  // The blank record and the header go to the file at once; the keys follow with
  // the next write, when the fields are assigned.
  bool ok = s.write_record(s.record_number);
  s.hot = s.appended = false;
  ok = ok && s.write_header();
  s.locks.unlock_append();
  return ok;
}

bool DbfTable::lock_record() {
  State& s = *s_;
  if (!s.open) return false;
  if (!s.shared) return true;
  if (!s.make_cold() || s.eof) return false;
  if (s.locks.file_locked()) return true;
  s.locks.unlock_records();
  if (!s.locks.lock_record(s.record_number)) return false;
  // Read fresh: another process may have written the record before we got the lock.
  return s.read_record(s.record_number);
}

bool DbfTable::lock_file() {
  State& s = *s_;
  if (!s.open) return false;
  if (!s.shared) return true;
  if (!s.make_cold() || !s.locks.lock_file()) return false;
  return s.eof || s.read_record(s.record_number);
}

bool DbfTable::unlock() {
  State& s = *s_;
  if (!s.open) return false;
  const bool ok = s.make_cold();
  s.locks.unlock_records();
  s.locks.unlock_file();
  return ok;
}

}  // namespace torvane::storage
