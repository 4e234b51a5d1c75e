#include "storage/fpt_memo.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/fpt_format.h"

namespace torvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Area {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t end() const { return offset + length; }
};

// The first read of a value: its block header and, mostly, all of it.
constexpr std::uint64_t kFirstRead = 512;
// Values waiting to be written together, at most.
constexpr std::uint64_t kTailBytes = 256 * 1024;

std::span<std::uint8_t> as_bytes(std::string& text) {
  return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

// Free areas kept sorted by size (then offset), so the first fitting one is the smallest.
void sort_by_size(std::vector<Area>& areas) {
  std::sort(areas.begin(), areas.end(), [](const Area& a, const Area& b) {
    return a.length != b.length ? a.length < b.length : a.offset < b.offset;
  });
}

}  // namespace

struct FptMemo::State {
  platform::File file;
  std::string path;
  Variant variant = Variant::cdx;
  bool shared = false;
  bool read_only = false;

  std::array<std::uint8_t, fpt::kHeaderSize> header{};
  std::size_t header_read = 0;     // bytes of the header present in the file
  bool extended = false;
  std::uint32_t block_size = 0;
  std::uint32_t next_free = 0;
  std::vector<Area> free_areas;    // sorted by size
  Area directory;                  // length 0: none
  bool directory_changed = false;
  // Exclusive: the header as stored after the last write waits here until flush or
  // close; damaged: the next free block lay beyond the end of the file at open.
  bool header_pending = false;
  bool damaged_end = false;
  // Exclusive: the size of the file, once asked for; every write and cut keeps it. A
  // shared file may grow under other programs and is asked every time.
  std::int64_t known_size = -1;
  // Exclusive: values written one after the other wait here and go to the file in one
  // write before anything else touches the file, and at flush or close.
  std::uint64_t tail_offset = 0;
  Bytes tail;

  std::int64_t file_size() {
    if (shared) return file.size();
    if (known_size < 0) known_size = file.size();
    return known_size;
  }

  bool write_bytes(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (!flush_tail() || file.write_at(offset, bytes) < 0) return false;
    note_written(offset + bytes.size());
    return true;
  }

  void note_written(std::uint64_t end) {
    if (known_size >= 0) known_size = std::max(known_size, static_cast<std::int64_t>(end));
  }

  bool flush_tail() {
    if (tail.empty()) return true;
    const bool written = file.write_at(tail_offset, tail) >= 0;
    if (written) note_written(tail_offset + tail.size());
    tail.clear();
    return written;
  }

  bool cut_at(std::uint64_t size) {
    if (!flush_tail() || !file.truncate(size)) return false;
    known_size = shared ? -1 : static_cast<std::int64_t>(size);
    return true;
  }

  bool fail(int subcode, int os_code = 0) {
    raise(StorageError{subcode, variant, path, os_code});
    return false;
  }

  std::uint64_t round_up(std::uint64_t bytes) const { return (bytes + block_size - 1) / block_size * block_size; }
  // Bytes a value of that length takes with its block header: whole blocks.
  std::uint64_t value_span(std::uint64_t length) const { return fpt::blocks_for(length, block_size) * block_size; }
  // Where the next free block starts: the end of the used part of the file.
  std::uint64_t used_end() const { return std::uint64_t{next_free} * block_size; }

  std::uint64_t first_data_offset() const { return round_up(extended ? fpt::kHeaderSize : fpt::kMinimumHeader); }

  // --- allocation state ---

  bool load_state() {
    if (!flush_tail()) return fail(kWriteError, file.os_error());
    header.fill(0);
    const std::int64_t n = file.read_at(0, header);
    if (n < 0) return fail(kReadError, file.os_error());
    header_read = static_cast<std::size_t>(n);
    if (header_read < fpt::kMinimumHeader) return fail(kCorruption);
    // The signature decides, not the length: a short file that holds it would turn
    // extended (another block size) once a value grows it past 1,024 bytes.
    extended = header_read >= fpt::kExtension + 10 &&
               std::memcmp(&header[fpt::kExtension], fpt::kExtensionText.data(), 10) == 0;
    block_size = get_u16be(std::span(header).subspan(fpt::kBlockSize));
    if (extended) {
      const std::uint16_t alternative = get_u16le(std::span(header).subspan(fpt::kAlternativeBlockSize));
      if (alternative != 0) block_size = alternative;
    }
    if (block_size == 0) return fail(kCorruption);
    next_free = get_u32be(std::span(header).subspan(fpt::kNextFree));
    free_areas.clear();
    directory = {};
    directory_changed = false;
    if (extended) load_directory(get_u32le(std::span(header).subspan(fpt::kDirectory)));
    return true;
  }

  // A damaged directory is left aside: its areas are never handed out, the values
  // stay readable, and the space stays unused.
  void load_directory(std::uint64_t offset) {
    if (offset == 0 || offset % block_size != 0 || offset < first_data_offset()) return;
    std::array<std::uint8_t, fpt::kBlockHeader + 2> head{};
    if (file.read_at(offset, head) != static_cast<std::int64_t>(head.size())) return;
    if (get_u32be(head) != fpt::kTypeDirectory) return;
    const std::uint64_t length = get_u32be(std::span(head).subspan(4));
    const std::uint64_t capacity = value_span(length);
    if (offset + capacity > used_end()) return;
    const std::uint16_t count = get_u16le(std::span(head).subspan(8));
    if (count < 3 || (count - 3) % 4 != 0) return;
    const std::size_t entries = (count - 3) / 4;
    if (2 + 8 * entries > length) return;
    Bytes pairs(8 * entries);
    if (file.read_at(offset + head.size(), pairs) != static_cast<std::int64_t>(pairs.size())) return;
    directory = {offset, capacity};
    std::vector<Area> found;
    for (std::size_t i = 0; i < entries; ++i) {
      const Area a{get_u32le(std::span(pairs).subspan(8 * i)), get_u32le(std::span(pairs).subspan(8 * i + 4))};
      if (plausible_free(a)) found.push_back(a);
    }
    std::sort(found.begin(), found.end(), [](const Area& a, const Area& b) { return a.offset < b.offset; });
    for (const Area& a : found)
      if (free_areas.empty() || free_areas.back().end() <= a.offset) free_areas.push_back(a);
    sort_by_size(free_areas);
  }

  bool plausible_free(const Area& a) const {
    return a.length >= block_size && a.offset % block_size == 0 && a.length % block_size == 0 &&
           a.offset >= first_data_offset() && a.end() <= used_end() &&
           (a.end() <= directory.offset || a.offset >= directory.end());
  }

  bool overlaps_free(const Area& a) const {
    for (const Area& f : free_areas)
      if (a.offset < f.end() && f.offset < a.end()) return true;
    return directory.length != 0 && a.offset < directory.end() && directory.offset < a.end();
  }

  // Gives the blocks of the value at block back; a reference that does not name a
  // stored value inside the used part of the file is left alone.
  void release(std::uint32_t block) {
    const std::uint64_t offset = std::uint64_t{block} * block_size;
    if (block == 0 || block >= next_free || offset < first_data_offset() || !flush_tail()) return;
    std::array<std::uint8_t, fpt::kBlockHeader> head{};
    if (file.read_at(offset, head) != static_cast<std::int64_t>(head.size())) return;
    const std::uint32_t type = get_u32be(head);
    if (type != fpt::kTypeText && type != fpt::kTypeBinary) return;
    const Area area{offset, value_span(get_u32be(std::span(head).subspan(4)))};
    if (area.end() > used_end() || overlaps_free(area)) return;
    add_free(area);
  }

  void add_free(Area area) {
    for (bool merged = true; merged;) {
      merged = false;
      for (auto it = free_areas.begin(); it != free_areas.end(); ++it) {
        if (it->end() == area.offset || area.end() == it->offset) {
          area = {std::min(area.offset, it->offset), area.length + it->length};
          free_areas.erase(it);
          merged = true;
          break;
        }
      }
    }
    directory_changed = true;
    if (area.end() == used_end()) {
      next_free = static_cast<std::uint32_t>(area.offset / block_size);
      return;
    }
    free_areas.push_back(area);
    sort_by_size(free_areas);
    mark_free(area);
  }

  void mark_free(const Area& area) {
    std::array<std::uint8_t, fpt::kBlockHeader> head{};
    put_u32be(head, fpt::kTypeFreeArea);
    put_u32be(std::span(head).subspan(4), static_cast<std::uint32_t>(area.length - fpt::kBlockHeader));
    write_bytes(area.offset, head);
  }

  // First block of need blocks: the smallest free area that holds them, else the end.
  std::optional<std::uint32_t> allocate(std::uint64_t need) {
    const std::uint64_t bytes = need * block_size;
    for (auto it = free_areas.begin(); it != free_areas.end(); ++it) {
      if (it->length < bytes) continue;
      const Area taken{it->offset, bytes};
      const Area rest{it->offset + bytes, it->length - bytes};
      free_areas.erase(it);
      if (rest.length != 0) {
        free_areas.push_back(rest);
        sort_by_size(free_areas);
        mark_free(rest);
      }
      directory_changed = true;
      return static_cast<std::uint32_t>(taken.offset / block_size);
    }
    return take_end(need);
  }

  std::optional<std::uint32_t> take_end(std::uint64_t need) {
    const std::uint64_t first = std::max<std::uint64_t>(next_free, first_data_offset() / block_size);
    if (first + need > 0xFFFFFFFFULL) return std::nullopt;
    next_free = static_cast<std::uint32_t>(first + need);
    return static_cast<std::uint32_t>(first);
  }

  bool write_directory() {
    if (!extended || !directory_changed) return true;
    directory_changed = false;
    if (directory.length == 0 && free_areas.empty()) return true;
    std::uint64_t needed = fpt::kBlockHeader + 2 + 8 * free_areas.size();
    if (needed > directory.length) {
      // Grow: give the old directory blocks back, then take room for one more entry at the end.
      if (directory.length != 0) {
        const Area old = directory;
        directory = {};
        add_free(old);
        directory_changed = false;
      }
      const std::uint64_t need = fpt::blocks_for(2 + 8 * (free_areas.size() + 1), block_size);
      const auto first = take_end(need);
      if (!first) return fail(kWriteError);
      directory = {std::uint64_t{*first} * block_size, need * block_size};
    }
    Bytes bytes(static_cast<std::size_t>(directory.length), 0);
    put_u32be(bytes, fpt::kTypeDirectory);
    put_u32be(std::span(bytes).subspan(4), static_cast<std::uint32_t>(directory.length - fpt::kBlockHeader));
    put_u16le(std::span(bytes).subspan(8), static_cast<std::uint16_t>(free_areas.size() * 4 + 3));
    std::size_t at = 10;
    for (const Area& a : free_areas) {
      put_u32le(std::span(bytes).subspan(at), static_cast<std::uint32_t>(a.offset));
      put_u32le(std::span(bytes).subspan(at + 4), static_cast<std::uint32_t>(a.length));
      at += 8;
    }
    if (!write_bytes(directory.offset, bytes)) return fail(kWriteError, file.os_error());
    put_u32le(std::span(header).subspan(fpt::kDirectory), static_cast<std::uint32_t>(directory.offset));
    return true;
  }

  bool store_state(std::uint32_t old_next_free) {
    const bool directory_written = extended && directory_changed;
    if (!write_directory()) return false;
    put_u32be(std::span(header).subspan(fpt::kNextFree), next_free);
    if (extended) {
      const std::uint32_t counter = get_u32le(std::span(header).subspan(fpt::kUpdateCounter));
      put_u32le(std::span(header).subspan(fpt::kUpdateCounter), counter + 1);
    }
    header_pending = true;
    // Only we use an exclusive file: a plain append's header waits for flush or close.
    // A new directory or a cut file is stored at once, so the header never names a
    // directory or an end that is not there.
    const bool cut = next_free < old_next_free;
    if (shared || directory_written || cut) {
      if (!write_header()) return false;
    }
    if (cut && !cut_at(used_end())) return fail(kWriteError, file.os_error());
    return true;
  }

  bool write_header() {
    header_pending = false;
    // A file made elsewhere may keep data right after its 512 header bytes.
    const std::span<const std::uint8_t> bytes = extended ? std::span<const std::uint8_t>(header)
                                                         : std::span<const std::uint8_t>(header).first(4);
    if (!write_bytes(0, bytes)) return fail(kWriteError, file.os_error());
    return true;
  }

  // An exclusive file is checked against its size once: blocks present beyond the next
  // free block (values written after the last stored header, when a run was killed)
  // are never handed out again, and a next free block beyond the end is damage.
  bool check_end() {
    const std::int64_t size = file_size();
    if (size < 0) return fail(kReadError, file.os_error());
    const std::uint64_t end = round_up(static_cast<std::uint64_t>(size));
    damaged_end = used_end() > end;
    if (!damaged_end && end / block_size > next_free && end / block_size <= 0xFFFFFFFFULL)
      next_free = static_cast<std::uint32_t>(end / block_size);
    return true;
  }

  // The value with its block header (and end byte) in whole blocks, added to out.
  void lay_out(std::string_view bytes, Bytes& out) const {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(value_span(bytes.size())), 0);
    const std::span<std::uint8_t> value = std::span(out).subspan(at);
    put_u32be(value, fpt::kTypeText);
    put_u32be(value.subspan(4), static_cast<std::uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), value.begin() + fpt::kBlockHeader);
    if ((bytes.size() + fpt::kBlockHeader) % block_size != 0) value.back() = fpt::kEndByte;
  }

  bool write_value(std::uint32_t block, std::string_view bytes) {
    const std::uint64_t offset = std::uint64_t{block} * block_size;
    const std::uint64_t length = value_span(bytes.size());
    const bool waits = !shared && length <= kTailBytes;
    const bool joins = waits && offset == tail_offset + tail.size() && tail.size() + length <= kTailBytes;
    if (!tail.empty() && !joins && !flush_tail()) return fail(kWriteError, file.os_error());
    if (waits) {
      if (tail.empty()) tail_offset = offset;
      lay_out(bytes, tail);
      return true;
    }
    Bytes out;
    lay_out(bytes, out);
    if (!write_bytes(offset, out)) return fail(kWriteError, file.os_error());
    return true;
  }

  std::optional<std::uint32_t> store(std::uint32_t old_block, std::string_view bytes) {
    if (read_only) {
      fail(kWriteNotAllowed);
      return std::nullopt;
    }
    // A next free block far beyond the end of the file is damage: writing there would
    // make a huge sparse file. (One pointing into the header is lifted past it.) An
    // exclusive file was checked at open; a shared one is read and checked here.
    if (shared) {
      if (!load_state()) return std::nullopt;
      const std::int64_t size = file_size();
      damaged_end = size < 0 || used_end() > round_up(static_cast<std::uint64_t>(size));
    }
    if (damaged_end) {
      fail(kCorruption);
      return std::nullopt;
    }
    const std::uint32_t old_next_free = next_free;
    release(old_block);
    std::uint32_t block = 0;
    if (!bytes.empty()) {
      if (bytes.size() > 0xFFFFFFFFULL - fpt::kBlockHeader) {
        fail(kDataWidthError);
        return std::nullopt;
      }
      const auto first = allocate(fpt::blocks_for(bytes.size(), block_size));
      if (!first) {
        fail(kWriteError);
        return std::nullopt;
      }
      block = *first;
      if (!write_value(block, bytes)) return std::nullopt;
    }
    if (!store_state(old_next_free)) return std::nullopt;
    return block;
  }
};

FptMemo::FptMemo(std::unique_ptr<State> state) : s_(std::move(state)) {}
FptMemo::~FptMemo() { close(); }

bool FptMemo::create(std::string_view memo_path, Variant variant) {
  std::array<std::uint8_t, fpt::kHeaderSize> header{};
  put_u32be(std::span(header).subspan(fpt::kNextFree), fpt::kHeaderSize / fpt::kDefaultBlockSize);
  put_u16be(std::span(header).subspan(fpt::kBlockSize), fpt::kDefaultBlockSize);
  std::copy(fpt::kSignatureText.begin(), fpt::kSignatureText.end(), header.begin() + fpt::kSignature);
  std::copy(fpt::kExtensionText.begin(), fpt::kExtensionText.end(), header.begin() + fpt::kExtension);
  for (;;) {
    // Cut only once the file is ours: a memo file open elsewhere is refused, not emptied.
    platform::File file = platform::File::open(memo_path, platform::Access::read_write,
                                               platform::Share::exclusive, platform::Disposition::open_or_create);
    if (file.is_open() && file.truncate(0) && file.write_at(0, header) == static_cast<std::int64_t>(header.size()) &&
        file.flush())
      return true;
    if (!raise(StorageError{kMemoCreateError, variant, std::string(memo_path), file.os_error()})) return false;
  }
}

std::unique_ptr<FptMemo> FptMemo::open(std::string_view memo_path, Variant variant, bool shared, bool read_only) {
  auto s = std::make_unique<State>();
  s->path = std::string(memo_path);
  s->variant = variant;
  s->shared = shared;
  s->read_only = read_only;
  for (;;) {
    s->file = platform::File::open(memo_path, read_only ? platform::Access::read : platform::Access::read_write,
                                   shared ? platform::Share::shared : platform::Share::exclusive,
                                   platform::Disposition::open_existing);
    if (s->file.is_open()) break;
    if (!raise(StorageError{kMemoOpenError, variant, s->path, s->file.os_error()})) return nullptr;
  }
  if (shared) s->file.lock_range(0, 1, platform::LockKind::shared, true);
  const bool loaded = s->load_state();
  if (shared) s->file.unlock_range(0, 1);
  if (!loaded || (!shared && !read_only && !s->check_end())) return nullptr;
  return std::unique_ptr<FptMemo>(new FptMemo(std::move(s)));
}

std::optional<std::string> FptMemo::read(std::uint32_t block) {
  if (block == 0) return std::string();
  State& s = *s_;
  if (!s.file.is_open() || !flush_values()) return std::nullopt;
  const std::uint64_t offset = std::uint64_t{block} * s.block_size;
  const std::int64_t size = s.file_size();
  if (size < 0 || offset + fpt::kBlockHeader > static_cast<std::uint64_t>(size)) {
    s.fail(kReadError, s.file.os_error());
    return std::nullopt;
  }
  // The block header and the start of the value in one read: most values end there.
  const std::uint64_t first = std::min<std::uint64_t>(kFirstRead, static_cast<std::uint64_t>(size) - offset);
  std::string value(static_cast<std::size_t>(first), '\0');
  if (s.file.read_at(offset, as_bytes(value)) != static_cast<std::int64_t>(first)) {
    s.fail(kReadError, s.file.os_error());
    return std::nullopt;
  }
  const auto head = std::span<const std::uint8_t>(as_bytes(value)).first(fpt::kBlockHeader);
  const std::uint32_t type = get_u32be(head);
  const std::uint64_t length = get_u32be(head.subspan(4));
  if (type != fpt::kTypeText && type != fpt::kTypeBinary) {
    s.fail(kDataTypeError);
    return std::nullopt;
  }
  if (offset + fpt::kBlockHeader + length > static_cast<std::uint64_t>(size)) {
    s.fail(kReadError);
    return std::nullopt;
  }
  value.erase(0, fpt::kBlockHeader);
  const std::size_t have = std::min<std::size_t>(value.size(), static_cast<std::size_t>(length));
  value.resize(static_cast<std::size_t>(length));
  const auto rest = as_bytes(value).subspan(have);
  if (!rest.empty() && s.file.read_at(offset + fpt::kBlockHeader + have, rest) != static_cast<std::int64_t>(rest.size())) {
    s.fail(kReadError, s.file.os_error());
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> FptMemo::write(std::uint32_t old_block, std::string_view bytes) {
  State& s = *s_;
  if (!s.file.is_open()) return std::nullopt;
  if (s.shared) s.file.lock_range(0, 1, platform::LockKind::exclusive, true);
  const auto block = s.store(old_block, bytes);
  if (s.shared) s.file.unlock_range(0, 1);
  return block;
}

bool FptMemo::flush_values() {
  return !s_->file.is_open() || s_->flush_tail() || s_->fail(kWriteError, s_->file.os_error());
}

bool FptMemo::flush() {
  if (!s_->file.is_open() || s_->read_only) return true;
  if (!flush_values()) return false;
  if (s_->header_pending && !s_->write_header()) return false;
  return s_->file.flush() || s_->fail(kWriteError, s_->file.os_error());
}

bool FptMemo::close() {
  if (!s_ || !s_->file.is_open()) return true;
  const bool flushed = flush();
  s_->file.close();
  return flushed;
}

std::uint32_t FptMemo::block_size() const { return s_->block_size; }
std::uint32_t FptMemo::next_free_block() const { return s_->next_free; }
const std::string& FptMemo::path() const { return s_->path; }

}  // namespace torvane::storage
