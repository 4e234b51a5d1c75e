#pragma once
// The ISBN position table of one pool: one row per MAB2 record that carries a number
// (ISBN, ISSN, ISMN or EAN), in file order, with the record's label and the byte offset
// of its header line, and an index on ISBN. Rebuilt when missing or older than the MAB2
// file; the index when missing or older than the table.
//
//   field     type  width  content
//   ISBN      C     13     the number's key (isbn_key_of)
//   HEADER    C     24     the record label of the header line
//   POSITION  N     9      offset of the header line's first byte, from 0
//
// The table is built under a temporary name and renamed into place when complete. A
// record beyond offset 999,999,999 does not fit POSITION: the scan stops there and the
// pool gets a warning. A scan ended by Esc leaves a table that is kept for this run but
// dated before its MAB2 file (already when it takes its place), so that the next run
// builds it again.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/medium/pool_catalogue.h"
#include "storage/storage_error.h"

namespace torvane::app {

constexpr std::uint64_t kMaxPosition = 999'999'999;  // nine digits
constexpr std::size_t kScannedLineBytes = 1024;       // what the scan looks at of a line

struct PositionRow {
  std::string key;
  std::string label;
  std::uint64_t position = 0;
  friend bool operator==(const PositionRow&, const PositionRow&) = default;
};

// The record state of one pass over a MAB2 file. Lines go in with their offsets; a
// record's row comes out when the next header line (or the end) closes it. Lines with
// a number before the first header line count for the first record's label at
// position 0.
class PositionScan {
 public:
  explicit PositionScan(std::function<void(const PositionRow&)> emit) : emit_(std::move(emit)) {}

  void line(std::string_view text, std::uint64_t offset);
  void finish() { emit_pending(); }
  // The offset of the header line of the record being read.
  std::uint64_t pending_position() const { return position_; }

 private:
  void emit_pending();

  std::function<void(const PositionRow&)> emit_;
  std::string number_;
  std::string label_;
  std::uint64_t position_ = 0;
  PositionRow row_;  // handed out, its storage reused from row to row
};

// Whether a pool's position table is to be built anew, and why.
enum class PositionTableStaleness { current, missing, source_newer, incomplete, not_a_position_table };
const char* position_table_staleness_name(PositionTableStaleness staleness);  // "MAB2 file newer", ... (run report)
const char* position_table_staleness_text(PositionTableStaleness staleness);  // "MAB2-Datei neuer", ... (console)
PositionTableStaleness position_table_staleness(const PoolEntry& entry);

// The progress figure of a scan, to which the display adds "%  ":
// "12.3/29.0 MB, 85.1 MB/s, noch  0:00:02,  42" (megabytes read of the file, the pace so
// far, the time left at that pace, whole percent read). Drawn on a terminal only.
std::string scan_figure(std::uint64_t offset, std::uint64_t size, double seconds);

// The pool table step for one pool: staleness, table build, index build.
void update_position_table(const PoolEntry& entry, storage::Variant index_mode, bool exclusive);

}  // namespace torvane::app
