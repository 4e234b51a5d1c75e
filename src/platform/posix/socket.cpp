#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/deadline.h"

namespace torvane::platform {
namespace {

using Clock = DeadlineClock;

// Waits for events on fd until the deadline. Returns the events seen, 0 on time-out,
// -1 on failure. Interrupted waits go on with the time that is left.
int wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

NetStatus status_of(int err) {
  switch (err) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EADDRNOTAVAIL: return NetStatus::refused;
    case ETIMEDOUT: return NetStatus::timed_out;
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
    case ENOTCONN: return NetStatus::closed;
    default: return NetStatus::failed;
  }
}

void set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// One connection attempt to one address; returns the descriptor or -1 with status set.
int connect_one(const addrinfo& address, Clock::time_point deadline, NetStatus& status) {
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) {
    status = NetStatus::failed;
    return -1;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  set_nonblocking(fd);
  int rc;
  do {
    rc = ::connect(fd, address.ai_addr, address.ai_addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EINPROGRESS) {
    status = status_of(errno);
    ::close(fd);
    return -1;
  }
  if (rc != 0) {
    int events = wait_for(fd, POLLOUT, deadline);
    if (events <= 0) {
      status = events == 0 ? NetStatus::timed_out : NetStatus::failed;
      ::close(fd);
      return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      status = status_of(err);
      ::close(fd);
      return -1;
    }
  }
  status = NetStatus::ok;
  return fd;
}

}  // namespace

Socket Socket::connect(std::string_view host, std::uint16_t port, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string name(host);
  const std::string service = std::to_string(port);
  Socket socket;
  if (name.empty() || ::getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
    socket.status_ = NetStatus::resolve_failed;
    return socket;
  }
  NetStatus status = NetStatus::refused;
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = connect_one(*a, deadline, status);
    if (fd >= 0) {
      socket.fd_ = fd;
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

NetStatus Socket::send_all(std::span<const std::uint8_t> data, int timeout_ms) {
  if (fd_ < 0) return status_ = NetStatus::failed;
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int events = wait_for(fd_, POLLOUT, deadline_after(timeout_ms));
      if (events == 0) return status_ = NetStatus::timed_out;
      if (events < 0) return status_ = NetStatus::failed;
      continue;
    }
    return status_ = (n == 0 ? NetStatus::closed : status_of(errno));
  }
  return status_ = NetStatus::ok;
}

Socket::Received Socket::receive(std::span<std::uint8_t> out, int timeout_ms) {
  if (fd_ < 0) return {status_ = NetStatus::failed, 0};
  if (out.empty()) return {NetStatus::ok, 0};
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
    if (n > 0) return {status_ = NetStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {status_ = NetStatus::closed, 0};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {status_ = status_of(errno), 0};
    int events = wait_for(fd_, POLLIN, deadline);
    if (events == 0) return {status_ = NetStatus::timed_out, 0};
    if (events < 0) return {status_ = NetStatus::failed, 0};
  }
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Listener Listener::open_loopback(std::uint16_t port) {
  Listener listener;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return listener;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
    ::close(fd);
    return listener;
  }
  listener.fd_ = fd;
  listener.port_ = ntohs(address.sin_port);
  return listener;
}

Socket Listener::accept(int timeout_ms) {
  Socket socket;
  if (fd_ < 0) {
    socket.status_ = NetStatus::failed;
    return socket;
  }
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return Socket(fd);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      socket.status_ = NetStatus::failed;
      return socket;
    }
    int events = wait_for(fd_, POLLIN, deadline);
    if (events <= 0) {
      socket.status_ = events == 0 ? NetStatus::timed_out : NetStatus::failed;
      return socket;
    }
  }
}

void Listener::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace torvane::platform
