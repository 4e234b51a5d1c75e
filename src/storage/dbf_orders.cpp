// Orders of a table (index files through the variant's driver), navigation in key
// order with hidden records skipped, key number and key count; the alias registry
// and the run-wide settings.
//
// Key count of the visible keys = keys of the order - keys of deleted records. The
// first is read from the order once and then kept by counting our own inserts (a
// shared table asks the order each time, since others insert too); the second comes
// from one scan of the table for its deleted records, kept sorted by (key, record),
// and grows as records are deleted. The key number is counted up during a walk; after
// a seek it is the order's key position minus the hidden keys before the current one.

#include <algorithm>

#include "platform/path.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table_state.h"

namespace torvane::storage {
namespace {

bool same_file(std::string_view a, std::string_view b) {
  return platform::translate_path(a) == platform::translate_path(b);
}

}  // namespace

// --- Orders -------------------------------------------------------------------------

namespace {

KeySource key_source(DbfTable::State& s, const Field* key) {
  KeySource source;
  source.table = &s.file;
  source.table_path = s.path;
  source.header_length = s.layout.header_length;
  source.record_length = s.layout.record_length;
  source.record_count = s.shared ? s.count_from_size() : s.count;
  if (key != nullptr) {
    source.key_offset = key->offset;
    source.key_length = key->length;
    source.key_type = key->type;
    source.key_field = key->name;
  }
  return source;
}

// The CDX file named after the table: opened with it and marked in header byte 28.
bool structural_file(const DbfTable::State& s, std::string_view index_path) {
  return s.variant == Variant::cdx && same_file(with_extension(s.path, "cdx"), index_path);
}

IndexOptions index_options(const DbfTable::State& s) {
  IndexOptions options;
  options.variant = s.variant;
  options.shared = s.shared;
  options.read_only = s.read_only;
  return options;
}

}  // namespace

bool DbfTable::create_index(std::string_view index_path, std::string_view key_field, std::string_view named_after) {
  State& s = *s_;
  if (!s.open || !s.make_cold() || !s.flush_window()) return false;
  const auto key = field_index(key_field);
  if (!key) {
    raise(StorageError{kIndexKeyTypeError, s.variant, std::string(index_path), 0});
    return false;
  }
  const IndexDriver* driver = index_driver(s.variant);
  if (driver == nullptr) {
    raise(StorageError{kIndexCreateError, s.variant, std::string(index_path), 0});
    return false;
  }
  // A file already open is rebuilt: close it first.
  for (std::size_t i = 0; i < s.orders.size(); ++i) {
    if (!same_file(s.orders[i].path, index_path)) continue;
    s.orders[i].index->close();
    s.orders.erase(s.orders.begin() + static_cast<std::ptrdiff_t>(i));
    s.controlling = 0;
    break;
  }
  const Field& field = s.layout.fields[*key];
  IndexOptions options = index_options(s);
  options.named_after = std::string(named_after);
  auto index = driver->create(index_path, key_source(s, &field), options);
  if (!index) return false;
  Order order;
  order.index = std::move(index);
  order.path = std::string(index_path);
  order.structural = structural_file(s, index_path);
  order.maintained = true;
  order.key_offset = field.offset;
  order.key_length = field.length;
  const bool structural = order.structural;
  s.orders.push_back(std::move(order));
  s.set_controlling(static_cast<int>(s.orders.size()));
  if (structural && !s.read_only && !(s.header[dbf::kFlags] & dbf::kFlagStructuralIndex)) {
    s.header[dbf::kFlags] |= dbf::kFlagStructuralIndex;
    s.layout.flags = s.header[dbf::kFlags];
    s.locks.change_scheme(dbf::lock_scheme(s.variant, true));
    if (!s.write_header()) return false;
  }
  return order_top();
}

bool DbfTable::add_index(std::string_view index_path) {
  State& s = *s_;
  if (!s.open || !s.make_cold()) return false;
  for (const Order& o : s.orders)
    if (same_file(o.path, index_path)) return true;
  const IndexDriver* driver = index_driver(s.variant);
  if (driver == nullptr || driver->open == nullptr) {
    raise(StorageError{kIndexOpenError, s.variant, std::string(index_path), 0});
    return false;
  }
  const auto isbn = field_index("ISBN");
  auto index = driver->open(index_path, key_source(s, isbn ? &s.layout.fields[*isbn] : nullptr), index_options(s));
  if (!index) return false;
  Order order;
  order.path = std::string(index_path);
  order.structural = structural_file(s, index_path);
  if (const auto key = field_index(index->key_field())) {
    const Field& f = s.layout.fields[*key];
    order.maintained = f.length == index->key_length();
    order.key_offset = f.offset;
    order.key_length = f.length;
  }
  if (!order.maintained && !s.read_only) {
    // Its keys could not be kept current when records change.
    index->close();
    raise(StorageError{kIndexKeyTypeError, s.variant, std::string(index_path), 0});
    return false;
  }
  order.index = std::move(index);
  s.orders.push_back(std::move(order));
  if (s.controlling != 0) return true;
  s.set_controlling(static_cast<int>(s.orders.size()));
  return go_top();
}

void DbfTable::clear_indexes() {
  State& s = *s_;
  if (!s.open) return;
  s.make_cold();
  const Order* controlling = s.controlling_order();
  const Order* keep = nullptr;
  std::vector<Order> kept;
  for (Order& o : s.orders) {
    if (o.structural) {
      if (&o == controlling) keep = &o;
      kept.push_back(std::move(o));
    } else {
      o.index->close();
    }
  }
  s.orders = std::move(kept);
  s.set_controlling(keep != nullptr ? 1 : 0);
  s.forget_positions();
}

bool DbfTable::set_order(int number) {
  State& s = *s_;
  if (!s.open || number < 0 || number > static_cast<int>(s.orders.size()) || !s.make_cold()) return false;
  if (number != s.controlling) s.set_controlling(number);
  s.forget_positions();
  return true;
}

int DbfTable::order() const { return s_->controlling; }

std::string DbfTable::order_key_field() {
  const Order* o = s_->open ? s_->controlling_order() : nullptr;
  return o != nullptr ? std::string(o->index->key_field()) : std::string();
}

// --- Navigation in key order ----------------------------------------------------------

// Positions on the record the order stands on, or on the next visible one after it.
bool DbfTable::settle(std::optional<std::uint32_t> record) {
  State& s = *s_;
  Order& o = *s.controlling_order();
  s.order_synced = true;
  for (;;) {
    if (!record || *record == 0) {
      s.position_eof();
      return record.has_value();
    }
    if (s.shared && *record > s.count) s.count = s.count_from_size();
    if (*record <= s.count) {
      if (!s.read_record(*record)) {
        s.position_eof();
        return false;
      }
      if (!s.hidden_record()) {
        s.record_number = *record;
        s.eof = false;
        return true;
      }
    }
    // Hidden, or a key of a record the table does not have: not visible.
    record = o.index->skip();
  }
}

bool DbfTable::order_top() {
  State& s = *s_;
  s.forget_positions();
  s.found = false;
  if (s.shared) s.count = s.count_from_size();
  const bool ok = settle(s.controlling_order()->index->go_top());
  s.bof = s.eof;
  if (ok && !s.eof) s.key_number = 1;
  return ok;
}

void DbfTable::sync_order() {
  State& s = *s_;
  Order& o = *s.controlling_order();
  s.order_synced = true;
  if (s.eof || !o.maintained) return;
  const std::string key = s.key_of(o);
  auto record = o.index->seek(key);
  while (record && *record != 0 && *record != s.record_number && o.index->current_key() == key)
    record = o.index->skip();
}

bool DbfTable::order_next() {
  State& s = *s_;
  if (!s.order_synced) sync_order();
  const std::optional<std::uint64_t> before = s.key_number;
  const bool ok = settle(s.controlling_order()->index->skip());
  if (ok && !s.eof && before) s.key_number = *before + 1;
  return ok;
}

bool DbfTable::seek(std::string_view value) {
  State& s = *s_;
  s.found = false;
  if (!s.open || !s.make_cold()) return false;
  Order* o = s.controlling_order();
  if (o == nullptr) return false;
  value = value.substr(0, o->index->key_length());
  s.forget_positions();
  if (s.shared) s.count = s.count_from_size();
  if (!settle(o->index->seek(value)) || s.eof) return false;
  s.found = o->index->current_key().starts_with(value);
  if (!s.found) s.position_eof();
  return s.found;
}

// --- Key number and key count ------------------------------------------------------

const std::vector<std::pair<std::string, std::uint32_t>>& DbfTable::hidden_keys() {
  State& s = *s_;
  if (s.hidden) return *s.hidden;
  s.hidden.emplace();
  const Order* o = s.controlling_order();
  if (o == nullptr || !o->maintained || !s.flush_window()) return *s.hidden;
  const std::size_t rl = s.layout.record_length;
  const std::uint32_t count = s.shared ? s.count_from_size() : s.count;
  const std::uint32_t per_block = static_cast<std::uint32_t>(std::max<std::size_t>(1, 65535 / rl));
  std::vector<std::uint8_t> block;
  for (std::uint32_t first = 1; first <= count; first += per_block) {
    const std::uint32_t n = std::min(per_block, count - first + 1);
    block.resize(n * rl);
    const std::int64_t got = s.file.read_at(s.record_offset(first), block);
    if (got < 0) break;
    for (std::uint32_t i = 0; i < static_cast<std::uint64_t>(got) / rl; ++i) {
      const std::uint8_t* r = block.data() + i * rl;
      if (r[0] == dbf::kDeleted)
        s.hidden->emplace_back(std::string(reinterpret_cast<const char*>(r) + o->key_offset, o->key_length), first + i);
    }
  }
  std::sort(s.hidden->begin(), s.hidden->end());
  return *s.hidden;
}

std::uint64_t DbfTable::key_number() {
  State& s = *s_;
  if (!s.open || s.controlling_order() == nullptr || !s.make_cold() || s.eof) return 0;
  if (s.key_number) return *s.key_number;
  if (!s.order_synced) sync_order();
  Order& o = *s.controlling_order();
  const auto position = o.index->key_number();
  if (!position || *position == 0) return 0;
  const auto& hidden = hidden_keys();
  const auto entry = std::make_pair(o.index->current_key(), s.record_number);
  const auto before = static_cast<std::uint64_t>(std::lower_bound(hidden.begin(), hidden.end(), entry) - hidden.begin());
  s.key_number = *position > before ? *position - before : 1;
  return *s.key_number;
}

std::uint64_t DbfTable::order_key_total() {
  State& s = *s_;
  Order* o = s.open ? s.controlling_order() : nullptr;
  if (o == nullptr || !s.make_cold()) return 0;
  if (s.total_keys && !s.shared) return *s.total_keys;
  const auto total = o->index->key_count();
  if (!total) return 0;
  if (!s.shared) s.total_keys = *total;
  return *total;
}

std::uint64_t DbfTable::key_count() {
  const std::uint64_t total = order_key_total();
  if (total == 0) return 0;
  const std::uint64_t hidden = hidden_keys().size();
  return total > hidden ? total - hidden : 0;
}

}  // namespace torvane::storage
