#pragma once
// What the benchmark programs share: sizes taken from the environment, the clocks of a
// timed part, and failures reported on standard error instead of a choice box.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/failure.h"

namespace torvane::bench {

// The positive number in the environment variable `name`, else `fallback`.
inline std::uint64_t env_count(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  const long long value = text != nullptr ? std::atoll(text) : 0;
  return value > 0 ? static_cast<std::uint64_t>(value) : fallback;
}

// Wall-clock seconds since `start`.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Wall-clock and processor time at the start of one timed part.
struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
};

// The best of the timed parts, in seconds of each kind.
struct Best {
  double wall = 1e9, cpu = 1e9;
  void take(const Clock& start) {
    wall = std::min(wall, seconds_since(start.wall));
    cpu = std::min(cpu, static_cast<double>(std::clock() - start.cpu) / CLOCKS_PER_SEC);
  }
};

// Every failure is printed on standard error and answered with `choice`.
inline void print_failures(platform::FailureChoice choice) {
  platform::set_failure_handler([choice](const platform::Failure& failure) {
    std::fprintf(stderr, "%s\n", failure.message.c_str());
    return choice;
  });
}

}  // namespace torvane::bench
