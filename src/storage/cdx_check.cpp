#include "storage/cdx_check.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "platform/fs.h"
#include "storage/byte_order.h"
#include "storage/cdx_build.h"
#include "storage/cdx_format.h"
#include "storage/cdx_leaf.h"

namespace torvane::storage::cdx {
namespace {

constexpr char kPad = ' ';
enum class PageUse : std::uint8_t { none, tree, free };

class Checker {
 public:
  Checker(std::span<const std::uint8_t> bytes, std::uint32_t key_length, const KeyVisitor& visit, CheckResult& result)
      : bytes_(bytes), key_length_(key_length), visit_(visit), result_(result),
        use_(bytes.size() / kPageSize, PageUse::none) {
    std::fill_n(use_.begin(), kFirstTagPageOffset / kPageSize, PageUse::tree);
  }

  // Level by level from the root; `expected` holds the pair each page of a level must
  // end with (the entries of the level above).
  bool tree(std::uint32_t root) {
    std::vector<std::uint32_t> level{root};
    std::vector<Entry> expected{{"", 0}};
    for (bool top = true;; top = false) {
      std::vector<std::uint32_t> next;
      std::vector<Entry> next_expected;
      std::optional<bool> leaf_level;
      for (std::size_t p = 0; p < level.size(); ++p) {
        Page& page = page_;
        if (!read_page(level[p], page)) return false;
        if (page.root != top) return fail("root bit", level[p]);
        const std::uint32_t left = p == 0 ? kNoPage : level[p - 1];
        const std::uint32_t right = p + 1 == level.size() ? kNoPage : level[p + 1];
        if (page.left != left || page.right != right) return fail("sibling links", level[p]);
        if (leaf_level.value_or(page.leaf) != page.leaf) return fail("levels of mixed kind", level[p]);
        leaf_level = page.leaf;
        if (page.count() == 0 && !(top && page.leaf)) return fail("empty page", level[p]);
        if (!top && (page.last_key() != expected[p].first || page.records.back() != expected[p].second))
          return fail("interior entry is not the child's last key", level[p]);
        if (page.leaf ? !leaf(page) : !interior(page, next, next_expected)) return false;
      }
      if (*leaf_level) return true;
      level = std::move(next);
      expected = std::move(next_expected);
    }
  }

  bool free_list(std::uint32_t first) {
    for (std::uint32_t offset = first; offset != 0;) {
      if (!claim(offset, PageUse::free)) return fail("free list", offset);
      const auto raw = bytes_.subspan(offset, kPageSize);
      if (std::any_of(raw.begin() + 4, raw.end(), [](std::uint8_t b) { return b != 0; }))
        return fail("free page not zero", offset);
      offset = get_u32le(raw);
    }
    const auto unused = std::find(use_.begin(), use_.end(), PageUse::none);
    if (unused == use_.end()) return true;
    return fail("page neither in the tree nor free", static_cast<std::uint32_t>(unused - use_.begin()) * kPageSize);
  }

 private:
  using Entry = std::pair<std::string, std::uint32_t>;

  bool claim(std::uint32_t offset, PageUse use) {
    if (offset % kPageSize != 0 || offset / kPageSize >= use_.size() || use_[offset / kPageSize] != PageUse::none)
      return false;
    use_[offset / kPageSize] = use;
    return true;
  }

  bool read_page(std::uint32_t offset, Page& page) {
    if (!claim(offset, PageUse::tree)) return fail("page offset out of range or used twice", offset);
    if (!decode_page(bytes_.subspan(offset, kPageSize), offset, key_length_, kPad, page))
      return fail("undecodable page", offset);
    return true;
  }

  // A leaf's keys go to the visitor. Keys ascend within a page (decode_page demands
  // it), so only a page's first key is compared with the key before it.
  bool leaf(const Page& page) {
    if (!as_layout_makes(page)) {
      const std::uint32_t used = leaf_used(page, kPad);
      const bool free_space = used <= kKeyAreaSize &&
                              get_u16le(bytes_.subspan(page.offset + kLfFree)) == kKeyAreaSize - used;
      return fail(free_space ? "leaf bytes not as the layout makes them" : "leaf free space", page.offset);
    }
    if (page.count() == 0) return true;
    const auto first = std::pair(page.key(0), page.records[0]);
    if (!last_key_.empty() && std::pair(std::string_view(last_key_), last_record_) >= first)
      return fail("keys out of order", page.offset);
    for (std::size_t i = 0; i < page.count(); ++i) visit_(page.key(i), page.records[i]);
    last_key_.assign(page.last_key());
    last_record_ = page.records.back();
    return true;
  }

  bool interior(const Page& page, std::vector<std::uint32_t>& children, std::vector<Entry>& ends) {
    if (page.count() > interior_capacity(key_length_)) return fail("interior page over capacity", page.offset);
    if (!as_layout_makes(page)) return fail("interior page bytes not as the layout makes them", page.offset);
    for (std::size_t i = 0; i < page.count(); ++i) {
      children.push_back(page.children[i]);
      ends.emplace_back(std::string(page.key(i)), page.records[i]);
    }
    return true;
  }

  // The page's bytes are exactly what encoding its decoded content gives: nothing
  // beyond its entries (unused bytes are zero) escapes the check.
  bool as_layout_makes(const Page& page) const {
    const auto raw = bytes_.subspan(page.offset, kPageSize);
    std::array<std::uint8_t, kPageSize> again{};
    return encode_page(page, kPad, again) && std::equal(again.begin(), again.end(), raw.begin());
  }

  bool fail(std::string_view problem, std::uint32_t offset) {
    result_.problem = std::string(problem) + " (page at " + std::to_string(offset) + ")";
    return false;
  }

  std::span<const std::uint8_t> bytes_;
  std::uint32_t key_length_;
  const KeyVisitor& visit_;
  CheckResult& result_;
  std::vector<PageUse> use_;
  Page page_;              // the page being checked, its storage kept from page to page
  std::string last_key_;   // the last key visited, empty before the first
  std::uint32_t last_record_ = 0;
};

// What is wrong with the compound and tag headers; empty when nothing.
std::string header_problem(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFirstTagPageOffset + kPageSize || bytes.size() % kPageSize != 0) return "file size";
  if (get_u32le(bytes) != kDirectoryRootOffset || bytes[kHdrOptions] != kDirectoryOptions ||
      get_u16le(bytes.subspan(kHdrKeyLength)) != kTagNameLength)
    return "compound header";
  const auto tag = bytes.subspan(kFirstTagHeaderOffset);
  const std::uint16_t key_length = get_u16le(tag.subspan(kHdrKeyLength));
  if (tag[kHdrOptions] != kTagOptions || key_length == 0 || key_length > kMaxKeyLength) return "tag header";
  return "";
}

// What differs between the headers and tag directory of the file and what the build
// writes for `expected`; empty when nothing.
std::string built_header_problem(std::span<const std::uint8_t> bytes, const Expected& expected) {
  HeaderFields compound;
  compound.root = kDirectoryRootOffset;
  compound.free_list = get_u32le(bytes.subspan(kHdrFreeList));
  compound.update_counter = get_u32be(bytes.subspan(kHdrCounter));
  compound.key_length = kTagNameLength;
  compound.options = kDirectoryOptions;
  if (!std::ranges::equal(encode_header(compound), bytes.first(kHeaderSize))) return "compound header";
  HeaderFields tag;
  tag.root = get_u32le(bytes.subspan(kFirstTagHeaderOffset + kHdrRoot));
  tag.key_length = expected.key_length;
  tag.options = kTagOptions;
  tag.expression = expected.expression;
  if (!std::ranges::equal(encode_header(tag), bytes.subspan(kFirstTagHeaderOffset, kHeaderSize))) return "tag header";
  Page directory;
  directory.offset = kDirectoryRootOffset;
  directory.root = true;
  directory.key_length = kTagNameLength;
  std::string name = expected.tag_name.substr(0, kTagNameLength);
  name.resize(kTagNameLength, kPad);
  directory.insert(0, name, kFirstTagHeaderOffset);
  directory.width = leaf_width_needed(directory);
  std::array<std::uint8_t, kPageSize> page{};
  if (!encode_page(directory, kPad, page) || !std::ranges::equal(page, bytes.subspan(kDirectoryRootOffset, kPageSize)))
    return "tag directory";
  return "";
}

// The tree and free list of a file whose headers passed.
void check_tree(std::span<const std::uint8_t> bytes, const KeyVisitor& visit, CheckResult& result) {
  const auto tag = bytes.subspan(kFirstTagHeaderOffset);
  Checker checker(bytes, get_u16le(tag.subspan(kHdrKeyLength)), visit, result);
  result.ok = checker.tree(get_u32le(tag.subspan(kHdrRoot))) && checker.free_list(get_u32le(bytes.subspan(kHdrFreeList)));
}

CheckResult check_with(std::string_view path, const Expected* expected, const KeyVisitor& visit) {
  CheckResult result;
  const std::optional<std::string> file = platform::read_whole_file(path);
  if (!file) {
    result.problem = "file cannot be read";
    return result;
  }
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(file->data()), file->size());
  result.problem = header_problem(bytes);
  if (result.problem.empty() && expected != nullptr) result.problem = built_header_problem(bytes, *expected);
  if (result.problem.empty()) check_tree(bytes, visit, result);
  return result;
}

// The check with the keys collected into the result, kept only when the file is sound.
CheckResult collected(std::string_view path, const Expected* expected) {
  std::vector<std::pair<std::string, std::uint32_t>> entries;
  CheckResult result = check_with(path, expected, [&](std::string_view key, std::uint32_t record) {
    entries.emplace_back(std::string(key), record);
  });
  if (result.ok) result.entries = std::move(entries);
  return result;
}

}  // namespace

CheckResult check_file(std::string_view path) { return collected(path, nullptr); }

CheckResult check_file(std::string_view path, const Expected& expected) { return collected(path, &expected); }

CheckResult check_file(std::string_view path, const Expected& expected, const KeyVisitor& visit) {
  return check_with(path, &expected, visit);
}

}  // namespace torvane::storage::cdx
