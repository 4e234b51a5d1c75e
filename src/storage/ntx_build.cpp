#include "storage/ntx_build.h"

#include <string>
#include <vector>

namespace torvane::storage::ntx {
namespace {

// Pages are written in the order they are closed; they leave through this buffer.
constexpr std::size_t kWriteBuffer = 1 << 20;

// Builds the tree level by level with one open page per level (level 0 holds the
// leaves). A key goes into the open page of its level while that page has room; when
// it is full, the page gets the key's child as its final child and is written at the
// next block of the file, a fresh page is opened, and the key moves one level up with
// the closed page as its child. So every closed page is full, and only the open pages
// along the right edge may be short; the final rotation evens those out.
class Builder {
 public:
  Builder(platform::File& out, std::string_view path, Variant variant, const Header& header)
      : out_(out), path_(path), variant_(variant), g_(header.geometry) {
    buffer_.reserve(kWriteBuffer);
  }

  bool add(std::string_view key, std::uint32_t record) {
    std::uint32_t child = 0;
    for (std::size_t level = 0;; ++level) {
      if (level == levels_.size()) open_level();
      Level& l = levels_[level];
      Page page(l.open.data(), g_);
      if (page.count() < g_.max_keys) {
        const std::uint32_t n = page.count();
        page.set_item(n, child, record, key);
        page.set_count(n + 1);
        return true;
      }
      page.set_child(g_.max_keys, child);
      l.last_closed = l.open;
      l.last_closed_at = next_offset_;
      if (!append(l.open)) return false;
      page.clear();
      child = l.last_closed_at;
    }
  }

  // Writes the open pages, evens out the right edge and returns the root offset (0 on failure).
  std::uint32_t finish() {
    if (levels_.empty()) open_level();  // an empty table: one empty leaf as the root
    std::vector<std::uint32_t> at(levels_.size());
    for (std::size_t level = 0; level < levels_.size(); ++level) {
      at[level] = next_offset_;
      next_offset_ += kPageSize;
      if (level > 0) {
        Page page(levels_[level].open.data(), g_);
        page.set_child(page.count(), at[level - 1]);
      }
    }
    std::vector<bool> left_changed(levels_.size(), false);
    for (std::size_t level = levels_.size() - 1; level > 0; --level)
      left_changed[level - 1] = even_out(level);
    if (!flush()) return 0;
    for (std::size_t level = 0; level < levels_.size(); ++level) {
      if (!write(at[level], levels_[level].open)) return 0;
      if (left_changed[level] && !write(levels_[level].last_closed_at, levels_[level].last_closed)) return 0;
    }
    return at.back();
  }

 private:
  struct Level {
    PageBytes open{};
    PageBytes last_closed{};
    std::uint32_t last_closed_at = 0;
  };

  void open_level() {
    levels_.emplace_back();
    Page(levels_.back().open.data(), g_).clear();
  }

  // The rightmost child of the open page at `level` is the open page below; when it has
  // fewer than half page keys, keys rotate into it from its left sibling (the last page
  // closed at that level) through the separating key. True when the sibling changed.
  bool even_out(std::size_t level) {
    Page parent(levels_[level].open.data(), g_);
    Page right(levels_[level - 1].open.data(), g_);
    Page left(levels_[level - 1].last_closed.data(), g_);
    const std::uint32_t n = parent.count();
    if (right.count() >= g_.half_page || n == 0) return false;
    if (parent.child(n - 1) != levels_[level - 1].last_closed_at) return false;
    Item separator{parent.child(n - 1), parent.record(n - 1), std::string(parent.key(n - 1))};
    rotate_pages(left, separator, right);
    parent.set_item(n - 1, separator.child, separator.record, separator.key);
    return true;
  }

  bool append(const PageBytes& page) {
    buffer_.insert(buffer_.end(), page.begin(), page.end());
    next_offset_ += kPageSize;
    return buffer_.size() < kWriteBuffer || flush();
  }

  bool flush() {
    if (buffer_.empty()) return true;
    if (!write_span(buffered_at_, buffer_)) return false;
    buffered_at_ += buffer_.size();
    buffer_.clear();
    return true;
  }

  bool write(std::uint32_t offset, const PageBytes& page) { return write_span(offset, page); }

  bool write_span(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (out_.write_at(offset, bytes) == static_cast<std::int64_t>(bytes.size())) return true;
    raise({kWriteError, variant_, std::string(path_), out_.os_error()});
    return false;
  }

  platform::File& out_;
  std::string_view path_;
  Variant variant_;
  Geometry g_;
  std::vector<Level> levels_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t buffered_at_ = kPageSize;
  std::uint32_t next_offset_ = kPageSize;
};

}  // namespace

bool write_index(platform::File& out, std::string_view path, Variant variant, SortedKeys& keys, Header header) {
  Builder builder(out, path, variant, header);
  std::string_view key;
  std::uint32_t record = 0;
  while (keys.next(key, record))
    if (!builder.add(key, record)) return false;
  if (keys.failed()) return false;
  header.root = builder.finish();
  if (header.root == 0) return false;
  const PageBytes bytes = encode_header(header);
  if (out.write_at(0, bytes) != static_cast<std::int64_t>(bytes.size())) {
    raise({kWriteError, variant, std::string(path), out.os_error()});
    return false;
  }
  return true;
}

}  // namespace torvane::storage::ntx
