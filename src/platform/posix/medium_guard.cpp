#include "platform/medium_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/path.h"

namespace torvane::platform {

// The lock belongs to the open directory description: it ends with the descriptor,
// which the system closes when the process ends. O_CLOEXEC keeps it out of programs
// the run might start.
MediumGuard MediumGuard::take(std::string_view medium_root) {
  std::string native = native_path(medium_root);
  if (native.empty()) native.assign(1, '.');
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return MediumGuard(State::unavailable, -1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return MediumGuard(State::held, fd);
    if (errno != EINTR) break;
  }
  const bool busy = errno == EWOULDBLOCK;
  ::close(fd);
  return MediumGuard(busy ? State::busy : State::unavailable, -1);
}

void MediumGuard::release() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  state_ = State::unavailable;
}

}  // namespace torvane::platform
