#pragma once
// Sorting the keys of a table for an index bulk build: every record of the DBF file
// in record-number order (deleted ones included) gives one (key, record number) pair;
// the pairs come back ordered by key bytes (unsigned), then record number. Up to the
// memory budget the sort runs in memory; beyond it sorted runs spill to a temporary
// file and are merged. The order is the same whatever the budget.

#include <cstdint>
#include <memory>
#include <string_view>

#include "storage/order_index.h"

namespace torvane::storage {

class SortedKeys {
 public:
  virtual ~SortedKeys() = default;
  // The next pair: key has the source's key length. False at the end or on failure
  // (then failed() is true and the failure has been raised).
  virtual bool next(std::string_view& key, std::uint32_t& record) = 0;
  virtual bool failed() const = 0;
  virtual std::uint64_t count() const = 0;  // pairs in all
};

// nullptr when the table could not be read (the failure has been raised).
std::unique_ptr<SortedKeys> sort_keys(const KeySource& source, const IndexOptions& options);

}  // namespace torvane::storage
