#include "storage/cdx_index.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/byte_order.h"
#include "storage/cdx_build.h"
#include "storage/cdx_tree.h"

namespace torvane::storage {
namespace cdx {
namespace {

// The leaves in key order with their key counts: the key number of a position is the
// keys of the leaves before it plus its place in its leaf.
struct LeafTable {
  bool valid = false;
  std::uint64_t generation = 0;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint64_t> starts;  // keys before each leaf; empty when out of date
  std::unordered_map<std::uint32_t, std::size_t> slot;
  std::uint64_t total = 0;

  void clear() {
    valid = false;
    counts.clear();
    starts.clear();
    slot.clear();
    total = 0;
  }
  std::uint64_t keys_before(std::size_t i) {
    if (starts.empty()) {
      starts.resize(counts.size());
      std::uint64_t sum = 0;
      for (std::size_t j = 0; j < counts.size(); ++j) {
        starts[j] = sum;
        sum += counts[j];
      }
    }
    return starts[i];
  }
};

struct Cursor {
  bool at_end = true;
  std::shared_ptr<Page> leaf;
  std::size_t index = 0;
  std::string key;
  std::uint32_t record = 0;
  std::uint64_t generation = 0;
};

class CdxOrder final : public OrderIndex {
 public:
  CdxOrder(std::unique_ptr<PageStore> store, std::uint32_t root, std::string tag, std::string key_field)
      : store_(std::move(store)), tree_(*store_, root), tag_(std::move(tag)), key_field_(std::move(key_field)) {}
  ~CdxOrder() override { close(); }

  void seed_key_count(std::uint64_t count) {
    count_ = count;
    count_generation_ = store_->generation();
  }

  std::string_view key_field() const override { return key_field_; }
  std::uint32_t key_length() const override { return store_->key_length(); }
  std::string tag_name() const override { return tag_; }

  std::optional<std::uint32_t> go_top() override {
    return in_session<std::uint32_t>(false, [&]() -> std::optional<std::uint32_t> {
      std::shared_ptr<Page> leaf = tree_.first_leaf();
      if (!leaf || !position(std::move(leaf), 0)) return std::nullopt;
      return current_record();
    });
  }

  std::optional<std::uint32_t> skip() override {
    return in_session<std::uint32_t>(false, [&]() -> std::optional<std::uint32_t> {
      if (cursor_.at_end) return 0;
      if (!reposition(true)) return std::nullopt;
      return current_record();
    });
  }

  std::optional<std::uint32_t> seek(std::string_view value) override {
    const std::string wanted(value.substr(0, store_->key_length()));
    return in_session<std::uint32_t>(false, [&]() -> std::optional<std::uint32_t> {
      Path path;
      if (!tree_.find_prefix(wanted, path)) return std::nullopt;
      if (path.empty()) {
        cursor_.at_end = true;
        return 0;
      }
      if (!position(path.back().page, path.back().index)) return std::nullopt;
      return current_record();
    });
  }

  std::string current_key() const override { return cursor_.at_end ? std::string() : cursor_.key; }

  std::optional<std::uint64_t> key_number() override {
    return in_session<std::uint64_t>(false, [&]() -> std::optional<std::uint64_t> {
      if (cursor_.at_end) return 0;
      if (!reposition(false)) return std::nullopt;
      if (cursor_.at_end) return 0;
      if (!leaf_table_ready()) return std::nullopt;
      auto found = leaves_.slot.find(cursor_.leaf->offset);
      if (found == leaves_.slot.end()) {
        store_->corrupt();
        return std::nullopt;
      }
      return leaves_.keys_before(found->second) + cursor_.index + 1;
    });
  }

  std::optional<std::uint64_t> key_count() override {
    return in_session<std::uint64_t>(false, [&]() -> std::optional<std::uint64_t> {
      if (count_ && count_generation_ == store_->generation()) return *count_;
      if (!leaf_table_ready()) return std::nullopt;
      return leaves_.total;
    });
  }

  bool insert(std::string_view key, std::uint32_t record) override {
    return change(key, record, true);
  }
  bool remove(std::string_view key, std::uint32_t record) override {
    return change(key, record, false);
  }

  // An exclusive file keeps its changed pages in memory until now.
  bool flush() override { return closed_ || store_->flush(); }

  bool close() override {
    if (closed_) return true;
    closed_ = true;
    return store_->close();
  }

 private:
  template <typename T, typename F>
  std::optional<T> in_session(bool write, F&& body) {
    if (closed_) return std::nullopt;
    if (!store_->start(write)) {
      store_->finish(false);
      return std::nullopt;
    }
    std::optional<T> result = body();
    store_->finish(result.has_value());
    return result;
  }

  std::uint32_t current_record() const { return cursor_.at_end ? 0 : cursor_.record; }

  // Positions on the entry at index of leaf, or on the first one after it.
  bool position(std::shared_ptr<Page> leaf, std::size_t index) {
    std::uint32_t steps = 0;
    while (leaf && index >= leaf->count()) {
      bool ok = true;
      leaf = tree_.next_leaf(*leaf, ok);
      if (!ok) return false;
      if (++steps > store_->page_limit()) return store_->corrupt();
      index = 0;
    }
    cursor_.generation = store_->generation();
    cursor_.at_end = leaf == nullptr;
    if (cursor_.at_end) {
      cursor_.leaf.reset();
      return true;
    }
    cursor_.key.assign(leaf->key(index));
    cursor_.record = leaf->records[index];
    cursor_.leaf = std::move(leaf);
    cursor_.index = index;
    return true;
  }

  // Places the cursor again on its entry, found by key when the pages changed since it
  // was placed, or on the entry's successor when the entry is gone; with `step` it moves
  // on past the entry.
  bool reposition(bool step) {
    if (cursor_.generation == store_->generation())
      return position(cursor_.leaf, step ? cursor_.index + 1 : cursor_.index);
    Path path;
    if (!tree_.find(cursor_.key, cursor_.record, path)) return false;
    const Page& leaf = *path.back().page;
    const std::size_t index = path.back().index;
    const bool same = index < leaf.count() &&
                      compare_entries(leaf.key(index), leaf.records[index], cursor_.key, cursor_.record) == 0;
    return position(path.back().page, step && same ? index + 1 : index);
  }

  bool leaf_table_ready() {
    if (leaves_.valid && leaves_.generation == store_->generation()) return true;
    leaves_.clear();
    std::shared_ptr<Page> first = tree_.first_leaf();
    if (!first) return false;
    std::uint32_t offset = first->offset;
    std::uint32_t previous = kNoPage;
    while (offset != kNoPage) {
      PageStore::Outline outline;
      if (!store_->outline(offset, outline)) return false;
      // A leaf met twice, or more leaves than the file has pages: the chain runs in a circle.
      if (!outline.leaf || outline.left != previous || leaves_.counts.size() > store_->page_limit() ||
          !leaves_.slot.emplace(offset, leaves_.counts.size()).second)
        return store_->corrupt();
      leaves_.counts.push_back(outline.count);
      leaves_.total += outline.count;
      previous = offset;
      offset = outline.right;
    }
    leaves_.valid = true;
    leaves_.generation = store_->generation();
    seed_key_count(leaves_.total);
    return true;
  }

  bool change(std::string_view key, std::uint32_t record, bool add) {
    std::string full(key.substr(0, store_->key_length()));
    full.resize(store_->key_length(), store_->pad());
    bool counted = false;
    bool listed = false;
    Tree::Change done;
    const auto result = in_session<bool>(true, [&]() -> std::optional<bool> {
      counted = count_ && count_generation_ == store_->generation();
      listed = leaves_.valid && leaves_.generation == store_->generation();
      bool missing = false;
      done = add ? tree_.insert(full, record) : tree_.remove(full, record, missing);
      // The table asked to remove a key the order does not hold: they disagree.
      if (missing) store_->corrupt();
      if (!done.ok) return std::nullopt;
      return true;
    });
    if (!result) {
      count_.reset();
      leaves_.clear();
      return false;
    }
    // Keep the counts when the tree kept its shape; otherwise they are made again.
    const std::uint64_t now = store_->generation();
    if (counted) seed_key_count(add ? *count_ + 1 : *count_ - 1);
    auto found = leaves_.slot.find(done.leaf);
    if (listed && !done.reshaped && found != leaves_.slot.end()) {
      std::uint32_t& count = leaves_.counts[found->second];
      count = add ? count + 1 : count - 1;
      leaves_.total = add ? leaves_.total + 1 : leaves_.total - 1;
      leaves_.starts.clear();
      leaves_.generation = now;
    } else {
      leaves_.clear();
    }
    return true;
  }

  std::unique_ptr<PageStore> store_;
  Tree tree_;
  std::string tag_;
  std::string key_field_;
  Cursor cursor_;
  LeafTable leaves_;
  std::optional<std::uint64_t> count_;
  std::uint64_t count_generation_ = 0;
  bool closed_ = false;
};

bool fail(int subcode, std::string_view file, int os_code = 0) {
  raise(StorageError{subcode, Variant::cdx, std::string(file), os_code});
  return false;
}

bool read_exact(platform::File& file, std::uint64_t offset, std::span<std::uint8_t> out,
                std::string_view path) {
  const std::int64_t got = file.read_at(offset, out);
  if (got < 0) return fail(kReadError, path, file.os_error());
  return static_cast<std::size_t>(got) == out.size() || fail(kCorruption, path);
}

struct TagEntry {
  std::string name;
  std::uint32_t header = 0;
};

// The tags of the directory, read leaf by leaf; false when it cannot be read (raised).
bool read_directory(platform::File& file, std::string_view path, std::uint64_t size,
                    std::vector<TagEntry>& tags) {
  std::array<std::uint8_t, kHeaderSize> header{};
  if (!read_exact(file, kCompoundHeaderOffset, header, path)) return false;
  const std::uint32_t key_length = get_u16le(std::span(header).subspan(kHdrKeyLength));
  std::uint32_t offset = get_u32le(header);
  const std::uint64_t pages = size / kPageSize;
  std::array<std::uint8_t, kPageSize> bytes{};
  Page page;
  const auto load = [&](std::uint32_t at) {
    return at % kPageSize == 0 && at >= kPageSize && at + std::uint64_t{kPageSize} <= size &&
           read_exact(file, at, bytes, path) && decode_page(bytes, at, key_length, ' ', page);
  };
  for (std::size_t depth = 0;; ++depth) {
    if (depth > pages || !load(offset)) return fail(kCorruption, path);
    if (page.leaf) break;
    if (page.count() == 0) return fail(kCorruption, path);
    offset = page.children[0];
  }
  for (std::uint64_t steps = 0;; ++steps) {
    for (std::size_t i = 0; i < page.count(); ++i) {
      std::string_view name = page.key(i);
      name = name.substr(0, name.find_last_not_of(' ') + 1);
      tags.push_back({std::string(name), page.records[i]});
    }
    const std::uint32_t left = page.offset;
    if (page.right == kNoPage) break;
    if (steps > pages || !load(page.right) || !page.leaf || page.left != left) return fail(kCorruption, path);
  }
  return !tags.empty() || fail(kCorruption, path);
}

std::unique_ptr<OrderIndex> open_existing(std::string_view path, const KeySource& source,
                                          const IndexOptions& options) {
  platform::File file = open_index_file(path, options, Variant::cdx);
  if (!file.is_open()) return nullptr;
  const std::int64_t size = file.size();
  if (size < 0) {
    fail(kReadError, path, file.os_error());
    return nullptr;
  }
  std::vector<TagEntry> tags;
  if (size <= kHeaderSize) {
    fail(kCorruption, path);
    return nullptr;
  }
  if (!read_directory(file, path, static_cast<std::uint64_t>(size), tags)) return nullptr;
  // The first tag in the file is the order.
  const TagEntry& tag = *std::min_element(tags.begin(), tags.end(),
                                          [](const TagEntry& a, const TagEntry& b) { return a.header < b.header; });
  std::array<std::uint8_t, kHeaderSize> header{};
  if (tag.header % kPageSize != 0 || tag.header + std::uint64_t{kHeaderSize} > static_cast<std::uint64_t>(size) ||
      !read_exact(file, tag.header, header, path)) {
    fail(kCorruption, path);
    return nullptr;
  }
  const std::span<const std::uint8_t> fields(header);
  const std::uint32_t key_length = get_u16le(fields.subspan(kHdrKeyLength));
  const std::uint32_t expression_at = get_u16le(fields.subspan(kHdrKeyPosition));
  const std::uint32_t expression_length = get_u16le(fields.subspan(kHdrKeyExprLength));
  // Only ascending compact tags over a key of the table's key length can be kept.
  if (key_length == 0 || key_length > kMaxKeyLength || (header[kHdrOptions] & kOptCompact) == 0 ||
      get_u16le(fields.subspan(kHdrDescending)) != 0 ||
      (source.key_length != 0 && source.key_length != key_length) || expression_length == 0 ||
      expression_at + expression_length > kPageSize) {
    fail(kCorruption, path);
    return nullptr;
  }
  std::string expression(reinterpret_cast<const char*>(header.data()) + kHdrExpressionArea + expression_at,
                         expression_length - 1);
  expression = expression.substr(0, expression.find('\0'));
  auto store = std::make_unique<PageStore>(std::move(file), std::string(path), key_length,
                                           source.key_type == 'C' ? ' ' : '\0', options.shared,
                                           options.read_only);
  if (!store->open()) return nullptr;
  return std::make_unique<CdxOrder>(std::move(store), get_u32le(fields), tag.name, expression);
}

}  // namespace

std::unique_ptr<OrderIndex> create_index(std::string_view path, const KeySource& source,
                                         const IndexOptions& options) {
  const BuildOutcome built = build_index_file(path, source, options);
  if (!built.ok) return nullptr;
  std::unique_ptr<OrderIndex> order = open_existing(path, source, options);
  if (order) static_cast<CdxOrder&>(*order).seed_key_count(built.key_count);
  return order;
}

std::unique_ptr<OrderIndex> open_index(std::string_view path, const KeySource& source,
                                       const IndexOptions& options) {
  return open_existing(path, source, options);
}

}  // namespace cdx

void register_cdx_driver() {
  IndexDriver driver;
  driver.extension = "cdx";
  driver.create = &cdx::create_index;
  driver.open = &cdx::open_index;
  register_index_driver(Variant::cdx, driver);
}

}  // namespace torvane::storage
