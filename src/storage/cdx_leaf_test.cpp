#include "storage/cdx_leaf.h"

#include <gtest/gtest.h>

#include <array>

#include "storage/byte_order.h"

namespace torvane::storage::cdx {
namespace {

TEST(CdxLeafEntry, PacksRecordThenDuplicateThenTrailingFromTheLowBits) {
  const LeafLayout narrow = leaf_layout(13, 3);
  EXPECT_EQ(narrow.record_bits, 16u);
  EXPECT_EQ(narrow.record_mask(), 0xFFFFu);
  // The tag directory's "POOL" entry: header 1536, no duplicates, six trailing blanks.
  EXPECT_EQ(pack_entry(leaf_layout(10, 3), {1536, 0, 6}), 0x600600u);
  // Record 3, duplicate 13, trailing 0 at 3 bytes: 0x0D << 16 | 3.
  EXPECT_EQ(pack_entry(narrow, {3, 13, 0}), 0x0D0003u);
  const LeafLayout wide = leaf_layout(13, 4);
  EXPECT_EQ(wide.record_mask(), 0xFFFFFFu);
  const std::uint64_t bits = pack_entry(wide, {70000, 5, 2});
  EXPECT_EQ(bits, (std::uint64_t{2} << 28) | (std::uint64_t{5} << 24) | 70000u);
  EXPECT_EQ(unpack_entry(wide, bits), (LeafEntry{70000, 5, 2}));
  EXPECT_EQ(unpack_entry(leaf_layout(240, 6), pack_entry(leaf_layout(240, 6), {0xFFFFFFFF, 240, 17})),
            (LeafEntry{0xFFFFFFFF, 240, 17}));
}

TEST(CdxLeafEntry, WidthGrowsByOneByteWhenARecordPassesTheMask) {
  EXPECT_EQ(entry_width_for(13, 0), 3u);
  EXPECT_EQ(entry_width_for(13, 65535), 3u);
  EXPECT_EQ(entry_width_for(13, 65536), 4u);
  EXPECT_EQ(entry_width_for(13, 70000), 4u);
  EXPECT_EQ(entry_width_for(13, 0xFFFFFF), 4u);
  EXPECT_EQ(entry_width_for(13, 0x1000000), 5u);
  EXPECT_EQ(entry_width_for(13, 0xFFFFFFFF), 5u);
  EXPECT_EQ(entry_width_for(13, 5, 4), 4u);  // never narrower than asked
}

TEST(CdxLeafEntry, DuplicateCountStopsWhereTheTrailingBlanksBegin) {
  EXPECT_EQ(trailing_count("978         ", ' '), 9u);
  EXPECT_EQ(trailing_count("             ", ' '), 13u);
  EXPECT_EQ(trailing_count("9783161484100", ' '), 0u);
  EXPECT_EQ(duplicate_count("9783161484100", "9783161484100", 0), 13u);
  EXPECT_EQ(duplicate_count("9783161484100", "9783200000000", 0), 4u);
  EXPECT_EQ(duplicate_count("978          ", "978          ", 10), 3u);
  EXPECT_EQ(key_cost("", "POOL      ", ' ', 3), 7u);
  EXPECT_EQ(key_cost("9783161484100", "9783161484100", ' ', 3), 3u);
}

Page leaf_of(std::initializer_list<std::pair<const char*, std::uint32_t>> keys) {
  Page page;
  page.offset = 2560;
  page.key_length = 13;
  for (const auto& [key, record] : keys) page.insert(page.count(), key, record);
  page.width = leaf_width_needed(page);
  return page;
}

TEST(CdxLeafPage, RoundTripsAndStoresKeyBytesFromTheEnd) {
  Page page = leaf_of({{"9780000000001", 3}, {"9780000000002", 1}, {"9780000000002", 2}, {"979          ", 70000}});
  page.root = true;
  ASSERT_EQ(page.width, 4u);
  std::array<std::uint8_t, kPageSize> bytes{};
  ASSERT_TRUE(encode_page(page, ' ', bytes));
  EXPECT_EQ(get_u16le(bytes), 3);
  EXPECT_EQ(get_u16le(std::span(bytes).subspan(2)), 4);
  EXPECT_EQ(bytes[kLfEntryWidth], 4);
  EXPECT_EQ(get_u32le(std::span(bytes).subspan(kLfRecordMask)), 0xFFFFFFu);
  // The first key is stored whole at the very end, the second adds its last byte.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 512 - 13, 13), "9780000000001");
  EXPECT_EQ(bytes[512 - 14], '2');
  const std::uint32_t used = 4 * 4 + 13 + 1 + 0 + 1;
  EXPECT_EQ(get_u16le(std::span(bytes).subspan(kLfFree)), kKeyAreaSize - used);
  EXPECT_EQ(leaf_used(page, ' '), used);

  Page back;
  ASSERT_TRUE(decode_page(bytes, 2560, 13, ' ', back));
  EXPECT_TRUE(back.leaf && back.root);
  EXPECT_EQ(back.keys, page.keys);
  EXPECT_EQ(back.records, page.records);
}

TEST(CdxLeafPage, RefusesLeavesThatDoNotFitOrDoNotMakeSense) {
  Page full;
  full.key_length = 13;
  for (std::uint64_t i = 0; i < 40; ++i)
    full.insert(full.count(), std::to_string(1000000000000 + i * 2654435761ULL % 9000000000000), 1);
  std::array<std::uint8_t, kPageSize> bytes{};
  EXPECT_FALSE(encode_page(full, ' ', bytes));  // 40 keys of about 3 + 12 bytes

  Page page = leaf_of({{"9780000000001", 1}, {"9780000000002", 2}});
  ASSERT_TRUE(encode_page(page, ' ', bytes));
  auto broken = bytes;
  put_u16le(std::span(broken).subspan(kPgKeyCount), 200);  // entries beyond the page
  EXPECT_FALSE(decode_page(broken, 2560, 13, ' ', page));
  broken = bytes;
  broken[kLfKeyArea + 2] |= 0x01;  // first key claims a byte shared with nothing before it
  EXPECT_FALSE(decode_page(broken, 2560, 13, ' ', page));
  broken = bytes;
  broken[kLfEntryWidth] = 9;
  EXPECT_FALSE(decode_page(broken, 2560, 13, ' ', page));
  broken = bytes;
  broken[kPgAttributes] = 7;
  EXPECT_FALSE(decode_page(broken, 2560, 13, ' ', page));
  broken = bytes;
  broken[511] = '9';  // the first key now sorts after the second
  EXPECT_FALSE(decode_page(broken, 2560, 13, ' ', page));
}

TEST(CdxInteriorPage, HoldsFullKeysWithBigEndianRecordAndChild) {
  Page page;
  page.leaf = false;
  page.key_length = 13;
  page.insert(0, "9780000000001", 0x01020304, 0x00000A00);
  std::array<std::uint8_t, kPageSize> bytes{};
  ASSERT_TRUE(encode_page(page, ' ', bytes));
  EXPECT_EQ(get_u16le(bytes), 0);
  EXPECT_EQ(get_u32be(std::span(bytes).subspan(12 + 13)), 0x01020304u);
  EXPECT_EQ(get_u32be(std::span(bytes).subspan(12 + 17)), 0x0A00u);
  for (std::uint32_t i = 1; i < 24; ++i) page.insert(i, "97800000000" + std::to_string(10 + i), i, 0);
  EXPECT_FALSE(encode_page(page, ' ', bytes));  // 24 entries, 23 allowed
}

}  // namespace
}  // namespace torvane::storage::cdx
