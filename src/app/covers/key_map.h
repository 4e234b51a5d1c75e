#pragma once
// The 13-byte ISBN keys of a table held in memory for a run, each with a number (the
// record it was first found in). Each key is packed into two 64-bit words of one flat
// open-addressing array, so a look-up costs one hash and, mostly, one cache line: a run
// looks up every title of the pool table, millions of them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace torvane::app {

class IsbnKeyMap {
 public:
  static constexpr std::size_t kKeyLength = 13;

  void reserve(std::size_t keys);
  // A key already present keeps its first value; keys of any other length are neither
  // stored nor found.
  void insert(std::string_view key, std::uint32_t value = 0);
  std::optional<std::uint32_t> find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key).has_value(); }
  std::size_t size() const { return used_; }

 private:
  // tail holds bytes 8..12 and, in its top byte, the mark of a used slot.
  struct Slot {
    std::uint64_t head = 0, tail = 0;
    bool operator==(const Slot&) const = default;
  };
  static Slot pack(std::string_view key);
  std::size_t home(const Slot& key) const;
  // The slot of the key, or the empty slot where it belongs.
  std::size_t place(const Slot& key) const;

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> values_;
  std::size_t used_ = 0;
};

}  // namespace torvane::app
