#include "storage/cdx_build.h"

#include <algorithm>
#include <cstring>

#include "platform/fs.h"
#include "storage/byte_order.h"
#include "storage/key_sorter.h"
#include "text/file_name.h"

namespace torvane::storage::cdx {
namespace {

// Collects consecutive pages in one buffer so that the leaves, which make up nearly the
// whole file, go out in large writes. A page below the buffer (an interior page closed
// after later leaves went out) is written on its own; the zeros the buffer wrote in its
// place are overwritten then.
class PageWriter {
 public:
  explicit PageWriter(platform::File& file) : file_(file), buffer_(kBufferBytes) {}

  bool write(std::uint32_t offset, std::span<const std::uint8_t> page) {
    if (offset < base_) return file_.write_at(offset, page.first(kPageSize)) == kPageSize;
    if (offset + kPageSize > base_ + buffer_.size()) {
      if (!flush()) return false;
      base_ = offset;
    }
    std::memcpy(buffer_.data() + (offset - base_), page.data(), kPageSize);
    filled_ = std::max<std::size_t>(filled_, offset - base_ + kPageSize);
    return true;
  }

  bool flush() {
    if (filled_ > 0 && file_.write_at(base_, std::span(buffer_).first(filled_)) !=
                           static_cast<std::int64_t>(filled_))
      return false;
    std::fill(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), std::uint8_t{0});
    base_ += static_cast<std::uint32_t>(filled_);
    filled_ = 0;
    return true;
  }

 private:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
  platform::File& file_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t base_ = 0;
  std::size_t filled_ = 0;
};

bool fail(int subcode, std::string_view file, int os_code = 0) {
  raise(StorageError{subcode, Variant::cdx, std::string(file), os_code});
  return false;
}

std::uint8_t upper(std::uint8_t c) {
  if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 32);
  // Windows-1252 small letters with their capitals 0x20 below (the division sign has none).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<std::uint8_t>(c - 32);
  return c;
}

// The tag directory: one key, the tag name, pointing at the tag's header.
bool write_directory(PageWriter& pages, std::string_view tag) {
  std::string key(tag);
  key.resize(kTagNameLength, ' ');
  TreeBuilder directory(
      [&](std::uint32_t offset, std::span<const std::uint8_t> page) { return pages.write(offset, page); },
      kTagNameLength, ' ', kDirectoryRootOffset, entry_width_for(kTagNameLength, kFirstTagHeaderOffset));
  return directory.add(key, kFirstTagHeaderOffset) && directory.finish();
}

struct WriteOutcome {
  bool ok = false;
  bool sort_failed = false;  // the sorter raised its failure already
  std::uint64_t key_count = 0;
};

WriteOutcome write_index(platform::File& file, SortedKeys& keys, std::string_view tag_name,
                         const KeySource& source, const IndexOptions& options) {
  WriteOutcome outcome;
  PageWriter pages(file);
  const auto sink = [&](std::uint32_t offset, std::span<const std::uint8_t> page) {
    return pages.write(offset, page);
  };
  TreeBuilder tree(sink, source.key_length, ' ', kFirstTagPageOffset,
                   entry_width_for(source.key_length, source.record_count));
  std::string_view key;
  std::uint32_t record = 0;
  while (keys.next(key, record))
    if (!tree.add(key, record)) return outcome;
  if (keys.failed()) {
    outcome.sort_failed = true;
    return outcome;
  }
  if (!tree.finish() || !pages.flush()) return outcome;

  HeaderFields compound;
  compound.root = kDirectoryRootOffset;
  compound.update_counter = options.shared ? 1 : 0;
  compound.key_length = kTagNameLength;
  compound.options = kDirectoryOptions;
  HeaderFields tag;
  tag.root = tree.root();
  tag.key_length = source.key_length;
  tag.options = kTagOptions;
  tag.expression = source.key_field;
  PageWriter directory(file);
  if (!write_directory(directory, tag_name) || !directory.flush()) return outcome;
  outcome.ok = file.write_at(kCompoundHeaderOffset, encode_header(compound)) == kHeaderSize &&
               file.write_at(kFirstTagHeaderOffset, encode_header(tag)) == kHeaderSize;
  outcome.key_count = tree.key_count();
  return outcome;
}

}  // namespace

TreeBuilder::TreeBuilder(PageSink sink, std::uint32_t key_length, char pad, std::uint32_t first_page,
                         std::uint32_t entry_width)
    : sink_(std::move(sink)), key_length_(key_length), pad_(pad), width_(entry_width),
      next_page_(first_page) {
  levels_.push_back(Level{new_page(true, start_page(), kNoPage), 0});
}

Page TreeBuilder::new_page(bool leaf, std::uint32_t offset, std::uint32_t left) const {
  Page page;
  page.offset = offset;
  page.leaf = leaf;
  page.left = left;
  page.width = width_;
  page.key_length = key_length_;
  return page;
}

bool TreeBuilder::write(const Page& page) {
  return encode_page(page, pad_, bytes_) && sink_(page.offset, bytes_);
}

bool TreeBuilder::add(std::string_view key, std::uint32_t record) {
  Level& leaf = levels_[0];
  std::uint32_t cost = key_cost(leaf.page.count() ? leaf.page.last_key() : std::string_view{}, key, pad_, width_);
  if (leaf.page.count() > 0 && leaf.used + cost > kKeyAreaSize) {
    Page closed = std::move(leaf.page);
    closed.right = start_page();
    levels_[0] = Level{new_page(true, closed.right, closed.offset), 0};
    if (!write(closed) || !add_entry(1, closed.last_key(), closed.records.back(), closed.offset))
      return false;
    cost = key_cost({}, key, pad_, width_);
  }
  Level& open = levels_[0];
  open.page.insert(open.page.count(), key, record);
  open.used += cost;
  ++key_count_;
  return true;
}

bool TreeBuilder::add_entry(std::size_t level, std::string_view key, std::uint32_t record,
                            std::uint32_t child) {
  if (level == levels_.size()) levels_.push_back(Level{new_page(false, start_page(), kNoPage), 0});
  if (levels_[level].page.count() == interior_capacity(key_length_)) {
    Page closed = std::move(levels_[level].page);
    closed.right = start_page();
    levels_[level].page = new_page(false, closed.right, closed.offset);
    if (!write(closed) || !add_entry(level + 1, closed.last_key(), closed.records.back(), closed.offset))
      return false;
  }
  Page& open = levels_[level].page;
  open.insert(open.count(), key, record, child);
  return true;
}

bool TreeBuilder::finish() {
  for (std::size_t level = 0; level < levels_.size(); ++level) {
    Page& last = levels_[level].page;
    if (level + 1 < levels_.size()) {
      if (!add_entry(level + 1, last.last_key(), last.records.back(), last.offset)) return false;
    } else {
      last.root = true;
      root_ = last.offset;
    }
    if (!write(levels_[level].page)) return false;
  }
  return true;
}

std::array<std::uint8_t, kHeaderSize> encode_header(const HeaderFields& fields) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  const std::span<std::uint8_t> out(bytes);
  put_u32le(out.subspan(kHdrRoot), fields.root);
  put_u32le(out.subspan(kHdrFreeList), fields.free_list);
  put_u32be(out.subspan(kHdrCounter), fields.update_counter);
  put_u16le(out.subspan(kHdrKeyLength), static_cast<std::uint16_t>(fields.key_length));
  out[kHdrOptions] = fields.options;
  out[kHdrSignature] = kSignature;
  const std::size_t length = std::min<std::size_t>(fields.expression.size(), kPageSize - 2);
  put_u16le(out.subspan(kHdrForPosition), static_cast<std::uint16_t>(length + 1));
  put_u16le(out.subspan(kHdrForLength), 1);
  put_u16le(out.subspan(kHdrKeyPosition), 0);
  put_u16le(out.subspan(kHdrKeyExprLength), static_cast<std::uint16_t>(length + 1));
  std::memcpy(bytes.data() + kHdrExpressionArea, fields.expression.data(), length);
  return bytes;
}

std::string tag_name_for(std::string_view index_path) {
  const std::string_view name = text::cut_at_first_point(text::file_name_part(index_path));
  std::string tag;
  for (char c : name.substr(0, kTagNameLength)) tag += static_cast<char>(upper(static_cast<std::uint8_t>(c)));
  return tag;
}

std::string temporary_name_for(std::string_view index_path) { return std::string(index_path) + ".tmp"; }

BuildOutcome build_index_file(std::string_view path, const KeySource& source, const IndexOptions& options) {
  BuildOutcome outcome;
  // Only character keys are indexed, of 1 to 240 bytes.
  if (source.key_type != 'C' || source.key_length == 0 || source.key_length > kMaxKeyLength) {
    fail(kIndexKeyTypeError, path);
    return outcome;
  }
  const std::string temporary = temporary_name_for(path);
  platform::File file;
  for (;;) {
    file = platform::File::open(temporary, platform::Access::read_write, platform::Share::exclusive,
                                platform::Disposition::create_always);
    if (file.is_open()) break;
    if (!raise(StorageError{kIndexCreateError, Variant::cdx, std::string(path), file.os_error()}))
      return outcome;
  }
  std::unique_ptr<SortedKeys> keys = sort_keys(source, options);
  WriteOutcome written;
  if (keys) written = write_index(file, *keys, tag_name_for(options.named_after.empty() ? path : options.named_after),
                                        source, options);
  const bool flushed = written.ok && file.flush();
  if (keys && !flushed && !written.sort_failed) fail(kWriteError, path, file.os_error());
  file.close();
  if (!flushed) {
    platform::delete_file(temporary);
    return outcome;
  }
  while (!platform::rename_file(temporary, path)) {
    if (!raise(StorageError{kIndexCreateError, Variant::cdx, std::string(path), 0})) {
      platform::delete_file(temporary);
      return outcome;
    }
  }
  outcome.ok = true;
  outcome.key_count = written.key_count;
  return outcome;
}

}  // namespace torvane::storage::cdx
