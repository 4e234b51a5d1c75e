#include "app/covers/key_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace torvane::app {
namespace {

// Against a std::set through growth from empty: keys differing only in their last
// bytes, blank-padded keys and keys of other lengths.
TEST(IsbnKeySetTest, AgreesWithAnOrderedSet) {
  IsbnKeySet keys;
  std::set<std::string> model;
  EXPECT_FALSE(keys.contains("9783000000001"));
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string key = std::to_string(9780000000000ULL + random() % 40000);
    if (i % 97 == 0) key = key.substr(0, 10) + "   ";
    keys.insert(key);
    model.insert(key);
  }
  EXPECT_EQ(keys.size(), model.size());
  for (std::uint64_t n = 9780000000000ULL; n < 9780000000000ULL + 40000; ++n) {
    const std::string key = std::to_string(n);
    ASSERT_EQ(keys.contains(key), model.contains(key)) << key;
  }
  for (const std::string& key : model) EXPECT_TRUE(keys.contains(key));
  keys.insert("978300000000");
  EXPECT_FALSE(keys.contains("978300000000"));
  EXPECT_FALSE(keys.contains("97830000000011"));
  EXPECT_FALSE(keys.contains(""));
}

}  // namespace
}  // namespace torvane::app
