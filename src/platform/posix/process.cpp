#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace torvane::platform {
unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

// Signal 0 only asks whether the process exists; EPERM means it does, under another user.
bool process_running(unsigned long id) {
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<unsigned long>(pid) != id) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string executable_path() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace torvane::platform
