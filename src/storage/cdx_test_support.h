#pragma once
// Test helpers for the compound index: tables of the one-field ISBN schema, the shared
// index test helpers, and a checker that reads a whole index file on its own and
// verifies its invariants.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/byte_order.h"
#include "storage/cdx_check.h"
#include "storage/cdx_format.h"
#include "storage/cdx_leaf.h"
#include "storage/order_index.h"
#include "support/index_test_support.h"

namespace torvane::storage::cdx_testing {

using namespace torvane::storage::cdx;

using index_testing::RecordFailures;
using index_testing::Row;
using index_testing::TempDir;
using index_testing::read_bytes;
using index_testing::write_bytes;

// The table "ISBN C13" (header 66 bytes, records of 14), open for reading, with the key
// source of its field.
struct Table : index_testing::IsbnTable {
  Table(const std::string& path, const std::vector<Row>& rows) : IsbnTable(path, {{"ISBN", 'C', 13}}, rows) {}
};

// 13-digit keys, and keys padded to 13 bytes.
inline std::string isbn(std::uint64_t n) {
  std::string digits = std::to_string(n);
  return std::string(13 - std::min<std::size_t>(13, digits.size()), '0') + digits;
}
inline std::string padded(std::string key) {
  key.resize(13, ' ');
  return key;
}

using Keys = std::vector<std::pair<std::string, std::uint32_t>>;

// The whole file checked on its own (cdx_check.h): "" or what is wrong; keys gets the
// tag's keys in order.
inline std::string check_index(const std::string& path, Keys& keys) {
  CheckResult result = check_file(path);
  keys = std::move(result.entries);
  return result.problem;
}

}  // namespace torvane::storage::cdx_testing
