#pragma once
// What every fuzz target shares: a private scratch folder for the inputs that must be
// files, a failure handler that lets every storage failure come back as a result, and
// the check that turns a broken property into a crash the fuzzer records.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/failure.h"

namespace torvane::fuzz {

// A broken property: abort, so that libFuzzer keeps the input as a crash.
inline void require(bool condition) {
  if (!condition) std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One folder per process under the temporary folder (TMPDIR), made once and removed at
// exit, so that targets running side by side never share a file.
inline const std::string& scratch_folder() {
  // Never destroyed: the exit handler that removes the folder runs after the static
  // destructors.
  static const std::string& folder = *new std::string([] {
    std::random_device seed;
    std::filesystem::path p =
        std::filesystem::temp_directory_path() / ("torvane-fuzz-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(p);
    return p.string();
  }());
  static const bool removed_at_exit = [] {
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    return true;
  }();
  (void)removed_at_exit;
  return folder;
}

inline std::string scratch_path(std::string_view name) { return scratch_folder() + "/" + std::string(name); }

// Replaces the file's content with bytes.
inline void put_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string get_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every failure is answered "Default": the operation fails and its caller goes on.
inline void quiet_failures() {
  static const bool once = [] {
    platform::set_failure_handler([](const platform::Failure&) { return platform::FailureChoice::fail; });
    return true;
  }();
  (void)once;
}

}  // namespace torvane::fuzz
