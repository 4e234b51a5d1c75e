#pragma once
// TCP connections for the cover download, and a loopback listener for the local image
// server and the tests.
//
// Every wait is bounded by the caller's time-out in milliseconds; nothing here blocks
// without one (name resolution excepted: the resolver has no time-out of its own).
// Sending never raises a signal when the peer has hung up: the send fails with
// `closed` instead. Failures are reported by results, never thrown.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace torvane::platform {

enum class NetStatus {
  ok,
  resolve_failed,  // the host name has no address
  refused,         // nobody listens on that port (or the host is unreachable)
  timed_out,       // the wait ended before the connection or the data came
  closed,          // the peer closed or reset the connection
  failed,          // any other failure of the operating system
  untrusted,       // TLS only: the server's certificate failed the check (tls_channel.h)
};

// Short English name of a status, for test output and diagnostics.
const char* net_status_name(NetStatus status);

class Socket {
 public:
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  ~Socket();

  // Resolves host (a name or a numeric address) and connects to port, trying each
  // address in turn, all within timeout_ms. Keep-alive is switched on. Check
  // is_open(); status() tells why not.
  static Socket connect(std::string_view host, std::uint16_t port, int timeout_ms);

  bool is_open() const { return fd_ >= 0; }
  NetStatus status() const { return status_; }

  // Sends all of data, each wait for buffer space bounded by timeout_ms.
  NetStatus send_all(std::span<const std::uint8_t> data, int timeout_ms);
  NetStatus send_all(std::string_view data, int timeout_ms);

  struct Received {
    NetStatus status;   // ok (count > 0), closed (orderly end or reset), timed_out, failed
    std::size_t count;  // bytes placed in the buffer
  };
  // Waits at most timeout_ms for data and reads what is there, at most out.size() bytes.
  Received receive(std::span<std::uint8_t> out, int timeout_ms);

  void close();

 private:
  friend class Listener;
  explicit Socket(int fd) : fd_(fd) {}
  int fd_ = -1;
  NetStatus status_ = NetStatus::ok;
};

// A listening socket on 127.0.0.1.
class Listener {
 public:
  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&& other) noexcept;
  ~Listener();

  // Listens on 127.0.0.1:port; port 0 takes a free ephemeral port.
  static Listener open_loopback(std::uint16_t port);

  bool is_open() const { return fd_ >= 0; }
  std::uint16_t port() const { return port_; }

  // Waits at most timeout_ms for a connection; the socket is not open when none came.
  Socket accept(int timeout_ms);

  void close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace torvane::platform
