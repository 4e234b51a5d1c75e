// The parts of the socket layer that are the same on every operating system: status
// names, moving and destroying handles, sending text. Connecting, sending, receiving
// and closing live in posix/ and win32/.

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/socket.h"

namespace torvane::platform {

const char* net_status_name(NetStatus status) {
  switch (status) {
    case NetStatus::ok: return "ok";
    case NetStatus::resolve_failed: return "resolve_failed";
    case NetStatus::refused: return "refused";
    case NetStatus::timed_out: return "timed_out";
    case NetStatus::closed: return "closed";
    case NetStatus::failed: return "failed";
    case NetStatus::untrusted: return "untrusted";
  }
  return "unknown";
}

Socket::Socket(Socket&& other) noexcept : fd_(other.fd_), status_(other.status_) { other.fd_ = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    status_ = other.status_;
    other.fd_ = -1;
  }
  return *this;
}

Socket::~Socket() { close(); }

NetStatus Socket::send_all(std::string_view data, int timeout_ms) {
  return send_all(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), timeout_ms);
}

Listener::Listener(Listener&& other) noexcept : fd_(other.fd_), port_(other.port_) { other.fd_ = -1; }

Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    port_ = other.port_;
    other.fd_ = -1;
  }
  return *this;
}

Listener::~Listener() { close(); }

}  // namespace torvane::platform
