#pragma once
// Building a compound index file from sorted keys.
//
// Keys arrive in (key, record number) order and are written into leaves from left to
// right; each level above is filled the same way, one open page per level:
//   - a key goes into the open leaf while its cost fits the leaf's free space; an
//     interior page takes entries until it holds interior_capacity() of them;
//   - a full page is closed when the next entry arrives (so that no level ends with an
//     empty page): its successor is started, the two are linked, and the closed page's
//     last key goes up as an entry of the level above;
//   - pages are numbered in the order they are started, so a leaf's successor comes
//     before the parent page that the leaf's closing entry starts;
//   - at the end every level's last page sends its last key up, if there is a level
//     above, and the top page becomes the root.
// The entry width of the leaves is fixed for the whole build by the table's record
// count, so the bytes depend on the keys alone.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/cdx_leaf.h"
#include "storage/order_index.h"

namespace torvane::storage::cdx {

// Where finished pages go: offset and the page's 512 bytes; false when it fails.
using PageSink = std::function<bool(std::uint32_t, std::span<const std::uint8_t>)>;

class TreeBuilder {
 public:
  // Pages are numbered from first_page on; leaves use the given entry width.
  TreeBuilder(PageSink sink, std::uint32_t key_length, char pad, std::uint32_t first_page,
              std::uint32_t entry_width);

  // Keys must come in order; record must fit the entry width. False when a page could
  // not be written.
  bool add(std::string_view key, std::uint32_t record);
  // Writes the open pages; false when one could not be written.
  bool finish();

  std::uint32_t root() const { return root_; }
  std::uint32_t next_page() const { return next_page_; }  // the end of the tree
  std::uint64_t key_count() const { return key_count_; }

 private:
  struct Level {
    Page page;
    std::uint32_t used = 0;  // leaf level: key area in use
  };

  std::uint32_t start_page() {
    const std::uint32_t offset = next_page_;
    next_page_ += kPageSize;
    return offset;
  }
  Page new_page(bool leaf, std::uint32_t offset, std::uint32_t left) const;
  bool write(const Page& page);
  bool add_entry(std::size_t level, std::string_view key, std::uint32_t record, std::uint32_t child);

  PageSink sink_;
  std::uint32_t key_length_;
  char pad_;
  std::uint32_t width_;
  std::uint32_t next_page_;
  std::uint32_t root_ = kNoPage;
  std::uint64_t key_count_ = 0;
  std::vector<Level> levels_;
  std::array<std::uint8_t, kPageSize> bytes_{};
};

// What a header holds (see cdx_format.h).
struct HeaderFields {
  std::uint32_t root = 0;
  std::uint32_t free_list = 0;       // compound header only
  std::uint32_t update_counter = 0;  // compound header only
  std::uint32_t key_length = 0;
  std::uint8_t options = 0;
  std::string expression;            // key expression, "" for the tag directory
};
std::array<std::uint8_t, kHeaderSize> encode_header(const HeaderFields& fields);

// The tag name for an index file: its name without directory and extension, upper
// case, at most 10 characters ("D:\DVD\POOL.CDX" and "pool.cdx" give "POOL").
std::string tag_name_for(std::string_view index_path);

// Where the bulk build writes before it renames the file into place.
std::string temporary_name_for(std::string_view index_path);

// Builds the index file at `path` for the table of `source`: written completely under
// temporary_name_for(path), flushed, then renamed into place. The update counter is 1
// for a table open shared (the build counts as one change), else 0. False when it
// failed (the failure has been raised); the old file is then untouched.
struct BuildOutcome {
  bool ok = false;
  std::uint64_t key_count = 0;
};
BuildOutcome build_index_file(std::string_view path, const KeySource& source,
                              const IndexOptions& options);

}  // namespace torvane::storage::cdx
