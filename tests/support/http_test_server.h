#pragma once
// A scripted HTTP server for tests, on 127.0.0.1 and an ephemeral port. It serves one
// connection at a time on a thread of its own (or, side by side, each connection on a
// thread of its own, for clients with several requests in flight), records the exact
// bytes of every request (up to and including the empty line) and answers with the
// reply the script gives for the request path. The script must then bear being called
// on several threads at once. The destructor stops it; every wait is bounded.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace torvane::testing {

struct ScriptedReply {
  std::string bytes;                       // sent as they are
  std::chrono::milliseconds pause{0};      // before sending anything
  std::chrono::milliseconds drip{0};       // when set: one byte, then this pause, ...
  bool keep_open = false;                  // after sending: hold the connection until the
                                           // client closes it or the server stops
  std::string endless = {};                // after bytes: sent again and again (dripped
                                           // too) until the client hangs up
};

class HttpTestServer {
 public:
  using Script = std::function<ScriptedReply(const std::string& path)>;

  enum class Serving { one_at_a_time, side_by_side };

  explicit HttpTestServer(Script script, Serving serving = Serving::one_at_a_time);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::vector<std::string> requests() const;  // exact request bytes, in arrival order
  std::vector<std::string> paths() const;     // the request paths, in arrival order
  std::vector<std::string> answered() const;  // the request paths, in the order their
                                              // answers were sent

  // A response with a Content-Length header (or without it when with_length is false).
  static std::string response(int status, std::string_view body, bool with_length = true);
  // A chunked response; the body is cut into chunks of chunk_size bytes.
  static std::string chunked(int status, std::string_view body, std::size_t chunk_size);

  // A port on 127.0.0.1 where nobody listens (taken and given back at once).
  static std::uint16_t unused_port();

 private:
  void serve();
  void answer(platform::Socket& client);
  bool stopping() const { return stop_.load(); }

  Script script_;
  Serving serving_;
  platform::Listener listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::string> paths_;
  std::vector<std::string> answered_;
  std::thread thread_;
  std::vector<std::thread> clients_;  // side by side: one per connection
};

}  // namespace torvane::testing
