#pragma once
// The pages of one tag's B-tree: reads, a cache of decoded pages, allocation and the
// free-page list, and the index lock of a shared file.
//
// Every operation runs in a session: start() takes the index lock when the file is
// shared (shared for reading, exclusive for writing; both wait until granted) and drops
// the cache when another process changed the file since we last looked (free-list head
// or update counter at offset 4 differ); finish() writes the changed pages, the
// free-list head and, shared, the incremented update counter, then releases the lock.
//
//   idle --start(read)--> reading --finish--> idle
//   idle --start(write)-> writing --finish--> idle   (shared: changed pages written here)
//
// An exclusive file takes no lock and keeps its counter; nobody else reads it while we
// hold it, so its changed pages stay in the cache (write-behind) until the cache is
// emptied, flush() or close(); only a changed list head is written with them. The
// pages written are the same whenever that happens: each page's last state.
//
// Pages changed in a session that fails are dropped, not written: a page changed in an
// earlier session and still unwritten goes back to the state that session left (a
// copy is kept when it is first touched in a session), so callers touch() a page
// before they change it.

#include <cstdint>
#include <memory>
#include <array>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "storage/cdx_leaf.h"
#include "storage/storage_error.h"

namespace torvane::storage::cdx {

// The byte of the index file whose lock guards every read and change of a shared file.
constexpr std::uint64_t kIndexLockOffset = 0x7FFFFFFE;

class PageStore {
 public:
  PageStore(platform::File file, std::string name, std::uint32_t key_length, char pad, bool shared,
            bool read_only);

  // Reads the compound header's list head and counter and the file size.
  bool open();
  bool start(bool write);
  // ok false: the session failed; its changes are dropped.
  bool finish(bool ok);
  // Writes every changed page and the list head now; false after raising.
  bool write_pending();
  bool flush();
  bool close();

  // The decoded page at offset; nullptr when it cannot be read (raised).
  std::shared_ptr<Page> page(std::uint32_t offset);
  // A new empty page, taken from the free-page list or else from the end of the file.
  std::shared_ptr<Page> allocate(bool leaf);
  // The page goes on the free-page list.
  bool release(const std::shared_ptr<Page>& page);
  // Marks the page changed; call it before changing the page.
  void touch(const Page& page);

  struct Outline {
    bool leaf = false;
    std::uint32_t count = 0;
    std::uint32_t left = kNoPage;
    std::uint32_t right = kNoPage;
  };
  // The page header alone (from the cache when the page is there).
  bool outline(std::uint32_t offset, Outline& out);
  bool read_bytes(std::uint64_t offset, std::span<std::uint8_t> out);

  // Raises the failure once per session and returns false.
  bool fail(int subcode, int os_code = 0);
  bool corrupt() { return fail(kCorruption); }

  // Changes whenever cached pages may no longer match what a caller saw.
  std::uint64_t generation() const { return generation_; }
  std::uint32_t page_limit() const { return file_end_ / kPageSize; }
  std::uint32_t key_length() const { return key_length_; }
  char pad() const { return pad_; }
  bool shared() const { return shared_; }
  bool read_only() const { return read_only_; }
  const std::string& name() const { return name_; }
  std::uint32_t free_list() const { return free_list_; }
  std::uint32_t update_counter() const { return counter_; }

 private:
  bool refresh_size();
  // The file size, and the free-list head and update counter of the compound header.
  bool read_head(std::uint32_t& free_list, std::uint32_t& counter);
  bool valid_offset(std::uint32_t offset);
  bool write_page(const Page& page);
  void drop_cache();
  void roll_back();
  void keep_copy(const Page& page);

  platform::File file_;
  std::string name_;
  std::uint32_t key_length_;
  char pad_;
  bool shared_;
  bool read_only_;
  bool locked_ = false;
  bool writing_ = false;
  bool changed_ = false;
  bool raised_ = false;
  std::uint32_t free_list_ = 0;
  std::uint32_t counter_ = 0;
  std::uint32_t written_free_list_ = 0;
  std::uint32_t file_end_ = 0;
  std::uint64_t generation_ = 0;
  std::unordered_map<std::uint32_t, std::shared_ptr<Page>> cache_;
  std::unordered_set<std::uint32_t> dirty_;
  std::unordered_map<std::uint32_t, std::uint32_t> freed_;  // page -> next free page
  // What a write session may have to undo: the pages it touched, copies of those that
  // were already changed before it, and the allocation state it began with.
  std::unordered_set<std::uint32_t> touched_;
  std::unordered_map<std::uint32_t, Page> held_;
  std::unordered_map<std::uint32_t, std::uint32_t> session_freed_;
  std::uint32_t session_free_list_ = 0;
  std::uint32_t session_file_end_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace torvane::storage::cdx
