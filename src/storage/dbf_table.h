#pragma once
// DBF tables: one handle per open table. Records marked deleted are invisible to go
// top, skip, seek and key counts in every run; a deleted record is still reached by its
// number.
//
// Handle states and locks:
//
//   create() ──> file written and closed again
//
//   open() ──> exclusive ──────────────┐     no byte locks; appends and field writes
//          │                           │     collect in a write-behind buffer that is
//          ├─> shared ─────────────────┤     written on a move away, flush or close
//          │     append lock   (waits) │
//          │     header lock   (waits) │     shared: the append/header byte, the record
//          │     record lock n (once)  │     bytes and the whole-file range sit at the
//          │     whole file    (once)  │     offsets of the variant's lock scheme
//          └─> read-only (either mode) │     (dbf_locks.h); every write is direct
//                                      v
//                     close(): pending record written, locks released, header
//                     rewritten after appends, index and memo files closed, flushed
//
// A record is "hot" from its first change until it is made cold by a move, skip,
// seek, lock, unlock, flush or close; then it is written and its index keys updated.
//
// Failures are results: false, nullptr, nullopt, empty. Each has been raised through
// storage::raise() (the failure handler) by then, except the two absorbed ones: an
// open refused for a sharing conflict and an append whose record lock failed only set
// the network-error flag. No exceptions leave this module.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/storage_error.h"

namespace torvane::storage {

class DbfTable;

// One field as declared when a table is created.
struct FieldSpec {
  std::string name;            // upper case ASCII, at most 10 characters
  char type = 'C';             // 'C', 'N' or 'M' (an 'M' field is always 10 bytes)
  std::uint16_t length = 0;
  std::uint8_t decimals = 0;   // 'N' only
};

// One field of an open table.
struct Field {
  std::string name;
  char type = 'C';
  std::uint16_t length = 0;
  std::uint8_t decimals = 0;
  std::uint32_t offset = 0;    // in the record; the deletion flag is byte 0
};

// The variant of an open or create that names none.
inline constexpr Variant kDefaultVariant = Variant::cdx;

// Set by an open refused for a sharing conflict and by an append whose record lock
// failed; cleared by every append. The phases test it after each append.
bool network_error();
void clear_network_error();

struct OpenOptions {
  std::optional<Variant> variant;  // kDefaultVariant when empty
  std::string alias;               // file name without directory and extension, upper case, when empty
  std::optional<bool> shared;      // exclusive (false) when empty
  bool read_only = false;

  // OpenOptions().with_variant(Variant::cdx).with_alias("IMP").with_read_only()
  OpenOptions& with_variant(Variant v) { variant = v; return *this; }
  OpenOptions& with_alias(std::string a) { alias = std::move(a); return *this; }
  OpenOptions& with_shared(bool s) { shared = s; return *this; }
  OpenOptions& with_read_only(bool r = true) { read_only = r; return *this; }
};

class DbfTable {
 public:
  // Creates (or truncates) the table with header, descriptors and 0x0D 0x00 0x1A; a
  // schema with an 'M' field also gets its memo file (<name>.fpt). The file is closed again.
  static bool create(std::string_view path, std::span<const FieldSpec> fields, Variant variant);
  // Opens a table positioned on its first visible record; nullptr on failure (a sharing
  // conflict sets the network-error flag instead of raising). In the CDX variant the
  // structural index (<name>.cdx) is opened when it exists.
  static std::unique_ptr<DbfTable> open(std::string_view path, const OpenOptions& options = {});

  DbfTable(const DbfTable&) = delete;
  DbfTable& operator=(const DbfTable&) = delete;
  ~DbfTable();  // closes

  // Pending record written, locks released, header rewritten after appends, index and
  // memo files closed, everything flushed. True when all of it succeeded.
  bool close();
  bool is_open() const;

  // --- What the table is ---
  const std::string& path() const;   // as the program built it
  const std::string& alias() const;
  Variant variant() const;
  bool shared() const;
  bool read_only() const;
  std::uint8_t version() const;
  std::uint32_t header_length() const;
  std::uint32_t record_length() const;
  const std::vector<Field>& fields() const;
  std::optional<std::size_t> field_index(std::string_view name) const;  // ignores letter case
  bool structural_index() const;     // header byte 28 bit 0
  bool has_memo_file() const;

  // --- Navigation (deleted records skipped while they are hidden) ---
  bool go_top();
  bool skip(long count = 1);           // count >= 0; past the last visible record: eof
  bool go_to(std::uint32_t record);    // any record, hidden or not; beyond the count: eof
  bool eof() const;
  bool bof() const;
  bool found() const;                  // result of the last seek
  std::uint32_t record_number() const; // count + 1 at eof
  std::uint32_t record_count();        // records in the file, deleted ones included
  bool deleted() const;                // current record marked deleted

  // --- Reading fields of the current record ---
  std::string text(std::string_view field) const;   // the field's bytes as stored ("" unknown field)
  double number(std::string_view field) const;      // an 'N' field's value (0 when blank)
  // A memo field's value; empty for a blank reference; nullopt on failure.
  std::optional<std::string> memo(std::string_view field);

  // --- Changing the table ---
  bool append();                       // blank record at the end, positioned on it
  bool assign(std::string_view field, std::string_view text);  // 'C' fields
  bool assign_number(std::string_view field, double value);    // 'N' fields; too wide: all '*'
  bool assign_memo(std::string_view field, std::string_view bytes);  // 'M' fields
  bool delete_record();                // deletion flag "*"
  bool lock_record();                  // one attempt; always true when exclusive
  bool lock_file();                    // the whole-file lock, one attempt; true when exclusive
  bool unlock();                       // writes the pending record, releases every lock
  bool flush();                        // pending record, header, index and memo to disk

  // --- Orders (index files through the variant's driver, see order_index.h) ---
  // Builds the index file from all records (one tag named after the file, or after
  // `named_after` for a table built under a temporary name) and makes it the
  // controlling order. A structural CDX index sets header byte 28 at once.
  bool create_index(std::string_view index_path, std::string_view key_field = "ISBN",
                    std::string_view named_after = {});
  bool add_index(std::string_view index_path);  // a file already open is not opened again
  void clear_indexes();                // closes all but the structural index
  bool set_order(int order);           // 1-based; 0 = record-number order
  int order() const;
  // The key field of the controlling order ("" without one), so a caller can tell
  // whether an index it did not build is keyed on the field it searches.
  std::string order_key_field();
  // First visible record whose key begins with value; found() tells; not found: eof.
  bool seek(std::string_view value);
  // Position of the current record among the visible keys of the controlling order,
  // and their count; both kept or cached, not recounted per call. 0 without an order.
  std::uint64_t key_number();
  std::uint64_t key_count();
  // Keys held by the controlling order, hidden ones included (consistency checks).
  std::uint64_t order_key_total();

  struct State;  // the handle's inside (dbf_table_state.h)

 private:
  explicit DbfTable(std::unique_ptr<State> state);
  bool open_memo_and_index();
  bool may_change();
  const Field* field_for_change(std::string_view name, char type);
  bool order_top();
  bool order_next();
  bool settle(std::optional<std::uint32_t> record);
  void sync_order();
  const std::vector<std::pair<std::string, std::uint32_t>>& hidden_keys();
  std::unique_ptr<State> s_;
};

}  // namespace torvane::storage
