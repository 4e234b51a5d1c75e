#pragma once
// An open file with explicit offsets, share modes and byte-range locks.
//
// Share modes are emulated with one lock on a reserved range far beyond every lock
// offset a table format uses: a shared open takes it shared, an exclusive open takes it
// exclusive. A refused lock is the sharing conflict (os_error 32). Byte-range locks
// belong to the handle (open file description), not to the process, so two handles on
// one file in the same process exclude each other as two processes would.
//
// Paths are program paths (see path.h); the file is opened at native_path(path).
// Failures are reported by results; os_error() then holds a Windows-style code
// (2 not found, 3 path not found, 5 access denied, 32 sharing conflict, 33 lock
// conflict, 112 disk full, 0 none).

#include <cstdint>
#include <span>
#include <string_view>

namespace torvane::platform {

enum class Access { read, read_write };
enum class Share {
  exclusive,      // nobody else may open the file
  shared,         // everybody may open it shared as well
  compatibility,  // no share lock at all (plain files: logs, text files)
};
enum class Disposition {
  open_existing,   // fail when the file is missing
  create_always,   // create, or truncate an existing file
  open_or_create,  // open, create when missing
};
enum class LockKind { shared, exclusive };

constexpr int kOsFileNotFound = 2;
constexpr int kOsPathNotFound = 3;
constexpr int kOsAccessDenied = 5;
constexpr int kOsSharingViolation = 32;
constexpr int kOsLockViolation = 33;
constexpr int kOsDiskFull = 112;

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Opens path; check is_open(), and os_error() when it is not.
  static File open(std::string_view path, Access access, Share share, Disposition disposition);
  // A fresh temporary file in the system's temporary folder, deleted when closed.
  static File temporary();

  bool is_open() const { return fd_ >= 0; }
  int os_error() const { return os_error_; }

  // Bytes read (fewer at the end of the file), or -1 on failure.
  std::int64_t read_at(std::uint64_t offset, std::span<std::uint8_t> out);
  // Bytes written (all of them unless the call failed), or -1 on failure.
  std::int64_t write_at(std::uint64_t offset, std::span<const std::uint8_t> in);
  // Size in bytes, or -1 on failure.
  std::int64_t size();
  bool truncate(std::uint64_t length);
  bool flush();

  // One attempt unless wait is true; then retried until granted.
  bool lock_range(std::uint64_t first, std::uint64_t length, LockKind kind, bool wait);
  bool unlock_range(std::uint64_t first, std::uint64_t length);

  void close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
  int os_error_ = 0;
  bool read_only_ = false;  // opened for reading: writes and cuts are refused
};

}  // namespace torvane::platform
