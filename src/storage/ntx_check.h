#pragma once
// A full check of an NTX file, for tests and diagnosis: the header is usable, every
// page is sound and reached exactly once, all leaves are at the same depth, every page
// but the root holds between half page and maximum keys when `strict`, and the keys
// are in order across the whole tree. Never trusts the file: bounded in time and depth.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvane::storage::ntx {

struct CheckResult {
  bool ok = false;
  std::string problem;  // empty when ok
  std::vector<std::pair<std::string, std::uint32_t>> entries;  // in tree order
  std::size_t depth = 0;  // levels
  std::size_t pages = 0;  // pages in the tree
};

CheckResult check_file(std::string_view path, bool strict);

// What a file built by this system for one table holds besides its tree, and what the
// check above (not strict) then also demands: a header that is exactly its fields
// (nothing else set), on `expression` with keys of `key_length` bytes, and every page
// of the file either in the tree or on the free list, each once.
struct Expected {
  std::string expression;  // "ISBN"
  std::uint32_t key_length = 0;
};
CheckResult check_file(std::string_view path, const Expected& expected);

}  // namespace torvane::storage::ntx
