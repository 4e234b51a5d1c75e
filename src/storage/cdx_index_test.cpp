#include "storage/cdx_index.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <map>
#include <random>
#include <set>

#include "storage/cdx_test_support.h"

namespace torvane::storage::cdx {
namespace {

using namespace cdx_testing;
using Model = std::set<std::pair<std::string, std::uint32_t>>;

IndexOptions shared_options() {
  IndexOptions options;
  options.shared = true;
  return options;
}

// Walks the whole order; fails the test when a step fails.
Keys walk(OrderIndex& order) {
  Keys keys;
  std::optional<std::uint32_t> record = order.go_top();
  while (record && *record != 0) {
    keys.emplace_back(order.current_key(), *record);
    record = order.skip();
  }
  EXPECT_TRUE(record.has_value());
  return keys;
}

TEST(CdxIndex, WalksInKeyOrderWithKeyNumbersAndSeeksByPrefix) {
  TempDir dir;
  std::vector<Row> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({isbn(9770000000000 + (i * 7919ull * 1000003) % 30000000000)});
  rows.push_back({"978"});
  rows.push_back({"9783161484100"});
  rows.push_back({"9783161484100"});
  Table table(dir.file("pool.dbf"), rows);
  std::unique_ptr<OrderIndex> order = create_index(dir.file("pool.cdx"), table.source, {});
  ASSERT_TRUE(order);
  EXPECT_EQ(order->tag_name(), "POOL");
  EXPECT_EQ(order->key_field(), "ISBN");

  Keys expected;
  for (std::uint32_t i = 0; i < rows.size(); ++i) expected.emplace_back(padded(rows[i].isbn), i + 1);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(walk(*order), expected);
  EXPECT_EQ(order->key_count(), expected.size());
  EXPECT_EQ(order->skip(), 0u);  // past the end stays there
  EXPECT_EQ(order->key_number(), 0u);
  ASSERT_EQ(order->go_top(), expected[0].second);
  for (std::uint64_t n = 1; n <= 500; ++n) {
    ASSERT_EQ(order->key_number(), n);
    order->skip();
  }

  // An absent 13-digit value lands on the next key, which does not match.
  ASSERT_EQ(order->seek("9783161484099"), 3002u);
  EXPECT_EQ(order->current_key(), "9783161484100");
  EXPECT_EQ(order->skip(), 3003u);
  EXPECT_EQ(order->seek("9999999999999"), 0u);
  EXPECT_EQ(order->current_key(), "");
  // A prefix finds the first key beginning with it; "978" alone sorts before "9780...".
  EXPECT_EQ(order->seek("978"), 3001u);
  EXPECT_EQ(order->current_key(), padded("978"));
  const auto first_979 = std::find_if(expected.begin(), expected.end(),
                                      [](const auto& k) { return k.first.compare(0, 3, "979") >= 0; });
  ASSERT_NE(first_979, expected.end());
  ASSERT_EQ(order->seek("979"), first_979->second);
  EXPECT_EQ(order->key_number(), static_cast<std::uint64_t>(first_979 - expected.begin()) + 1);
  EXPECT_EQ(order->seek("9783161484100XYZ"), 3002u);  // cut to the key length
  EXPECT_TRUE(order->close());

  std::unique_ptr<OrderIndex> again = open_index(dir.file("pool.cdx"), table.source, {});
  ASSERT_TRUE(again);
  EXPECT_EQ(walk(*again), expected);
  EXPECT_EQ(again->key_count(), expected.size());
}

// Drives appends, key changes, seeks and walks against a model and checks the whole
// file after every batch, and again after reopening it.
class CdxModel : public ::testing::Test {
 protected:
  std::string key_for(std::uint64_t n) {
    switch (random_() % 10) {
      case 0: return padded("");                         // a blank ISBN
      case 1: return padded(isbn(n).substr(0, 3 + random_() % 9));  // short values
      case 2: return "9783161484100";                    // many equal keys
      default: return isbn(9780000000000 + n % 200000);  // clustered prefixes
    }
  }
  std::uint32_t new_record() {
    // Mostly the next record; now and then far beyond, so entries must grow.
    const std::uint32_t jump = random_() % 50 == 0 ? 70000 + random_() % 20000000 : 1;
    next_record_ += jump;
    return next_record_;
  }

  void append(OrderIndex& order) {
    const std::uint32_t record = new_record();
    const std::string key = key_for(random_());
    ASSERT_TRUE(order.insert(key, record));
    model_.emplace(key, record);
    keys_[record] = key;
  }
  void change_key(OrderIndex& order) {
    if (keys_.empty()) return;
    auto it = keys_.lower_bound(static_cast<std::uint32_t>(random_() % (next_record_ + 1)));
    if (it == keys_.end()) it = keys_.begin();
    const std::string key = key_for(random_());
    ASSERT_TRUE(order.remove(it->second, it->first));
    ASSERT_TRUE(order.insert(key, it->first));
    model_.erase({it->second, it->first});
    model_.emplace(key, it->first);
    it->second = key;
  }
  void drop(OrderIndex& order) {
    if (keys_.empty()) return;
    auto it = keys_.lower_bound(static_cast<std::uint32_t>(random_() % (next_record_ + 1)));
    if (it == keys_.end()) it = keys_.begin();
    ASSERT_TRUE(order.remove(it->second, it->first));
    model_.erase({it->second, it->first});
    keys_.erase(it);
  }
  void seek_and_walk(OrderIndex& order) {
    std::string value = key_for(random_());
    value.resize(1 + random_() % 13);
    auto expected = std::find_if(model_.lower_bound({value, 0}), model_.end(), [&](const auto& k) {
      return k.first.compare(0, value.size(), value) >= 0;
    });
    std::optional<std::uint32_t> record = order.seek(value);
    ASSERT_TRUE(record);
    std::uint64_t number = static_cast<std::uint64_t>(std::distance(model_.begin(), expected)) + 1;
    for (int step = 0; step < 40; ++step, ++expected, ++number) {
      if (expected == model_.end()) {
        ASSERT_EQ(*record, 0u);
        break;
      }
      ASSERT_EQ(*record, expected->second);
      ASSERT_EQ(order.current_key(), expected->first);
      if (step % 8 == 0) {
        ASSERT_EQ(order.key_number(), number);
      }
      record = order.skip();
      ASSERT_TRUE(record);
    }
  }
  void check_file(OrderIndex& order, const std::string& path) {
    // An exclusive file holds its changed pages until flushed.
    ASSERT_TRUE(order.flush());
    Keys keys;
    ASSERT_EQ(check_index(path, keys), "");
    ASSERT_EQ(keys, Keys(model_.begin(), model_.end()));
    ASSERT_EQ(order.key_count(), model_.size());
    const std::vector<std::uint8_t> bytes = read_bytes(path);
    EXPECT_EQ(get_u32le(std::span(bytes).subspan(kFirstTagHeaderOffset)), kFirstTagPageOffset);
  }

  void run(const IndexOptions& options) {
    TempDir dir;
    Table table(dir.file("pool.dbf"), {});
    const std::string path = dir.file("pool.cdx");
    std::unique_ptr<OrderIndex> order = create_index(path, table.source, options);
    ASSERT_TRUE(order);
    // Grow, churn, then shrink to nothing, so that pages split, merge, free and return.
    for (int batch = 0; batch < 24; ++batch) {
      const int grow = batch < 10 ? 8 : (batch < 16 ? 4 : 1);
      for (int op = 0; op < 250; ++op) {
        const int what = static_cast<int>(random_() % 10);
        if (what < grow) append(*order);
        else if (what < 8) change_key(*order);
        else drop(*order);
        if (op % 25 == 0) seek_and_walk(*order);
        if (HasFatalFailure()) return;
      }
      check_file(*order, path);
      if (HasFatalFailure()) return;
      if (batch % 4 == 3) {
        ASSERT_TRUE(order->close());
        order = open_index(path, table.source, options);
        ASSERT_TRUE(order);
        EXPECT_EQ(walk(*order), Keys(model_.begin(), model_.end()));
        check_file(*order, path);
      }
    }
    // Draining merges pages level by level until the root is an empty leaf again.
    for (int dropped = 0; !keys_.empty(); ++dropped) {
      drop(*order);
      if (dropped % 50 == 0) seek_and_walk(*order);
      if (dropped % 400 == 0) check_file(*order, path);
      if (HasFatalFailure()) return;
    }
    check_file(*order, path);
    const std::vector<std::uint8_t> bytes = read_bytes(path);
    EXPECT_EQ(get_u16le(std::span(bytes).subspan(kFirstTagPageOffset)), kAttrRoot | kAttrLeaf);
    EXPECT_EQ(order->go_top(), 0u);
    EXPECT_TRUE(order->close());
  }

  std::mt19937_64 random_{20240611};
  Model model_;
  std::map<std::uint32_t, std::string> keys_;
  std::uint32_t next_record_ = 0;
};

TEST_F(CdxModel, ExclusiveFileStaysConsistentThroughThousandsOfChanges) {
#ifdef _WIN32
  GTEST_SKIP() << "checks the file while it is held exclusively, which Windows refuses";
#endif
  run({});
}
TEST_F(CdxModel, SharedFileStaysConsistentThroughThousandsOfChanges) { run(shared_options()); }

TEST(CdxIndex, UpdateCounterCountsChangesOnlyWhenShared) {
#ifdef _WIN32
  GTEST_SKIP() << "reads the index while it is held exclusively, which Windows refuses";
#endif
  TempDir dir;
  Table table(dir.file("pool.dbf"), {{"9783161484100"}});
  const std::string path = dir.file("pool.cdx");
  for (const bool shared : {false, true}) {
    IndexOptions options;
    options.shared = shared;
    std::unique_ptr<OrderIndex> order = create_index(path, table.source, options);
    ASSERT_TRUE(order);
    const auto counter = [&] {
      const std::vector<std::uint8_t> bytes = read_bytes(path);
      return get_u32be(std::span(bytes).subspan(8));
    };
    const std::uint32_t before = counter();
    ASSERT_TRUE(order->insert("9780306406157", 2));
    ASSERT_TRUE(order->insert("9780306406158", 3));
    order->go_top();  // reading changes nothing
    const std::uint32_t after = counter();
    EXPECT_EQ(after, shared ? before + 2 : 0u) << shared;
    order->close();
  }
}

TEST(CdxIndex, RemovingAKeyTheOrderDoesNotHoldIsCorruption) {
  TempDir dir;
  Table table(dir.file("pool.dbf"), {{"9783161484100"}});
  std::unique_ptr<OrderIndex> order = create_index(dir.file("pool.cdx"), table.source, {});
  ASSERT_TRUE(order);
  RecordFailures failures;
  EXPECT_FALSE(order->remove("9783161484100", 2));
  EXPECT_TRUE(failures.saw("Error DBFCDX/1012  Corruption detected: "));
  EXPECT_EQ(walk(*order), (Keys{{"9783161484100", 1}}));
}

// A reader walks and seeks a shared file while another process appends to it.
TEST(CdxIndex, ReaderSeesAnUnbrokenTreeWhileAnotherProcessAppends) {
#ifdef _WIN32
  GTEST_SKIP() << "the second process is made with fork(), which Windows lacks";
#else
  TempDir dir;
  Table table(dir.file("pool.dbf"), {});
  const std::string path = dir.file("pool.cdx");
  ASSERT_TRUE(create_index(path, table.source, shared_options()));
  constexpr std::uint32_t kAppends = 3000;
  const auto key_of = [](std::uint32_t record) { return isbn(9780000000000 + (record * 104729ull) % 1000000); };

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RecordFailures failures;
    std::unique_ptr<OrderIndex> writer = open_index(path, table.source, shared_options());
    bool ok = writer != nullptr;
    for (std::uint32_t record = 1; ok && record <= kAppends; ++record) ok = writer->insert(key_of(record), record);
    ok = ok && writer->close();
    ::_exit(ok ? 0 : 1);
  }
  RecordFailures failures;
  std::unique_ptr<OrderIndex> reader = open_index(path, table.source, shared_options());
  ASSERT_TRUE(reader);
  int status = 0;
  std::size_t walks = 0;
  for (;;) {
    const bool done = ::waitpid(child, &status, WNOHANG) == child;
    const Keys keys = walk(*reader);
    ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    ASSERT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
    ASSERT_GE(reader->key_count(), keys.size());  // the writer may have gone on since
    if (!keys.empty()) {
      const std::uint32_t record = keys[keys.size() / 2].second;
      ASSERT_TRUE(reader->seek(key_of(record)));
      ASSERT_EQ(reader->current_key(), key_of(record));
    }
    ++walks;
    if (done) break;
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(failures.messages.empty());
  Keys expected;
  for (std::uint32_t record = 1; record <= kAppends; ++record) expected.emplace_back(key_of(record), record);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(walk(*reader), expected);
  EXPECT_EQ(reader->key_count(), kAppends);
  Keys on_disk;
  EXPECT_EQ(check_index(path, on_disk), "");
  EXPECT_GT(walks, 1u);
#endif
}

// Damaged files: each gives the corruption error, and walks end.
class CdxDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Row> rows;
    for (int i = 0; i < 3000; ++i) rows.push_back({isbn(9780000000000 + (i * 7919ull) % 100000000)});
    table_ = std::make_unique<Table>(dir_.file("pool.dbf"), rows);
    path_ = dir_.file("pool.cdx");
    std::unique_ptr<OrderIndex> order = create_index(path_, table_->source, {});
    ASSERT_TRUE(order);
    order->close();
    good_ = read_bytes(path_);
    root_ = get_u32le(std::span(good_).subspan(kFirstTagHeaderOffset));
  }

  // Opens the damaged file and uses it; true when the corruption error came.
  bool fails_with_corruption(const std::vector<std::uint8_t>& bytes) {
    write_bytes(path_, bytes);
    RecordFailures failures;
    std::unique_ptr<OrderIndex> order = open_index(path_, table_->source, {});
    if (order) {
      std::optional<std::uint32_t> record = order->go_top();
      for (int steps = 0; record && *record != 0 && steps < 10000; ++steps) record = order->skip();
      order->seek("9780000");
      order->key_count();
      order->insert("9780000000000", 5000);
    }
    return failures.saw("Corruption detected");
  }
  void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    put_u32le(std::span(bytes).subspan(at), value);
  }

  TempDir dir_;
  std::unique_ptr<Table> table_;
  std::string path_;
  std::vector<std::uint8_t> good_;
  std::uint32_t root_ = 0;
};

TEST_F(CdxDamage, ShortOrTruncatedFiles) {
  EXPECT_TRUE(fails_with_corruption(std::vector<std::uint8_t>(good_.begin(), good_.begin() + 1024)));
  EXPECT_TRUE(fails_with_corruption(std::vector<std::uint8_t>(good_.begin(), good_.begin() + 1300)));
  EXPECT_TRUE(fails_with_corruption(std::vector<std::uint8_t>(good_.begin(), good_.begin() + 2560 + 5 * 512 + 100)));
}

TEST_F(CdxDamage, PageOffsetsOutsideTheFile) {
  auto bytes = good_;
  put32(bytes, kFirstTagHeaderOffset, 0x7FFFFE00);  // tag root
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  put32(bytes, 0, static_cast<std::uint32_t>(good_.size()));  // directory root
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  put32(bytes, 2560 + kPgRight, 0x7FFFFE00);  // first leaf's right sibling
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  put32(bytes, 2560 + kPgRight, 2561);  // not a page boundary
  EXPECT_TRUE(fails_with_corruption(bytes));
}

TEST_F(CdxDamage, CyclesInSiblingOrChildLinks) {
  auto bytes = good_;
  put32(bytes, 2560 + kPgRight, 2560);  // a leaf that follows itself
  EXPECT_TRUE(fails_with_corruption(bytes));
  // Two leaves that follow each other, with links agreeing both ways.
  bytes = good_;
  put32(bytes, 3072 + kPgRight, 2560);
  put32(bytes, 2560 + kPgLeft, 3072);
  EXPECT_TRUE(fails_with_corruption(bytes));
  // The root's first child is the root itself.
  bytes = good_;
  put_u32be(std::span(bytes).subspan(root_ + 12 + 17), root_);
  EXPECT_TRUE(fails_with_corruption(bytes));
}

TEST_F(CdxDamage, CountsOutOfRange) {
  auto bytes = good_;
  put_u16le(std::span(bytes).subspan(2560 + kPgKeyCount), 400);
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  put_u16le(std::span(bytes).subspan(root_ + kPgKeyCount), 60);  // interior entries beyond the page
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  bytes[2560 + kLfRecordBits] = 40;
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  put_u16le(std::span(bytes).subspan(1024 + kPgKeyCount), 0);  // no tag in the directory
  EXPECT_TRUE(fails_with_corruption(bytes));
  bytes = good_;
  bytes[kFirstTagHeaderOffset + kHdrKeyLength] = 0;
  EXPECT_TRUE(fails_with_corruption(bytes));
}

TEST_F(CdxDamage, FreeListLeadingIntoLivePages) {
  auto bytes = good_;
  put32(bytes, kHdrFreeList, 2560);  // a leaf in use
  write_bytes(path_, bytes);
  RecordFailures failures;
  std::unique_ptr<OrderIndex> order = open_index(path_, table_->source, {});
  ASSERT_TRUE(order);
  bool ok = true;
  for (std::uint32_t record = 3001; ok && record < 4000; ++record) ok = order->insert("9780000000001", record);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(failures.saw("Corruption detected"));
  // The change that met the damage was dropped; what went before is intact.
  const Keys keys = walk(*order);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_GE(keys.size(), 3000u);
}

}  // namespace
}  // namespace torvane::storage::cdx
