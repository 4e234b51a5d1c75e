#include "app/covers/key_map.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace torvane::app {
namespace {

constexpr std::uint64_t kUsed = std::uint64_t{1} << 56;
constexpr std::size_t kFirstCapacity = 64;

}  // namespace

IsbnKeyMap::Slot IsbnKeyMap::pack(std::string_view key) {
  Slot slot;
  std::memcpy(&slot.head, key.data(), 8);
  std::memcpy(&slot.tail, key.data() + 8, kKeyLength - 8);
  slot.tail |= kUsed;
  return slot;
}

std::size_t IsbnKeyMap::home(const Slot& key) const {
  std::uint64_t h = key.head ^ std::rotl(key.tail, 29);
  h *= 0x9E3779B97F4A7C15ULL;
  h ^= h >> 32;
  return static_cast<std::size_t>(h) & (slots_.size() - 1);
}

std::size_t IsbnKeyMap::place(const Slot& key) const {
  std::size_t at = home(key);
  while (slots_[at].tail != 0 && !(slots_[at] == key)) at = (at + 1) & (slots_.size() - 1);
  return at;
}

void IsbnKeyMap::reserve(std::size_t keys) {
  // At most half full: probe runs stay short.
  if (2 * keys <= slots_.size()) return;
  std::vector<Slot> old_slots = std::move(slots_);
  std::vector<std::uint32_t> old_values = std::move(values_);
  const std::size_t capacity = std::bit_ceil(std::max(kFirstCapacity, 2 * keys));
  slots_.assign(capacity, Slot{});
  values_.assign(capacity, 0);
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (old_slots[i].tail == 0) continue;
    const std::size_t at = place(old_slots[i]);
    slots_[at] = old_slots[i];
    values_[at] = old_values[i];
  }
}

void IsbnKeyMap::insert(std::string_view key, std::uint32_t value) {
  if (key.size() != kKeyLength) return;
  if (2 * (used_ + 1) > slots_.size()) reserve(std::max(kFirstCapacity, slots_.size()));
  const Slot slot = pack(key);
  const std::size_t at = place(slot);
  if (slots_[at].tail != 0) return;
  slots_[at] = slot;
  values_[at] = value;
  ++used_;
}

std::optional<std::uint32_t> IsbnKeyMap::find(std::string_view key) const {
  if (key.size() != kKeyLength || slots_.empty()) return std::nullopt;
  const std::size_t at = place(pack(key));
  if (slots_[at].tail == 0) return std::nullopt;
  return values_[at];
}

}  // namespace torvane::app
