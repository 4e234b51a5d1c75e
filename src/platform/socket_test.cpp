#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace torvane::platform {
namespace {

using namespace std::chrono;

TEST(Socket, SendingToAPeerThatHungUpFailsWithoutASignal) {
  Listener listener = Listener::open_loopback(0);
  ASSERT_TRUE(listener.is_open());
  Socket client = Socket::connect("127.0.0.1", listener.port(), 1000);
  ASSERT_TRUE(client.is_open()) << net_status_name(client.status());
  listener.accept(1000).close();  // the peer hangs up at once

  const std::string block(256 * 1024, 'x');
  NetStatus status = NetStatus::ok;
  for (int i = 0; i < 64 && status == NetStatus::ok; ++i) status = client.send_all(block, 1000);
  // The process is still here; the send reports the closed connection.
  EXPECT_EQ(status, NetStatus::closed) << net_status_name(status);
}

TEST(Socket, WaitsEndAtTheirTimeOut) {
  Listener listener = Listener::open_loopback(0);
  ASSERT_TRUE(listener.is_open());
  auto start = steady_clock::now();
  EXPECT_FALSE(listener.accept(50).is_open());

  Socket client = Socket::connect("127.0.0.1", listener.port(), 1000);
  ASSERT_TRUE(client.is_open());
  Socket server = listener.accept(1000);
  ASSERT_TRUE(server.is_open());
  std::uint8_t buffer[16];
  EXPECT_EQ(client.receive(buffer, 50).status, NetStatus::timed_out);
  EXPECT_LT(steady_clock::now() - start, seconds(2));

  ASSERT_EQ(server.send_all("hi", 1000), NetStatus::ok);
  auto got = client.receive(buffer, 1000);
  EXPECT_EQ(got.status, NetStatus::ok);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got.count), "hi");
  server.close();
  EXPECT_EQ(client.receive(buffer, 1000).status, NetStatus::closed);
}

TEST(Socket, RefusedAndUnresolvable) {
  std::uint16_t port = Listener::open_loopback(0).port();  // closed again at once
  Socket refused = Socket::connect("127.0.0.1", port, 1000);
  EXPECT_FALSE(refused.is_open());
  EXPECT_EQ(refused.status(), NetStatus::refused) << net_status_name(refused.status());

  Socket unknown = Socket::connect("no-such-host.invalid", 80, 1000);
  EXPECT_FALSE(unknown.is_open());
  EXPECT_EQ(unknown.status(), NetStatus::resolve_failed);
  EXPECT_EQ(Socket::connect("", 80, 1000).status(), NetStatus::resolve_failed);
}

}  // namespace
}  // namespace torvane::platform
