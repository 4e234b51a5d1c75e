#pragma once
// Test helpers for the NTX index: the pool table (ISBN C13, POOL N4, COVER N2) written
// byte by byte, and the shared index test helpers under the names these tests use.

#include <string>
#include <vector>

#include "storage/order_index.h"
#include "support/index_test_support.h"

namespace torvane::storage::testing {

using index_testing::read_bytes;
using index_testing::Row;
using index_testing::TempDir;
using index_testing::write_bytes;
// Records every failure message and answers "let it fail".
using RecordingHandler = index_testing::RecordFailures;

// A pool table on disk, every record in pool 1, open for reading, with the key source
// of its ISBN field.
class PoolTable {
 public:
  PoolTable(const std::string& path, const std::vector<Row>& rows)
      : table_(path, {{"ISBN", 'C', 13}, {"POOL", 'N', 4}, {"COVER", 'N', 2}}, rows, "   1") {}
  const KeySource& source() const { return table_.source; }
  KeySource& source() { return table_.source; }

 private:
  index_testing::IsbnTable table_;
};

}  // namespace torvane::storage::testing
