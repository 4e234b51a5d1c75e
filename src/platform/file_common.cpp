// The parts of an open file that are the same on every operating system: moving and
// destroying the handle. Opening, I/O, locks and closing live in posix/ and win32/.

#include "platform/file.h"

namespace torvane::platform {

File::File(File&& other) noexcept
    : fd_(other.fd_), os_error_(other.os_error_), read_only_(other.read_only_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    os_error_ = other.os_error_;
    read_only_ = other.read_only_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { close(); }

}  // namespace torvane::platform
