#include "storage/ntx_tree.h"

#include <algorithm>
#include <utility>

namespace torvane::storage::ntx {
namespace {

// The first key of the page for which below(i) is false; keys are in order, so below
// holds for a leading run only.
template <typename Below>
std::uint32_t first_not_below(const Page& page, Below below) {
  std::uint32_t lo = 0, hi = page.count();
  while (lo < hi) {
    const std::uint32_t mid = (lo + hi) / 2;
    if (below(mid)) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

}  // namespace

Tree::Tree(platform::File& file, std::string path, Variant variant, const Header& header,
           std::uint64_t file_size)
    : file_(file), path_(std::move(path)), variant_(variant), header_(header), file_end_(file_size) {}

void Tree::corrupt() const { throw TreeFailure{{kCorruption, variant_, path_, 0}}; }

void Tree::fail(int subcode, int os_code) const { throw TreeFailure{{subcode, variant_, path_, os_code}}; }

void Tree::read_page(std::uint32_t offset, PageBytes& bytes) {
  if (!valid_page_offset(offset, file_end_)) corrupt();
  const std::int64_t got = file_.read_at(offset, bytes);
  if (got < 0) fail(kReadError, file_.os_error());
  if (got != static_cast<std::int64_t>(kPageSize)) corrupt();  // cut short by another program
  if (!Page(bytes.data(), header_.geometry).sound()) corrupt();
}

Tree::Cached& Tree::load(std::uint32_t offset) {
  if (auto it = pages_.find(offset); it != pages_.end()) return *it->second;
  auto cached = std::make_unique<Cached>();
  read_page(offset, cached->bytes);
  return *pages_.emplace(offset, std::move(cached)).first->second;
}

Page Tree::dirty_page(std::uint32_t offset) {
  Cached& cached = load(offset);
  cached.dirty = true;
  changed_ = true;
  return Page(cached.bytes.data(), header_.geometry);
}

// A page from the free list, else a new block at the end of the file.
std::uint32_t Tree::allocate() {
  std::uint32_t offset = header_.free_list;
  if (offset != 0) {
    Page free = dirty_page(offset);
    const std::uint32_t next = free.child(0);
    if (next == offset || (next != 0 && !valid_page_offset(next, file_end_))) corrupt();
    header_.free_list = next;
  } else {
    const std::uint64_t end = (file_end_ + kPageSize - 1) / kPageSize * kPageSize;
    if (end + kPageSize > 0xFFFF'FFFFu) fail(kWriteError, 0);  // page references are 32 bits
    offset = static_cast<std::uint32_t>(end);
    file_end_ = end + kPageSize;
    pages_[offset] = std::make_unique<Cached>();
  }
  dirty_page(offset).clear();
  subtree_counts_.erase(offset);
  return offset;
}

void Tree::release(std::uint32_t offset) {
  Page page = dirty_page(offset);
  page.clear();
  page.set_child(0, header_.free_list);
  header_.free_list = offset;
  subtree_counts_.erase(offset);
}

void Tree::reload(const Header& header, std::uint64_t file_size) {
  header_ = header;
  file_end_ = file_size;
  pages_.clear();
  subtree_counts_.clear();
  key_count_.reset();
  restore_cursor();
}

void Tree::write_pages(bool clear) {
  for (auto& [offset, cached] : pages_) {
    if (!cached->dirty) continue;
    if (file_.write_at(offset, cached->bytes) != static_cast<std::int64_t>(kPageSize))
      fail(kWriteError, file_.os_error());
    cached->dirty = false;
  }
  if (clear) pages_.clear();
}

void Tree::discard() {
  pages_.clear();
  subtree_counts_.clear();
  key_count_.reset();
  cursor_.clear();
  positioned_ = false;
}

void Tree::check_depth(std::size_t depth) const {
  if (depth >= kMaxDepth) corrupt();
}

// More keys than this means some page is reached twice: a cycle or a shared child.
std::uint64_t Tree::key_limit() const { return file_end_ / kPageSize * header_.geometry.max_keys; }

// ---------------------------------------------------------------------------------
// Navigation. The cursor is the path from the root: in every page above the current
// one the index of the child descended into, in the current page the key's index.

void Tree::descend_leftmost(std::uint32_t offset) {
  for (;;) {
    check_depth(cursor_.size());
    cursor_.push_back({offset, 0});
    const std::uint32_t child = page(offset).child(0);
    if (child == 0) return;
    offset = child;
  }
}

// Climbs from a frame that has run past its page's keys to the next key up the path.
bool Tree::settle() {
  while (!cursor_.empty()) {
    const Frame& frame = cursor_.back();
    Page p = page(frame.page);
    if (frame.index < p.count()) {
      positioned_ = true;
      key_.assign(p.key(frame.index));
      record_ = p.record(frame.index);
      return true;
    }
    cursor_.pop_back();
  }
  positioned_ = false;
  key_.clear();
  record_ = 0;
  return false;
}

bool Tree::go_top() {
  cursor_.clear();
  steps_ = 0;
  descend_leftmost(header_.root);
  const bool on_key = settle();
  number_ = on_key ? 1 : 0;
  return on_key;
}

bool Tree::skip() {
  if (!positioned_) return false;
  if (++steps_ > key_limit()) corrupt();
  Frame& frame = cursor_.back();
  ++frame.index;
  const std::uint32_t child = page(frame.page).child(frame.index);
  if (child != 0) descend_leftmost(child);
  const bool on_key = settle();
  if (number_) number_ = on_key ? *number_ + 1 : 0;
  return on_key;
}

bool Tree::seek(std::string_view prefix) {
  prefix = prefix.substr(0, header_.geometry.key_length);
  cursor_.clear();
  steps_ = 0;
  number_.reset();
  std::uint32_t offset = header_.root;
  for (;;) {
    check_depth(cursor_.size());
    Page p = page(offset);
    const std::uint32_t lo =
        first_not_below(p, [&](std::uint32_t i) { return std::memcmp(p.key_bytes(i), prefix.data(), prefix.size()) < 0; });
    cursor_.push_back({offset, lo});
    offset = p.child(lo);
    if (offset == 0) break;
  }
  return settle();
}

std::vector<Tree::Frame> Tree::find_path(std::string_view key, std::uint32_t record, bool& found) {
  std::vector<Frame> path;
  found = false;
  std::uint32_t offset = header_.root;
  for (;;) {
    check_depth(path.size());
    Page p = page(offset);
    const std::uint32_t lo =
        first_not_below(p, [&](std::uint32_t i) { return compare_entries(p.key(i), p.record(i), key, record) < 0; });
    path.push_back({offset, lo});
    if (lo < p.count() && compare_entries(p.key(lo), p.record(lo), key, record) == 0) {
      found = true;
      return path;
    }
    offset = p.child(lo);
    if (offset == 0) return path;
  }
}

bool Tree::locate(std::string_view key, std::uint32_t record) {
  bool found = false;
  cursor_ = find_path(key, record, found);
  steps_ = 0;
  number_.reset();
  return settle();
}

void Tree::restore_cursor() {
  if (!positioned_) return;
  const std::string key = key_;
  locate(key, record_);
}

// ---------------------------------------------------------------------------------
// Counting. Subtree sizes are cached per page and kept current along the changed path,
// so key number and key count are computed once and then maintained.

std::uint64_t Tree::subtree(std::uint32_t offset, std::size_t depth) {
  if (offset == 0) return 0;
  if (auto it = subtree_counts_.find(offset); it != subtree_counts_.end()) return it->second;
  check_depth(depth);
  // Counting the whole tree must not fill the page cache: read uncached pages aside.
  PageBytes scratch;
  std::uint8_t* bytes = nullptr;
  if (auto it = pages_.find(offset); it != pages_.end()) {
    bytes = it->second->bytes.data();
  } else {
    read_page(offset, scratch);
    bytes = scratch.data();
  }
  Page p(bytes, header_.geometry);
  std::vector<std::uint32_t> children;
  for (std::uint32_t i = 0; i <= p.count(); ++i) children.push_back(p.child(i));
  std::uint64_t total = p.count();
  for (std::uint32_t child : children) {
    total += subtree(child, depth + 1);
    if (total > key_limit()) corrupt();
  }
  subtree_counts_[offset] = total;
  return total;
}

void Tree::adjust_counts(const std::vector<Frame>& path, int delta) {
  for (const Frame& frame : path)
    if (auto it = subtree_counts_.find(frame.page); it != subtree_counts_.end()) it->second += delta;
  if (key_count_) *key_count_ += delta;
}

std::uint64_t Tree::key_count() {
  if (!key_count_) key_count_ = subtree(header_.root, 0);
  return *key_count_;
}

std::uint64_t Tree::key_number() {
  if (!positioned_) return 0;
  if (number_) return *number_;
  std::uint64_t before = 0;
  for (std::size_t d = 0; d < cursor_.size(); ++d) {
    const Frame frame = cursor_[d];
    std::vector<std::uint32_t> children;
    {
      Page p = page(frame.page);
      for (std::uint32_t j = 0; j <= frame.index; ++j) children.push_back(p.child(j));
    }
    // Keys left of the path in this page, with their left subtrees; on the current
    // page also the current key's own left subtree.
    for (std::uint32_t j = 0; j < frame.index; ++j) before += subtree(children[j], d + 1) + 1;
    if (d + 1 == cursor_.size()) before += subtree(children[frame.index], d + 1);
  }
  number_ = before + 1;
  return *number_;
}

// ---------------------------------------------------------------------------------
// Insertion. A full page splits: the lower half stays in the page, the middle key goes
// up to the parent with the page as its left child, the upper half moves to a new page
// that becomes the child to the right of the middle key. A root that splits gets a new
// root page above it.

void Tree::insert(std::string_view key, std::uint32_t record) {
  bool found = false;
  std::vector<Frame> path = find_path(key, record, found);
  if (found) return;  // already indexed
  std::string padded(key.substr(0, header_.geometry.key_length));
  padded.resize(header_.geometry.key_length, ' ');
  adjust_counts(path, +1);
  insert_up(path, {0, record, padded}, 0);
  restore_cursor();
}

void Tree::insert_up(std::vector<Frame>& path, Item item, std::uint32_t right_child) {
  const std::uint32_t max = header_.geometry.max_keys;
  for (std::size_t d = path.size(); d-- > 0;) {
    const auto [offset, index] = path[d];
    Page p = dirty_page(offset);
    if (p.count() < max) {
      p.open_gap(index);
      p.set_item(index, item.child, item.record, item.key);
      if (right_child != 0) p.set_child(index + 1, right_child);
      return;
    }
    std::vector<Item> items = p.items();
    items.insert(items.begin() + index, item);
    if (right_child != 0) items[index + 1].child = right_child;
    const std::size_t keep = (items.size() - 1) / 2;
    Item middle = items[keep];
    std::vector<Item> left(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(keep) + 1);
    std::vector<Item> right(items.begin() + static_cast<std::ptrdiff_t>(keep) + 1, items.end());
    left.back() = {middle.child, 0, ""};
    const std::uint32_t sibling = allocate();
    dirty_page(offset).assign(left);
    dirty_page(sibling).assign(right);
    subtree_counts_.erase(offset);
    item = {offset, middle.record, middle.key};
    right_child = sibling;
  }
  const std::uint32_t root = allocate();
  dirty_page(root).assign({item, {right_child, 0, ""}});
  header_.root = root;
}

// ---------------------------------------------------------------------------------
// Removal. A key in an interior page is replaced by its predecessor, the last key of
// the rightmost leaf of its left subtree, which is then removed from that leaf. A page
// left with fewer than half of maximum keys borrows through the parent from a
// neighbour that can spare keys, or else is merged with it and the separating key;
// a root left without keys hands the root over to its only child.

void Tree::remove(std::string_view key, std::uint32_t record) {
  bool found = false;
  std::vector<Frame> path = find_path(key, record, found);
  if (!found) return;  // not indexed: nothing to do
  std::uint32_t child = page(path.back().page).child(path.back().index);
  if (child != 0) {
    const std::size_t at = path.size() - 1;
    while (child != 0) {
      check_depth(path.size());
      const std::uint32_t n = page(child).count();
      path.push_back({child, n});
      child = page(child).child(n);
    }
    Frame& leaf = path.back();
    if (leaf.index == 0) corrupt();  // a leaf without keys below an interior key
    --leaf.index;
    Page from = page(leaf.page);
    const std::string predecessor(from.key(leaf.index));
    const std::uint32_t predecessor_record = from.record(leaf.index);
    Page into = dirty_page(path[at].page);
    into.set_item(path[at].index, into.child(path[at].index), predecessor_record, predecessor);
  }
  adjust_counts(path, -1);
  dirty_page(path.back().page).close_gap(path.back().index);
  fix_underflow(path);
  restore_cursor();
}

void Tree::fix_underflow(std::vector<Frame>& path) {
  const std::uint32_t min = header_.geometry.max_keys / 2;
  for (std::size_t d = path.size() - 1; d > 0; --d) {
    const std::uint32_t offset = path[d].page;
    if (page(offset).count() >= min) return;
    const std::uint32_t parent = path[d - 1].page;
    const std::uint32_t at = path[d - 1].index;
    Page up = page(parent);
    if (up.count() == 0) corrupt();  // an interior page without keys above a non-root page
    // The separating key is `sep`; its left child `left`, the next child `right`.
    const std::uint32_t sep = at > 0 ? at - 1 : at;
    const std::uint32_t left = up.child(sep);
    const std::uint32_t right = up.child(sep + 1);
    if (left == 0 || right == 0 || left == right) corrupt();
    Item separator{left, up.record(sep), std::string(up.key(sep))};
    const std::uint32_t neighbour = left == offset ? right : left;
    subtree_counts_.erase(left);
    subtree_counts_.erase(right);
    const std::uint64_t together = std::uint64_t{page(left).count()} + page(right).count() + 1;
    if (page(neighbour).count() > min || together > header_.geometry.max_keys) {
      Page l = dirty_page(left);
      Page r = dirty_page(right);
      rotate_pages(l, separator, r);
      Page p = dirty_page(parent);
      p.set_item(sep, left, separator.record, separator.key);
      return;
    }
    std::vector<Item> items = page(left).items();
    items.back().record = separator.record;
    items.back().key = separator.key;
    std::vector<Item> tail = page(right).items();
    items.insert(items.end(), tail.begin(), tail.end());
    dirty_page(left).assign(items);
    Page p = dirty_page(parent);
    p.set_child(sep + 1, left);
    p.close_gap(sep);
    release(right);
  }
  Page root = page(header_.root);
  if (root.count() == 0 && root.child(0) != 0) {
    const std::uint32_t old_root = header_.root;
    header_.root = root.child(0);
    release(old_root);
  }
}

}  // namespace torvane::storage::ntx
