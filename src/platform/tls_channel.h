#pragma once
// TLS over a connected TCP socket, for the cover download over HTTPS.
//
// The encryption comes from the operating system's library (OpenSSL on Linux, Schannel
// on Windows); this layer only moves the encrypted bytes through a platform::Socket, so
// every wait keeps the socket's time bounds:
//   - the handshake as a whole ends within the timeout_ms given to open(), also when the
//     server stops answering in the middle of it (timed_out);
//   - receive() waits at most its timeout_ms for one piece of plain text;
//   - send_all() bounds each wait for buffer space by its timeout_ms, as Socket does.
//
// The server's certificate chain is always checked, against the system's trusted roots
// (Linux: the distribution's CA bundle; Windows: the system store) and the extra roots of
// a TlsTrust, and the certificate must name the host that was asked for. There is no
// way to switch the check off. A certificate that fails gives NetStatus::untrusted and a
// CertificateProblem that says why. Revocation is not checked.
//
//   open(): handshake -> certificate check -> open ----------> closed (close())
//               |                 |            send_all / receive
//               |                 +-> untrusted (socket closed, problem() says why)
//               +-> timed_out | closed | failed (socket closed)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/socket.h"

namespace torvane::platform {

enum class CertificateProblem {
  none,
  expired,         // outside its validity period
  unknown_issuer,  // the chain leads to no trusted root
  wrong_name,      // issued for another host name
  other,           // any other fault of the certificate or its chain
};

// Short German reason in Windows-1252, for a "Warnung: " line that names the host:
// "Zertifikat abgelaufen", "Zertifikat von unbekannter Stelle ausgestellt", ...
const char* certificate_problem_text(CertificateProblem problem);

// The roots a channel trusts: the system's, plus the certificates of an optional PEM
// text (the contents of a CAFile). Made once and shared by every channel of a run, also
// by channels on several threads; copies share one state.
class TlsTrust {
 public:
  // extra_roots_pem: "" for the system's roots alone, else the text of a PEM file with one
  // or more "CERTIFICATE" blocks (other blocks are ignored). Not valid when that text holds
  // no certificate or a certificate that cannot be read, or when the TLS library cannot
  // be set up.
  static TlsTrust create(std::string_view extra_roots_pem);

  bool is_valid() const { return state_ != nullptr; }

  struct State;  // the library's objects, in posix/ and win32/

 private:
  std::shared_ptr<const State> state_;
  friend class TlsChannel;
};

class TlsChannel {
 public:
  TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;
  TlsChannel(TlsChannel&& other) noexcept;
  TlsChannel& operator=(TlsChannel&& other) noexcept;
  ~TlsChannel();

  // Takes over a connected socket and runs the handshake for host (a name, sent as the
  // server name; or a numeric address, which the certificate must then hold), all within
  // timeout_ms. Check is_open(); status() tells why not: untrusted (see problem()),
  // timed_out, closed (the server hung up), failed (no TLS server, no common protocol,
  // an invalid trust or socket).
  static TlsChannel open(Socket socket, std::string_view host, const TlsTrust& trust, int timeout_ms);

  bool is_open() const;
  NetStatus status() const { return status_; }
  CertificateProblem problem() const { return problem_; }

  // Encrypts and sends all of data.
  NetStatus send_all(std::span<const std::uint8_t> data, int timeout_ms);
  NetStatus send_all(std::string_view data, int timeout_ms);

  // Waits at most timeout_ms for plain text and returns what is there, at most out.size()
  // bytes: ok (count > 0), closed (the server ended the connection, with or without
  // saying so in TLS), timed_out, failed (a damaged record).
  Socket::Received receive(std::span<std::uint8_t> out, int timeout_ms);

  // Tells the server the channel ends (without waiting) and closes the socket.
  void close();

  struct Session;  // the library's connection state, in posix/ and win32/

 private:
  std::unique_ptr<Session> session_;
  NetStatus status_ = NetStatus::failed;
  CertificateProblem problem_ = CertificateProblem::none;
};

}  // namespace torvane::platform
