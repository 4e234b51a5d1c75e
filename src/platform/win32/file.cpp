#include "platform/file.h"

#include <algorithm>
#include <string>

#include "platform/fault_injection.h"
#include "platform/path.h"
#include "platform/win32/handle.h"

namespace torvane::platform {
namespace {

using win32::handle_to_int;
using win32::int_to_handle;

// The largest piece handed to one ReadFile or WriteFile call.
constexpr std::size_t kMaxTransfer = 1u << 30;

// The system's own codes are the ones the program reports; the two "disk full" codes
// are one for the callers.
int error_code(DWORD err) {
  if (err == ERROR_HANDLE_DISK_FULL) return kOsDiskFull;
  return static_cast<int>(err);
}

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset & 0xFFFF'FFFFu);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

DWORD share_flags(Share share) {
  switch (share) {
    case Share::exclusive: return 0;
    case Share::shared:
    case Share::compatibility: return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  }
  return 0;
}

DWORD creation(Disposition disposition) {
  switch (disposition) {
    case Disposition::open_existing: return OPEN_EXISTING;
    case Disposition::create_always: return CREATE_ALWAYS;
    case Disposition::open_or_create: return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

// The file behind a handle, for the fault layer's report.
std::string handle_name(int fd) {
  char name[MAX_PATH * 2] = {};
  const DWORD n = ::GetFinalPathNameByHandleA(int_to_handle(fd), name, sizeof name, FILE_NAME_NORMALIZED);
  return n > 0 && n < sizeof name ? std::string(name, n) : "handle " + std::to_string(fd);
}

fault::Outcome strike(fault::Operation op, int fd) { return fault::strike(op, handle_name(fd)); }

}  // namespace

// Share modes are the system's own: an exclusive open lets nobody else open the file,
// a shared or plain one allows everything. A refused open is the sharing conflict (32).
File File::open(std::string_view path, Access access, Share share, Disposition disposition) {
  const std::string native = native_path(path);
  if (fault::armed() && (access == Access::read_write || disposition != Disposition::open_existing)) {
    fault::strike(disposition == Disposition::open_existing ? fault::Operation::open_for_writing
                                                            : fault::Operation::create,
                  native);
  }
  const DWORD wanted = access == Access::read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const HANDLE h = ::CreateFileA(native.c_str(), wanted, share_flags(share), nullptr, creation(disposition),
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  File file;
  if (h == INVALID_HANDLE_VALUE) {
    file.os_error_ = error_code(::GetLastError());
    return file;
  }
  file.fd_ = handle_to_int(h);
  file.read_only_ = access == Access::read;
  return file;
}

// A file from GetTempFileNameA in the folder GetTempPathA names, opened so that the
// system deletes it when the handle is closed.
File File::temporary() {
  File file;
  char folder[MAX_PATH + 1] = {};
  char name[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH || ::GetTempFileNameA(folder, "tvs", 0, name) == 0) {
    file.os_error_ = error_code(::GetLastError());
    return file;
  }
  if (fault::armed()) fault::strike(fault::Operation::create, name);
  const HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    file.os_error_ = error_code(::GetLastError());
    ::DeleteFileA(name);
    return file;
  }
  file.fd_ = handle_to_int(h);
  return file;
}

std::int64_t File::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const DWORD want = static_cast<DWORD>(std::min(out.size() - done, kMaxTransfer));
    OVERLAPPED ov = at_offset(offset + done);
    DWORD got = 0;
    if (!::ReadFile(int_to_handle(fd_), out.data() + done, want, &got, &ov)) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_HANDLE_EOF) break;
      os_error_ = error_code(err);
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t File::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  if (read_only_) {
    os_error_ = kOsAccessDenied;
    return -1;
  }
  bool disk_full = false;
  if (fault::armed()) {
    const fault::Outcome outcome = strike(fault::Operation::write, fd_);
    disk_full = outcome != fault::Outcome::proceed;
    in = in.first(fault::bytes_stored(outcome, in.size()));
  }
  std::size_t done = 0;
  while (done < in.size()) {
    const DWORD want = static_cast<DWORD>(std::min(in.size() - done, kMaxTransfer));
    OVERLAPPED ov = at_offset(offset + done);
    DWORD put = 0;
    if (!::WriteFile(int_to_handle(fd_), in.data() + done, want, &put, &ov) || put == 0) {
      os_error_ = error_code(::GetLastError());
      return -1;
    }
    done += put;
  }
  if (disk_full) {
    os_error_ = kOsDiskFull;
    return -1;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t File::size() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(int_to_handle(fd_), &size)) {
    os_error_ = error_code(::GetLastError());
    return -1;
  }
  return size.QuadPart;
}

bool File::truncate(std::uint64_t length) {
  if (read_only_) {
    os_error_ = kOsAccessDenied;
    return false;
  }
  if (fault::armed()) strike(fault::Operation::truncate, fd_);
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(length);
  const HANDLE h = int_to_handle(fd_);
  if (::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(h)) return true;
  os_error_ = error_code(::GetLastError());
  return false;
}

bool File::flush() {
  if (read_only_) return true;  // nothing of ours to write; the call needs write access
  if (fault::armed()) strike(fault::Operation::flush, fd_);
  if (::FlushFileBuffers(int_to_handle(fd_))) return true;
  os_error_ = error_code(::GetLastError());
  return false;
}

// LockFileEx takes 64-bit offsets and lengths, and ranges far beyond the end of the
// file. Without LOCKFILE_FAIL_IMMEDIATELY the call waits until the lock is granted.
bool File::lock_range(std::uint64_t first, std::uint64_t length, LockKind kind, bool wait) {
  OVERLAPPED ov = at_offset(first);
  DWORD flags = kind == LockKind::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
  if (!wait) flags |= LOCKFILE_FAIL_IMMEDIATELY;
  if (::LockFileEx(int_to_handle(fd_), flags, 0, static_cast<DWORD>(length & 0xFFFF'FFFFu),
                   static_cast<DWORD>(length >> 32), &ov)) {
    return true;
  }
  os_error_ = kOsLockViolation;
  return false;
}

bool File::unlock_range(std::uint64_t first, std::uint64_t length) {
  OVERLAPPED ov = at_offset(first);
  return ::UnlockFileEx(int_to_handle(fd_), 0, static_cast<DWORD>(length & 0xFFFF'FFFFu),
                        static_cast<DWORD>(length >> 32), &ov) != 0;
}

void File::close() {
  if (fd_ >= 0) ::CloseHandle(int_to_handle(fd_));
  fd_ = -1;
}

}  // namespace torvane::platform
