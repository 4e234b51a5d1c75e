#include "app/covers/key_set.h"

#include <bit>
#include <cstring>

namespace torvane::app {
namespace {

constexpr std::uint64_t kUsed = std::uint64_t{1} << 56;
constexpr std::size_t kFirstCapacity = 64;

}  // namespace

IsbnKeySet::Slot IsbnKeySet::pack(std::string_view key) {
  Slot slot;
  std::memcpy(&slot.head, key.data(), 8);
  std::memcpy(&slot.tail, key.data() + 8, kKeyLength - 8);
  slot.tail |= kUsed;
  return slot;
}

std::size_t IsbnKeySet::home(const Slot& key) const {
  std::uint64_t h = key.head ^ std::rotl(key.tail, 29);
  h *= 0x9E3779B97F4A7C15ULL;
  h ^= h >> 32;
  return static_cast<std::size_t>(h) & (slots_.size() - 1);
}

void IsbnKeySet::reserve(std::size_t keys) {
  // At most half full: probe runs stay short.
  if (2 * keys <= slots_.size()) return;
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::bit_ceil(std::max(kFirstCapacity, 2 * keys)), Slot{});
  for (const Slot& slot : old) {
    if (slot.tail == 0) continue;
    std::size_t at = home(slot);
    while (slots_[at].tail != 0) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = slot;
  }
}

void IsbnKeySet::grow() { reserve(std::max(kFirstCapacity, slots_.size())); }

void IsbnKeySet::insert(std::string_view key) {
  if (key.size() != kKeyLength) return;
  if (2 * (used_ + 1) > slots_.size()) grow();
  const Slot slot = pack(key);
  std::size_t at = home(slot);
  while (slots_[at].tail != 0) {
    if (slots_[at] == slot) return;
    at = (at + 1) & (slots_.size() - 1);
  }
  slots_[at] = slot;
  ++used_;
}

bool IsbnKeySet::contains(std::string_view key) const {
  if (key.size() != kKeyLength || slots_.empty()) return false;
  const Slot slot = pack(key);
  for (std::size_t at = home(slot);; at = (at + 1) & (slots_.size() - 1)) {
    if (slots_[at].tail == 0) return false;
    if (slots_[at] == slot) return true;
  }
}

}  // namespace torvane::app
