#include "storage/storage_error.h"

#include <array>

#include "platform/failure.h"

namespace torvane::storage {
namespace {

constexpr std::array<ErrorKind, 17> kErrors{{
    {kOpenError, 21, "Open error", true},
    {kMemoOpenError, 21, "Open error", true},
    {kIndexOpenError, 21, "Open error", true},
    {kCreateError, 20, "Create error", true},
    {kMemoCreateError, 20, "Create error", true},
    {kIndexCreateError, 20, "Create error", true},
    {kReadError, 23, "Read error", false},
    {kWriteError, 24, "Write error", false},
    {kCorruption, 32, "Corruption detected", false},
    {kDataTypeError, 33, "Data type error", false},
    {kDataWidthError, 34, "Data width error", false},
    {kLockRequired, 38, "Lock required", false},
    {kExclusiveRequired, 37, "Exclusive required", false},
    {kAppendLockFailed, 40, "Append lock failed", false},
    {kWriteNotAllowed, 39, "Write not allowed", false},
    {kIndexKeyTypeError, 33, "Data type error", false},
    {kLockFailure, 41, "Lock Failure", false},
}};

}  // namespace

std::string_view variant_name(Variant variant) { return variant == Variant::cdx ? "DBFCDX" : "DBFNTX"; }

ErrorKind error_kind(int subcode) {
  for (const ErrorKind& kind : kErrors)
    if (kind.subcode == subcode) return kind;
  return {subcode, 30, "Operation not supported", false};
}

std::string StorageError::message() const {
  std::string text = "Error ";
  text += variant_name(variant);
  text += '/';
  text += std::to_string(subcode);
  text += "  ";
  text += description();
  text += ": " + file;
  if (os_code != 0) text += " (DOS Error " + std::to_string(os_code) + ")";
  return text;
}

bool raise(const StorageError& error) {
  platform::Failure failure;
  failure.message = error.message();
  failure.can_retry = error_kind(error.subcode).can_retry;
  failure.can_default = true;
  if (error.subcode == kCorruption) failure.damaged_file = error.file;
  return platform::report_failure(failure) == platform::FailureChoice::retry;
}

}  // namespace torvane::storage
