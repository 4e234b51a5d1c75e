#pragma once
// The contract between a table and its index files. A table (dbf_table.h) owns its
// orders and calls them when records change; when an order controls the table,
// navigation goes through it. The CDX and NTX drivers implement it.
//
// An order sees every key, also those of records marked deleted; the table skips the
// hidden ones and keeps key number and key count of the visible keys.
//
// Failures have been raised through storage::raise() (and so reached the failure
// handler) by the time a call returns its failure result.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "storage/storage_error.h"

namespace torvane::storage {

// What an index needs to know about its table. The bulk build reads the DBF file
// directly, in blocks of whole records.
struct KeySource {
  platform::File* table = nullptr;
  std::string table_path;           // as the program built it (messages)
  std::uint32_t header_length = 0;
  std::uint32_t record_length = 0;
  std::uint32_t record_count = 0;   // records in the file, deleted ones included
  std::uint32_t key_offset = 0;     // offset of the key field in a record (flag byte is 0)
  std::uint32_t key_length = 0;     // the field's length: 13 for ISBN
  char key_type = 'C';
  std::string key_field;            // "ISBN"
};

struct IndexOptions {
  Variant variant = Variant::cdx;   // subsystem of raised failures
  bool shared = false;              // locks at the format's index lock offset
  bool read_only = false;
  std::size_t sort_memory_budget = std::size_t{256} << 20;
  // The index path a new CDX tag is named after; empty: the file's own. An index built
  // under a temporary name takes the tag of its final name.
  std::string named_after;
};

class OrderIndex {
 public:
  virtual ~OrderIndex() = default;

  virtual std::string_view key_field() const = 0;
  virtual std::uint32_t key_length() const = 0;
  // Tag name (CDX) or "" (NTX).
  virtual std::string tag_name() const = 0;

  // Navigation over all keys in (key, record number) order. Each returns the record
  // number positioned on, 0 past the last key, nullopt on failure.
  virtual std::optional<std::uint32_t> go_top() = 0;
  virtual std::optional<std::uint32_t> skip() = 0;
  // Positions on the first key that is >= value, comparing only value's length (value
  // may be shorter than the key; a longer one is cut). The caller decides "found".
  virtual std::optional<std::uint32_t> seek(std::string_view value) = 0;
  // The key positioned on (key_length bytes), empty past the end.
  virtual std::string current_key() const = 0;
  // 1-based position of the current key among all keys; 0 past the end.
  virtual std::optional<std::uint64_t> key_number() = 0;
  virtual std::optional<std::uint64_t> key_count() = 0;

  // Keeping the index current; key has key_length bytes.
  virtual bool insert(std::string_view key, std::uint32_t record) = 0;
  virtual bool remove(std::string_view key, std::uint32_t record) = 0;

  // Writes changed pages and headers to disk, keeping the file open (a table flush).
  virtual bool flush() { return true; }

  // Writes changed pages and headers, releases the file.
  virtual bool close() = 0;
};

// One driver per index format.
struct IndexDriver {
  std::string_view extension;  // "cdx" or "ntx", without the point
  // Bulk build: creates (truncates) the file and builds it from every record of the table.
  std::unique_ptr<OrderIndex> (*create)(std::string_view path, const KeySource& source,
                                        const IndexOptions& options) = nullptr;
  // Opens an existing index file (its first order).
  std::unique_ptr<OrderIndex> (*open)(std::string_view path, const KeySource& source,
                                      const IndexOptions& options) = nullptr;
};

// Opens an existing index file with the options' access and share mode; a refused open
// is raised as an index open error of `variant` and repeated while the handler asks
// for a retry. A closed file when it was given up.
platform::File open_index_file(std::string_view path, const IndexOptions& options, Variant variant);

// Drivers are registered once at start (register_cdx_driver(), register_ntx_driver()).
void register_index_driver(Variant variant, const IndexDriver& driver);
// nullptr when none is registered for the variant.
const IndexDriver* index_driver(Variant variant);

}  // namespace torvane::storage
