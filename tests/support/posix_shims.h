#pragma once
// The few POSIX calls that tests use for scratch folders, provided for the Windows
// build (MinGW has no mkdtemp); the Windows build includes it in every test program.
// Nothing on other systems.

#ifdef _WIN32
#include <direct.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

// Replaces the trailing "XXXXXX" of pattern and creates that folder; pattern or null.
inline char* mkdtemp(char* pattern) {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const std::size_t length = std::strlen(pattern);
  if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = length - 6; i < length; ++i) pattern[i] = kChars[generator() % (sizeof kChars - 1)];
    if (::_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}
#endif
