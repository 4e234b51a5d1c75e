#include "app/covers/key_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace torvane::app {
namespace {

// Against a std::map through growth from empty: keys differing only in their last
// bytes, blank-padded keys, keys inserted again (the first value stays) and keys of
// other lengths.
TEST(IsbnKeyMapTest, AgreesWithAnOrderedMap) {
  IsbnKeyMap keys;
  std::map<std::string, std::uint32_t> model;
  EXPECT_FALSE(keys.contains("9783000000001"));
  std::mt19937 random(7);
  for (std::uint32_t i = 0; i < 20000; ++i) {
    std::string key = std::to_string(9780000000000ULL + random() % 40000);
    if (i % 97 == 0) key = key.substr(0, 10) + "   ";
    keys.insert(key, i);
    model.emplace(key, i);
  }
  EXPECT_EQ(keys.size(), model.size());
  for (std::uint64_t n = 9780000000000ULL; n < 9780000000000ULL + 40000; ++n) {
    const std::string key = std::to_string(n);
    const auto it = model.find(key);
    ASSERT_EQ(keys.find(key), it == model.end() ? std::nullopt : std::optional(it->second)) << key;
  }
  for (const auto& [key, value] : model) EXPECT_EQ(keys.find(key), value);
  keys.insert("978300000000");
  EXPECT_FALSE(keys.contains("978300000000"));
  EXPECT_FALSE(keys.contains("97830000000011"));
  EXPECT_FALSE(keys.contains(""));
}

}  // namespace
}  // namespace torvane::app
