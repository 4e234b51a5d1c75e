#pragma once
// One run per medium: an exclusive lock that names the medium root, taken once without
// waiting and held until the guard goes or the process ends, however it ends (a kill
// included). It leaves no file on the medium, so nothing stray can be mastered with it.
//
// Linux: flock() on a descriptor of the medium root directory; every path that leads
// to the same directory (letter case, links) meets the same lock.
// Windows: a lock file in the system's temporary folder, named after the normalised
// full path of the medium root, opened exclusively and deleted when closed.
//
//   platform::MediumGuard guard = platform::MediumGuard::take(root);
//   if (guard.state() == platform::MediumGuard::State::busy) ...another run holds it...

#include <string_view>

namespace torvane::platform {

class MediumGuard {
 public:
  enum class State {
    held,         // this process holds the medium
    busy,         // another run holds it
    unavailable,  // no lock could be made (a missing medium folder): nothing held
  };

  MediumGuard() = default;
  MediumGuard(const MediumGuard&) = delete;
  MediumGuard& operator=(const MediumGuard&) = delete;
  MediumGuard(MediumGuard&& other) noexcept;
  MediumGuard& operator=(MediumGuard&& other) noexcept;
  ~MediumGuard();

  // One attempt on the medium root (a program path, see path.h).
  static MediumGuard take(std::string_view medium_root);

  State state() const { return state_; }
  void release();

 private:
  MediumGuard(State state, int handle) : state_(state), handle_(handle) {}
  State state_ = State::unavailable;
  int handle_ = -1;
};

}  // namespace torvane::platform
