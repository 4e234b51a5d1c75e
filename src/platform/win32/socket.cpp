#include "platform/socket.h"

#include "platform/win32/handle.h"

#include <ws2tcpip.h>

#include <algorithm>

#include "platform/deadline.h"

namespace torvane::platform {
namespace {

using Clock = DeadlineClock;
using win32::int_to_socket;
using win32::socket_to_int;

// Windows Sockets are started once, on first use, and stay up for the process.
bool sockets_ready() {
  static const bool ready = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

enum class Wait { read, write, connect };

// Waits until the socket can be read, written, or its connection attempt has ended.
// Returns 1 when ready, 0 on time-out, -1 on failure (a failed connection attempt
// counts as ready: SO_ERROR tells what happened).
int wait_for(SOCKET s, Wait what, Clock::time_point deadline) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (what == Wait::read) FD_SET(s, &readable);
  if (what != Wait::read) FD_SET(s, &writable);
  if (what == Wait::connect) FD_SET(s, &failed);
  const long left = remaining_ms(deadline);
  timeval timeout{left / 1000, (left % 1000) * 1000};
  const int n = ::select(0, &readable, &writable, &failed, &timeout);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}

NetStatus status_of(int err) {
  switch (err) {
    case WSAECONNREFUSED:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAEADDRNOTAVAIL: return NetStatus::refused;
    case WSAETIMEDOUT: return NetStatus::timed_out;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
    case WSAENETRESET:
    case WSAENOTCONN: return NetStatus::closed;
    default: return NetStatus::failed;
  }
}

void set_nonblocking(SOCKET s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}

// One connection attempt to one address; returns the socket or INVALID_SOCKET with
// status set.
SOCKET connect_one(const addrinfo& address, Clock::time_point deadline, NetStatus& status) {
  SOCKET s = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                          WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    status = NetStatus::failed;
    return INVALID_SOCKET;
  }
  BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  set_nonblocking(s);
  if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    const int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      status = status_of(err);
      ::closesocket(s);
      return INVALID_SOCKET;
    }
    const int ready = wait_for(s, Wait::connect, deadline);
    if (ready <= 0) {
      status = ready == 0 ? NetStatus::timed_out : NetStatus::failed;
      ::closesocket(s);
      return INVALID_SOCKET;
    }
    int so_error = 0;
    int len = sizeof so_error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
      so_error = ::WSAGetLastError();
    }
    if (so_error != 0) {
      status = status_of(so_error);
      ::closesocket(s);
      return INVALID_SOCKET;
    }
  }
  status = NetStatus::ok;
  return s;
}

}  // namespace

Socket Socket::connect(std::string_view host, std::uint16_t port, int timeout_ms) {
  Socket socket;
  if (!sockets_ready()) {
    socket.status_ = NetStatus::failed;
    return socket;
  }
  const auto deadline = deadline_after(timeout_ms);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string name(host);
  const std::string service = std::to_string(port);
  if (name.empty() || ::getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
    socket.status_ = NetStatus::resolve_failed;
    return socket;
  }
  NetStatus status = NetStatus::refused;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const SOCKET s = connect_one(*a, deadline, status);
    if (s != INVALID_SOCKET) {
      socket.fd_ = socket_to_int(s);
      break;
    }
    if (remaining_ms(deadline) == 0) {
      status = NetStatus::timed_out;
      break;
    }
  }
  ::freeaddrinfo(found);
  socket.status_ = status;
  return socket;
}

// Windows raises no signal for a peer that has gone: the send fails instead.
NetStatus Socket::send_all(std::span<const std::uint8_t> data, int timeout_ms) {
  if (fd_ < 0) return status_ = NetStatus::failed;
  const SOCKET s = int_to_socket(fd_);
  while (!data.empty()) {
    const int want = static_cast<int>(std::min<std::size_t>(data.size(), 1u << 20));
    const int n = ::send(s, reinterpret_cast<const char*>(data.data()), want, 0);
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    const int err = n == 0 ? 0 : ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      const int ready = wait_for(s, Wait::write, deadline_after(timeout_ms));
      if (ready == 0) return status_ = NetStatus::timed_out;
      if (ready < 0) return status_ = NetStatus::failed;
      continue;
    }
    return status_ = (n == 0 ? NetStatus::closed : status_of(err));
  }
  return status_ = NetStatus::ok;
}

Socket::Received Socket::receive(std::span<std::uint8_t> out, int timeout_ms) {
  if (fd_ < 0) return {status_ = NetStatus::failed, 0};
  if (out.empty()) return {NetStatus::ok, 0};
  const SOCKET s = int_to_socket(fd_);
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const int want = static_cast<int>(std::min<std::size_t>(out.size(), 1u << 20));
    const int n = ::recv(s, reinterpret_cast<char*>(out.data()), want, 0);
    if (n > 0) return {status_ = NetStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {status_ = NetStatus::closed, 0};
    const int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK) return {status_ = status_of(err), 0};
    const int ready = wait_for(s, Wait::read, deadline);
    if (ready == 0) return {status_ = NetStatus::timed_out, 0};
    if (ready < 0) return {status_ = NetStatus::failed, 0};
  }
}

void Socket::close() {
  if (fd_ >= 0) ::closesocket(int_to_socket(fd_));
  fd_ = -1;
}

// No SO_REUSEADDR here: on Windows it would let another socket take the same port.
Listener Listener::open_loopback(std::uint16_t port) {
  Listener listener;
  if (!sockets_ready()) return listener;
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return listener;
  set_nonblocking(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
    ::closesocket(s);
    return listener;
  }
  listener.fd_ = socket_to_int(s);
  listener.port_ = ntohs(address.sin_port);
  return listener;
}

Socket Listener::accept(int timeout_ms) {
  Socket socket;
  if (fd_ < 0) {
    socket.status_ = NetStatus::failed;
    return socket;
  }
  const SOCKET listening = int_to_socket(fd_);
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const SOCKET s = ::accept(listening, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      set_nonblocking(s);
      return Socket(socket_to_int(s));
    }
    const int err = ::WSAGetLastError();
    if (err == WSAECONNRESET) continue;  // the caller gave up before we took it
    if (err != WSAEWOULDBLOCK) {
      socket.status_ = NetStatus::failed;
      return socket;
    }
    const int ready = wait_for(listening, Wait::read, deadline);
    if (ready <= 0) {
      socket.status_ = ready == 0 ? NetStatus::timed_out : NetStatus::failed;
      return socket;
    }
  }
}

void Listener::close() {
  if (fd_ >= 0) ::closesocket(int_to_socket(fd_));
  fd_ = -1;
}

}  // namespace torvane::platform
