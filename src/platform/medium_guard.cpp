#include "platform/medium_guard.h"

#include <utility>

// Moving and ending a guard are the same on every system; taking and releasing the
// lock are in posix/ and win32/.

namespace torvane::platform {

MediumGuard::MediumGuard(MediumGuard&& other) noexcept
    : state_(std::exchange(other.state_, State::unavailable)), handle_(std::exchange(other.handle_, -1)) {}

MediumGuard& MediumGuard::operator=(MediumGuard&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::exchange(other.state_, State::unavailable);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

MediumGuard::~MediumGuard() { release(); }

}  // namespace torvane::platform
