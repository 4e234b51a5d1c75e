#pragma once
// A full check of a CDX file of one tag, read on its own without the index code's tree
// logic: the compound and tag headers; every page within capacity; leaf free-space
// fields equal to what the keys use and page bytes as the layout makes them; sibling
// links consistent both ways on every level; every interior entry equal to the last key
// of its child; all keys strictly in order; the free-page list; and every page of the
// file either in the tree or free. Never trusts the file: each page is visited at most
// once. A run killed while index pages were written fails it.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvane::storage::cdx {

struct CheckResult {
  bool ok = false;
  std::string problem;  // empty when ok
  std::vector<std::pair<std::string, std::uint32_t>> entries;  // the tag's keys in order
};

CheckResult check_file(std::string_view path);

// What a file built by this system for one table holds besides its tree, and what the
// check above then also demands: headers and the tag directory byte for byte as the
// build writes them (the root, the free-list head and the update counter as found),
// with the one tag `tag_name` on `expression` with keys of `key_length` bytes.
struct Expected {
  std::string tag_name;    // tag_name_for(the index path)
  std::string expression;  // "ISBN"
  std::uint32_t key_length = 0;
};
CheckResult check_file(std::string_view path, const Expected& expected);

// Takes each key of the tag in key order with its record number, as the walk reaches it.
using KeyVisitor = std::function<void(std::string_view key, std::uint32_t record)>;
// The check above, handing the keys to `visit` instead of collecting them (entries
// stays empty): a caller compares them with their records without holding them all.
// Keys of a file found unsound may already have been handed over; judge them only
// when the result is ok.
CheckResult check_file(std::string_view path, const Expected& expected, const KeyVisitor& visit);

}  // namespace torvane::storage::cdx
