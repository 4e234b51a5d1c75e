#include "storage/cdx_store.h"

#include <algorithm>

#include "storage/byte_order.h"

namespace torvane::storage::cdx {
namespace {

// Past this many cached pages the cache is written and emptied between operations (a
// walk over a large order, or a long run of changes to an exclusive file, would
// otherwise keep every page).
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

bool PageStore::read_head(std::uint32_t& free_list, std::uint32_t& counter) {
  std::array<std::uint8_t, 8> head{};
  if (!refresh_size() || !read_bytes(kHdrFreeList, head)) return false;
  free_list = get_u32le(head);
  counter = get_u32be(std::span(head).subspan(4));
  return true;
}

bool PageStore::open() {
  raised_ = false;
  if (!read_head(free_list_, counter_)) return false;
  written_free_list_ = free_list_;
  return true;
}

bool PageStore::start(bool write) {
  raised_ = false;
  changed_ = false;
  writing_ = false;  // set once there is something a failure would have to undo
  if (write && read_only_) return fail(kWriteNotAllowed);
  // Between sessions only write-behind pages are pending: written, the cache may go.
  if (cache_.size() > kCacheLimit) {
    if (!write_pending()) return false;
    cache_.clear();
  }
  if (shared_) {
    if (!file_.lock_range(kIndexLockOffset, 1,
                          write ? platform::LockKind::exclusive : platform::LockKind::shared, true))
      return fail(kLockFailure, file_.os_error());
    locked_ = true;
    file_end_ = 0;
    std::uint32_t free_list = 0;
    std::uint32_t counter = 0;
    if (!read_head(free_list, counter)) return false;
    if (free_list != written_free_list_ || counter != counter_) {
      drop_cache();
      free_list_ = written_free_list_ = free_list;
      counter_ = counter;
    }
  }
  writing_ = write;
  if (write) {
    touched_.clear();
    held_.clear();
    session_freed_ = freed_;
    session_free_list_ = free_list_;
    session_file_end_ = file_end_;
  }
  return true;
}

bool PageStore::finish(bool ok) {
  if (ok && changed_ && shared_) {
    ok = write_pending();
    if (ok) {
      std::array<std::uint8_t, 8> head{};
      put_u32le(head, free_list_);
      put_u32be(std::span(head).subspan(4), counter_ + 1);
      if (file_.write_at(kHdrFreeList, head) != static_cast<std::int64_t>(head.size()))
        ok = fail(kWriteError, file_.os_error());
      else {
        written_free_list_ = free_list_;
        ++counter_;
      }
    }
  }
  if (ok && changed_) ++generation_;
  if (!ok) roll_back();
  touched_.clear();
  held_.clear();
  session_freed_.clear();
  if (locked_) file_.unlock_range(kIndexLockOffset, 1);
  locked_ = false;
  writing_ = false;
  changed_ = false;
  return ok;
}

bool PageStore::write_pending() {
  for (auto it = dirty_.begin(); it != dirty_.end(); it = dirty_.erase(it)) {
    const auto found = cache_.find(*it);
    if (found != cache_.end() && !write_page(*found->second)) return false;
  }
  std::array<std::uint8_t, kPageSize> free_page{};
  for (auto it = freed_.begin(); it != freed_.end(); it = freed_.erase(it)) {
    put_u32le(free_page, it->second);
    if (file_.write_at(it->first, free_page) != kPageSize) return fail(kWriteError, file_.os_error());
  }
  // A shared file's list head goes out with its counter when the session ends.
  if (!shared_ && free_list_ != written_free_list_) {
    std::array<std::uint8_t, 4> head{};
    put_u32le(head, free_list_);
    if (file_.write_at(kHdrFreeList, head) != static_cast<std::int64_t>(head.size()))
      return fail(kWriteError, file_.os_error());
    written_free_list_ = free_list_;
  }
  return true;
}

bool PageStore::flush() {
  if (!file_.is_open() || read_only_) return true;
  raised_ = false;
  if (!write_pending()) return false;
  return file_.flush() || fail(kWriteError, file_.os_error());
}

bool PageStore::close() {
  bool ok = true;
  if (file_.is_open() && !read_only_) {
    raised_ = false;
    ok = write_pending();
    file_.flush();
  }
  cache_.clear();
  dirty_.clear();
  freed_.clear();
  file_.close();
  return ok;
}

void PageStore::drop_cache() {
  cache_.clear();
  dirty_.clear();
  freed_.clear();
  free_list_ = written_free_list_;
  ++generation_;
}

// Undoes a failed session: pages it changed for the first time are dropped (the file
// still has them as they were), pages changed before it get back the copy kept at its
// first touch, and the allocation state is the one it began with. Unchanged pages go
// too, as they would after any failure.
void PageStore::roll_back() {
  if (writing_) {
    for (std::uint32_t offset : touched_) {
      const auto held = held_.find(offset);
      if (held != held_.end()) {
        cache_[offset] = std::make_shared<Page>(std::move(held->second));
        dirty_.insert(offset);
      } else {
        cache_.erase(offset);
        dirty_.erase(offset);
      }
    }
    freed_ = std::move(session_freed_);
    free_list_ = session_free_list_;
    file_end_ = session_file_end_;
  }
  for (auto it = cache_.begin(); it != cache_.end();) it = dirty_.count(it->first) != 0 ? std::next(it) : cache_.erase(it);
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
  touch(*page);
  cache_.erase(page->offset);
  dirty_.erase(page->offset);
  freed_[page->offset] = free_list_;
  free_list_ = page->offset;
  return true;
}

void PageStore::touch(const Page& page) {
  if (touched_.insert(page.offset).second && !dirty_.insert(page.offset).second) held_.emplace(page.offset, page);
  changed_ = true;
}

bool PageStore::write_page(const Page& page) {
  if (!encode_page(page, pad_, buffer_)) return corrupt();
  if (file_.write_at(page.offset, buffer_) != kPageSize) return fail(kWriteError, file_.os_error());
  return true;
}

}  // namespace torvane::storage::cdx
