#include "storage/dbf_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/file.h"
#include "storage/cdx_index.h"
#include "storage/ntx_index.h"
#include "storage/order_index.h"
#include "support/index_test_support.h"

namespace torvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- Test scaffolding ---------------------------------------------------------------

using index_testing::read_bytes;
using index_testing::RecordFailures;
using index_testing::TempDir;
using index_testing::write_bytes;

// An order kept in memory, built from the table file like a real bulk build.
class FakeOrder : public OrderIndex {
 public:
  FakeOrder(const KeySource& source, std::vector<std::pair<std::string, std::uint32_t>> keys)
      : length_(source.key_length), keys_(std::move(keys)) {
    std::sort(keys_.begin(), keys_.end());
  }
  std::string_view key_field() const override { return "ISBN"; }
  std::uint32_t key_length() const override { return length_; }
  std::string tag_name() const override { return "FAKE"; }
  std::optional<std::uint32_t> go_top() override { return at(0); }
  std::optional<std::uint32_t> skip() override { return at(pos_ + 1); }
  std::optional<std::uint32_t> seek(std::string_view value) override {
    const auto it = std::find_if(keys_.begin(), keys_.end(),
                                 [&](const auto& k) { return k.first.substr(0, value.size()) >= value; });
    return at(static_cast<std::size_t>(it - keys_.begin()));
  }
  std::string current_key() const override { return pos_ < keys_.size() ? keys_[pos_].first : ""; }
  std::optional<std::uint64_t> key_number() override { return pos_ < keys_.size() ? pos_ + 1 : 0; }
  std::optional<std::uint64_t> key_count() override { return keys_.size(); }
  bool insert(std::string_view key, std::uint32_t record) override {
    ++inserts;
    keys_.emplace_back(std::string(key), record);
    std::sort(keys_.begin(), keys_.end());
    return true;
  }
  bool remove(std::string_view key, std::uint32_t record) override {
    ++removes;
    const auto it = std::find(keys_.begin(), keys_.end(), std::make_pair(std::string(key), record));
    if (it == keys_.end()) return false;
    keys_.erase(it);
    return true;
  }
  bool close() override { return true; }
  static inline int inserts = 0, removes = 0;
  const auto& keys() const { return keys_; }

 private:
  std::optional<std::uint32_t> at(std::size_t i) {
    pos_ = std::min(i, keys_.size());
    return pos_ < keys_.size() ? keys_[pos_].second : 0;
  }
  std::uint32_t length_;
  std::vector<std::pair<std::string, std::uint32_t>> keys_;
  std::size_t pos_ = 0;
};

FakeOrder* last_order = nullptr;

std::unique_ptr<OrderIndex> fake_build(std::string_view path, const KeySource& source, const IndexOptions&) {
  std::vector<std::pair<std::string, std::uint32_t>> keys;
  Bytes record(source.record_length);
  for (std::uint32_t r = 1; r <= source.record_count; ++r) {
    source.table->read_at(source.header_length + std::uint64_t{r - 1} * source.record_length, record);
    keys.emplace_back(std::string(record.begin() + source.key_offset,
                                  record.begin() + source.key_offset + source.key_length), r);
  }
  write_bytes(std::string(path), Bytes{'x'});
  auto order = std::make_unique<FakeOrder>(source, std::move(keys));
  last_order = order.get();
  return order;
}

void use_fake_driver() {
  const IndexDriver driver{"cdx", fake_build, fake_build};
  register_index_driver(Variant::cdx, driver);
  register_index_driver(Variant::ntx, IndexDriver{"ntx", fake_build, fake_build});
}

const std::vector<FieldSpec> kPool{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
const std::vector<FieldSpec> kNotFound{{"ISBN", 'C', 13, 0}};

class DbfTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_network_error();
    use_fake_driver();
  }
  // A pool table with the given ISBNs, exclusive; returns its path.
  std::string pool_table(const std::vector<std::string>& isbns, const std::string& name = "pool.dbf") {
    const std::string path = dir.file(name);
    EXPECT_TRUE(DbfTable::create(path, kPool, Variant::cdx));
    auto t = DbfTable::open(path, OpenOptions().with_shared(false));
    for (std::size_t i = 0; i < isbns.size(); ++i) {
      EXPECT_TRUE(t->append());
      EXPECT_TRUE(t->assign("ISBN", isbns[i]));
      EXPECT_TRUE(t->assign_number("POOL", static_cast<double>(i + 1)));
    }
    EXPECT_TRUE(t->close());
    return path;
  }
  std::vector<std::string> walk(DbfTable& t) {
    std::vector<std::string> seen;
    for (t.go_top(); !t.eof(); t.skip()) seen.push_back(t.text("ISBN").substr(0, 3));
    return seen;
  }
  TempDir dir;
  RecordFailures failures;
};

// --- Files written ------------------------------------------------------------------

TEST_F(DbfTableTest, CreatedTablesHaveTheDocumentedSizes) {
  const std::vector<FieldSpec> position{{"ISBN", 'C', 13, 0}, {"HEADER", 'C', 24, 0}, {"POSITION", 'N', 9, 0}};
  const std::vector<FieldSpec> cover{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
  ASSERT_TRUE(DbfTable::create(dir.file("a.dbf"), position, Variant::ntx));
  ASSERT_TRUE(DbfTable::create(dir.file("b.dbf"), kPool, Variant::cdx));
  ASSERT_TRUE(DbfTable::create(dir.file("cover.dbf"), cover, Variant::cdx));
  ASSERT_TRUE(DbfTable::create(dir.file("notfound.dbf"), kNotFound, Variant::cdx));
  EXPECT_EQ(read_bytes(dir.file("a.dbf")).size(), 131u);
  EXPECT_EQ(read_bytes(dir.file("b.dbf")).size(), 131u);
  EXPECT_EQ(read_bytes(dir.file("cover.dbf")).size(), 99u);
  EXPECT_EQ(read_bytes(dir.file("notfound.dbf")).size(), 67u);
  EXPECT_EQ(read_bytes(dir.file("cover.fpt")).size(), 1024u);
  EXPECT_FALSE(std::ifstream(dir.file("notfound.fpt")).good());
}

// A table that names two fields alike: a name always means the first of them, whatever
// was looked up before, so a value assigned is the value read.
TEST_F(DbfTableTest, TwoFieldsOfOneNameAreTheFirstOfThem) {
  const std::string path = dir.file("twice.dbf");
  ASSERT_TRUE(DbfTable::create(path, std::vector<FieldSpec>{{"ISBN", 'C', 13, 0}, {"ISBX", 'C', 13, 0}}, Variant::ntx));
  std::vector<std::uint8_t> bytes = read_bytes(path);
  bytes[32 + 32 + 3] = 'N';  // the second descriptor's name becomes ISBN too
  write_bytes(path, bytes);
  auto t = DbfTable::open(path, OpenOptions().with_variant(Variant::ntx).with_shared(false));
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->append());
  EXPECT_TRUE(t->assign("ISBN", "first"));
  EXPECT_TRUE(t->flush());
  EXPECT_EQ(t->text("ISBN"), "first        ");
  EXPECT_EQ(t->text("ISBN"), "first        ");
  EXPECT_TRUE(t->assign("ISBN", "again"));
  EXPECT_EQ(t->text("ISBN"), "again        ");
  EXPECT_TRUE(t->close());
}

TEST_F(DbfTableTest, ExclusiveAppendsEndWithMarkerSharedOnesDoNot) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "exclusive");
    const std::string path = dir.file(shared ? "s.dbf" : "x.dbf");
    ASSERT_TRUE(DbfTable::create(path, kPool, Variant::ntx));
    auto t = DbfTable::open(path, OpenOptions().with_variant(Variant::ntx).with_shared(shared));
    ASSERT_TRUE(t);
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(t->append());
      ASSERT_TRUE(t->assign("ISBN", "978000000000" + std::to_string(i)));
      ASSERT_TRUE(t->assign_number("POOL", 12 + i));
    }
    ASSERT_TRUE(t->close());
    const Bytes file = read_bytes(path);
    EXPECT_EQ(file[4], 3);
    EXPECT_EQ(file.size(), 130u + 3 * 20 + (shared ? 0 : 1));
    if (!shared) {
      EXPECT_EQ(file.back(), 0x1A);
    }
    EXPECT_EQ(std::string(file.begin() + 130 + 20, file.begin() + 150 + 20), " 9780000000001  13  ");
  }
}

TEST_F(DbfTableTest, RecordCountComesFromTheFileSize) {
  const std::string path = pool_table({"9780000000001", "9780000000002"});
  Bytes file = read_bytes(path);
  file[4] = 99;                         // a wrong header count is not believed
  file.resize(file.size() - 1 + 7);     // no marker, a partial third record
  write_bytes(path, file);
  auto t = DbfTable::open(path);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->record_count(), 2u);
  EXPECT_EQ(walk(*t).size(), 2u);
}

// --- Navigation ---------------------------------------------------------------------

TEST_F(DbfTableTest, DeletedRecordsAreHiddenButCounted) {
  const std::string path = pool_table({"111", "222", "333", "444"});
  auto t = DbfTable::open(path);
  EXPECT_EQ(walk(*t), (std::vector<std::string>{"111", "222", "333", "444"}));
  t->go_to(2);
  EXPECT_TRUE(t->delete_record());
  t->go_to(4);
  EXPECT_TRUE(t->delete_record());
  EXPECT_EQ(walk(*t), (std::vector<std::string>{"111", "333"}));
  EXPECT_EQ(t->record_count(), 4u);
  t->go_to(1);
  EXPECT_TRUE(t->delete_record());
  t->go_to(3);
  EXPECT_TRUE(t->delete_record());
  t->go_top();
  EXPECT_TRUE(t->eof());
  EXPECT_EQ(t->record_count(), 4u);
  t->go_to(3);  // a deleted record can still be reached by number
  EXPECT_TRUE(t->deleted());
}

TEST_F(DbfTableTest, EmptyTableIsAtEndOfFileAtOnce) {
  ASSERT_TRUE(DbfTable::create(dir.file("e.dbf"), kNotFound, Variant::cdx));
  auto t = DbfTable::open(dir.file("e.dbf"));
  EXPECT_TRUE(t->eof());
  t->go_top();
  EXPECT_TRUE(t->eof());
  EXPECT_TRUE(t->skip());
  EXPECT_TRUE(t->eof());
  EXPECT_EQ(t->record_count(), 0u);
  EXPECT_EQ(t->text("ISBN"), std::string(13, ' '));
}

TEST_F(DbfTableTest, ManyRecordsThroughTheWindowKeepTheirContent) {
  ASSERT_TRUE(DbfTable::create(dir.file("big.dbf"), kPool, Variant::cdx));
  auto t = DbfTable::open(dir.file("big.dbf"), OpenOptions().with_shared(false));
  for (int i = 1; i <= 30000; ++i) {
    t->append();
    t->assign_number("POOL", i % 10000);
  }
  // Change records far apart (window moves back and forth), then read all of them.
  for (std::uint32_t r : {5u, 29999u, 17u, 15000u}) {
    t->go_to(r);
    t->assign("ISBN", "changed");
  }
  t->close();
  t = DbfTable::open(dir.file("big.dbf"));
  std::uint32_t expected = 1;
  for (t->go_top(); !t->eof(); t->skip(), ++expected) {
    ASSERT_EQ(t->record_number(), expected);
    ASSERT_EQ(t->number("POOL"), expected % 10000);
    const bool changed = expected == 5 || expected == 29999 || expected == 17 || expected == 15000;
    ASSERT_EQ(t->text("ISBN").starts_with("changed"), changed) << expected;
  }
  EXPECT_EQ(expected, 30001u);
}

// --- Failures -----------------------------------------------------------------------

TEST_F(DbfTableTest, FailuresCarryTheirMessages) {
  const std::string missing = dir.file("MISSING.DBF");
  EXPECT_FALSE(DbfTable::open(missing, OpenOptions().with_variant(Variant::ntx)));
  const std::string path = pool_table({"9780000000001"});
  {
    auto t = DbfTable::open(path, OpenOptions().with_variant(Variant::cdx).with_shared(false));
    EXPECT_FALSE(t->assign_number("POSITION", 1));  // no such field
    EXPECT_FALSE(t->assign_number("POOL", 123456));
    EXPECT_EQ(t->text("POOL"), "****");
    EXPECT_FALSE(t->assign_number("ISBN", 5));
    EXPECT_FALSE(t->assign("POOL", "12"));
  }
  {
    auto t = DbfTable::open(path, OpenOptions().with_read_only(true));
    EXPECT_FALSE(t->assign("ISBN", "x"));
    EXPECT_FALSE(t->append());
    EXPECT_FALSE(t->delete_record());
  }
  {
    auto t = DbfTable::open(path, OpenOptions().with_shared(true));
    EXPECT_FALSE(t->assign("ISBN", "x"));  // not locked
    EXPECT_TRUE(t->lock_record());
    EXPECT_TRUE(t->assign("ISBN", "x"));
  }
  const std::vector<std::string> expected{
      "Error DBFNTX/1001  Open error: " + missing + " (DOS Error 2)",
      "Error DBFCDX/1020  Data type error: POSITION",
      "Error DBFCDX/1021  Data width error: " + path + " POOL",
      "Error DBFCDX/1020  Data type error: " + path + " ISBN",
      "Error DBFCDX/1020  Data type error: " + path + " POOL",
      "Error DBFCDX/1025  Write not allowed: " + path,
      "Error DBFCDX/1025  Write not allowed: " + path,
      "Error DBFCDX/1025  Write not allowed: " + path,
      "Error DBFCDX/1022  Lock required: " + path,
  };
  EXPECT_EQ(failures.messages, expected);
}

TEST_F(DbfTableTest, DamagedFilesAreRefusedWithoutReadingOutside) {
  const std::string good_path = pool_table({"9780000000001", "9780000000002"});
  const Bytes good = read_bytes(good_path);
  struct Damage {
    const char* what;
    Bytes bytes;
  };
  std::vector<Damage> damages;
  damages.push_back({"first byte 0x04", good});
  damages.back().bytes[0] = 0x04;
  damages.push_back({"truncated header", Bytes(good.begin(), good.begin() + 20)});
  damages.push_back({"shorter than its header", Bytes(good.begin(), good.begin() + 100)});
  damages.push_back({"record length 0", good});
  damages.back().bytes[10] = damages.back().bytes[11] = 0;
  damages.push_back({"header length below the descriptors", good});
  damages.back().bytes[8] = 50;
  damages.push_back({"descriptor count that does not fit", good});
  damages.back().bytes[8] = 0xFF;
  damages.back().bytes[9] = 0xFF;
  damages.push_back({"field type outside the list", good});
  damages.back().bytes[32 + 32 + 11] = 'Q';
  damages.push_back({"empty file", Bytes{}});
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    write_bytes(dir.file("bad.dbf"), d.bytes);
    failures.messages.clear();
    EXPECT_FALSE(DbfTable::open(dir.file("bad.dbf")));
    ASSERT_EQ(failures.messages.size(), 1u);
    EXPECT_EQ(failures.messages[0], "Error DBFCDX/1012  Corruption detected: " + dir.file("bad.dbf"));
  }
}

TEST_F(DbfTableTest, MemoTableWithoutItsMemoFileIsAnOpenError) {
  const std::vector<FieldSpec> cover{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}};
  ASSERT_TRUE(DbfTable::create(dir.file("cover.dbf"), cover, Variant::cdx));
  ::unlink(dir.file("cover.fpt").c_str());
  EXPECT_FALSE(DbfTable::open(dir.file("cover.dbf")));
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_EQ(failures.messages[0], "Error DBFCDX/1002  Open error: " + dir.file("cover.fpt") + " (DOS Error 2)");
}

// --- Orders through the driver ---------------------------------------------------------

TEST_F(DbfTableTest, StructuralIndexSetsByte28AndIsOpenedWithTheTable) {
#ifdef _WIN32
  GTEST_SKIP() << "reads the table's bytes while it is held exclusively, which Windows refuses";
#endif
  const std::string path = pool_table({"9783000000003", "9781000000001", "9782000000002"});
  {
    auto t = DbfTable::open(path);
    EXPECT_FALSE(t->structural_index());
    ASSERT_TRUE(t->create_index(dir.file("pool.cdx")));
    EXPECT_TRUE(t->structural_index());
    EXPECT_EQ(read_bytes(path)[28], 0x01);  // written at once
    EXPECT_EQ(walk(*t), (std::vector<std::string>{"978", "978", "978"}));
  }
  auto t = DbfTable::open(path);
  ASSERT_EQ(t->order(), 1);
  std::vector<std::uint32_t> order;
  for (t->go_top(); !t->eof(); t->skip()) order.push_back(t->record_number());
  EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 3, 1}));

  // Another index file is neither structural nor does it touch byte 28 of an NTX table.
  const std::string ntx = pool_table({"1"}, "other.dbf");
  auto n = DbfTable::open(ntx, OpenOptions().with_variant(Variant::ntx));
  ASSERT_TRUE(n->create_index(dir.file("other.ntx")));
  EXPECT_FALSE(n->structural_index());
  n->close();
  EXPECT_EQ(read_bytes(ntx)[28], 0x00);
}

TEST_F(DbfTableTest, IndexKeptCurrentOnAppendAndChange) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "exclusive");
    const std::string path = pool_table({"9782000000002"}, shared ? "s.dbf" : "x.dbf");
    auto t = DbfTable::open(path, OpenOptions().with_shared(shared));
    ASSERT_TRUE(t->create_index(dir.file(shared ? "s.cdx" : "x.cdx")));
    FakeOrder* order = last_order;
    FakeOrder::inserts = FakeOrder::removes = 0;
    ASSERT_TRUE(t->append());
    ASSERT_TRUE(t->assign("ISBN", "9781000000001"));
    ASSERT_TRUE(t->assign_number("POOL", 7));
    ASSERT_TRUE(t->unlock());
    EXPECT_EQ(FakeOrder::inserts, 1);  // once, with its assigned key
    // An unchanged key leaves the index alone; a changed one is moved.
    ASSERT_TRUE(t->lock_record());
    ASSERT_TRUE(t->assign_number("POOL", 8));
    ASSERT_TRUE(t->unlock());
    EXPECT_EQ(FakeOrder::removes, 0);
    ASSERT_TRUE(t->lock_record());
    ASSERT_TRUE(t->assign("ISBN", "9783000000003"));
    ASSERT_TRUE(t->unlock());
    EXPECT_EQ(FakeOrder::removes, 1);
    EXPECT_EQ(FakeOrder::inserts, 2);
    const std::vector<std::pair<std::string, std::uint32_t>> keys{{"9782000000002", 1}, {"9783000000003", 2}};
    EXPECT_EQ(order->keys(), keys);
    EXPECT_TRUE(t->seek("9783"));
    EXPECT_EQ(t->record_number(), 2u);
    EXPECT_EQ(t->number("POOL"), 8);
  }
}

TEST_F(DbfTableTest, SeekAndKeyPositionsSkipHiddenRecords) {
  const std::string path = pool_table({"9785", "9781", "9783", "9782", "9784", "9783"});
  auto t = DbfTable::open(path);
  ASSERT_TRUE(t->create_index(dir.file("pool.cdx")));
  EXPECT_EQ(t->key_count(), 6u);
  // Delete the first "9783" (record 3) and "9781" (record 2).
  for (std::uint32_t r : {3u, 2u}) {
    t->go_to(r);
    t->delete_record();
  }
  t->go_top();
  EXPECT_EQ(t->key_count(), 4u);
  EXPECT_EQ(t->order_key_total(), 6u);
  std::vector<std::pair<std::uint32_t, std::uint64_t>> walked;
  for (t->go_top(); !t->eof(); t->skip()) walked.emplace_back(t->record_number(), t->key_number());
  EXPECT_EQ(walked, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{4, 1}, {6, 2}, {5, 3}, {1, 4}}));

  EXPECT_TRUE(t->seek("9783"));  // the deleted "9783" is passed over
  EXPECT_EQ(t->record_number(), 6u);
  EXPECT_EQ(t->key_number(), 2u);
  t->skip();
  EXPECT_EQ(t->record_number(), 5u);
  EXPECT_EQ(t->key_number(), 3u);
  EXPECT_FALSE(t->seek("9781"));  // only a deleted record has it
  EXPECT_TRUE(t->eof());
  EXPECT_FALSE(t->found());
  EXPECT_FALSE(t->seek("9786"));
  EXPECT_TRUE(t->eof());
  EXPECT_TRUE(t->seek("97"));
  EXPECT_EQ(t->record_number(), 4u);
  EXPECT_FALSE(t->seek("97830000000000000"));  // cut to the key length, then absent
  // go_to moves the order too: skip continues in key order.
  t->go_to(6);
  t->skip();
  EXPECT_EQ(t->record_number(), 5u);
  EXPECT_EQ(t->key_number(), 3u);
}

// The same table-and-index walk under both real index formats.
class RealIndexTest : public DbfTableTest, public ::testing::WithParamInterface<Variant> {
 protected:
  void SetUp() override {
    DbfTableTest::SetUp();
    register_cdx_driver();
    register_ntx_driver();
  }
};

TEST_P(RealIndexTest, AppendSeekWalkAndCountsAcrossReopen) {
#ifdef _WIN32
  GTEST_SKIP() << "reads the table's bytes while it is held exclusively, which Windows refuses";
#endif
  const Variant variant = GetParam();
  const std::string ext = variant == Variant::cdx ? "cdx" : "ntx";
  const std::string path = dir.file("pool.dbf");
  ASSERT_TRUE(DbfTable::create(path, kPool, variant));
  for (bool shared : {false, true}) {
    auto t = DbfTable::open(path, OpenOptions().with_variant(variant).with_shared(shared));
    ASSERT_TRUE(t);
    if (!shared) {
      ASSERT_TRUE(t->create_index(dir.file("pool." + ext)));
    } else if (variant == Variant::ntx) {
      ASSERT_TRUE(t->add_index(dir.file("pool." + ext)));
    }
    ASSERT_EQ(t->order(), 1);
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(t->append());
      const int n = (i * 7919 + (shared ? 1 : 0)) % 1000;
      ASSERT_TRUE(t->assign("ISBN", "978" + std::to_string(1000 + n) + (shared ? "S" : "X")));
      ASSERT_TRUE(t->assign_number("POOL", n));
      ASSERT_TRUE(t->unlock());
    }
    ASSERT_TRUE(t->close());
  }
  auto t = DbfTable::open(path, OpenOptions().with_variant(variant));
  if (variant == Variant::ntx) {
    ASSERT_TRUE(t->add_index(dir.file("pool." + ext)));
  }
  ASSERT_EQ(t->order(), 1);
  EXPECT_EQ(read_bytes(path)[28], variant == Variant::cdx ? 0x01 : 0x00);
  EXPECT_EQ(t->key_count(), 600u);
  // Delete every tenth record in key order, then walk: ascending keys, numbered 1..n.
  int position = 0;
  for (t->go_top(); !t->eof(); t->skip()) {
    if (++position % 10 == 0) {
      t->delete_record();
    }
  }
  EXPECT_EQ(t->key_count(), 540u);
  std::string previous;
  std::uint64_t visited = 0;
  for (t->go_top(); !t->eof(); t->skip()) {
    ASSERT_FALSE(t->deleted());
    ASSERT_EQ(t->key_number(), ++visited);
    ASSERT_LE(previous, t->text("ISBN"));
    previous = t->text("ISBN");
  }
  EXPECT_EQ(visited, 540u);
  EXPECT_TRUE(t->seek("9781000X"));
  EXPECT_EQ(t->text("ISBN"), "9781000X     ");
  EXPECT_FALSE(t->seek("9780"));
  EXPECT_TRUE(t->eof());
}

INSTANTIATE_TEST_SUITE_P(BothFormats, RealIndexTest, ::testing::Values(Variant::cdx, Variant::ntx),
                         [](const auto& info) { return std::string(variant_name(info.param)); });

// --- Processes: share modes, locks, concurrent appends, a kill -----------------------

#ifdef _WIN32
TEST_F(DbfTableTest, ProcessCases) { GTEST_SKIP() << "the second processes are made with fork(), which Windows lacks"; }
#else

// Runs fn in a child process; its return value is the exit status.
int in_child(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// Tries a one-byte exclusive lock at offset from a fresh process: 1 when granted.
int foreign_lock(const std::string& path, std::uint64_t offset, std::uint64_t length = 1) {
  return in_child([&] {
    auto f = platform::File::open(path, platform::Access::read_write, platform::Share::compatibility,
                                  platform::Disposition::open_existing);
    return f.lock_range(offset, length, platform::LockKind::exclusive, false) ? 1 : 0;
  });
}

TEST_F(DbfTableTest, SecondExclusiveOpenIsASharingConflict) {
  const std::string path = pool_table({"1"});
  auto t = DbfTable::open(path, OpenOptions().with_shared(true));
  ASSERT_TRUE(t);
  const int child = in_child([&] {
    platform::set_failure_handler([](const platform::Failure&) -> platform::FailureChoice { _exit(3); });
    auto other = DbfTable::open(path, OpenOptions().with_shared(false));
    if (other) return 1;
    return network_error() ? 0 : 2;
  });
  EXPECT_EQ(child, 0);
  EXPECT_TRUE(failures.messages.empty());
}

TEST_F(DbfTableTest, CreatingATableOpenElsewhereLeavesItIntact) {
  const std::string path = pool_table({"1", "2"});
  const Bytes before = read_bytes(path);
  auto t = DbfTable::open(path, OpenOptions().with_shared(true));
  const int child = in_child([&] {
    bool create_error = false;
    platform::set_failure_handler([&](const platform::Failure& f) {
      create_error = f.message.starts_with("Error DBFCDX/1004  Create error: ");
      return platform::FailureChoice::fail;
    });
    return DbfTable::create(path, kPool, Variant::cdx) ? 1 : create_error ? 0 : 2;
  });
  EXPECT_EQ(child, 0);
  EXPECT_EQ(read_bytes(path), before);
}

struct SchemeCase {
  const char* name;
  Variant variant;
  bool structural;
  std::uint64_t record2, file_first, file_length, append;
};

TEST_F(DbfTableTest, LocksSitAtTheDocumentedOffsets) {
  const SchemeCase cases[] = {
      {"ntx", Variant::ntx, false, 1'000'000'002, 1'000'000'001, 1'000'000'000, 1'000'000'000},
      {"cdx structural", Variant::cdx, true, 0x7FFFFFFE - 2, 0x77FFFFFF, 0x07FFFFFF, 0x7FFFFFFE},
      {"cdx plain", Variant::cdx, false, 0x40000000 + 130 + 20, 0x40000001, 0x3FFFFFFD, 0x40000000},
  };
  for (const SchemeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = pool_table({"1", "2", "3"}, std::string(c.name).substr(0, 3) + (c.structural ? "s" : "p") + ".dbf");
    if (c.structural) {
      auto x = DbfTable::open(path, OpenOptions().with_variant(c.variant));
      ASSERT_TRUE(x->create_index(path.substr(0, path.size() - 3) + "cdx"));
    }
    auto t = DbfTable::open(path, OpenOptions().with_variant(c.variant).with_shared(true));
    ASSERT_TRUE(t);
    t->go_to(2);
    ASSERT_TRUE(t->lock_record());
    EXPECT_EQ(foreign_lock(path, c.record2), 0);
    EXPECT_EQ(foreign_lock(path, c.record2 - 1), 1);
    EXPECT_EQ(foreign_lock(path, c.record2 + 1), 1);
    ASSERT_TRUE(t->unlock());
    EXPECT_EQ(foreign_lock(path, c.record2), 1);

    ASSERT_TRUE(t->lock_file());
    EXPECT_EQ(foreign_lock(path, c.file_first), 0);
    EXPECT_EQ(foreign_lock(path, c.file_first + c.file_length - 1), 0);
    EXPECT_EQ(foreign_lock(path, c.file_first - 1), 1);
    EXPECT_EQ(foreign_lock(path, c.file_first + c.file_length), 1);
    ASSERT_TRUE(t->unlock());

    // The append waits while another process holds the append byte.
    auto holder = platform::File::open(path, platform::Access::read_write, platform::Share::compatibility,
                                       platform::Disposition::open_existing);
    ASSERT_TRUE(holder.lock_range(c.append, 1, platform::LockKind::exclusive, false));
    const pid_t pid = fork();
    if (pid == 0) {
      auto u = DbfTable::open(path, OpenOptions().with_variant(c.variant).with_shared(true));
      _exit(u && u->append() && u->close() ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "append did not wait for its lock";
    holder.unlock_range(c.append, 1);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(t->record_count(), 4u);
  }
}

TEST_F(DbfTableTest, ExclusiveTableTakesNoByteLocks) {
  const std::string path = pool_table({"1", "2"});
  auto t = DbfTable::open(path, OpenOptions().with_variant(Variant::ntx).with_shared(false));
  t->go_to(2);
  EXPECT_TRUE(t->lock_record());
  EXPECT_EQ(foreign_lock(path, 1'000'000'002), 1);
}

TEST_F(DbfTableTest, AppendLockFailureOnlySetsTheNetworkErrorFlag) {
  const std::string path = pool_table({"1", "2"});
  auto t = DbfTable::open(path, OpenOptions().with_variant(Variant::ntx).with_shared(true));
  auto other = platform::File::open(path, platform::Access::read_write, platform::Share::compatibility,
                                    platform::Disposition::open_existing);
  ASSERT_TRUE(other.lock_range(1'000'000'003, 1, platform::LockKind::exclusive, false));  // record 3
  EXPECT_FALSE(t->append());
  EXPECT_TRUE(network_error());
  EXPECT_TRUE(failures.messages.empty());
  EXPECT_EQ(t->record_count(), 2u);
  other.unlock_range(1'000'000'003, 1);
  EXPECT_TRUE(t->append());
  EXPECT_FALSE(network_error());
}

// "P<process>-<row>", the key a child process writes.
std::string process_key(int process, int row) {
  std::string key(1, 'P');
  key += std::to_string(process);
  key += '-';
  key += std::to_string(row);
  return key;
}

TEST_F(DbfTableTest, ConcurrentSharedAppendsLoseNothing) {
  ASSERT_TRUE(DbfTable::create(dir.file("shared.dbf"), kPool, Variant::cdx));
  constexpr int kProcesses = 3, kEach = 400;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      auto t = DbfTable::open(dir.file("shared.dbf"), OpenOptions().with_shared(true));
      for (int i = 0; t && i < kEach; ++i) {
        if (!t->append()) _exit(1);
        t->assign("ISBN", process_key(p, i));
        t->assign_number("POOL", i);
        t->assign_number("COVER", p);
        t->unlock();
      }
      _exit(t && t->close() ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Bytes file = read_bytes(dir.file("shared.dbf"));
  const std::uint32_t header_count = file[4] | file[5] << 8 | file[6] << 16;
  EXPECT_EQ(header_count, kProcesses * kEach);
  EXPECT_EQ(file.size(), 130u + 20u * kProcesses * kEach);
  auto t = DbfTable::open(dir.file("shared.dbf"));
  std::set<std::string> seen;
  for (t->go_top(); !t->eof(); t->skip()) {
    const std::string isbn = t->text("ISBN");
    const std::string expected =
        process_key(static_cast<int>(t->number("COVER")), static_cast<int>(t->number("POOL")));
    EXPECT_EQ(isbn.substr(0, isbn.find(' ')), expected);
    seen.insert(isbn);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProcesses * kEach));
}

TEST_F(DbfTableTest, KilledExclusiveAppenderLeavesReadableRecords) {
  ASSERT_TRUE(DbfTable::create(dir.file("killed.dbf"), kPool, Variant::cdx));
  const pid_t pid = fork();
  if (pid == 0) {
    auto t = DbfTable::open(dir.file("killed.dbf"), OpenOptions().with_shared(false));
    // Bounded, so that a parent that never kills it cannot fill the disk.
    for (int i = 1; i <= 5'000'000; ++i) {
      t->append();
      t->assign("ISBN", std::to_string(i));
      t->assign_number("POOL", i % 10000);
    }
    _exit(0);
  }
  // The size only: reading a file that grows faster than it is read never ends.
  while (std::filesystem::file_size(dir.file("killed.dbf")) < 2'000'000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  auto t = DbfTable::open(dir.file("killed.dbf"));
  ASSERT_TRUE(t);
  EXPECT_GE(t->record_count(), 2'000'000u / 20 - 10);
  std::uint32_t expected = 1;
  for (t->go_top(); !t->eof(); t->skip(), ++expected) {
    ASSERT_EQ(t->text("ISBN").substr(0, std::to_string(expected).size()), std::to_string(expected));
    ASSERT_EQ(t->number("POOL"), expected % 10000);
  }
  EXPECT_EQ(expected - 1, t->record_count());
}

#endif  // _WIN32

}  // namespace
}  // namespace torvane::storage
