#pragma once
// Kernel handles in the int members of the platform classes. Windows keeps handle
// values within 32 bits so that 32- and 64-bit processes can share them: a handle may
// be truncated to 32 bits and sign-extended back. Valid handles are small positive
// numbers; INVALID_HANDLE_VALUE becomes -1, which the classes read as "not open".

#include <cstdint>

#include <winsock2.h>
#include <windows.h>

namespace torvane::platform::win32 {

inline int handle_to_int(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE || handle == nullptr ? -1 : static_cast<int>(::HandleToLong(handle));
}
inline HANDLE int_to_handle(int value) { return value < 0 ? INVALID_HANDLE_VALUE : ::LongToHandle(value); }

inline int socket_to_int(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<int>(static_cast<std::int32_t>(socket));
}
inline SOCKET int_to_socket(int value) {
  return value < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<std::intptr_t>(value));
}

}  // namespace torvane::platform::win32
