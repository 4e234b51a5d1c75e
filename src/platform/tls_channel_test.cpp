#include "platform/tls_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "support/tls_test_server.h"
#endif

namespace torvane::platform {
namespace {

using namespace std::chrono;

// A plain TCP peer on its own thread: takes the connection, reads what the client sends
// first, then does what act says with the socket.
class RawPeer {
 public:
  template <typename Act>
  explicit RawPeer(Act act) : listener_(Listener::open_loopback(0)) {
    thread_ = std::thread([this, act] {
      Socket peer = listener_.accept(2000);
      std::uint8_t buffer[4096];
      if (peer.is_open()) peer.receive(buffer, 2000);
      act(peer);
    });
  }
  ~RawPeer() { thread_.join(); }
  std::uint16_t port() const { return listener_.port(); }

 private:
  Listener listener_;
  std::thread thread_;
};

TlsChannel open_to(std::uint16_t port, std::string_view host, const TlsTrust& trust, int timeout_ms = 2000) {
  Socket socket = Socket::connect("127.0.0.1", port, 1000);
  EXPECT_TRUE(socket.is_open()) << net_status_name(socket.status());
  return TlsChannel::open(std::move(socket), host, trust, timeout_ms);
}

TEST(TlsChannel, AServerThatIsNoTlsServerOrHangsUpEndsTheHandshake) {
  const TlsTrust trust = TlsTrust::create("");
  ASSERT_TRUE(trust.is_valid());
  {
    RawPeer peer([](Socket& s) { s.send_all("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n", 1000); });
    TlsChannel channel = open_to(peer.port(), "localhost", trust);
    EXPECT_FALSE(channel.is_open());
    EXPECT_EQ(channel.status(), NetStatus::failed) << net_status_name(channel.status());
    EXPECT_EQ(channel.problem(), CertificateProblem::none);
  }
  {
    RawPeer peer([](Socket& s) { s.close(); });
    TlsChannel channel = open_to(peer.port(), "localhost", trust);
    EXPECT_FALSE(channel.is_open());
    EXPECT_EQ(channel.status(), NetStatus::closed) << net_status_name(channel.status());
  }
  // Nothing to work on: no socket, no trust.
  EXPECT_EQ(TlsChannel::open(Socket(), "localhost", trust, 100).status(), NetStatus::failed);
  std::uint8_t buffer[4];
  TlsChannel unopened;
  EXPECT_EQ(unopened.receive(buffer, 10).status, NetStatus::failed);
  EXPECT_EQ(unopened.send_all("x", 10), NetStatus::failed);
}

TEST(TlsChannel, AServerSilentInTheHandshakeEndsInTimedOutWithinTheBound) {
  RawPeer peer([](Socket& s) {
    std::uint8_t buffer[16];
    s.receive(buffer, 3000);  // holds the connection until the client goes
  });
  const auto start = steady_clock::now();
  TlsChannel channel = open_to(peer.port(), "localhost", TlsTrust::create(""), 200);
  EXPECT_EQ(channel.status(), NetStatus::timed_out) << net_status_name(channel.status());
  EXPECT_LT(steady_clock::now() - start, seconds(2));
}

TEST(TlsChannel, ExtraRootsMustHoldReadableCertificates) {
  EXPECT_TRUE(TlsTrust::create("").is_valid());
  EXPECT_FALSE(TlsTrust::create("no certificate here\n").is_valid());
  EXPECT_FALSE(TlsTrust::create("-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n")
                   .is_valid());
}

#ifndef _WIN32
using testing::ScriptedReply;
using testing::TlsTestCertificate;
using testing::TlsTestServer;

// Everything the channel hands out until the server ends the connection.
std::string receive_all(TlsChannel& channel, NetStatus& end) {
  std::string got;
  std::uint8_t buffer[1024];
  for (;;) {
    const Socket::Received r = channel.receive(buffer, 2000);
    if (r.status != NetStatus::ok) {
      end = r.status;
      return got;
    }
    got.append(reinterpret_cast<const char*>(buffer), r.count);
  }
}

std::string page(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + body;
}

constexpr std::string_view kRequest = "GET /a.jpg HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

TEST(TlsChannel, AnExchangeWithATrustedServerCarriesTheBytesBothWays) {
  const std::string answer = page(100 * 1024);  // several records
  TlsTestServer server(TlsTestCertificate::valid, [&](const std::string&) { return ScriptedReply{answer}; });
  const TlsTrust trust = TlsTrust::create(TlsTestServer::ca_pem());
  ASSERT_TRUE(trust.is_valid());

  for (std::string_view host : {"localhost", "127.0.0.1"}) {
    TlsChannel channel = open_to(server.port(), host, trust);
    ASSERT_TRUE(channel.is_open()) << host << ": " << net_status_name(channel.status());
    ASSERT_EQ(channel.send_all(kRequest, 1000), NetStatus::ok);
    NetStatus end = NetStatus::ok;
    EXPECT_EQ(receive_all(channel, end), answer) << host;
    EXPECT_EQ(end, NetStatus::closed);
  }
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0], kRequest);
  EXPECT_EQ(server.paths()[1], "/a.jpg");
}

TEST(TlsChannel, EveryRootOfABundleIsTrusted) {
  TlsTestServer server(TlsTestCertificate::valid, [](const std::string&) { return ScriptedReply{page(10)}; });
  const std::string bundle = "# private roots\n" + TlsTestServer::other_ca_pem() + TlsTestServer::ca_pem();
  TlsChannel channel = open_to(server.port(), "localhost", TlsTrust::create(bundle));
  EXPECT_TRUE(channel.is_open()) << net_status_name(channel.status());
}

TEST(TlsChannel, ACertificateThatFailsTheCheckGivesItsReasonAndNoExchange) {
  const TlsTrust with_test_root = TlsTrust::create(TlsTestServer::ca_pem());
  const TlsTrust system_only = TlsTrust::create("");
  const struct {
    TlsTestCertificate certificate;
    const TlsTrust& trust;
    std::string_view host;
    CertificateProblem problem;
  } cases[] = {
      {TlsTestCertificate::expired, with_test_root, "localhost", CertificateProblem::expired},
      {TlsTestCertificate::unknown_issuer, with_test_root, "localhost", CertificateProblem::unknown_issuer},
      {TlsTestCertificate::valid, system_only, "localhost", CertificateProblem::unknown_issuer},
      {TlsTestCertificate::wrong_name, with_test_root, "localhost", CertificateProblem::wrong_name},
      {TlsTestCertificate::valid, with_test_root, "127.0.0.2", CertificateProblem::wrong_name},
      {TlsTestCertificate::valid, with_test_root, "other.localhost", CertificateProblem::wrong_name},
  };
  for (const auto& c : cases) {
    TlsTestServer server(c.certificate, [](const std::string&) { return ScriptedReply{page(10)}; });
    TlsChannel channel = open_to(server.port(), c.host, c.trust);
    EXPECT_FALSE(channel.is_open());
    EXPECT_EQ(channel.status(), NetStatus::untrusted) << c.host << " " << net_status_name(channel.status());
    EXPECT_EQ(channel.problem(), c.problem) << c.host << " " << certificate_problem_text(channel.problem());
    EXPECT_TRUE(server.requests().empty());
  }
}

TEST(TlsChannel, AServerThatStopsInTheMiddleOfTheHandshakeEndsInTimedOutWithinTheBound) {
  TlsTestServer server{TlsTestServer::StallInHandshake{}};
  const auto start = steady_clock::now();
  TlsChannel channel = open_to(server.port(), "localhost", TlsTrust::create(TlsTestServer::ca_pem()), 300);
  EXPECT_EQ(channel.status(), NetStatus::timed_out) << net_status_name(channel.status());
  EXPECT_LT(steady_clock::now() - start, seconds(2));
  EXPECT_EQ(server.connections(), 1u);
}

TEST(TlsChannel, EachReceiveWaitsAtMostItsTimeOut) {
  TlsTestServer server(TlsTestCertificate::valid,
                       [](const std::string&) { return ScriptedReply{page(10), milliseconds(3000)}; });
  TlsChannel channel = open_to(server.port(), "localhost", TlsTrust::create(TlsTestServer::ca_pem()));
  ASSERT_TRUE(channel.is_open());
  ASSERT_EQ(channel.send_all(kRequest, 1000), NetStatus::ok);
  std::uint8_t buffer[64];
  const auto start = steady_clock::now();
  EXPECT_EQ(channel.receive(buffer, 100).status, NetStatus::timed_out);
  EXPECT_LT(steady_clock::now() - start, seconds(2));
}

TEST(TlsChannel, ChannelsOnSeveralThreadsShareOneTrust) {
  const std::string answer = page(20 * 1024);
  TlsTestServer server(TlsTestCertificate::valid, [&](const std::string&) { return ScriptedReply{answer}; });
  const TlsTrust trust = TlsTrust::create(TlsTestServer::ca_pem());
  std::vector<std::string> got(4);
  std::vector<std::thread> threads;
  for (std::string& g : got) {
    threads.emplace_back([&] {
      TlsChannel channel = open_to(server.port(), "localhost", trust);
      NetStatus end = NetStatus::ok;
      if (channel.send_all(kRequest, 1000) == NetStatus::ok) g = receive_all(channel, end);
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& g : got) EXPECT_EQ(g, answer);
}
#endif

}  // namespace
}  // namespace torvane::platform
