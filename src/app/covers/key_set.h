#pragma once
// The 13-byte ISBN keys of a cover or not-found table held in memory for a run. Each
// key is packed into two 64-bit words of one flat open-addressing array, so a look-up
// costs one hash and, mostly, one cache line: a run looks up every title of the pool
// table, millions of them.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace torvane::app {

class IsbnKeySet {
 public:
  static constexpr std::size_t kKeyLength = 13;

  void reserve(std::size_t keys);
  // Keys of any other length are neither stored nor found.
  void insert(std::string_view key);
  bool contains(std::string_view key) const;
  std::size_t size() const { return used_; }

 private:
  // tail holds bytes 8..12 and, in its top byte, the mark of a used slot.
  struct Slot {
    std::uint64_t head = 0, tail = 0;
    bool operator==(const Slot&) const = default;
  };
  static Slot pack(std::string_view key);
  std::size_t home(const Slot& key) const;
  void grow();

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace torvane::app
