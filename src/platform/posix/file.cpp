#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/fault_injection.h"
#include "platform/path.h"

namespace torvane::platform {
namespace {

// The share-mode lock: one byte far beyond every lock offset of the table formats.
constexpr std::uint64_t kShareLockOffset = 0x4000'0000'0000'0000ULL;

int windows_code(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return kOsFileNotFound;
    case ENOTDIR: return kOsPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kOsAccessDenied;
    case EAGAIN: return kOsLockViolation;
    case ENOSPC: return kOsDiskFull;
    default: return err;
  }
}

bool ofd_lock(int fd, short type, std::uint64_t first, std::uint64_t length, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(first);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// The file behind a descriptor, for the fault layer's report.
std::string descriptor_name(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char target[4096];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : link;
}

fault::Outcome strike(fault::Operation op, int fd) { return fault::strike(op, descriptor_name(fd)); }

}  // namespace

File File::open(std::string_view path, Access access, Share share, Disposition disposition) {
  const std::string native = native_path(path);
  if (fault::armed() && (access == Access::read_write || disposition != Disposition::open_existing)) {
    fault::strike(disposition == Disposition::open_existing ? fault::Operation::open_for_writing
                                                            : fault::Operation::create,
                  native);
  }
  int flags = O_CLOEXEC;
  // A file to be created anew is cut only once its share lock is held, so that a
  // create refused for a sharing conflict leaves the other holder's file intact.
  if (disposition == Disposition::create_always) flags |= O_CREAT;
  if (disposition == Disposition::open_or_create) flags |= O_CREAT;
  // An exclusive lock (the share lock of an exclusive open, a record lock) needs a
  // descriptor open for writing, so a read access with a share mode asks for read and
  // write first and falls back to read only; writes through it are still refused.
  bool want_write_fd = access == Access::read_write || share != Share::compatibility;
  int fd = ::open(native.c_str(), flags | (want_write_fd ? O_RDWR : O_RDONLY), 0666);
  if (fd < 0 && access == Access::read && want_write_fd && (errno == EACCES || errno == EROFS)) {
    want_write_fd = false;
    fd = ::open(native.c_str(), flags | O_RDONLY, 0666);
  }
  File file;
  if (fd < 0) {
    file.os_error_ = windows_code(errno);
    return file;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    file.os_error_ = kOsAccessDenied;
    return file;
  }
  if (share != Share::compatibility) {
    const short type = (share == Share::exclusive && want_write_fd) ? F_WRLCK : F_RDLCK;
    if (!ofd_lock(fd, type, kShareLockOffset, 1, false)) {
      ::close(fd);
      file.os_error_ = kOsSharingViolation;
      return file;
    }
  }
  if (disposition == Disposition::create_always && ::ftruncate(fd, 0) != 0) {
    file.os_error_ = windows_code(errno);
    ::close(fd);
    return file;
  }
  file.fd_ = fd;
  file.read_only_ = access == Access::read;
  return file;
}

File File::temporary() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/torvane-XXXXXX";
  if (fault::armed()) fault::strike(fault::Operation::create, pattern);
  File file;
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    file.os_error_ = windows_code(errno);
    return file;
  }
  ::unlink(pattern.c_str());
  file.fd_ = fd;
  return file;
}

std::int64_t File::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      os_error_ = windows_code(errno);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
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
    ssize_t n = ::pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      os_error_ = windows_code(errno);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  if (disk_full) {
    os_error_ = kOsDiskFull;
    return -1;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t File::size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    os_error_ = windows_code(errno);
    return -1;
  }
  return st.st_size;
}

bool File::truncate(std::uint64_t length) {
  if (read_only_) {
    os_error_ = kOsAccessDenied;
    return false;
  }
  if (fault::armed()) strike(fault::Operation::truncate, fd_);
  if (::ftruncate(fd_, static_cast<off_t>(length)) == 0) return true;
  os_error_ = windows_code(errno);
  return false;
}

bool File::flush() {
  if (fault::armed()) strike(fault::Operation::flush, fd_);
  if (::fdatasync(fd_) == 0) return true;
  os_error_ = windows_code(errno);
  return false;
}

bool File::lock_range(std::uint64_t first, std::uint64_t length, LockKind kind, bool wait) {
  if (ofd_lock(fd_, kind == LockKind::shared ? F_RDLCK : F_WRLCK, first, length, wait)) return true;
  os_error_ = kOsLockViolation;
  return false;
}

bool File::unlock_range(std::uint64_t first, std::uint64_t length) {
  return ofd_lock(fd_, F_UNLCK, first, length, false);
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace torvane::platform
