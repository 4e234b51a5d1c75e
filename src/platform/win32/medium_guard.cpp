#include "platform/medium_guard.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/path.h"
#include "platform/win32/handle.h"  // <winsock2.h> before <windows.h>

namespace torvane::platform {
namespace {

using win32::handle_to_int;
using win32::int_to_handle;

// The normalised full path of the medium root, lower-case and without a final "\", so
// that every spelling of one folder gives one name.
std::string full_path_of(std::string_view medium_root) {
  const std::string native = native_path(medium_root.empty() ? std::string_view(".") : medium_root);
  char full[MAX_PATH * 4] = {};
  const DWORD n = ::GetFullPathNameA(native.c_str(), sizeof full, full, nullptr);
  std::string path = n > 0 && n < sizeof full ? std::string(full, n) : native;
  for (char& c : path) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

// 64-bit FNV-1a: a fixed-length file name for a path of any length.
std::uint64_t name_hash(std::string_view text) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ULL;
  }
  return h;
}

}  // namespace

// The lock file lives in the temporary folder, never on the medium. Opened without
// sharing, a second open fails with a sharing violation; the system deletes it when the
// last handle closes, which a killed process does too.
MediumGuard MediumGuard::take(std::string_view medium_root) {
  const std::string full = full_path_of(medium_root);
  if (::GetFileAttributesA(full.c_str()) == INVALID_FILE_ATTRIBUTES) return MediumGuard(State::unavailable, -1);
  char folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return MediumGuard(State::unavailable, -1);
  char name[32];
  std::snprintf(name, sizeof name, "torvane-%016llx.lock", static_cast<unsigned long long>(name_hash(full)));
  const std::string lock_path = std::string(folder) + name;
  const HANDLE h = ::CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h != INVALID_HANDLE_VALUE) return MediumGuard(State::held, handle_to_int(h));
  return MediumGuard(::GetLastError() == ERROR_SHARING_VIOLATION ? State::busy : State::unavailable, -1);
}

void MediumGuard::release() {
  if (handle_ >= 0) ::CloseHandle(int_to_handle(handle_));
  handle_ = -1;
  state_ = State::unavailable;
}

}  // namespace torvane::platform
