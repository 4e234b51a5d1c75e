#include "storage/ntx_index.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "platform/process.h"
#include "storage/ntx_check.h"
#include "storage/ntx_format.h"
#include "storage/ntx_test_table.h"
#include "support/run_process.h"

namespace torvane::storage {
namespace {

using testing::PoolTable;
using testing::read_bytes;
using testing::RecordingHandler;
using testing::Row;
using testing::TempDir;
using testing::write_bytes;

using Entry = std::pair<std::string, std::uint32_t>;
using Model = std::set<Entry>;

std::string random_isbn(std::mt19937& random, int spread) {
  return "978" + std::to_string(1000000000 + static_cast<int>(random() % spread));
}

IndexOptions ntx_options(bool shared = false) {
  IndexOptions options;
  options.variant = Variant::ntx;
  options.shared = shared;
  return options;
}

std::vector<Entry> walk(OrderIndex& index) {
  std::vector<Entry> out;
  for (auto record = index.go_top(); record && *record != 0; record = index.skip())
    out.emplace_back(index.current_key(), *record);
  return out;
}

// The model's answer to a seek: the first entry whose key begins with or follows prefix.
Model::const_iterator model_seek(const Model& model, const std::string& prefix) {
  return model.lower_bound({prefix, 0});
}

// Random inserts, removals, seeks and key positions against a set of entries, checked
// against the set all along and by the file checker after closing and reopening.
void run_model(bool shared, unsigned seed) {
  TempDir dir;
  std::mt19937 random(seed);
  std::vector<Row> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({random_isbn(random, 800), random() % 6 == 0});
  PoolTable table(dir.file("pool.dbf"), rows);
  Model model;
  for (std::uint32_t i = 0; i < rows.size(); ++i) model.emplace(rows[i].isbn, i + 1);

  auto index = create_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options(shared));
  ASSERT_NE(index, nullptr);
  std::uint32_t next_record = static_cast<std::uint32_t>(rows.size()) + 1;
  auto remove_random = [&] {
    auto it = model.begin();
    std::advance(it, random() % model.size());
    ASSERT_TRUE(index->remove(it->first, it->second));
    model.erase(it);
  };
  for (int step = 0; step < 6500; ++step) {
    // A long stretch of removals empties most pages and collapses levels; the inserts
    // after it take pages from the free list again.
    const bool draining = step >= 2000 && step < 5500;
    if (shared && step == 5500) {
      // Saved after every change in shared use: the drained pages are on the free list.
      const std::vector<std::uint8_t> header = read_bytes(dir.file("pool.ntx"));
      ASSERT_NE(get_u32le(std::span(header).subspan(8)), 0u);
      ASSERT_LT(model.size(), 500u);
    }
    const unsigned op = random() % 10;
    if (draining && !model.empty() && op < 9) {
      remove_random();
    } else if (op < 5) {
      const std::string key = random_isbn(random, 800);
      ASSERT_TRUE(index->insert(key, next_record));
      model.emplace(key, next_record++);
    } else if (op < 7 && !model.empty()) {
      remove_random();
    } else if (op < 9) {
      std::string prefix = random_isbn(random, 800).substr(0, random() % 14);
      const auto expected = model_seek(model, prefix);
      ASSERT_EQ(index->seek(prefix), expected == model.end() ? 0 : expected->second) << prefix;
      if (expected == model.end()) continue;
      EXPECT_EQ(index->current_key(), expected->first);
      ASSERT_EQ(index->key_number(), static_cast<std::uint64_t>(std::distance(model.begin(), expected)) + 1);
      auto it = expected;
      for (int s = 0; s < 50 && ++it != model.end(); ++s) ASSERT_EQ(index->skip(), it->second);
      ASSERT_EQ(index->key_number(), static_cast<std::uint64_t>(std::distance(model.begin(), it)) + (it == model.end() ? 0 : 1));
    } else {
      ASSERT_EQ(index->key_count(), model.size());
    }
  }
  EXPECT_EQ(walk(*index), std::vector<Entry>(model.begin(), model.end()));
  ASSERT_TRUE(index->close());

  const ntx::CheckResult check = ntx::check_file(dir.file("pool.ntx"), true);
  ASSERT_TRUE(check.ok) << check.problem;
  EXPECT_EQ(check.entries, std::vector<Entry>(model.begin(), model.end()));

  index = open_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options(shared));
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(walk(*index), std::vector<Entry>(model.begin(), model.end()));
  EXPECT_EQ(index->key_count(), model.size());
  EXPECT_EQ(index->key_number(), 0u);  // past the last key
  if (model.empty()) return;
  EXPECT_EQ(index->seek(model.rbegin()->first), model.lower_bound({model.rbegin()->first, 0})->second);
  EXPECT_EQ(index->key_number(), std::distance(model.begin(), model.lower_bound({model.rbegin()->first, 0})) + 1);
}

TEST(NtxIndex, RandomChangesAgreeWithAModelExclusive) { run_model(false, 1); }
TEST(NtxIndex, RandomChangesAgreeWithAModelShared) { run_model(true, 2); }

TEST(NtxIndex, SeekMatchesPrefixesAndEndsAtEndOfFile) {
  TempDir dir;
  std::vector<Row> rows = {{"9783161484100"}, {"9780306406157"}, {"9783161484100"}, {"9781861972712"}};
  PoolTable table(dir.file("pool.dbf"), rows);
  auto index = create_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options());
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->seek("978316"), 1u);          // first of two equal keys: lower record
  EXPECT_EQ(index->key_number(), 3u);
  EXPECT_EQ(index->skip(), 3u);
  EXPECT_EQ(index->seek("9783161484100XYZ"), 1u);  // a longer value is cut to the key
  EXPECT_EQ(index->seek("9785"), 0u);             // beyond every key: end of file
  EXPECT_EQ(index->current_key(), "");
  EXPECT_EQ(index->key_number(), 0u);
  EXPECT_EQ(index->seek("9781"), 4u);             // absent: positioned on the next key
  EXPECT_EQ(index->seek(""), 2u);
  EXPECT_EQ(index->key_count(), 4u);
}

TEST(NtxIndex, SavingAfterChangesRewritesOnlyTheFirstHeaderBytes) {
  TempDir dir;
  std::mt19937 random(5);
  std::vector<Row> rows;
  for (int i = 0; i < 500; ++i) rows.push_back({random_isbn(random, 100000)});
  PoolTable table(dir.file("pool.dbf"), rows);
  auto index = create_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options());
  ASSERT_NE(index, nullptr);
  ASSERT_TRUE(index->close());
  const std::vector<std::uint8_t> built = read_bytes(dir.file("pool.ntx"));
  EXPECT_EQ(get_u16le(std::span(built).subspan(2)), 0u);  // update counter of a new file

  index = open_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options());
  ASSERT_NE(index, nullptr);
  ASSERT_TRUE(index->go_top());
  ASSERT_TRUE(index->close());
  EXPECT_EQ(read_bytes(dir.file("pool.ntx")), built);  // reading changes nothing

  index = open_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options());
  for (std::uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(index->insert(random_isbn(random, 100000), 501 + i));
  ASSERT_TRUE(index->close());
  const std::vector<std::uint8_t> after = read_bytes(dir.file("pool.ntx"));
  EXPECT_EQ(get_u16le(std::span(after).subspan(2)), 1u);
  EXPECT_NE(get_u32le(std::span(after).subspan(4)), get_u32le(std::span(built).subspan(4)));  // a new root
  EXPECT_TRUE(std::equal(built.begin() + 12, built.begin() + 1024, after.begin() + 12));
  const ntx::CheckResult check = ntx::check_file(dir.file("pool.ntx"), true);
  ASSERT_TRUE(check.ok) << check.problem;
  EXPECT_EQ(check.entries.size(), 2500u);
}

TEST(NtxIndex, ReadOnlyIndexRefusesChanges) {
  TempDir dir;
  PoolTable table(dir.file("pool.dbf"), {{"9783161484100"}});
  ASSERT_NE(create_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options()), nullptr);
  IndexOptions options = ntx_options();
  options.read_only = true;
  auto index = open_ntx_index(dir.file("pool.ntx"), table.source(), options);
  ASSERT_NE(index, nullptr);
  RecordingHandler handler;
  EXPECT_FALSE(index->insert("9780306406157", 2));
  ASSERT_EQ(handler.messages.size(), 1u);
  EXPECT_EQ(handler.messages[0], "Error DBFNTX/1025  Write not allowed: " + dir.file("pool.ntx"));
  EXPECT_EQ(index->go_top(), 1u);
}

// ---------------------------------------------------------------------------------
// Damaged files: every kind of damage is the corruption error, never a crash or a hang.

class NtxDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Row> rows;
    for (int i = 0; i < 2000; ++i) rows.push_back({"978" + std::to_string(1000000000 + i * 7)});
    table_ = std::make_unique<PoolTable>(dir_.file("pool.dbf"), rows);
    auto index = create_ntx_index(path(), table_->source(), ntx_options());
    ASSERT_NE(index, nullptr);
    index->close();
    good_ = read_bytes(path());
    root_ = get_u32le(std::span(good_).subspan(4));
  }
  std::string path() const { return dir_.file("pool.ntx"); }

  // Opens the damaged bytes and uses the index every way; returns the messages raised.
  std::vector<std::string> use(const std::vector<std::uint8_t>& bytes) {
    write_bytes(path(), bytes);
    RecordingHandler handler;
    auto index = open_ntx_index(path(), table_->source(), ntx_options());
    if (index) {
      walk(*index);
      index->key_count();
      index->seek("9781000000700");
      index->key_number();
      index->insert("9781000000701", 5000);
      index->remove("9781000000700", 101);
      index->close();
    }
    return handler.messages;
  }
  void expect_corruption(const std::vector<std::uint8_t>& bytes) {
    const std::vector<std::string> messages = use(bytes);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "Error DBFNTX/1012  Corruption detected: " + path());
  }

  TempDir dir_;
  std::unique_ptr<PoolTable> table_;
  std::vector<std::uint8_t> good_;
  std::uint32_t root_ = 0;
};

TEST_F(NtxDamage, HeaderFields) {
  ASSERT_TRUE(use(good_).empty());
  for (auto [offset, value] : {std::pair{12, 0x16}, {14, 0x0C}, {18, 0xFF}, {0, 0x05}, {1, 0x02}, {280, 0x01}}) {
    std::vector<std::uint8_t> bytes = good_;
    bytes[offset] = static_cast<std::uint8_t>(value);
    SCOPED_TRACE(offset);
    expect_corruption(bytes);
  }
  std::vector<std::uint8_t> bytes = good_;
  put_u32le(std::span(bytes).subspan(4), static_cast<std::uint32_t>(good_.size()));  // root past the end
  expect_corruption(bytes);
  put_u32le(std::span(bytes).subspan(4), 1000);  // not a block
  expect_corruption(bytes);
}

TEST_F(NtxDamage, PageContents) {
  std::vector<std::uint8_t> bytes = good_;
  put_u16le(std::span(bytes).subspan(root_ + 2 + 2 * 3), 1020);  // a slot offset outside the page
  expect_corruption(bytes);
  bytes = good_;
  put_u16le(std::span(bytes).subspan(root_ + 2 + 2 * 3), get_u16le(std::span(bytes).subspan(root_ + 2)));
  expect_corruption(bytes);  // two keys in one slot
  bytes = good_;
  put_u16le(std::span(bytes).subspan(1024), 43);  // more than maximum keys
  expect_corruption(bytes);
  bytes = good_;
  ntx::Page root(bytes.data() + root_, ntx::Geometry::for_key(13));
  root.set_child(1, 5 * 1024 + 17);  // a child that is not a block
  expect_corruption(bytes);
}

TEST_F(NtxDamage, ChildCyclesAndTruncation) {
  std::vector<std::uint8_t> bytes = good_;
  ntx::Page root(bytes.data() + root_, ntx::Geometry::for_key(13));
  root.set_child(root.count(), root_);  // the root is its own last child
  expect_corruption(bytes);

  bytes = good_;
  ntx::Page cycle_root(bytes.data() + root_, ntx::Geometry::for_key(13));
  const std::uint32_t child = cycle_root.child(0);
  ntx::Page middle(bytes.data() + child, ntx::Geometry::for_key(13));
  if (middle.child(0) != 0) middle.set_child(0, root_);  // a loop through two levels
  else cycle_root.set_child(0, root_);
  expect_corruption(bytes);

  bytes = good_;
  bytes.resize(bytes.size() - 700);  // the last page cut short
  expect_corruption(bytes);
  bytes.resize(1500);  // the root is gone
  expect_corruption(bytes);
  bytes.resize(10);
  expect_corruption(bytes);
}

// ---------------------------------------------------------------------------------
// Several processes use one index shared: a writer child started from this test program.

constexpr const char* kChildPath = "TORVANE_NTX_CHILD_INDEX";
constexpr const char* kChildBase = "TORVANE_NTX_CHILD_BASE";

TEST(NtxSharedChild, Writer) {
  const char* path = std::getenv(kChildPath);
  const char* base = std::getenv(kChildBase);
  if (path == nullptr || base == nullptr) {
    GTEST_SKIP() << "runs as a child of NtxShared";
  }
  KeySource source;
  source.key_length = 13;
  auto index = open_ntx_index(path, source, ntx_options(true));
  ASSERT_NE(index, nullptr);
  const std::uint32_t first = static_cast<std::uint32_t>(std::atoi(base));
  std::mt19937 random(first);
  for (std::uint32_t i = 0; i < 400; ++i) {
    ASSERT_TRUE(index->insert(random_isbn(random, 5000), first + i));
    if (i % 50 == 0) {
      ASSERT_TRUE(index->seek(random_isbn(random, 5000)).has_value());
    }
  }
  ASSERT_TRUE(index->close());
}

TEST(NtxShared, ProcessesInsertingAtOnceLoseNothing) {
  TempDir dir;
  std::vector<Row> rows;
  for (int i = 0; i < 100; ++i) rows.push_back({"978" + std::to_string(1000000000 + i)});
  PoolTable table(dir.file("pool.dbf"), rows);
  auto reader = create_ntx_index(dir.file("pool.ntx"), table.source(), ntx_options(true));
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(reader->key_count(), 100u);  // counted and cached before the others write

  std::vector<torvane::testing::ProcessResult> results(3);
  std::vector<std::thread> children;
  for (int c = 0; c < 3; ++c) {
    children.emplace_back([&, c] {
      torvane::testing::ProcessOptions options;
      options.args = {"--gtest_filter=NtxSharedChild.Writer"};
      options.environment = {std::string(kChildPath) + "=" + dir.file("pool.ntx"),
                             std::string(kChildBase) + "=" + std::to_string(1000 * (c + 1))};
      options.time_limit_seconds = 120;
      results[c] = torvane::testing::run_process(platform::executable_path(), options);
    });
  }
  for (std::thread& child : children) child.join();
  for (const auto& result : results) ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

  // The open reader sees the other processes' keys: its cached pages were dropped.
  EXPECT_EQ(reader->key_count(), 1300u);
  EXPECT_EQ(walk(*reader).size(), 1300u);
  ASSERT_TRUE(reader->close());
  const ntx::CheckResult check = ntx::check_file(dir.file("pool.ntx"), true);
  ASSERT_TRUE(check.ok) << check.problem;
  std::set<std::uint32_t> records;
  for (const Entry& entry : check.entries) records.insert(entry.second);
  EXPECT_EQ(records.size(), 1300u);
  const std::vector<std::uint8_t> bytes = read_bytes(dir.file("pool.ntx"));
  EXPECT_GE(get_u16le(std::span(bytes).subspan(2)), 3u);  // every writer saved the header
}

}  // namespace
}  // namespace torvane::storage
