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

// Reads the whole file without the index code's own tree logic and checks: headers;
// every page within capacity; leaf free-space fields equal to what the keys use; the
// leaf layout of the widths; sibling links consistent both ways on every level;
// every interior entry equal to the last key of its child; all keys strictly in order;
// the free-page list; and every page of the file either in the tree or free. Fills keys
// with the tag's keys in order; returns "" or what is wrong.
inline std::string check_index(const std::string& path, Keys& keys) {
  keys.clear();
  const std::vector<std::uint8_t> file = read_bytes(path);
  const std::span<const std::uint8_t> bytes(file);
  if (file.size() < kFirstTagPageOffset + kPageSize || file.size() % kPageSize != 0) return "file size";
  if (get_u32le(bytes) != kDirectoryRootOffset || bytes[kHdrOptions] != 0xE0 || get_u16le(bytes.subspan(12)) != 10)
    return "compound header";
  const auto tag_header = bytes.subspan(kFirstTagHeaderOffset);
  if (tag_header[kHdrOptions] != 0x60 || get_u16le(tag_header.subspan(12)) != 13) return "tag header";
  const std::uint32_t pages = static_cast<std::uint32_t>(file.size() / kPageSize);
  std::vector<int> use(pages, 0);  // 1 tree, 2 free
  use[0] = use[1] = use[2] = use[3] = use[4] = 1;

  // Level by level from the root; `expected` holds the pair each page must end with.
  std::vector<std::uint32_t> level{get_u32le(tag_header)};
  std::vector<std::pair<std::string, std::uint32_t>> expected{{"", 0}};
  bool leaf_level = false;
  bool first_level = true;
  while (!leaf_level) {
    std::vector<std::uint32_t> next;
    std::vector<std::pair<std::string, std::uint32_t>> next_expected;
    for (std::size_t p = 0; p < level.size(); ++p) {
      const std::uint32_t offset = level[p];
      if (offset % kPageSize != 0 || offset / kPageSize >= pages) return "page offset";
      if (use[offset / kPageSize] != 0) return "page used twice";
      use[offset / kPageSize] = 1;
      const auto raw = bytes.subspan(offset, kPageSize);
      Page page;
      if (!decode_page(raw, offset, 13, ' ', page)) return "undecodable page";
      if (page.root != first_level) return "root bit";
      if (p == 0 ? page.left != kNoPage : page.left != level[p - 1]) return "left link";
      if (p + 1 == level.size() ? page.right != kNoPage : page.right != level[p + 1]) return "right link";
      if (p == 0) leaf_level = page.leaf;
      if (page.leaf != leaf_level) return "levels of mixed kind";
      if (page.count() == 0 && !(first_level && page.leaf)) return "empty page";
      if (!first_level && (page.last_key() != expected[p].first || page.records.back() != expected[p].second))
        return "interior entry is not the child's last key";
      if (page.leaf) {
        const std::uint32_t used = leaf_used(page, ' ');
        if (used > kKeyAreaSize || get_u16le(raw.subspan(kLfFree)) != kKeyAreaSize - used) return "leaf free space";
        std::array<std::uint8_t, kPageSize> again{};
        if (!encode_page(page, ' ', again) || !std::equal(again.begin(), again.end(), raw.begin()))
          return "leaf bytes not as the layout makes them";
        for (std::size_t i = 0; i < page.count(); ++i) {
          if (!keys.empty() && std::make_pair(std::string(page.key(i)), page.records[i]) <= keys.back())
            return "keys out of order";
          keys.emplace_back(std::string(page.key(i)), page.records[i]);
        }
      } else {
        if (page.count() > interior_capacity(13)) return "interior page over capacity";
        for (std::size_t i = 0; i < page.count(); ++i) {
          next.push_back(page.children[i]);
          next_expected.emplace_back(std::string(page.key(i)), page.records[i]);
        }
      }
    }
    if (!leaf_level) {
      level = std::move(next);
      expected = std::move(next_expected);
    }
    first_level = false;
  }
  std::uint32_t free_page = get_u32le(bytes.subspan(kHdrFreeList));
  while (free_page != 0) {
    if (free_page % kPageSize != 0 || free_page / kPageSize >= pages || use[free_page / kPageSize] != 0)
      return "free list";
    use[free_page / kPageSize] = 2;
    const auto raw = bytes.subspan(free_page, kPageSize);
    if (std::any_of(raw.begin() + 4, raw.end(), [](std::uint8_t b) { return b != 0; })) return "free page not zero";
    free_page = get_u32le(raw);
  }
  if (std::count(use.begin(), use.end(), 0) != 0) return "page neither in the tree nor free";
  return "";
}

}  // namespace torvane::storage::cdx_testing
