#pragma once
// Inside of a table handle, shared by dbf_table.cpp (file, records, fields, locks)
// and dbf_orders.cpp (index files, seek, key number and count). Not for other users.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "storage/dbf_locks.h"
#include "storage/dbf_record.h"
#include "storage/dbf_table.h"
#include "storage/fpt_memo.h"
#include "storage/order_index.h"

namespace torvane::storage {

// Records of an exclusive table, cached in one run of consecutive records: reads come
// from it and changed or appended records collect in it until it is written in one
// piece (before it moves, and on flush or close). Records outside it are on disk.
struct RecordWindow {
  std::uint32_t first = 0;  // first record number held; 0 = empty
  std::uint32_t count = 0;  // records held
  std::vector<std::uint8_t> bytes;
  std::uint32_t dirty_first = 0, dirty_last = 0;  // 1-based positions in the window; 0 = clean
  bool contains(std::uint32_t record) const { return first != 0 && record >= first && record < first + count; }
};

// A field name as at most two words, so that looking a field up by name compares
// numbers, not bytes: names of 8 to 16 bytes as their first and last eight bytes
// (overlapping), of 4 to 7 bytes as their first and last four, shorter ones packed.
// Two names of the same size are equal exactly when their probes are.
struct NameProbe {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  std::size_t size = 0;  // kNoProbe for names longer than 16 bytes
  static constexpr std::size_t kNoProbe = static_cast<std::size_t>(-1);
  static NameProbe of(std::string_view name) {
    NameProbe p;
    p.size = name.size();
    const char* d = name.data();
    if (name.size() > 16) {
      p.size = kNoProbe;
    } else if (name.size() >= 8) {
      std::memcpy(&p.head, d, 8);
      std::memcpy(&p.tail, d + name.size() - 8, 8);
    } else if (name.size() >= 4) {
      std::uint32_t head = 0, tail = 0;
      std::memcpy(&head, d, 4);
      std::memcpy(&tail, d + name.size() - 4, 4);
      p.head = head;
      p.tail = tail;
    } else {
      for (std::size_t i = 0; i < name.size(); ++i)
        p.head |= std::uint64_t{static_cast<unsigned char>(d[i])} << (8 * i);
    }
    return p;
  }
  bool operator==(const NameProbe&) const = default;
};

struct Order {
  std::unique_ptr<OrderIndex> index;
  std::string path;
  bool structural = false;
  bool maintained = false;  // the key field is one of the table's fields
  std::uint32_t key_offset = 0;
  std::uint32_t key_length = 0;
};

struct DbfTable::State {
  platform::File file;
  std::string path;
  std::string alias;
  Variant variant = Variant::cdx;
  bool shared = false;
  bool read_only = false;
  bool open = false;

  std::array<std::uint8_t, 32> header{};
  dbf::Layout layout;
  std::vector<NameProbe> name_probes;  // one per field of the layout
  std::uint32_t count = 0;        // logical record count
  std::uint32_t disk_count = 0;   // exclusive: records present in the file
  std::uint32_t record_number = 0;
  std::vector<std::uint8_t> record;
  mutable std::size_t field_hint = 0;  // where the next field lookup starts
  bool eof = true;
  bool bof = false;
  bool found = false;

  // The current record's pending change.
  bool hot = false;               // changed since it was read
  bool appended = false;          // new record, not yet counted in the header
  bool insert_pending = false;    // its keys still go into the orders
  bool was_deleted = false;       // deletion flag when the change began
  bool header_dirty = false;
  bool written = false;           // this handle has written to the file
  std::vector<std::string> old_keys;  // per order, when the change began

  dbf::TableLocks locks;
  std::unique_ptr<FptMemo> memo;
  RecordWindow window;
  std::uint32_t last_read = 0;

  std::vector<Order> orders;
  int controlling = 0;            // 1-based, 0 = record-number order
  bool order_synced = false;      // the controlling order is positioned on the current record
  std::optional<std::uint64_t> key_number;   // among visible keys
  std::optional<std::uint64_t> total_keys;   // all keys of the controlling order (exclusive)
  // Deleted records of the controlling order as (key, record), sorted: the hidden keys.
  std::optional<std::vector<std::pair<std::string, std::uint32_t>>> hidden;

  bool fail(int subcode, int os_code = 0);
  // Where record n (1-based) starts in the file.
  std::uint64_t record_offset(std::uint32_t n) const {
    return layout.header_length + std::uint64_t{n - 1} * layout.record_length;
  }
  bool hidden_record() const;     // current record deleted while deleted records are hidden
  void position_eof();
  bool read_record(std::uint32_t record_number);
  bool write_record(std::uint32_t record_number);
  bool flush_window();
  bool load_window(std::uint32_t record_number, bool sequential);
  std::uint32_t count_from_size();
  bool make_cold();
  void begin_change();
  bool write_header();
  std::string key_of(const Order& order) const;
  const Field* find_field(std::string_view name) const;  // nullptr: no such field
  Order* controlling_order();
  // Makes order n (1-based, 0 = record-number order) the controlling one; the counts
  // kept for the previous one do not hold for it.
  void set_controlling(int n) {
    controlling = n;
    total_keys.reset();
    hidden.reset();
  }
  void forget_positions();        // key number and order position unknown
};

void set_network_error();

// "D:\DVD\POOL.DBF" + "cdx" -> "D:\DVD\POOL.cdx": the extension replaced after the first
// point of the file-name part.
std::string with_extension(std::string_view path, std::string_view extension);
// "D:\DVD\POOL.DBF" -> "POOL"
std::string default_alias(std::string_view path);
// Field names and aliases are equal ignoring the letter case of A to Z.
bool same_name(std::string_view a, std::string_view b);

}  // namespace torvane::storage
