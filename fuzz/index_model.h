#pragma once
// Drives an index that the code built itself through inserts, removes, seeks and
// reopenings chosen by the input, beside a model of what it must hold: the set of
// (key, record) pairs in order. The walk gives exactly the model's pairs in ascending
// order, the key count and key numbers match it, a seek lands where the model says.
//
// Input: 4 bytes per step, [op, a, b, c]:
//   op % 8 < 5   insert the key made of op, a and b for record c + 1 (+ 256 x (op / 8 % 4))
//   op % 8 == 5  remove the pair at position (a, b) of the model
//   op % 8 == 6  seek the first c % 13 + 1 characters of the key of a and b
//   op % 8 == 7  insert 40 keys in a row from the key of a and b (splits pages), while
//                the model holds fewer than kMaxModelKeys
//   op == 0xFF   close and reopen the index

#include <cstdint>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/fuzz_support.h"
#include "platform/file.h"
#include "storage/order_index.h"

namespace torvane::fuzz {

using IndexFunction = std::unique_ptr<storage::OrderIndex> (*)(std::string_view, const storage::KeySource&,
                                                                const storage::IndexOptions&);
using Model = std::set<std::pair<std::string, std::uint32_t>>;

// Enough keys for a tree of three levels; more only slow the fuzzer down.
constexpr std::size_t kMaxModelKeys = 4000;

// A table without records whose only field is the 13-character ISBN.
struct EmptyIsbnTable {
  platform::File file;
  storage::KeySource source;

  explicit EmptyIsbnTable(const std::string& path) {
    std::string bytes(66, '\0');
    bytes[0] = 0x03;
    bytes[8] = 66;  // header length
    bytes[10] = 14;  // record length: the deletion flag and the ISBN
    bytes.replace(32, 4, "ISBN");
    bytes[32 + 11] = 'C';
    bytes[32 + 16] = 13;
    bytes[64] = 0x0D;
    put_file(path, bytes + '\x1A');
    file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                platform::Disposition::open_existing);
    source.table = &file;
    source.table_path = path;
    source.header_length = 66;
    source.record_length = 14;
    source.key_offset = 1;
    source.key_length = 13;
    source.key_field = "ISBN";
  }
};

inline std::string model_key(std::uint8_t op, std::uint8_t a, std::uint8_t b) {
  const std::string digits = std::to_string(100000 + a * 256 + b).substr(1);
  // Trailing blanks and shared prefixes are what the key compression works on.
  const std::string tail = (op & 0x40) ? std::string(5, ' ') : std::to_string(100000 + (a ^ op) * 7).substr(1);
  return "978" + digits + tail;
}

inline void require_model(storage::OrderIndex& index, const Model& model) {
  std::optional<std::uint32_t> record = index.go_top();
  std::uint64_t position = 0;
  for (const auto& [key, number] : model) {
    require(record && *record == number && index.current_key() == key);
    ++position;
    if (position % 64 == 1) require(index.key_number() == position);
    record = index.skip();
  }
  require(record && *record == 0);
  require(index.key_count() == model.size());
}

inline void run_index_model(IndexFunction create, IndexFunction open, storage::Variant variant,
                            const std::uint8_t* data, std::size_t size) {
  const std::string index_path = scratch_path(variant == storage::Variant::cdx ? "m.cdx" : "m.ntx");
  EmptyIsbnTable table(scratch_path("m.dbf"));
  storage::IndexOptions options;
  options.variant = variant;
  options.sort_memory_budget = 64 * 1024;  // the build of an empty table needs none
  std::unique_ptr<storage::OrderIndex> index = create(index_path, table.source, options);
  require(index != nullptr);
  Model model;
  auto insert = [&](const std::string& key, std::uint32_t record) {
    if (!model.emplace(key, record).second) return;
    require(index->insert(key, record));
  };
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    const std::uint8_t op = data[at], a = data[at + 1], b = data[at + 2], c = data[at + 3];
    if (op == 0xFF) {
      require(index->close());
      index = open(index_path, table.source, options);
      require(index != nullptr);
      require_model(*index, model);
    } else if (op % 8 < 5) {
      insert(model_key(op, a, b), c + 1u + 256u * (op / 8 % 4));
    } else if (op % 8 == 5) {
      if (model.empty()) continue;
      auto it = std::next(model.begin(), static_cast<long>((a * 256u + b) % model.size()));
      require(index->remove(it->first, it->second));
      model.erase(it);
    } else if (op % 8 == 6) {
      const std::string value = model_key(op, a, b).substr(0, c % 13 + 1);
      const auto it = model.lower_bound({value, 0});
      const std::optional<std::uint32_t> record = index->seek(value);
      require(record && *record == (it == model.end() ? 0 : it->second));
      if (it != model.end()) {
        require(index->current_key() == it->first);
        require(index->key_number() == static_cast<std::uint64_t>(std::distance(model.begin(), it)) + 1);
      }
    } else if (model.size() < kMaxModelKeys) {
      for (std::uint8_t i = 0; i < 40; ++i) insert(model_key(op, a, static_cast<std::uint8_t>(b + i)), c * 64u + i + 1);
    }
    // The count is kept, a walk costs every key: walk at reopenings and at the end.
    require(index->key_count() == model.size());
  }
  require_model(*index, model);
  require(index->close());
}

}  // namespace torvane::fuzz
