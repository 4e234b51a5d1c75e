#pragma once
// Storage failures: general code, four-digit subcode, subsystem ("DBFCDX" or
// "DBFNTX"), description, file name and operating-system code. One table holds every
// subcode the storage layer raises; one function builds the message
//   "Error DBFCDX/1012  Corruption detected: pool.dbf (DOS Error 32)".
// A raised failure goes to the failure handler (platform/failure.h); raise() tells the
// caller whether to repeat the operation (Retry) or to let it fail (Default).

#include <string>
#include <string_view>

namespace torvane::storage {

enum class Variant { cdx, ntx };

// "DBFCDX" or "DBFNTX".
std::string_view variant_name(Variant variant);

enum Subcode : int {
  kOpenError = 1001,
  kMemoOpenError = 1002,
  kIndexOpenError = 1003,
  kCreateError = 1004,
  kMemoCreateError = 1005,
  kIndexCreateError = 1006,
  kReadError = 1010,
  kWriteError = 1011,
  kCorruption = 1012,
  kDataTypeError = 1020,
  kDataWidthError = 1021,
  kLockRequired = 1022,
  kExclusiveRequired = 1023,
  kAppendLockFailed = 1024,
  kWriteNotAllowed = 1025,
  kIndexKeyTypeError = 1026,
  kLockFailure = 1038,
};

struct ErrorKind {
  int subcode;
  int general_code;
  std::string_view description;
  bool can_retry;
};

// The entry for a subcode; unknown subcodes give general code 30 "Operation not supported".
ErrorKind error_kind(int subcode);

struct StorageError {
  int subcode = 0;
  Variant variant = Variant::cdx;
  std::string file;  // file name or operation, as the program built it
  int os_code = 0;   // 0 when the operating system reported nothing

  int general_code() const { return error_kind(subcode).general_code; }
  std::string_view description() const { return error_kind(subcode).description; }
  // "Error " + subsystem + "/" + subcode + "  " + description + ": " + file [+ " (DOS Error n)"]
  std::string message() const;
};

// Hands the failure to the failure handler. True: repeat the operation (Retry);
// false: let it fail (Default). Quit ends the process inside.
bool raise(const StorageError& error);

}  // namespace torvane::storage
