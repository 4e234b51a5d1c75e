#include "platform/clock.h"

#include <windows.h>

namespace torvane::platform {
namespace {

// 100-nanosecond intervals between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr std::int64_t kUnixEpochIn100ns = 116'444'736'000'000'000LL;

}  // namespace

LocalTime local_now() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

std::uint64_t steady_milliseconds() { return ::GetTickCount64(); }

std::int64_t wall_clock_nanoseconds() {
  FILETIME ft{};
  ::GetSystemTimePreciseAsFileTime(&ft);
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return (ticks - kUnixEpochIn100ns) * 100;
}

}  // namespace torvane::platform
