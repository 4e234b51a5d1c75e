#include "storage/ntx_check.h"

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

}  // namespace

CheckResult check_file(std::string_view path, bool strict) {
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
  const Header header = decode_header(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), kPageSize));
  if (auto problem = header_problem(header, bytes->size())) {
    result.problem = "header: " + std::string(*problem);
    return result;
  }
  result.ok = Checker(*bytes, header, strict, result).visit(header.root, 0);
  return result;
}

}  // namespace torvane::storage::ntx
