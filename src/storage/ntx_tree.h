#pragma once
// The B-tree of an open NTX file: page cache, cursor, seek, insertion with page splits
// and removal with borrowing and merging. Locks and header saves are the caller's
// (ntx_index.cpp); this class only reads and writes pages and keeps the header fields
// it changes (root, free list) in memory.
//
// Damage is never trusted: every page read is checked (a whole block inside the file,
// at most maximum keys, an offset table that is a permutation of the slots), descents
// stop at kMaxDepth levels and a walk stops after more steps than the file can hold
// keys, so a child cycle is a corruption error instead of a hang. Failures are thrown
// as TreeFailure inside the NTX code only; the index turns them into raised results.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "storage/ntx_format.h"
#include "storage/storage_error.h"

namespace torvane::storage::ntx {

struct TreeFailure {
  StorageError error;
};

// No tree of this format is deeper: even half-full pages of 2 keys would need more
// keys than record numbers exist.
constexpr std::size_t kMaxDepth = 40;

class Tree {
 public:
  Tree(platform::File& file, std::string path, Variant variant, const Header& header, std::uint64_t file_size);

  const Header& header() const { return header_; }
  Header& header() { return header_; }
  // Root, free list or pages changed since the last mark_saved().
  bool changed() const { return changed_; }
  void mark_saved() { changed_ = false; }

  // Another process changed the file: forget every cached page and count, take the new
  // header and file size, and find the current key again.
  void reload(const Header& header, std::uint64_t file_size);
  // Writes changed pages (all of them when `clear`, then forgets the cache).
  void write_pages(bool clear);
  // Forgets changed pages without writing them (after damage was found).
  void discard();
  std::size_t cached_pages() const { return pages_.size(); }

  // Navigation: true when positioned on a key, false past the end.
  bool go_top();
  bool skip();
  bool seek(std::string_view prefix);                  // first key >= prefix (prefix compare)
  bool locate(std::string_view key, std::uint32_t record);  // first entry >= (key, record)
  bool positioned() const { return positioned_; }
  std::uint32_t record() const { return positioned_ ? record_ : 0; }
  std::string key() const { return positioned_ ? key_ : std::string(); }
  std::uint64_t key_number();
  std::uint64_t key_count();

  void insert(std::string_view key, std::uint32_t record);
  void remove(std::string_view key, std::uint32_t record);

 private:
  struct Cached {
    PageBytes bytes;
    bool dirty = false;
  };
  struct Frame {
    std::uint32_t page;
    std::uint32_t index;
  };

  [[noreturn]] void corrupt() const;
  [[noreturn]] void fail(int subcode, int os_code) const;
  // Reads and checks a page from the file, past the cache.
  void read_page(std::uint32_t offset, PageBytes& bytes);
  Cached& load(std::uint32_t offset);
  Page page(std::uint32_t offset) { return Page(load(offset).bytes.data(), header_.geometry); }
  Page dirty_page(std::uint32_t offset);
  std::uint32_t allocate();
  void release(std::uint32_t offset);

  void descend_leftmost(std::uint32_t page);
  bool settle();
  void check_depth(std::size_t depth) const;
  std::uint64_t key_limit() const;
  std::uint64_t subtree(std::uint32_t page, std::size_t depth);
  void adjust_counts(const std::vector<Frame>& path, int delta);
  // Descends by (key, record); the last frame is where the entry is or would go.
  // Stops early at an exact match (`found`).
  std::vector<Frame> find_path(std::string_view key, std::uint32_t record, bool& found);
  void insert_up(std::vector<Frame>& path, Item item, std::uint32_t right_child);
  void fix_underflow(std::vector<Frame>& path);
  void restore_cursor();

  platform::File& file_;
  std::string path_;
  Variant variant_;
  Header header_;
  std::uint64_t file_end_;
  bool changed_ = false;
  std::unordered_map<std::uint32_t, std::unique_ptr<Cached>> pages_;
  std::unordered_map<std::uint32_t, std::uint64_t> subtree_counts_;
  std::optional<std::uint64_t> key_count_;

  std::vector<Frame> cursor_;
  bool positioned_ = false;
  std::string key_;
  std::uint32_t record_ = 0;
  std::optional<std::uint64_t> number_;
  std::uint64_t steps_ = 0;
};

}  // namespace torvane::storage::ntx
