#include "storage/cdx_tree.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace torvane::storage::cdx {
namespace {

// Deeper than any real tree (23 entries per interior page): a deeper descent runs in
// a cycle of child links.
constexpr std::size_t kMaxDepth = 32;
// A leaf and its neighbours with more free space than this could do with one page less.
constexpr std::uint32_t kMergeFreeSpace = 487;

// The entries of a group of pages laid end to end, keys in one block (no allocation
// per key).
struct Entries {
  std::uint32_t key_length = 0;
  std::vector<char> keys;
  std::vector<std::uint32_t> records;
  std::vector<std::uint32_t> children;

  std::size_t size() const { return records.size(); }
  bool empty() const { return records.empty(); }
  std::string_view key(std::size_t i) const { return {keys.data() + i * key_length, key_length}; }
  void add(const Page& page) {
    keys.insert(keys.end(), page.keys.begin(), page.keys.end());
    records.insert(records.end(), page.records.begin(), page.records.end());
    children.insert(children.end(), page.children.begin(), page.children.end());
  }
  // Page takes entries [begin, end) in place of its own.
  void fill(Page& page, std::size_t begin, std::size_t end) const {
    const auto at = [](std::size_t i) { return static_cast<std::ptrdiff_t>(i); };
    page.keys.assign(keys.begin() + at(begin * key_length), keys.begin() + at(end * key_length));
    page.records.assign(records.begin() + at(begin), records.begin() + at(end));
    if (page.leaf) page.children.clear();
    else page.children.assign(children.begin() + at(begin), children.begin() + at(end));
  }
};

// One page's share of a repacked group: entries [begin, end), at that entry width.
struct Pack {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint32_t width = kMinEntryWidth;
};

std::vector<Pack> pack_leaves(const Entries& entries, std::uint32_t key_length, char pad,
                              std::uint32_t start_width) {
  std::vector<Pack> packs;
  Pack pack{0, 0, start_width};
  std::uint32_t used = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t count = i - pack.begin;
    std::uint32_t width = entry_width_for(key_length, entries.records[i], pack.width);
    std::string_view previous = count > 0 ? entries.key(i - 1) : std::string_view{};
    std::uint32_t cost = key_cost(previous, entries.key(i), pad, width) +
                         (width - pack.width) * static_cast<std::uint32_t>(count);
    if (count > 0 && used + cost > kKeyAreaSize) {
      pack.end = i;
      packs.push_back(pack);
      pack = Pack{i, i, start_width};
      width = entry_width_for(key_length, entries.records[i], start_width);
      cost = key_cost({}, entries.key(i), pad, width);
      used = 0;
    }
    used += cost;
    pack.width = width;
  }
  if (!entries.empty()) {
    pack.end = entries.size();
    packs.push_back(pack);
  }
  return packs;
}

std::vector<Pack> pack_interior(std::size_t entries, std::uint32_t capacity) {
  std::vector<Pack> packs;
  for (std::size_t begin = 0; begin < entries; begin += capacity)
    packs.push_back(Pack{begin, std::min(entries, begin + capacity), kMinEntryWidth});
  return packs;
}

void set_entry(Page& page, std::size_t i, std::string_view key, std::uint32_t record) {
  std::memcpy(page.keys.data() + i * page.key_length, key.data(), page.key_length);
  page.records[i] = record;
}

// The first entry for which below(i) is false. Every page holds its entries in order
// (reading a page checks it), so below is true for a leading run only.
template <typename Below>
std::size_t first_not_below(const Page& page, Below below) {
  std::size_t low = 0;
  std::size_t high = page.count();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (below(middle)) low = middle + 1;
    else high = middle;
  }
  return low;
}

bool overflows(const Page& page, char pad) {
  return page.leaf ? leaf_used(page, pad) > kKeyAreaSize : page.count() > interior_capacity(page.key_length);
}

}  // namespace

int compare_entries(std::string_view a, std::uint32_t ra, std::string_view b, std::uint32_t rb) {
  const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (order != 0) return order;
  return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

int compare_prefix(std::string_view key, std::string_view value) {
  return std::memcmp(key.data(), value.data(), std::min(key.size(), value.size()));
}

std::shared_ptr<Page> Tree::child(const Page& parent, std::size_t index, std::size_t depth) {
  if (depth >= kMaxDepth || index >= parent.count()) {
    store_.corrupt();
    return nullptr;
  }
  return store_.page(parent.children[index]);
}

bool Tree::find(std::string_view key, std::uint32_t record, Path& path) {
  path.clear();
  std::shared_ptr<Page> page = store_.page(root_);
  while (page) {
    std::size_t i = first_not_below(*page, [&](std::size_t j) {
      return compare_entries(page->key(j), page->records[j], key, record) < 0;
    });
    if (page->leaf) {
      path.push_back({page, i});
      return true;
    }
    // Beyond the last entry the pair still belongs to the last child.
    if (i == page->count() && i > 0) --i;
    path.push_back({page, i});
    page = child(*page, i, path.size());
  }
  return false;
}

bool Tree::find_prefix(std::string_view value, Path& path) {
  path.clear();
  std::shared_ptr<Page> page = store_.page(root_);
  while (page) {
    const std::size_t i = first_not_below(*page, [&](std::size_t j) { return compare_prefix(page->key(j), value) < 0; });
    if (page->leaf) {
      path.push_back({page, i});
      return true;
    }
    if (i == page->count()) {
      path.clear();
      return true;
    }
    path.push_back({page, i});
    page = child(*page, i, path.size());
  }
  return false;
}

std::shared_ptr<Page> Tree::first_leaf() {
  std::shared_ptr<Page> page = store_.page(root_);
  for (std::size_t depth = 1; page && !page->leaf; ++depth) page = child(*page, 0, depth);
  return page;
}

std::shared_ptr<Page> Tree::next_leaf(const Page& leaf, bool& ok) {
  ok = true;
  if (leaf.right == kNoPage) return nullptr;
  std::shared_ptr<Page> next = store_.page(leaf.right);
  ok = next != nullptr && next->leaf && next->left == leaf.offset &&
       (leaf.count() == 0 || next->count() == 0 ||
        compare_entries(leaf.last_key(), leaf.records.back(), next->key(0), next->records[0]) < 0);
  if (!ok) {
    store_.corrupt();
    return nullptr;
  }
  return next;
}

Tree::Change Tree::insert(std::string_view key, std::uint32_t record) {
  Change change;
  Path path;
  if (!find(key, record, path)) return change;
  Page& leaf = *path.back().page;
  store_.touch(leaf);
  leaf.insert(path.back().index, key, record);
  leaf.width = entry_width_for(leaf.key_length, record, leaf.width);
  change.leaf = leaf.offset;
  fix_last_keys(path, path.size() - 1);
  change.reshaped = leaf_used(leaf, store_.pad()) > kKeyAreaSize;
  change.ok = !change.reshaped || rebalance(path, path.size() - 1);
  return change;
}

Tree::Change Tree::remove(std::string_view key, std::uint32_t record, bool& missing) {
  Change change;
  missing = false;
  Path path;
  if (!find(key, record, path)) return change;
  Page& leaf = *path.back().page;
  const std::size_t i = path.back().index;
  if (i == leaf.count() || compare_entries(leaf.key(i), leaf.records[i], key, record) != 0) {
    missing = true;
    return change;
  }
  store_.touch(leaf);
  leaf.erase(i);
  change.leaf = leaf.offset;
  fix_last_keys(path, path.size() - 1);
  const std::size_t depth = path.size() - 1;
  bool merge = false;
  if (depth > 0 && !can_merge(path, depth, merge)) return change;
  change.reshaped = depth > 0 && merge;
  change.ok = !change.reshaped || rebalance(path, depth);
  return change;
}

void Tree::fix_last_keys(Path& path, std::size_t depth) {
  for (std::size_t d = depth; d > 0; --d) {
    const Page& below = *path[d].page;
    if (below.count() == 0) return;
    Page& parent = *path[d - 1].page;
    const std::size_t i = path[d - 1].index;
    if (compare_entries(parent.key(i), parent.records[i], below.last_key(), below.records.back()) == 0) return;
    store_.touch(parent);
    set_entry(parent, i, below.last_key(), below.records.back());
  }
}

// Whether the page at `depth` should be packed again with its neighbours after it lost
// something: empty, or the group could do with a page less.
bool Tree::can_merge(const Path& path, std::size_t depth, bool& merge) {
  const Page& page = *path[depth].page;
  merge = page.count() == 0;
  if (merge) return true;
  const Page& parent = *path[depth - 1].page;
  const std::size_t at = path[depth - 1].index;
  const std::size_t first = at > 0 ? at - 1 : at;
  const std::size_t last = std::min(at + 1, parent.count() - 1);
  if (first == last) return true;
  std::uint32_t free_space = 0;
  std::size_t entries = 0;
  for (std::size_t i = first; i <= last; ++i) {
    std::shared_ptr<Page> member = i == at ? path[depth].page : child(parent, i, depth);
    if (!member) return false;
    if (member->leaf) free_space += kKeyAreaSize - std::min(kKeyAreaSize, leaf_used(*member, store_.pad()));
    entries += member->count();
  }
  merge = page.leaf ? free_space > kMergeFreeSpace
                    : entries <= (last - first) * interior_capacity(page.key_length);
  return true;
}

bool Tree::check(Path& path, std::size_t depth, bool shrank) {
  if (depth == 0) return settle_root(path);
  const Page& page = *path[depth].page;
  bool again = page.count() == 0 || overflows(page, store_.pad());
  if (!again && shrank && !can_merge(path, depth, again)) return false;
  return !again || rebalance(path, depth);
}

bool Tree::rebalance(Path& path, std::size_t depth) {
  if (depth == 0) return settle_root(path);
  Page& parent = *path[depth - 1].page;
  const std::size_t at = path[depth - 1].index;
  const std::size_t first = at > 0 ? at - 1 : at;
  const std::size_t last = std::min(at + 1, parent.count() - 1);
  const bool leaf = path[depth].page->leaf;

  std::vector<std::shared_ptr<Page>> group;
  Entries entries;
  entries.key_length = parent.key_length;
  std::uint32_t start_width = 0xFF;
  for (std::size_t i = first; i <= last; ++i) {
    std::shared_ptr<Page> member = i == at ? path[depth].page : child(parent, i, depth);
    if (!member || member->leaf != leaf) return store_.corrupt();
    if (!group.empty() && (group.back()->right != member->offset || member->left != group.back()->offset))
      return store_.corrupt();
    if (member->keys.size() != member->count() * entries.key_length ||
        (!leaf && member->children.size() != member->count()))
      return store_.corrupt();
    entries.add(*member);
    start_width = std::min(start_width, member->width);
    group.push_back(std::move(member));
  }
  const std::uint32_t key_length = parent.key_length;
  const std::vector<Pack> packs = leaf ? pack_leaves(entries, key_length, store_.pad(), std::max(start_width, kMinEntryWidth))
                                       : pack_interior(entries.size(), interior_capacity(key_length));

  std::vector<std::shared_ptr<Page>> pages;
  for (std::size_t j = 0; j < packs.size(); ++j) {
    pages.push_back(j < group.size() ? group[j] : store_.allocate(leaf));
    if (!pages.back()) return false;
  }
  const std::uint32_t before = group.front()->left;
  const std::uint32_t after = group.back()->right;
  for (std::size_t j = 0; j < packs.size(); ++j) {
    Page& page = *pages[j];
    store_.touch(page);
    page.root = false;
    page.width = packs[j].width;
    entries.fill(page, packs[j].begin, packs[j].end);
    page.left = j == 0 ? before : pages[j - 1]->offset;
    page.right = j + 1 < pages.size() ? pages[j + 1]->offset : after;
  }
  // The pages outside the group that face it.
  if (after != kNoPage && pages.size() != group.size()) {
    std::shared_ptr<Page> next = store_.page(after);
    if (!next) return false;
    store_.touch(*next);
    next->left = pages.empty() ? before : pages.back()->offset;
  }
  if (before != kNoPage && pages.empty()) {
    std::shared_ptr<Page> previous = store_.page(before);
    if (!previous) return false;
    store_.touch(*previous);
    previous->right = after;
  }
  for (std::size_t j = pages.size(); j < group.size(); ++j)
    if (!store_.release(group[j])) return false;

  store_.touch(parent);
  for (std::size_t i = first; i <= last; ++i) parent.erase(first);
  for (std::size_t j = 0; j < pages.size(); ++j)
    parent.insert(first + j, pages[j]->last_key(), pages[j]->records.back(), pages[j]->offset);
  path.resize(depth);
  fix_last_keys(path, depth - 1);
  return check(path, depth - 1, pages.size() < group.size());
}

bool Tree::settle_root(Path& path) {
  const std::shared_ptr<Page> root = path[0].page;
  root->root = true;
  if (overflows(*root, store_.pad())) return split_root(root);
  if (!root->leaf && root->count() == 0) {
    // Every key is gone: the root is an empty leaf again.
    store_.touch(*root);
    root->leaf = true;
    root->width = kMinEntryWidth;
    return true;
  }
  while (!root->leaf && root->count() == 1) {
    // A root with a single child takes that child's place.
    std::shared_ptr<Page> only = child(*root, 0, 1);
    if (!only) return false;
    store_.touch(*root);
    root->leaf = only->leaf;
    root->width = only->width;
    root->keys = only->keys;
    root->records = only->records;
    root->children = only->children;
    root->left = root->right = kNoPage;
    if (!store_.release(only)) return false;
  }
  return true;
}

bool Tree::split_root(const std::shared_ptr<Page>& root) {
  std::shared_ptr<Page> below = store_.allocate(root->leaf);
  if (!below) return false;
  store_.touch(*root);
  below->width = root->width;
  below->keys = std::move(root->keys);
  below->records = std::move(root->records);
  below->children = std::move(root->children);
  below->left = below->right = kNoPage;
  root->clear_entries();
  root->leaf = false;
  root->insert(0, below->last_key(), below->records.back(), below->offset);
  Path path{{root, 0}, {below, 0}};
  return rebalance(path, 1);
}

}  // namespace torvane::storage::cdx
