#include "storage/cdx_store.h"

#include <algorithm>

#include "storage/byte_order.h"

namespace torvane::storage::cdx {
namespace {

// Past this many cached pages the cache is emptied between operations (a walk over a
// large order would otherwise keep every leaf).
constexpr std::size_t kCacheLimit = 4096;

}  // namespace

PageStore::PageStore(platform::File file, std::string name, std::uint32_t key_length, char pad,
                     bool shared, bool read_only)
    : file_(std::move(file)), name_(std::move(name)), key_length_(key_length), pad_(pad),
      shared_(shared), read_only_(read_only), buffer_(kPageSize) {}

bool PageStore::refresh_size() {
  const std::int64_t size = file_.size();
  if (size < 0) return fail(kReadError, file_.os_error());
  const std::uint64_t end = (static_cast<std::uint64_t>(size) + kPageSize - 1) / kPageSize * kPageSize;
  if (end > 0xFFFFF000u) return corrupt();
  // Pages allocated in this session but not yet written lie beyond the file.
  file_end_ = std::max(file_end_, static_cast<std::uint32_t>(end));
  return true;
}

bool PageStore::open() {
  raised_ = false;
  std::array<std::uint8_t, 8> head{};
  if (!refresh_size() || !read_bytes(kHdrFreeList, head)) return false;
  free_list_ = written_free_list_ = get_u32le(head);
  counter_ = get_u32be(std::span(head).subspan(4));
  return true;
}

bool PageStore::start(bool write) {
  raised_ = false;
  changed_ = false;
  writing_ = write;
  if (write && read_only_) return fail(kWriteNotAllowed);
  // Between sessions nothing is pending, so the cache may simply be emptied.
  if (cache_.size() > kCacheLimit) cache_.clear();
  if (!shared_) return true;
  if (!file_.lock_range(kIndexLockOffset, 1, write ? platform::LockKind::exclusive : platform::LockKind::shared,
                        true))
    return fail(kLockFailure, file_.os_error());
  locked_ = true;
  std::array<std::uint8_t, 8> head{};
  file_end_ = 0;
  if (!refresh_size() || !read_bytes(kHdrFreeList, head)) return false;
  const std::uint32_t free_list = get_u32le(head);
  const std::uint32_t counter = get_u32be(std::span(head).subspan(4));
  if (free_list != written_free_list_ || counter != counter_) {
    drop_cache();
    free_list_ = written_free_list_ = free_list;
    counter_ = counter;
  }
  return true;
}

bool PageStore::finish(bool ok) {
  if (ok && changed_) {
    for (std::uint32_t offset : dirty_) {
      const auto found = cache_.find(offset);
      if (found != cache_.end() && !write_page(*found->second)) {
        ok = false;
        break;
      }
    }
    dirty_.clear();
    std::array<std::uint8_t, kPageSize> free_page{};
    for (const auto& [offset, next] : freed_) {
      if (!ok) break;
      put_u32le(free_page, next);
      if (file_.write_at(offset, free_page) != kPageSize) ok = fail(kWriteError, file_.os_error());
    }
    if (ok && (shared_ || free_list_ != written_free_list_)) {
      std::array<std::uint8_t, 8> head{};
      put_u32le(head, free_list_);
      put_u32be(std::span(head).subspan(4), shared_ ? counter_ + 1 : counter_);
      const std::size_t length = shared_ ? 8 : 4;
      if (file_.write_at(kHdrFreeList, std::span(head).first(length)) != static_cast<std::int64_t>(length))
        ok = fail(kWriteError, file_.os_error());
      else {
        written_free_list_ = free_list_;
        if (shared_) ++counter_;
      }
    }
  }
  if (!ok || changed_) ++generation_;
  if (!ok) drop_cache();
  freed_.clear();
  if (locked_) file_.unlock_range(kIndexLockOffset, 1);
  locked_ = false;
  writing_ = false;
  changed_ = false;
  return ok;
}

void PageStore::close() {
  cache_.clear();
  dirty_.clear();
  if (file_.is_open() && !read_only_) file_.flush();
  file_.close();
}

void PageStore::drop_cache() {
  cache_.clear();
  dirty_.clear();
  freed_.clear();
  free_list_ = written_free_list_;
  ++generation_;
}

bool PageStore::fail(int subcode, int os_code) {
  if (!raised_) raise(StorageError{subcode, Variant::cdx, name_, os_code});
  raised_ = true;
  return false;
}

bool PageStore::read_bytes(std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::int64_t got = file_.read_at(offset, out);
  if (got < 0) return fail(kReadError, file_.os_error());
  if (static_cast<std::size_t>(got) != out.size()) return corrupt();
  return true;
}

bool PageStore::valid_offset(std::uint32_t offset) {
  if (offset % kPageSize != 0 || offset < kPageSize) return false;
  if (offset < file_end_) return true;
  // Another process may have extended a shared file since the size was read.
  return shared_ && refresh_size() && offset < file_end_;
}

std::shared_ptr<Page> PageStore::page(std::uint32_t offset) {
  const auto found = cache_.find(offset);
  if (found != cache_.end()) return found->second;
  if (!valid_offset(offset)) {
    corrupt();
    return nullptr;
  }
  auto page = std::make_shared<Page>();
  if (!read_bytes(offset, buffer_) || !decode_page(buffer_, offset, key_length_, pad_, *page)) {
    corrupt();
    return nullptr;
  }
  cache_.emplace(offset, page);
  return page;
}

bool PageStore::outline(std::uint32_t offset, Outline& out) {
  const auto found = cache_.find(offset);
  if (found != cache_.end()) {
    const Page& page = *found->second;
    out = {page.leaf, static_cast<std::uint32_t>(page.count()), page.left, page.right};
    return true;
  }
  std::array<std::uint8_t, kPgHeaderSize> head{};
  if (!valid_offset(offset) || !read_bytes(offset, head)) return corrupt();
  const std::uint16_t attributes = get_u16le(head);
  out.leaf = (attributes & kAttrLeaf) != 0;
  out.count = get_u16le(std::span(head).subspan(kPgKeyCount));
  out.left = get_u32le(std::span(head).subspan(kPgLeft));
  out.right = get_u32le(std::span(head).subspan(kPgRight));
  // Even a leaf of 1-byte entries without stored bytes holds no more than this.
  if (attributes > (kAttrRoot | kAttrLeaf) || out.count > kKeyAreaSize) return corrupt();
  return true;
}

std::shared_ptr<Page> PageStore::allocate(bool leaf) {
  std::uint32_t offset = 0;
  if (const auto freed = freed_.find(free_list_); free_list_ != 0 && freed != freed_.end()) {
    offset = free_list_;
    free_list_ = freed->second;
    freed_.erase(freed);
  } else if (free_list_ != 0) {
    offset = free_list_;
    // A free page holds the next one in its first bytes and zeros after them; anything
    // else means the list leads into live pages.
    if (!valid_offset(offset) || cache_.count(offset) != 0 || !read_bytes(offset, buffer_) ||
        std::any_of(buffer_.begin() + 4, buffer_.end(), [](std::uint8_t b) { return b != 0; })) {
      corrupt();
      return nullptr;
    }
    free_list_ = get_u32le(buffer_);
  } else {
    if (file_end_ > 0xFFFFF000u - kPageSize) {
      corrupt();
      return nullptr;
    }
    offset = std::max(file_end_, 2 * kPageSize);
    file_end_ = offset + kPageSize;
  }
  auto page = std::make_shared<Page>();
  page->offset = offset;
  page->leaf = leaf;
  page->key_length = key_length_;
  cache_.emplace(offset, page);
  touch(*page);
  return page;
}

bool PageStore::release(const std::shared_ptr<Page>& page) {
  cache_.erase(page->offset);
  dirty_.erase(page->offset);
  freed_[page->offset] = free_list_;
  free_list_ = page->offset;
  changed_ = true;
  return true;
}

void PageStore::touch(const Page& page) {
  dirty_.insert(page.offset);
  changed_ = true;
}

bool PageStore::write_page(const Page& page) {
  if (!encode_page(page, pad_, buffer_)) return corrupt();
  if (file_.write_at(page.offset, buffer_) != kPageSize) return fail(kWriteError, file_.os_error());
  return true;
}

}  // namespace torvane::storage::cdx
