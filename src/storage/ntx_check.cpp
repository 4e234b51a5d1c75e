#include "storage/ntx_check.h"

#include <algorithm>
#include <optional>

#include "platform/fs.h"
#include "storage/ntx_format.h"
#include "storage/ntx_tree.h"

namespace torvane::storage::ntx {
namespace {

class Checker {
 public:
  Checker(std::string_view bytes, const Header& header, bool strict, CheckResult& result)
      : bytes_(bytes), h_(header), strict_(strict), result_(result),
        visited_(bytes.size() / kPageSize, false) {}

  // Every page of the file not in the tree is on the free list, once; a free page's
  // item 0 child pointer names the next one.
  bool free_list(std::uint32_t first) {
    for (std::uint32_t offset = first; offset != 0;) {
      if (!valid_page_offset(offset, bytes_.size()) || visited_[offset / kPageSize])
        return fail("free list reaches page " + std::to_string(offset) + " out of range or twice");
      visited_[offset / kPageSize] = true;
      const auto page = std::span(reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset, kPageSize);
      const std::uint32_t item = get_u16le(page.subspan(2));
      if (item + 4 > kPageSize) return fail("free page " + std::to_string(offset) + " slot offset");
      offset = get_u32le(page.subspan(item));
    }
    for (std::size_t page = 1; page < visited_.size(); ++page)
      if (!visited_[page]) return fail("page " + std::to_string(page * kPageSize) + " neither in the tree nor free");
    if (bytes_.size() % kPageSize != 0) return fail("file size not a whole number of pages");
    return true;
  }

  bool visit(std::uint32_t offset, std::size_t depth) {
    if (depth >= kMaxDepth) return fail("tree deeper than " + std::to_string(kMaxDepth) + " levels");
    if (!valid_page_offset(offset, bytes_.size())) return fail("child pointer " + std::to_string(offset));
    if (visited_[offset / kPageSize]) return fail("page " + std::to_string(offset) + " reached twice");
    visited_[offset / kPageSize] = true;
    ++result_.pages;
    PageBytes copy;
    std::copy_n(bytes_.data() + offset, kPageSize, copy.begin());
    Page page(copy.data(), h_.geometry);
    if (!page.sound()) return fail("page " + std::to_string(offset) + " key count or slot offsets");
    const std::uint32_t n = page.count();
    if (strict_ && offset != h_.root && n < h_.geometry.max_keys / 2)
      return fail("page " + std::to_string(offset) + " holds only " + std::to_string(n) + " keys");
    const bool leaf = page.child(0) == 0;
    for (std::uint32_t i = 0; i <= n; ++i)
      if ((page.child(i) == 0) != leaf) return fail("page " + std::to_string(offset) + " mixes leaf and child items");
    if (leaf) {
      if (leaf_depth_ && *leaf_depth_ != depth) return fail("leaves at different depths");
      leaf_depth_ = depth;
      result_.depth = depth + 1;
    }
    for (std::uint32_t i = 0; i <= n; ++i) {
      if (!leaf && !visit(page.child(i), depth + 1)) return false;
      if (i == n) break;
      auto& entries = result_.entries;
      if (!entries.empty() &&
          compare_entries(entries.back().first, entries.back().second, page.key(i), page.record(i)) >= 0)
        return fail("keys out of order in page " + std::to_string(offset));
      entries.emplace_back(std::string(page.key(i)), page.record(i));
    }
    return true;
  }

 private:
  bool fail(std::string problem) {
    result_.problem = std::move(problem);
    return false;
  }

  std::string_view bytes_;
  const Header& h_;
  bool strict_;
  CheckResult& result_;
  std::vector<bool> visited_;
  std::optional<std::size_t> leaf_depth_;
};

CheckResult check_with(std::string_view path, bool strict, const Expected* expected) {
  CheckResult result;
  const std::optional<std::string> bytes = platform::read_whole_file(path);
  if (!bytes) {
    result.problem = "file cannot be read";
    return result;
  }
  if (bytes->size() < kPageSize) {
    result.problem = "header cut short";
    return result;
  }
  const std::span raw(reinterpret_cast<const std::uint8_t*>(bytes->data()), kPageSize);
  const Header header = decode_header(raw);
  if (auto problem = header_problem(header, bytes->size())) {
    result.problem = "header: " + std::string(*problem);
    return result;
  }
  if (expected != nullptr &&
      (header.expression != expected->expression || header.geometry.key_length != expected->key_length ||
       header.geometry.half_page != header.geometry.max_keys / 2 ||
       header.geometry.max_keys != max_keys(header.geometry.key_length) || !std::ranges::equal(encode_header(header), raw))) {
    result.problem = "header not as the build writes it";
    return result;
  }
  Checker checker(*bytes, header, strict, result);
  result.ok = checker.visit(header.root, 0) && (expected == nullptr || checker.free_list(header.free_list));
  return result;
}

}  // namespace

CheckResult check_file(std::string_view path, bool strict) { return check_with(path, strict, nullptr); }

CheckResult check_file(std::string_view path, const Expected& expected) { return check_with(path, false, &expected); }

}  // namespace torvane::storage::ntx
