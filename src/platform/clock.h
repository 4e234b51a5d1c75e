#pragma once
// The clock: local date and time for reports, a steady millisecond count for intervals.

#include <cstdint>

#include "platform/fs.h"

namespace torvane::platform {

LocalTime local_now();              // local time, to the second
std::uint64_t steady_milliseconds();  // never goes back; for intervals only
// Wall-clock time in nanoseconds since 1970, the scale of FileStamp's times.
std::int64_t wall_clock_nanoseconds();

}  // namespace torvane::platform
