#pragma once
// Test helpers for the compound index: tables of the one-field ISBN schema written byte
// by byte, a temporary folder, a failure handler that records what was raised, and a
// checker that reads a whole index file on its own and verifies its invariants.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "support/posix_shims.h"
#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/cdx_format.h"
#include "storage/cdx_leaf.h"
#include "storage/order_index.h"

namespace torvane::storage::cdx_testing {

using namespace torvane::storage::cdx;

// The table "ISBN C13": header 66 bytes, records of 14.
constexpr std::uint32_t kHeaderLength = 66;
constexpr std::uint32_t kRecordLength = 14;

struct Row {
  std::string isbn;
  bool deleted = false;
};

inline std::vector<std::uint8_t> table_bytes(const std::vector<Row>& rows) {
  std::vector<std::uint8_t> bytes(kHeaderLength, 0);
  bytes[0] = 0x03;
  bytes[1] = 108;
  bytes[2] = bytes[3] = 1;
  put_u32le(std::span(bytes).subspan(4), static_cast<std::uint32_t>(rows.size()));
  put_u16le(std::span(bytes).subspan(8), kHeaderLength);
  put_u16le(std::span(bytes).subspan(10), kRecordLength);
  std::memcpy(bytes.data() + 32, "ISBN", 4);
  bytes[32 + 11] = 'C';
  bytes[32 + 16] = 13;
  bytes[64] = 0x0D;
  for (const Row& row : rows) {
    std::string record(kRecordLength, ' ');
    record[0] = row.deleted ? '*' : ' ';
    record.replace(1, std::min<std::size_t>(13, row.isbn.size()), row.isbn.substr(0, 13));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  bytes.push_back(0x1A);
  return bytes;
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A DBF file of rows, open for reading, and the key source over it.
struct Table {
  platform::File file;
  KeySource source;

  Table(const std::string& path, const std::vector<Row>& rows) {
    write_file(path, table_bytes(rows));
    file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                platform::Disposition::open_existing);
    source.table = &file;
    source.table_path = path;
    source.header_length = kHeaderLength;
    source.record_length = kRecordLength;
    source.record_count = static_cast<std::uint32_t>(rows.size());
    source.key_offset = 1;
    source.key_length = 13;
    source.key_type = 'C';
    source.key_field = "ISBN";
  }
};

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torvane-cdx-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Records every failure raised while it lives and lets the operation fail.
class RecordFailures {
 public:
  RecordFailures() {
    previous_ = platform::set_failure_handler([this](const platform::Failure& failure) {
      messages.push_back(failure.message);
      return platform::FailureChoice::fail;
    });
  }
  ~RecordFailures() { platform::set_failure_handler(previous_); }
  bool saw(const std::string& text) const {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }
  std::vector<std::string> messages;

 private:
  platform::FailureHandler previous_;
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
  const std::vector<std::uint8_t> file = read_file(path);
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
