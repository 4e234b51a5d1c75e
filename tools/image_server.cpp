// image_server: a small HTTP server of ours that serves cover images by ISBN-10, for the
// tests and the demo. It listens on 127.0.0.1 only.
//
//   image_server --dir FOLDER [--port N] [--idle SECONDS] [--mode MODE] [--delay MS]
//                [--answer-delay MS] [--port-file FILE] [--watch-stdin]
//
// Each connection is served on a thread of its own (at most kMaxClients at once; more
// wait to be accepted), so a client with several requests in flight gets them answered
// side by side. --answer-delay MS waits that long after reading each request before
// answering it, as a server far away does (a benchmark uses 20 ms).
// A GET for /images/P/<ISBN>.03.MZZZZZZZ.jpg or .TZZZZZZZ.jpg is answered with the file
// <ISBN>.jpg of FOLDER, the two .gif paths with <ISBN>.gif; everything else is 404.
// The first line written to standard output is the port number (useful with --port 0,
// the default, which takes a free port); --port-file also writes it to FILE, for a
// script that starts the server in the background. Modes, for tests of the client:
//   normal       Content-Length (the default)
//   chunked      chunked coding, chunks of 500 bytes
//   close        no length: the body ends when the server closes
//   slow         Content-Length, the body in pieces of 100 bytes with --delay MS between
//   close-early  announces the whole length, sends half the body and hangs up
//   hang         reads the request and never answers
//   error        503 for every request
//   portal       200 and an HTML log-in page for every request, as a captive portal
//   drip         answers as in normal mode, one byte every --delay MS
// The server ends on its own after --idle SECONDS (default 60) without a request, and,
// with --watch-stdin, as soon as its standard input ends: a parent that starts it with
// a pipe on its standard input takes it along when it dies.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"

namespace {

using torvane::platform::Listener;
using torvane::platform::NetStatus;
using torvane::platform::Socket;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string dir = ".";
  unsigned port = 0;
  int idle_seconds = 60;
  std::string mode = "normal";
  int delay_ms = 50;
  int answer_delay_ms = 0;
  std::string port_file;
  bool watch_stdin = false;
};

std::atomic<bool> g_stdin_ended{false};
constexpr int kMaxClients = 64;

void usage() {
  std::cerr << "usage: image_server --dir FOLDER [--port N] [--idle SECONDS] [--mode MODE] [--delay MS]"
               " [--answer-delay MS] [--port-file FILE] [--watch-stdin]\n";
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    try {
      if (arg == "--watch-stdin") {
        o.watch_stdin = true;
        continue;
      }
      auto v = value();
      if (!v) return std::nullopt;
      if (arg == "--dir") o.dir = *v;
      else if (arg == "--port") o.port = static_cast<unsigned>(std::stoul(*v));
      else if (arg == "--idle") o.idle_seconds = std::stoi(*v);
      else if (arg == "--mode") o.mode = *v;
      else if (arg == "--delay") o.delay_ms = std::stoi(*v);
      else if (arg == "--answer-delay") o.answer_delay_ms = std::stoi(*v);
      else if (arg == "--port-file") o.port_file = *v;
      else return std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (o.port > 65535 || o.answer_delay_ms < 0) return std::nullopt;
  return o;
}

// "<ISBN>.jpg" or "<ISBN>.gif" for one of the four cover paths, else nothing.
std::optional<std::string> file_for(std::string_view path) {
  constexpr std::string_view prefix = "/images/P/";
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  path.remove_prefix(prefix.size());
  std::size_t dot = path.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot > 20) return std::nullopt;
  std::string_view isbn = path.substr(0, dot);
  for (char c : isbn) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!ok) return std::nullopt;
  }
  std::string_view rest = path.substr(dot);
  if (rest == ".03.MZZZZZZZ.jpg" || rest == ".03.TZZZZZZZ.jpg") return std::string(isbn) + ".jpg";
  if (rest == ".03.MZZZZZZZ.gif" || rest == ".03.TZZZZZZZ.gif") return std::string(isbn) + ".gif";
  return std::nullopt;
}

std::optional<std::string> read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string head(int status, std::string_view reason, std::string_view extra) {
  std::string h = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  h += "Connection: close\r\n";
  h += extra;
  h += "\r\n";
  return h;
}

std::string chunked_body(std::string_view body) {
  std::string out;
  char size[32];
  while (!body.empty()) {
    std::string_view part = body.substr(0, 500);
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size;
    out += part;
    out += "\r\n";
    body.remove_prefix(part.size());
  }
  return out + "0\r\n\r\n";
}

std::string read_request(Socket& client) {
  std::string request;
  std::uint8_t buffer[1024];
  auto give_up = Clock::now() + std::chrono::seconds(2);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192 && Clock::now() < give_up) {
    auto got = client.receive(buffer, 100);
    if (got.status == NetStatus::ok) request.append(reinterpret_cast<const char*>(buffer), got.count);
    else if (got.status != NetStatus::timed_out) break;
  }
  return request;
}

void wait_for_hangup(Socket& client, int idle_seconds) {
  std::uint8_t buffer[256];
  auto give_up = Clock::now() + std::chrono::seconds(idle_seconds);
  while (Clock::now() < give_up && !g_stdin_ended) {
    auto got = client.receive(buffer, 100);
    if (got.status == NetStatus::closed || got.status == NetStatus::failed) return;
  }
}

void answer(Socket& client, const Options& o) {
  std::string request = read_request(client);
  std::string path;
  if (request.rfind("GET ", 0) == 0) {
    std::size_t end = request.find(' ', 4);
    if (end != std::string::npos) path = request.substr(4, end - 4);
  }
  if (o.mode == "hang") {
    wait_for_hangup(client, o.idle_seconds);
    return;
  }
  if (o.answer_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.answer_delay_ms));
  if (o.mode == "portal") {
    std::string body = "<html><body><form>Please sign in</form></body></html>";
    client.send_all(head(200, "OK", "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                                        "\r\n") + body,
                    5000);
    return;
  }
  if (o.mode == "error") {
    std::string body = "<html><body>Service unavailable</body></html>";
    client.send_all(head(503, "Service Unavailable", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body,
                    5000);
    return;
  }
  std::optional<std::string> image;
  if (auto name = file_for(path)) image = read_file(o.dir + "/" + *name);
  if (!image) {
    std::string body = "<html><body>Not found</body></html>";
    client.send_all(head(404, "Not Found", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body, 5000);
    return;
  }
  const std::string type = path.ends_with(".gif") ? "image/gif" : "image/jpeg";
  const std::string length = "Content-Length: " + std::to_string(image->size()) + "\r\n";
  const std::string content = "Content-Type: " + type + "\r\n";
  if (o.mode == "chunked") {
    client.send_all(head(200, "OK", content + "Transfer-Encoding: chunked\r\n") + chunked_body(*image), 5000);
  } else if (o.mode == "close") {
    client.send_all(head(200, "OK", content) + *image, 5000);
  } else if (o.mode == "close-early") {
    client.send_all(head(200, "OK", content + length) + image->substr(0, image->size() / 2), 5000);
  } else if (o.mode == "slow") {
    if (client.send_all(head(200, "OK", content + length), 5000) != NetStatus::ok) return;
    for (std::size_t at = 0; at < image->size(); at += 100) {
      std::this_thread::sleep_for(std::chrono::milliseconds(o.delay_ms));
      if (client.send_all(std::string_view(*image).substr(at, 100), 5000) != NetStatus::ok) return;
    }
  } else if (o.mode == "drip") {
    const std::string answer = head(200, "OK", content + length) + *image;
    for (std::size_t at = 0; at < answer.size() && !g_stdin_ended; ++at) {
      if (client.send_all(std::string_view(answer).substr(at, 1), 5000) != NetStatus::ok) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(o.delay_ms));
    }
  } else {
    client.send_all(head(200, "OK", content + length) + *image, 5000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    usage();
    return 2;
  }
  Listener listener = Listener::open_loopback(static_cast<std::uint16_t>(options->port));
  if (!listener.is_open()) {
    std::cerr << "image_server: cannot listen on 127.0.0.1:" << options->port << "\n";
    return 1;
  }
  std::cout << listener.port() << std::endl;
  if (!options->port_file.empty()) {
    // Written under another name and renamed, so a reader never sees half a number.
    const std::string partial = options->port_file + ".partial";
    std::ofstream(partial) << listener.port() << "\n";
    std::rename(partial.c_str(), options->port_file.c_str());
  }

  if (options->watch_stdin) {
    std::thread([] {
      while (std::cin.get() != EOF) {
      }
      g_stdin_ended = true;
    }).detach();
  }

  // The threads of the connections being served; each ends with its answer.
  std::atomic<int> serving{0};
  auto last_request = Clock::now();
  const auto idle = std::chrono::seconds(options->idle_seconds);
  while (!g_stdin_ended && Clock::now() - last_request < idle) {
    if (serving.load() >= kMaxClients) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    Socket client = listener.accept(200);
    if (!client.is_open()) continue;
    ++serving;
    std::thread([&serving, &options, client = std::move(client)]() mutable {
      answer(client, *options);
      client.close();
      --serving;
    }).detach();
    last_request = Clock::now();
  }
  // Every answer is bounded (sends by their waits, a hanging one by --idle or the end
  // of standard input): wait for them before the variables they use go.
  while (serving.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
