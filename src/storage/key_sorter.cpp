#include "storage/key_sorter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <queue>
#include <vector>

#include "storage/byte_order.h"

namespace torvane::storage {
namespace {

// An entry is the key bytes followed by the record number in big-endian order, so that
// comparing whole entries as unsigned bytes orders them by key, then record number.
// Entries of one sort all have the same width (key length + 4) and lie side by side.
constexpr std::size_t kRecordBytes = 4;
// The table is read in blocks of as many whole records as fit in this many bytes.
constexpr std::size_t kReadBlock = 65'535;
// Below this many entries a bucket is finished by insertion sort.
constexpr std::size_t kSmallBucket = 32;
// A run or merge buffer never holds fewer entries than this, however small the budget.
constexpr std::size_t kMinBufferEntries = 16;

// In-place most-significant-byte radix sort of fixed-width entries; the byte at
// `depth` decides the bucket, then every bucket is sorted on the following bytes.
// kStride is the entry width when it is known at compile time (the moves of entries
// are then plain loads and stores, not library calls), 0 when only at run time.
template <std::size_t kStride>
class EntrySorter {
 public:
  explicit EntrySorter(std::size_t stride) : stride_(kStride != 0 ? kStride : stride), hold_(stride_), swap_(stride_) {}

  void sort(std::uint8_t* base, std::size_t n) { sort_from(base, n, 0); }

 private:
  std::size_t width() const { return kStride != 0 ? kStride : stride_; }
  std::uint8_t* at(std::uint8_t* base, std::size_t i) const { return base + i * width(); }

  void sort_from(std::uint8_t* base, std::size_t n, std::size_t depth) {
    for (;;) {
      if (n < 2 || depth >= width()) return;
      if (n < kSmallBucket) return insertion_sort(base, n, depth);
      std::array<std::size_t, 256> count{};
      for (std::size_t i = 0; i < n; ++i) ++count[at(base, i)[depth]];
      // All entries share this byte: go on with the next one without moving anything.
      if (count[at(base, 0)[depth]] == n) {
        ++depth;
        continue;
      }
      std::array<std::size_t, 257> start{};
      for (int b = 0; b < 256; ++b) start[b + 1] = start[b] + count[b];
      distribute(base, depth, start);
      for (int b = 0; b < 256; ++b)
        if (count[b] > 1) sort_from(at(base, start[b]), count[b], depth + 1);
      return;
    }
  }

  // Moves every entry into its bucket by following cycles of displaced entries.
  void distribute(std::uint8_t* base, std::size_t depth, const std::array<std::size_t, 257>& start) {
    std::array<std::size_t, 256> next{};
    for (int b = 0; b < 256; ++b) next[b] = start[b];
    for (int b = 0; b < 256; ++b) {
      while (next[b] < start[b + 1]) {
        std::uint8_t* slot = at(base, next[b]);
        if (slot[depth] == b) {
          ++next[b];
          continue;
        }
        std::memcpy(hold_.data(), slot, width());
        while (hold_[depth] != b) {
          std::uint8_t* target = at(base, next[hold_[depth]]++);
          std::memcpy(swap_.data(), target, width());
          std::memcpy(target, hold_.data(), width());
          std::swap(hold_, swap_);
        }
        std::memcpy(slot, hold_.data(), width());
        ++next[b];
      }
    }
  }

  // Entries of one bucket share their first `depth` bytes, so comparing them whole
  // gives the same order as comparing from depth on.
  bool greater(const std::uint8_t* a, const std::uint8_t* b, std::size_t depth) const {
    if constexpr (kStride == 13 + kRecordBytes) {
      const std::uint64_t a0 = load_u64be(a), b0 = load_u64be(b);
      if (a0 != b0) return a0 > b0;
      const std::uint64_t a1 = load_u64be(a + 8), b1 = load_u64be(b + 8);
      if (a1 != b1) return a1 > b1;
      return a[16] > b[16];
    } else {
      return std::memcmp(a + depth, b + depth, width() - depth) > 0;
    }
  }

  static std::uint64_t load_u64be(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
  }

  void insertion_sort(std::uint8_t* base, std::size_t n, std::size_t depth) {
    for (std::size_t i = 1; i < n; ++i) {
      std::uint8_t* item = at(base, i);
      std::size_t j = i;
      while (j > 0 && greater(at(base, j - 1), item, depth)) --j;
      if (j == i) continue;
      std::memcpy(hold_.data(), item, width());
      std::memmove(at(base, j + 1), at(base, j), (i - j) * width());
      std::memcpy(at(base, j), hold_.data(), width());
    }
  }

  std::size_t stride_;
  std::vector<std::uint8_t> hold_;
  std::vector<std::uint8_t> swap_;
};

// Sorts n entries of the given width: the width of 13-byte keys (every ISBN index of
// the system) with moves the compiler sees the size of, any other one generically.
void sort_entries(std::uint8_t* base, std::size_t n, std::size_t stride) {
  if (stride == 13 + kRecordBytes) {
    EntrySorter<13 + kRecordBytes>(stride).sort(base, n);
  } else {
    EntrySorter<0>(stride).sort(base, n);
  }
}

// Reads the table in blocks and hands out one entry per record, in record-number order.
class RecordReader {
 public:
  RecordReader(const KeySource& source, Variant variant)
      : source_(source), variant_(variant),
        per_block_(std::max<std::size_t>(1, kReadBlock / std::max<std::uint32_t>(1, source.record_length))),
        block_(per_block_ * source.record_length) {}

  // Fills `out` (room for `max` entries) with the next entries; returns how many, or -1
  // when the table could not be read (the failure has been raised).
  std::int64_t fill(std::uint8_t* out, std::size_t max) {
    std::size_t done = 0;
    const std::size_t stride = source_.key_length + kRecordBytes;
    while (done < max && next_record_ <= source_.record_count) {
      if (in_block_ == used_ && !read_block()) return -1;
      const std::size_t take = std::min(max - done, used_ - in_block_);
      for (std::size_t i = 0; i < take; ++i) {
        const std::uint8_t* record = block_.data() + (in_block_ + i) * source_.record_length;
        std::uint8_t* entry = out + (done + i) * stride;
        std::memcpy(entry, record + source_.key_offset, source_.key_length);
        put_u32be(std::span<std::uint8_t>(entry + source_.key_length, kRecordBytes), next_record_++);
      }
      in_block_ += take;
      done += take;
    }
    return static_cast<std::int64_t>(done);
  }

 private:
  bool read_block() {
    const std::uint32_t left = source_.record_count - next_record_ + 1;
    const std::size_t records = std::min<std::size_t>(per_block_, left);
    const std::size_t bytes = records * source_.record_length;
    const std::uint64_t offset =
        source_.header_length + std::uint64_t{next_record_ - 1} * source_.record_length;
    for (;;) {
      const std::int64_t got = source_.table->read_at(offset, std::span(block_.data(), bytes));
      if (got == static_cast<std::int64_t>(bytes)) break;
      const int os = got < 0 ? source_.table->os_error() : 0;
      if (!raise({kReadError, variant_, source_.table_path, os})) return false;
    }
    in_block_ = 0;
    used_ = records;
    return true;
  }

  const KeySource& source_;
  Variant variant_;
  std::size_t per_block_;
  std::vector<std::uint8_t> block_;
  std::size_t in_block_ = 0;
  std::size_t used_ = 0;
  std::uint32_t next_record_ = 1;
};

// The key and the record number of an entry.
void read_entry(const std::uint8_t* entry, std::size_t key_length, std::string_view& key, std::uint32_t& record) {
  key = std::string_view(reinterpret_cast<const char*>(entry), key_length);
  record = get_u32be(std::span<const std::uint8_t>(entry + key_length, kRecordBytes));
}

class MemoryKeys final : public SortedKeys {
 public:
  MemoryKeys(std::vector<std::uint8_t> entries, std::size_t key_length)
      : entries_(std::move(entries)), key_length_(key_length), stride_(key_length + kRecordBytes),
        count_(entries_.size() / stride_) {}

  bool next(std::string_view& key, std::uint32_t& record) override {
    if (position_ >= count_) return false;
    read_entry(entries_.data() + position_++ * stride_, key_length_, key, record);
    return true;
  }
  bool failed() const override { return false; }
  std::uint64_t count() const override { return count_; }

 private:
  std::vector<std::uint8_t> entries_;
  std::size_t key_length_;
  std::size_t stride_;
  std::uint64_t count_;
  std::uint64_t position_ = 0;
};

// One sorted run in the temporary file, read back through a buffer.
struct Run {
  std::uint64_t offset = 0;  // of the next entry not yet buffered
  std::uint64_t left = 0;    // entries not yet buffered
  std::vector<std::uint8_t> buffer;
  std::size_t buffered = 0;
  std::size_t position = 0;
};

class MergedKeys final : public SortedKeys {
 public:
  MergedKeys(platform::File file, std::vector<Run> runs, std::size_t key_length, std::uint64_t count,
             Variant variant)
      : file_(std::move(file)), runs_(std::move(runs)), key_length_(key_length),
        stride_(key_length + kRecordBytes), count_(count), variant_(variant),
        heap_(Greater{this}) {}

  // Loads the first entries of every run; false when the temporary file cannot be read.
  bool start() {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      if (!refill(runs_[i])) return false;
      if (runs_[i].buffered > 0) heap_.push(i);
    }
    return true;
  }

  bool next(std::string_view& key, std::uint32_t& record) override {
    if (failed_) return false;
    if (last_ != kNone) {
      Run& run = runs_[last_];
      if (++run.position == run.buffered && !refill(run)) return false;
      if (run.position < run.buffered) heap_.push(last_);
      last_ = kNone;
    }
    if (heap_.empty()) return false;
    last_ = heap_.top();
    heap_.pop();
    read_entry(current(last_), key_length_, key, record);
    return true;
  }
  bool failed() const override { return failed_; }
  std::uint64_t count() const override { return count_; }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  struct Greater {
    const MergedKeys* self;
    bool operator()(std::size_t a, std::size_t b) const {
      return std::memcmp(self->current(a), self->current(b), self->stride_) > 0;
    }
  };

  const std::uint8_t* current(std::size_t run) const {
    const Run& r = runs_[run];
    return r.buffer.data() + r.position * stride_;
  }

  bool refill(Run& run) {
    const std::size_t capacity = run.buffer.size() / stride_;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, run.left));
    run.position = 0;
    run.buffered = take;
    if (take == 0) return true;
    const std::size_t bytes = take * stride_;
    const std::int64_t got = file_.read_at(run.offset, std::span(run.buffer.data(), bytes));
    if (got != static_cast<std::int64_t>(bytes)) {
      raise({kReadError, variant_, "temporary sort file (read)", got < 0 ? file_.os_error() : 0});
      failed_ = true;
      run.buffered = 0;
      return false;
    }
    run.offset += bytes;
    run.left -= take;
    return true;
  }

  platform::File file_;
  std::vector<Run> runs_;
  std::size_t key_length_;
  std::size_t stride_;
  std::uint64_t count_;
  Variant variant_;
  std::priority_queue<std::size_t, std::vector<std::size_t>, Greater> heap_;
  std::size_t last_ = kNone;
  bool failed_ = false;
};

bool source_is_sound(const KeySource& source, Variant variant) {
  const bool sound = source.table != nullptr && source.key_length > 0 && source.record_length > 0 &&
                     std::uint64_t{source.key_offset} + source.key_length <= source.record_length;
  if (!sound) raise({kCorruption, variant, source.table_path, 0});
  return sound;
}

std::unique_ptr<SortedKeys> sort_in_memory(const KeySource& source, Variant variant,
                                           std::vector<std::uint8_t>& entries) {
  const std::size_t stride = source.key_length + kRecordBytes;
  RecordReader reader(source, variant);
  if (reader.fill(entries.data(), source.record_count) != source.record_count) return nullptr;
  sort_entries(entries.data(), source.record_count, stride);
  return std::make_unique<MemoryKeys>(std::move(entries), source.key_length);
}

std::unique_ptr<SortedKeys> sort_with_runs(const KeySource& source, Variant variant, std::size_t budget) {
  const std::size_t stride = source.key_length + kRecordBytes;
  const std::size_t run_entries = std::max(kMinBufferEntries, budget / stride);
  platform::File file = platform::File::temporary();
  if (!file.is_open()) {
    raise({kWriteError, variant, "temporary sort file (create)", file.os_error()});
    return nullptr;
  }
  std::vector<Run> runs;
  {
    RecordReader reader(source, variant);
    std::vector<std::uint8_t> buffer(run_entries * stride);
    std::uint64_t written = 0;
    for (;;) {
      const std::int64_t got = reader.fill(buffer.data(), run_entries);
      if (got < 0) return nullptr;
      if (got == 0) break;
      const std::size_t n = static_cast<std::size_t>(got);
      sort_entries(buffer.data(), n, stride);
      const std::span<const std::uint8_t> bytes(buffer.data(), n * stride);
      if (file.write_at(written, bytes) != static_cast<std::int64_t>(bytes.size())) {
        raise({kWriteError, variant, "temporary sort file (write)", file.os_error()});
        return nullptr;
      }
      runs.push_back({written, n, {}, 0, 0});
      written += bytes.size();
    }
  }
  // The run buffer is gone; the merge shares the same budget among the runs.
  const std::size_t per_run = std::max(kMinBufferEntries, budget / std::max<std::size_t>(1, runs.size()) / stride);
  for (Run& run : runs) run.buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(per_run, run.left)) * stride);
  auto merged = std::make_unique<MergedKeys>(std::move(file), std::move(runs), source.key_length,
                                             source.record_count, variant);
  if (!merged->start()) return nullptr;
  return merged;
}

}  // namespace

std::unique_ptr<SortedKeys> sort_keys(const KeySource& source, const IndexOptions& options) {
  if (!source_is_sound(source, options.variant)) return nullptr;
  const std::size_t stride = source.key_length + kRecordBytes;
  const std::uint64_t bytes = std::uint64_t{source.record_count} * stride;
  std::size_t budget = std::max<std::size_t>(options.sort_memory_budget, 1);
  if (bytes <= budget) {
    std::vector<std::uint8_t> entries;
    try {
      entries.resize(static_cast<std::size_t>(bytes));
    } catch (const std::bad_alloc&) {
      // Memory for all keys cannot be had: sort in runs within a modest budget instead.
      budget = std::min<std::size_t>(budget, std::size_t{64} << 20);
      return sort_with_runs(source, options.variant, budget);
    }
    return sort_in_memory(source, options.variant, entries);
  }
  return sort_with_runs(source, options.variant, budget);
}

}  // namespace torvane::storage
