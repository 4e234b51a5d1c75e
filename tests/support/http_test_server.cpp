#include "support/http_test_server.h"

#include <cstdlib>

namespace torvane::testing {
namespace {

constexpr int kPollMs = 20;
constexpr std::size_t kMaxRequest = 64 * 1024;

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

HttpTestServer::HttpTestServer(Script script, Serving serving) : script_(std::move(script)), serving_(serving) {
  listener_ = platform::Listener::open_loopback(0);
  if (!listener_.is_open()) std::abort();  // no loopback: the tests cannot run at all
  port_ = listener_.port();
  thread_ = std::thread([this] { serve(); });
}

HttpTestServer::~HttpTestServer() {
  stop_ = true;
  thread_.join();
  for (std::thread& client : clients_) client.join();
}

std::vector<std::string> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> HttpTestServer::paths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

std::vector<std::string> HttpTestServer::answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

std::string HttpTestServer::response(int status, std::string_view body, bool with_length) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: image/jpeg\r\n";
  if (with_length) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "\r\n";
  r += body;
  return r;
}

std::string HttpTestServer::chunked(int status, std::string_view body, std::size_t chunk_size) {
  static const char* hex = "0123456789abcdef";
  std::string r = "HTTP/1.1 " + std::to_string(status) + " OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  while (!body.empty()) {
    std::string_view part = body.substr(0, chunk_size);
    std::string size;
    for (std::size_t n = part.size(); n; n /= 16) size.insert(size.begin(), hex[n % 16]);
    r += size + "\r\n";
    r += part;
    r += "\r\n";
    body.remove_prefix(part.size());
  }
  r += "0\r\n\r\n";
  return r;
}

std::uint16_t HttpTestServer::unused_port() {
  platform::Listener probe = platform::Listener::open_loopback(0);
  return probe.port();  // closed again when probe goes out of scope
}

void HttpTestServer::serve() {
  while (!stopping()) {
    platform::Socket client = listener_.accept(kPollMs);
    if (!client.is_open()) continue;
    if (serving_ == Serving::one_at_a_time) {
      answer(client);
    } else {
      clients_.emplace_back([this, client = std::move(client)]() mutable { answer(client); });
    }
  }
}

void HttpTestServer::answer(platform::Socket& client) {
  // The request: everything up to the empty line (or what came within a second).
  std::string request;
  std::uint8_t buffer[1024];
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest && !stopping() &&
         std::chrono::steady_clock::now() < give_up) {
    auto got = client.receive(buffer, kPollMs);
    if (got.status == platform::NetStatus::ok) request += as_text(std::span(buffer, got.count));
    else if (got.status != platform::NetStatus::timed_out) break;
  }
  std::string path;
  if (std::size_t sp = request.find(' '); sp != std::string::npos) {
    std::size_t end = request.find(' ', sp + 1);
    path = request.substr(sp + 1, end == std::string::npos ? std::string::npos : end - sp - 1);
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    paths_.push_back(path);
  }
  ScriptedReply reply = script_(path);

  auto sleep_while_running = [&](std::chrono::milliseconds pause) {
    auto until = std::chrono::steady_clock::now() + pause;
    while (!stopping() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(kPollMs, pause.count())));
    }
  };
  // False once the client is gone.
  auto send = [&](std::string_view bytes) {
    if (reply.drip.count() == 0) return client.send_all(bytes, 1000) == platform::NetStatus::ok;
    for (std::size_t i = 0; i < bytes.size() && !stopping(); ++i) {
      if (client.send_all(bytes.substr(i, 1), 1000) != platform::NetStatus::ok) return false;
      sleep_while_running(reply.drip);
    }
    return true;
  };
  sleep_while_running(reply.pause);
  bool sending = send(reply.bytes);
  while (sending && !reply.endless.empty() && !stopping()) sending = send(reply.endless);
  {
    std::lock_guard lock(mutex_);
    answered_.push_back(path);
  }
  if (reply.keep_open) {
    // Until the client hangs up (it reads nothing more than it wanted: drain it).
    while (!stopping()) {
      auto got = client.receive(buffer, kPollMs);
      if (got.status == platform::NetStatus::closed || got.status == platform::NetStatus::failed) break;
    }
  }
  client.close();
}

}  // namespace torvane::testing
