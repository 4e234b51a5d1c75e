#pragma once
// Deadlines for the socket layer's waits: an operation fixes one point in time when it
// begins, and every wait inside it gets only the time that is left until then.

#include <chrono>

namespace torvane::platform {

using DeadlineClock = std::chrono::steady_clock;

// The point timeout_ms from now; a negative time-out counts as none left.
inline DeadlineClock::time_point deadline_after(int timeout_ms) {
  return DeadlineClock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

// Milliseconds left until the deadline; 0 once it has passed.
inline int remaining_ms(DeadlineClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DeadlineClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace torvane::platform
