#pragma once
// Byte-range locks of a table opened shared. Other software that opens the medium's
// tables shared uses the same offsets, all beyond any real file size:
//
//   variant, state            record n                  whole file                 append/header
//   DBFNTX                    1,000,000,000 + n         1,000,000,001 +1e9         1,000,000,000
//   DBFCDX, structural flag   0x7FFFFFFE - n            0x77FFFFFF +0x07FFFFFF     0x7FFFFFFE
//   DBFCDX, no flag           0x40000000 + record pos   0x40000001 +0x3FFFFFFD     0x40000000
//
// Each is one byte except the whole-file range. The append/header byte is waited for;
// record and whole-file locks get one attempt. While the whole file is locked, record
// locks succeed without taking bytes. An exclusive table takes no byte locks at all.

#include <cstdint>
#include <vector>

#include "platform/file.h"
#include "storage/storage_error.h"

namespace torvane::storage::dbf {

enum class RecordLockRule { ntx_ascending, cdx_descending, cdx_record_position };

struct LockScheme {
  std::uint64_t append_byte = 0;
  std::uint64_t file_first = 0;
  std::uint64_t file_length = 0;
  RecordLockRule record_rule = RecordLockRule::ntx_ascending;
};

// The scheme of a variant; for DBFCDX it depends on header byte 28 bit 0.
LockScheme lock_scheme(Variant variant, bool structural_index);
std::uint64_t record_lock_offset(const LockScheme& scheme, std::uint32_t record, std::uint32_t header_length,
                                 std::uint32_t record_length);

// The locks one table handle holds.
class TableLocks {
 public:
  void attach(platform::File* file, const LockScheme& scheme, std::uint32_t header_length,
              std::uint32_t record_length);
  // Switches the scheme (the structural index was created); releases every lock first.
  void change_scheme(const LockScheme& scheme);

  bool lock_append();  // waits; counted, so the header write inside an append does not retake it
  void unlock_append();
  bool append_locked() const { return append_depth_ > 0; }

  bool lock_record(std::uint32_t record);  // one attempt; true at once when held or file-locked
  bool holds(std::uint32_t record) const;
  void unlock_records();

  bool lock_file();  // one attempt
  bool file_locked() const { return file_locked_; }
  void unlock_file();

  void release_all();

 private:
  platform::File* file_ = nullptr;
  LockScheme scheme_;
  std::uint32_t header_length_ = 0;
  std::uint32_t record_length_ = 0;
  int append_depth_ = 0;
  bool file_locked_ = false;
  std::vector<std::uint32_t> records_;
};

}  // namespace torvane::storage::dbf
