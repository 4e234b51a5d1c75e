#pragma once
// A scripted HTTPS server for tests, on 127.0.0.1 and an ephemeral port (Linux only: it
// is built with OpenSSL). It answers like HttpTestServer, inside TLS: it records the
// exact bytes of every request and sends the reply the script gives for the path
// (bytes, pause, drip, keep_open and endless as there). Each connection is served on a
// thread of its own, so that several may be in flight: the script must bear being called
// on several threads at once. The destructor stops it; every wait is bounded.
//
// Its certificates are made by the test process itself, once, with a certificate
// authority of its own (ca_pem(), to be trusted through a CAFile):
//   valid           for "localhost" and 127.0.0.1, issued by that authority
//   expired         the same, but its validity period ended yesterday
//   unknown_issuer  the same, issued by another authority that nobody trusts
//   wrong_name      issued by that authority for "other.invalid" only
// A stalling server reads the client's first handshake message, sends the first half of
// its answer and then nothing more, holding the connection until the client hangs up.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/http_test_server.h"

namespace torvane::testing {

enum class TlsTestCertificate { valid, expired, unknown_issuer, wrong_name };

class TlsTestServer {
 public:
  using Script = HttpTestServer::Script;

  // The name and address the certificates (but wrong_name) are made for.
  static constexpr std::string_view kHost = "localhost";

  TlsTestServer(TlsTestCertificate certificate, Script script);
  // A server that stops in the middle of every handshake.
  struct StallInHandshake {};
  explicit TlsTestServer(StallInHandshake);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::vector<std::string> requests() const;  // exact request bytes, in arrival order
  std::vector<std::string> paths() const;     // the request paths, in arrival order
  std::size_t connections() const { return connections_.load(); }  // accepted so far

  // The test authority's certificate as PEM text: the contents of a CAFile.
  static const std::string& ca_pem();
  // The other authority's certificate, that of unknown_issuer (for bundles of roots).
  static const std::string& other_ca_pem();

 private:
  struct Mode {
    TlsTestCertificate certificate;
    bool stall;
  };
  TlsTestServer(Mode mode, Script script);
  void serve();
  void answer(platform::Socket client);
  bool stopping() const { return stop_.load(); }

  Mode mode_;
  Script script_;
  platform::Listener listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::string> paths_;
  std::vector<std::thread> workers_;  // one per connection; touched by the serving thread only
  std::thread thread_;
};

}  // namespace torvane::testing
