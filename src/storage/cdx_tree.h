#pragma once
// The B-tree of one tag: descent, insertion, removal and rebalancing over the pages of
// a PageStore.
//
// Interior entries carry the last key of their child. A leaf that overflows, empties
// or could give up a page together with its neighbours is packed again with up to two
// neighbours under the same parent, from the left, each page as full as it gets; pages
// are added after the group or freed from its end, and the parent's entries follow.
// Interior pages are balanced the same way one level up. The root keeps its page:
// when it overflows its contents move to a new page below it; when it is left with a
// single child, that child's contents move up into it.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "storage/cdx_store.h"

namespace torvane::storage::cdx {

// Orders (key, record) pairs: key bytes unsigned, then record number.
int compare_entries(std::string_view a, std::uint32_t ra, std::string_view b, std::uint32_t rb);
// Compares the first value.size() bytes of key with value.
int compare_prefix(std::string_view key, std::string_view value);

struct Step {
  std::shared_ptr<Page> page;
  std::size_t index = 0;
};
using Path = std::vector<Step>;

class Tree {
 public:
  Tree(PageStore& store, std::uint32_t root) : store_(store), root_(root) {}

  std::uint32_t root() const { return root_; }

  // Path to the leaf where (key, record) is or belongs; the leaf step's index is the
  // first entry not below it (may be the leaf's count).
  bool find(std::string_view key, std::uint32_t record, Path& path);
  // Path to the first key whose first value.size() bytes are not below value; path
  // left empty when every key is below it.
  bool find_prefix(std::string_view value, Path& path);
  // The leftmost leaf.
  std::shared_ptr<Page> first_leaf();
  // The leaf after `leaf`, nullptr at the end (ok stays true) or on failure (ok false).
  // The step is checked: links agree both ways, keys go on ascending.
  std::shared_ptr<Page> next_leaf(const Page& leaf, bool& ok);

  struct Change {
    bool ok = false;
    bool reshaped = false;  // pages were split, merged, added or freed
    std::uint32_t leaf = kNoPage;
  };
  Change insert(std::string_view key, std::uint32_t record);
  // missing: the pair is not in the tree (nothing changed, nothing raised).
  Change remove(std::string_view key, std::uint32_t record, bool& missing);

 private:
  std::shared_ptr<Page> child(const Page& parent, std::size_t index, std::size_t depth);
  void fix_last_keys(Path& path, std::size_t depth);
  bool check(Path& path, std::size_t depth, bool shrank);
  bool rebalance(Path& path, std::size_t depth);
  bool settle_root(Path& path);
  bool split_root(const std::shared_ptr<Page>& root);
  bool can_merge(const Path& path, std::size_t depth, bool& merge);

  PageStore& store_;
  std::uint32_t root_;
};

}  // namespace torvane::storage::cdx
