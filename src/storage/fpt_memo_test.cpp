#include "storage/fpt_memo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/failure.h"
#include "storage/dbf_table.h"
#include "support/index_test_support.h"

namespace torvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct MemoTest : ::testing::Test {
  index_testing::TempDir dir;
  index_testing::RecordFailures failures;

  std::string file(const std::string& name) const { return dir.file(name); }
  Bytes bytes(const std::string& name) const { return index_testing::read_bytes(file(name)); }
  void put(const std::string& name, const Bytes& b) const { index_testing::write_bytes(file(name), b); }
  std::unique_ptr<FptMemo> fresh(const std::string& name = "m.fpt") {
    EXPECT_TRUE(FptMemo::create(file(name), Variant::cdx));
    return FptMemo::open(file(name), Variant::cdx, false, false);
  }
  static std::uint32_t be32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
  }
};

TEST_F(MemoTest, FreshFileHeader) {
  ASSERT_TRUE(FptMemo::create(file("m.fpt"), Variant::cdx));
  const Bytes b = bytes("m.fpt");
  ASSERT_EQ(b.size(), 1024u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{0, 0, 0, 0x10, 0, 0, 0, 0x40}));
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), std::string("Kestrel\0", 8));
  EXPECT_EQ(std::string(b.begin() + 512, b.begin() + 523), std::string("FlexFile3\x03\0", 11));
  std::size_t nonzero = 0;
  for (std::size_t i = 16; i < 1024; ++i) nonzero += b[i] != 0 && (i < 512 || i >= 522);
  EXPECT_EQ(nonzero, 0u);
}

TEST_F(MemoTest, ImageOfAThousandBytesInACoverTable) {
  const std::vector<FieldSpec> schema{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
  ASSERT_TRUE(DbfTable::create(file("cover.dbf"), schema, Variant::cdx));
  std::string image(1000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
  {
    auto t = DbfTable::open(file("cover.dbf"), OpenOptions().with_shared(false));
    ASSERT_TRUE(t && t->has_memo_file());
    ASSERT_TRUE(t->append());
    ASSERT_TRUE(t->assign("ISBN", "9783000000001"));
    ASSERT_TRUE(t->assign_memo("COVER", image));
    EXPECT_EQ(t->text("COVER"), "        16");
  }
  const Bytes m = bytes("cover.fpt");
  ASSERT_EQ(m.size(), 2048u);
  EXPECT_EQ(be32(m, 0), 32u);  // next free block
  EXPECT_EQ(Bytes(m.begin() + 1024, m.begin() + 1032), (Bytes{0, 0, 0, 1, 0, 0, 0x03, 0xE8}));
  EXPECT_EQ(std::string(m.begin() + 1032, m.begin() + 2032), image);
  EXPECT_EQ(Bytes(m.begin() + 2032, m.begin() + 2047), Bytes(15, 0));
  EXPECT_EQ(m[2047], 0xAF);
  const Bytes d = bytes("cover.dbf");
  EXPECT_EQ(std::string(d.begin() + 98 + 14, d.begin() + 98 + 24), "        16");

  auto t = DbfTable::open(file("cover.dbf"), OpenOptions().with_read_only(true));
  EXPECT_EQ(t->memo("COVER"), image);
}

TEST_F(MemoTest, ValueFillingItsBlockHasNoEndByte) {
  auto memo = fresh();
  EXPECT_EQ(memo->write(0, std::string(56, 'x')), 16u);
  EXPECT_EQ(memo->write(0, std::string(57, 'y')), 17u);
  memo->close();
  const Bytes b = bytes("m.fpt");
  ASSERT_EQ(b.size(), 1024u + 3 * 64);
  EXPECT_EQ(b[1024 + 63], 'x');
  EXPECT_EQ(b[1024 + 64 + 127], 0xAF);
  EXPECT_EQ(be32(b, 0), 19u);
}

TEST_F(MemoTest, BlankReferenceNeverTouchesTheMemoFile) {
#ifdef _WIN32
  GTEST_SKIP() << "cuts the memo file while the table holds it exclusively, which Windows refuses";
#endif
  const std::vector<FieldSpec> schema{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
  ASSERT_TRUE(DbfTable::create(file("c.dbf"), schema, Variant::cdx));
  {
    auto t = DbfTable::open(file("c.dbf"));
    t->append();
    t->assign_memo("COVER", "data");
    t->append();
  }
  auto t = DbfTable::open(file("c.dbf"));
  ASSERT_TRUE(truncate(file("c.fpt").c_str(), 0) == 0);  // the memo file is gone underneath
  t->go_to(2);
  EXPECT_EQ(t->memo("COVER"), "");
  EXPECT_TRUE(failures.messages.empty());
  t->go_to(1);
  EXPECT_EQ(t->memo("COVER"), std::nullopt);  // a real reference now fails clearly
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_EQ(failures.messages[0], "Error DBFCDX/1010  Read error: " + file("c.fpt"));
}

TEST_F(MemoTest, ReleasedBlocksAreReusedAcrossOpens) {
  auto memo = fresh();
  const auto a = memo->write(0, std::string(1000, 'a'));  // blocks 16..31
  const auto b = memo->write(0, std::string(100, 'b'));   // blocks 32..33
  ASSERT_EQ(a, 16u);
  ASSERT_EQ(b, 32u);
  EXPECT_EQ(memo->write(*a, std::string(200, 'c')), 16u);  // smallest fitting free area
  EXPECT_EQ(memo->next_free_block(), 35u);                  // block 34 holds the directory
  memo->close();
  const Bytes raw = bytes("m.fpt");
  // Blocks 20..31 stay free behind a free-area header; the directory lists them.
  EXPECT_EQ(be32(raw, 20 * 64), 0x3E9u);
  EXPECT_EQ(be32(raw, 20 * 64 + 4), 12u * 64 - 8);
  const std::uint32_t directory = raw[528] | raw[529] << 8 | raw[530] << 16;
  ASSERT_NE(directory, 0u);
  EXPECT_EQ(be32(raw, directory), 0x3E8u);
  EXPECT_EQ(raw[directory + 8], 7);  // one entry: 1 x 4 + 3
  EXPECT_GT(raw[532], 0);            // update counter

  memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, false);
  const std::uint32_t end_before = memo->next_free_block();
  EXPECT_EQ(memo->write(0, std::string(500, 'd')), 20u);  // read from the directory, reused
  EXPECT_EQ(memo->next_free_block(), end_before);
  EXPECT_EQ(memo->read(16), std::string(200, 'c'));
  EXPECT_EQ(memo->read(20), std::string(500, 'd'));
  EXPECT_EQ(memo->read(32), std::string(100, 'b'));
}

TEST_F(MemoTest, ReleasingTheLastValueGivesTheEndBack) {
  auto memo = fresh();
  memo->write(0, std::string(100, 'a'));                   // 16..17
  const auto last = memo->write(0, std::string(300, 'b'));  // 18..22
  EXPECT_EQ(memo->write(*last, ""), 0u);
  EXPECT_EQ(memo->next_free_block(), 18u);
  memo->close();
  EXPECT_EQ(bytes("m.fpt").size(), 18u * 64);
}

TEST_F(MemoTest, BlockSizeRules) {
  Bytes header(1024, 0);
  header[3] = 4;   // next free block 4
  header[7] = 0;   // block size 0
  put("zero.fpt", header);
  EXPECT_FALSE(FptMemo::open(file("zero.fpt"), Variant::cdx, false, true));
  put("short.fpt", Bytes(300, 0));
  EXPECT_FALSE(FptMemo::open(file("short.fpt"), Variant::cdx, false, true));
  EXPECT_EQ(failures.messages, (std::vector<std::string>{"Error DBFCDX/1012  Corruption detected: " + file("zero.fpt"),
                                                "Error DBFCDX/1012  Corruption detected: " + file("short.fpt")}));
  // The extended form's alternative block size replaces the one at offset 6.
  std::string flex("FlexFile3\x03", 10);
  std::copy(flex.begin(), flex.end(), header.begin() + 512);
  header[540] = 0x00;
  header[541] = 0x02;  // 512
  put("alt.fpt", header);
  auto memo = FptMemo::open(file("alt.fpt"), Variant::cdx, false, false);
  ASSERT_TRUE(memo);
  EXPECT_EQ(memo->block_size(), 512u);
  // A plain header of 512 bytes (no extension): values may start right after it.
  Bytes plain(512, 0);
  plain[3] = 8;
  plain[7] = 64;
  put("plain.fpt", plain);
  memo = FptMemo::open(file("plain.fpt"), Variant::cdx, false, false);
  ASSERT_TRUE(memo);
  EXPECT_EQ(memo->write(0, "x"), 8u);
}

// A value is read with its block header in one piece when it is short, in two when it
// is long; both come back whole, and a long one cut short by the end of the file fails.
TEST_F(MemoTest, ShortAndLongValuesComeBackWhole) {
  const std::vector<std::size_t> lengths{1, 503, 504, 505, 4000, 70000};
  const auto value = [](std::size_t length) {
    std::string v(length, '\0');
    for (std::size_t i = 0; i < length; ++i) v[i] = static_cast<char>(i * 31 + length);
    return v;
  };
  std::vector<std::uint32_t> blocks;
  {
    auto memo = fresh();
    for (std::size_t length : lengths) blocks.push_back(*memo->write(0, value(length)));
    for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_EQ(memo->read(blocks[i]), value(lengths[i]));
  }
  for (const bool shared : {false, true}) {
    auto memo = FptMemo::open(file("m.fpt"), Variant::cdx, shared, true);
    for (std::size_t i = 0; i < lengths.size(); ++i) EXPECT_EQ(memo->read(blocks[i]), value(lengths[i])) << shared;
  }
  Bytes b = bytes("m.fpt");
  b.resize(b.size() - 100);
  put("m.fpt", b);
  auto memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, true);
  EXPECT_EQ(memo->read(blocks[4]), value(4000));
  EXPECT_EQ(memo->read(blocks.back()), std::nullopt);
  EXPECT_EQ(failures.messages.size(), 1u);
}

// Values wait in memory while records are appended; when the table's records reach
// the file, the values they name are there too, so a run killed at any point leaves
// no record pointing past the memo file.
TEST_F(MemoTest, RecordsNeverReachTheFileBeforeTheirValues) {
#ifdef _WIN32
  GTEST_SKIP() << "reads the files while they are held exclusively, which Windows refuses";
#endif
  const std::vector<FieldSpec> schema{{"NAME", 'C', 200, 0}, {"COVER", 'M', 10, 0}};
  ASSERT_TRUE(DbfTable::create(file("t.dbf"), schema, Variant::cdx));
  auto t = DbfTable::open(file("t.dbf"), OpenOptions().with_shared(false));
  ASSERT_TRUE(t);
  std::size_t checked = 0;
  for (int i = 1; i <= 3000; ++i) {
    ASSERT_TRUE(t->append());
    ASSERT_TRUE(t->assign_memo("COVER", std::string(100, static_cast<char>('a' + i % 26))));
    if (i % 500 != 0) continue;
    const Bytes d = bytes("t.dbf"), m = bytes("t.fpt");
    for (std::size_t at = 98 + 1 + 200 + 1; at + 10 <= d.size(); at += 1 + 200 + 10) {
      const std::string reference(d.begin() + static_cast<std::ptrdiff_t>(at - 1), d.begin() + static_cast<std::ptrdiff_t>(at + 9));
      if (reference.find_first_not_of(' ') == std::string::npos) continue;
      const std::size_t offset = std::stoul(reference) * 64;
      ASSERT_LE(offset + 108, m.size()) << "record at byte " << at;
      EXPECT_EQ(be32(m, offset + 4), 100u);
      ++checked;
    }
  }
  EXPECT_GT(checked, 1000u);
  ASSERT_TRUE(t->close());
  auto again = DbfTable::open(file("t.dbf"), OpenOptions().with_read_only(true));
  ASSERT_TRUE(again->go_to(2999));
  EXPECT_EQ(again->memo("COVER"), std::string(100, 'a' + 2999 % 26));
}

TEST_F(MemoTest, DamagedReferencesGiveClearResults) {
  auto memo = fresh();
  memo->write(0, std::string(100, 'a'));  // 16..17
  failures.messages.clear();
  EXPECT_EQ(memo->read(1000), std::nullopt);  // beyond the file
  EXPECT_EQ(memo->read(0xFFFFFFFFu), std::nullopt);
  memo->close();
  Bytes b = bytes("m.fpt");
  b[1024 + 4] = 0x7F;  // length far beyond the file
  put("m.fpt", b);
  memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, false);
  EXPECT_EQ(memo->read(16), std::nullopt);
  EXPECT_EQ(failures.messages.size(), 3u);
  for (const std::string& f : failures.messages) EXPECT_TRUE(f.starts_with("Error DBFCDX/1010  Read error: ")) << f;

  // Replacing through a reference into the header or past the end frees nothing:
  // the header and the stored value stay intact.
#ifdef _WIN32
  GTEST_SKIP() << "reads the file while it is held exclusively, which Windows refuses";
#endif
  const Bytes before = bytes("m.fpt");
  EXPECT_EQ(memo->write(3, "new"), 18u);
  EXPECT_EQ(memo->write(5000, "new"), 19u);
  EXPECT_EQ(memo->write(16, "new"), 20u);  // its length is damaged: not released either
  memo->close();
  const Bytes after = bytes("m.fpt");
  EXPECT_TRUE(std::equal(before.begin() + 4, before.begin() + 523, after.begin() + 4));
  EXPECT_TRUE(std::equal(before.begin() + 1024, before.begin() + 1024 + 128, after.begin() + 1024));
}

}  // namespace
}  // namespace torvane::storage

namespace torvane::storage {
namespace {

// An exclusive memo file stores its header at flush or close; the bytes after close
// are those of a file whose header was stored after every write.
TEST_F(MemoTest, HeaderWrittenAtCloseGivesTheSameBytes) {
  const auto fill = [&](const std::string& name, bool flush_each) {
    auto memo = fresh(name);
    std::vector<std::uint32_t> blocks;
    for (int i = 0; i < 40; ++i) {
      const auto block = memo->write(0, std::string(10 + i * 37, static_cast<char>('a' + i % 26)));
      EXPECT_TRUE(block);
      blocks.push_back(block.value_or(0));
      if (flush_each) {
        EXPECT_TRUE(memo->flush());
      }
    }
    // Replacements use and grow the free-space directory and give the end back.
    EXPECT_TRUE(memo->write(blocks[3], std::string(5, 'r')));
    EXPECT_TRUE(memo->write(blocks[20], std::string(700, 's')));
    EXPECT_TRUE(memo->write(blocks[39], ""));
    EXPECT_TRUE(memo->write(0, std::string(90, 't')));
    if (flush_each) {
      EXPECT_TRUE(memo->flush());
    }
    EXPECT_TRUE(memo->close());
    return blocks;
  };
  const auto blocks = fill("behind.fpt", false);
  fill("each.fpt", true);
  EXPECT_EQ(bytes("behind.fpt"), bytes("each.fpt"));
  EXPECT_EQ(std::vector<std::string>{}, failures.messages);

  auto memo = FptMemo::open(file("behind.fpt"), Variant::cdx, false, true);
  ASSERT_TRUE(memo);
  for (int i = 0; i < 39; ++i) {
    if (i == 3 || i == 20) continue;
    EXPECT_EQ(memo->read(blocks[i]), std::string(10 + i * 37, static_cast<char>('a' + i % 26))) << i;
  }
}

// A run killed before close leaves values beyond the stored next free block; the next
// run appends after them instead of over them.
TEST_F(MemoTest, ValuesBeyondAStaleHeaderAreNotOverwritten) {
#ifdef _WIN32
  GTEST_SKIP() << "copies the file while it is held exclusively, which Windows refuses";
#endif
  auto memo = fresh();
  ASSERT_EQ(memo->write(0, std::string(100, 'a')), 16u);  // 16..17
  ASSERT_TRUE(memo->flush());
  ASSERT_EQ(memo->write(0, std::string(100, 'b')), 18u);  // 18..19, header not yet stored
  ASSERT_TRUE(memo->flush_values());
  const Bytes killed = bytes("m.fpt");
  memo.reset();
  EXPECT_EQ(be32(killed, 0), 18u);
  put("m.fpt", killed);

  memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, false);
  ASSERT_TRUE(memo);
  EXPECT_EQ(memo->write(0, std::string(100, 'c')), 20u);
  EXPECT_EQ(memo->read(18), std::string(100, 'b'));
  memo->close();
  EXPECT_EQ(be32(bytes("m.fpt"), 0), 22u);
}

// A header cut short after the extension's signature: the form and so the block size
// stay the same when a value makes the file longer than the full header.
TEST_F(MemoTest, ShortExtendedHeaderKeepsItsBlockSizeWhenTheFileGrows) {
  Bytes header(995, 0);
  header[6] = 0x10;  // block size 4,160 at offset 6
  header[7] = 0x40;
  const std::string signature("FlexFile3\x03\0", 11);
  std::copy(signature.begin(), signature.end(), header.begin() + 512);
  header[540] = 0x80;  // alternative block size 128
  put("m.fpt", header);
  std::uint32_t block = 0;
  {
    auto memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, false);
    ASSERT_TRUE(memo);
    EXPECT_EQ(memo->block_size(), 128u);
    const auto written = memo->write(0, "value");
    ASSERT_TRUE(written);
    block = *written;
    EXPECT_GE(block * 128u, 1024u);
    ASSERT_TRUE(memo->close());
  }
  auto memo = FptMemo::open(file("m.fpt"), Variant::cdx, false, true);
  ASSERT_TRUE(memo);
  EXPECT_EQ(memo->block_size(), 128u);
  EXPECT_EQ(memo->read(block), "value");
}

}  // namespace
}  // namespace torvane::storage
