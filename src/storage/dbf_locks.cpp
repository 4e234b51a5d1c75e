#include "storage/dbf_locks.h"

#include <algorithm>

namespace torvane::storage::dbf {
namespace {

constexpr std::uint64_t kNtxBase = 1'000'000'000;
constexpr std::uint64_t kCdxStructuralBase = 0x7FFFFFFE;
constexpr std::uint64_t kCdxPlainBase = 0x40000000;

}  // namespace

LockScheme lock_scheme(Variant variant, bool structural_index) {
  if (variant == Variant::ntx) return {kNtxBase, kNtxBase + 1, 1'000'000'000, RecordLockRule::ntx_ascending};
  if (structural_index) return {kCdxStructuralBase, 0x77FFFFFF, 0x07FFFFFF, RecordLockRule::cdx_descending};
  return {kCdxPlainBase, kCdxPlainBase + 1, 0x3FFFFFFD, RecordLockRule::cdx_record_position};
}

std::uint64_t record_lock_offset(const LockScheme& scheme, std::uint32_t record, std::uint32_t header_length,
                                 std::uint32_t record_length) {
  switch (scheme.record_rule) {
    case RecordLockRule::ntx_ascending: return kNtxBase + record;
    case RecordLockRule::cdx_descending: return kCdxStructuralBase - record;
    case RecordLockRule::cdx_record_position:
      return kCdxPlainBase + header_length + std::uint64_t{record - 1} * record_length;
  }
  return 0;
}

void TableLocks::attach(platform::File* file, const LockScheme& scheme, std::uint32_t header_length,
                        std::uint32_t record_length) {
  file_ = file;
  scheme_ = scheme;
  header_length_ = header_length;
  record_length_ = record_length;
}

void TableLocks::change_scheme(const LockScheme& scheme) {
  release_all();
  scheme_ = scheme;
}

bool TableLocks::lock_append() {
  if (append_depth_ == 0 && !file_->lock_range(scheme_.append_byte, 1, platform::LockKind::exclusive, true))
    return false;
  ++append_depth_;
  return true;
}

void TableLocks::unlock_append() {
  if (append_depth_ == 0) return;
  if (--append_depth_ == 0) file_->unlock_range(scheme_.append_byte, 1);
}

bool TableLocks::lock_record(std::uint32_t record) {
  if (holds(record)) return true;
  const std::uint64_t at = record_lock_offset(scheme_, record, header_length_, record_length_);
  if (!file_->lock_range(at, 1, platform::LockKind::exclusive, false)) return false;
  records_.push_back(record);
  return true;
}

bool TableLocks::holds(std::uint32_t record) const {
  return file_locked_ || std::find(records_.begin(), records_.end(), record) != records_.end();
}

void TableLocks::unlock_records() {
  for (std::uint32_t record : records_)
    file_->unlock_range(record_lock_offset(scheme_, record, header_length_, record_length_), 1);
  records_.clear();
}

bool TableLocks::lock_file() {
  if (file_locked_) return true;
  unlock_records();
  if (!file_->lock_range(scheme_.file_first, scheme_.file_length, platform::LockKind::exclusive, false))
    return false;
  file_locked_ = true;
  return true;
}

void TableLocks::unlock_file() {
  if (!file_locked_) return;
  file_->unlock_range(scheme_.file_first, scheme_.file_length);
  file_locked_ = false;
}

void TableLocks::release_all() {
  if (file_ == nullptr) return;
  unlock_records();
  unlock_file();
  while (append_depth_ > 0) unlock_append();
}

}  // namespace torvane::storage::dbf
