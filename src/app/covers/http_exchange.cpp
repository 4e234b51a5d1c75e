#include "app/covers/http_exchange.h"

#include <algorithm>
#include <array>

#include "platform/socket.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool contains_ignoring_case(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (text::equal_ignoring_case(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

// Skips "1*DIGIT" at the front of s; false when there is no digit.
bool skip_digits(std::string_view& s) {
  std::size_t n = 0;
  while (n < s.size() && is_digit(s[n])) ++n;
  s.remove_prefix(n);
  return n > 0;
}

// "HTTP/" major "." minor SP three-digit code [SP reason]; the code, or 0.
int parse_status_line(std::string_view line) {
  if (line.substr(0, 5) != "HTTP/") return 0;
  line.remove_prefix(5);
  if (!skip_digits(line) || line.empty() || line.front() != '.') return 0;
  line.remove_prefix(1);
  if (!skip_digits(line) || line.empty() || line.front() != ' ') return 0;
  line.remove_prefix(1);
  if (line.size() < 3 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2])) return 0;
  if (line.size() > 3 && line[3] != ' ') return 0;
  int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  return code >= 100 ? code : 0;
}

}  // namespace

std::string http_request(std::string_view host, std::string_view path) {
  std::string request;
  request.append("GET ").append(path).append(" HTTP/1.1\r\n");
  request.append("Host: ").append(host).append("\r\n");
  request.append("User-agent: Mozilla/3.0 compatible\r\n");
  request.append("Connection: close\r\n");
  request.append("\r\n");
  return request;
}

bool ResponseParser::take_line(std::string_view& bytes) {
  std::size_t lf = bytes.find('\n');
  std::size_t take = lf == std::string_view::npos ? bytes.size() : lf;
  // The line end counts: a line of kHttpMaxLine bytes has room for kHttpMaxLine - 1
  // bytes before its LF.
  if (line_.size() + take >= kHttpMaxLine) {
    state_ = State::malformed;
    return false;
  }
  line_.append(bytes.substr(0, take));
  if (lf == std::string_view::npos) {
    bytes = {};
    return false;
  }
  bytes.remove_prefix(lf + 1);
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  return true;
}

void ResponseParser::on_status_line() {
  status_ = parse_status_line(line_);
  state_ = status_ == 0 ? State::malformed : State::headers;
}

void ResponseParser::on_header_line() {
  if (line_.empty()) {
    on_headers_end();
    return;
  }
  std::string_view line = line_;
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;  // not a header we use
  std::string_view name = trim_blanks(line.substr(0, colon));
  std::string_view value = trim_blanks(line.substr(colon + 1));
  if (text::equal_ignoring_case(name, "Transfer-Encoding")) {
    if (contains_ignoring_case(value, "chunked")) chunked_ = true;
  } else if (text::equal_ignoring_case(name, "Content-Length")) {
    // Digits only: a sign, a blank or a second, different length is not a length.
    if (value.empty() || !std::all_of(value.begin(), value.end(), is_digit)) {
      state_ = State::malformed;
      return;
    }
    std::uint64_t length = 0;
    for (char c : value) {
      length = length * 10 + static_cast<std::uint64_t>(c - '0');
      if (length > kHttpMaxBody) {
        state_ = State::too_large;
        return;
      }
    }
    if (has_length_ && length != length_) {
      state_ = State::malformed;
      return;
    }
    has_length_ = true;
    length_ = length;
  } else if (text::equal_ignoring_case(name, "Location")) {
    location_ = std::string(value);
  }
}

void ResponseParser::on_headers_end() {
  if (status_ < 200) {  // an interim answer: the real one follows
    chunked_ = has_length_ = false;
    length_ = 0;
    location_.clear();
    state_ = State::status_line;
  } else if (status_ == 204 || status_ == 304) {
    state_ = State::complete;
  } else if (chunked_) {
    state_ = State::chunk_size;
  } else if (has_length_) {
    remaining_ = length_;
    state_ = length_ == 0 ? State::complete : State::body_sized;
  } else {
    state_ = State::body_to_close;
  }
}

void ResponseParser::on_chunk_size_line() {
  std::string_view line = trim_blanks(line_);
  std::uint64_t size = 0;
  std::size_t digits = 0;
  for (; digits < line.size() && hex_value(line[digits]) >= 0; ++digits) {
    size = size * 16 + static_cast<std::uint64_t>(hex_value(line[digits]));
    if (size > kHttpMaxBody) {
      state_ = State::too_large;
      return;
    }
  }
  std::string_view rest = trim_blanks(line.substr(digits));
  if (digits == 0 || (!rest.empty() && rest.front() != ';')) {
    state_ = State::malformed;
    return;
  }
  if (size > kHttpMaxBody - body_.size()) {
    state_ = State::too_large;
  } else if (size == 0) {
    state_ = State::trailers;
  } else {
    remaining_ = size;
    state_ = State::chunk_data;
  }
}

void ResponseParser::take_body_bytes(std::string_view& bytes, std::uint64_t limit) {
  std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), limit));
  body_.append(bytes.substr(0, n));
  bytes.remove_prefix(n);
}

void ResponseParser::feed_line(std::string_view& bytes) {
  // Chunk-size lines and chunk ends come with body bytes, which the body limit bounds;
  // every other line counts against the head.
  const bool head = state_ == State::status_line || state_ == State::headers || state_ == State::trailers;
  const std::size_t before = bytes.size();
  const bool whole = take_line(bytes);
  if (head) {
    head_bytes_ += before - bytes.size();
    if (head_bytes_ > kHttpMaxHead) {
      state_ = State::malformed;
      return;
    }
  }
  if (!whole) return;
  if (state_ == State::status_line) {
    on_status_line();
  } else if (state_ == State::headers) {
    on_header_line();
  } else if (state_ == State::chunk_size) {
    on_chunk_size_line();
  } else if (state_ == State::chunk_end) {
    state_ = line_.empty() ? State::chunk_size : State::malformed;
  } else if (line_.empty()) {
    state_ = State::complete;  // the empty line after the trailers
  }
  line_.clear();
}

void ResponseParser::feed(std::string_view bytes) {
  while (!bytes.empty() && !finished()) {
    switch (state_) {
      case State::status_line:
      case State::headers:
      case State::chunk_size:
      case State::chunk_end:
      case State::trailers:
        feed_line(bytes);
        break;
      case State::body_sized:
      case State::chunk_data: {
        std::size_t before = bytes.size();
        take_body_bytes(bytes, remaining_);
        remaining_ -= before - bytes.size();
        if (remaining_ == 0) state_ = state_ == State::body_sized ? State::complete : State::chunk_end;
        break;
      }
      case State::body_to_close:
        if (bytes.size() > kHttpMaxBody - body_.size()) {
          state_ = State::too_large;
          break;
        }
        take_body_bytes(bytes, bytes.size());
        break;
      case State::complete:
      case State::malformed:
      case State::too_large:
        break;
    }
  }
}

void ResponseParser::end_of_stream() {
  if (state_ == State::body_to_close) state_ = State::complete;
}

std::size_t ResponseParser::wanted() const {
  if (state_ == State::body_sized) return static_cast<std::size_t>(std::min<std::uint64_t>(kHttpPiece, remaining_));
  return kHttpPiece;
}

const char* exchange_end_name(ExchangeEnd end) {
  switch (end) {
    case ExchangeEnd::complete: return "complete";
    case ExchangeEnd::no_connection: return "no_connection";
    case ExchangeEnd::send_failed: return "send_failed";
    case ExchangeEnd::timed_out: return "timed_out";
    case ExchangeEnd::closed_early: return "closed_early";
    case ExchangeEnd::malformed: return "malformed";
    case ExchangeEnd::too_large: return "too_large";
    case ExchangeEnd::untrusted: return "untrusted";
  }
  return "unknown";
}

namespace {

class SocketChannel final : public ByteChannel {
 public:
  explicit SocketChannel(platform::Socket socket) : socket_(std::move(socket)) {}
  platform::NetStatus send_all(std::string_view bytes, int wait_ms) override { return socket_.send_all(bytes, wait_ms); }
  platform::Socket::Received receive(std::span<std::uint8_t> out, int wait_ms) override {
    return socket_.receive(out, wait_ms);
  }

 private:
  platform::Socket socket_;
};

class TlsByteChannel final : public ByteChannel {
 public:
  explicit TlsByteChannel(platform::TlsChannel channel) : channel_(std::move(channel)) {}
  platform::NetStatus send_all(std::string_view bytes, int wait_ms) override {
    return channel_.send_all(bytes, wait_ms);
  }
  platform::Socket::Received receive(std::span<std::uint8_t> out, int wait_ms) override {
    return channel_.receive(out, wait_ms);
  }

 private:
  platform::TlsChannel channel_;
};

}  // namespace

OpenedChannel open_plain_channel(const HttpTarget& target, int wait_ms) {
  platform::Socket socket = platform::Socket::connect(target.host, target.port, wait_ms);
  if (!socket.is_open()) return {nullptr, socket.status()};
  return {std::make_unique<SocketChannel>(std::move(socket)), platform::NetStatus::ok};
}

ChannelOpener tls_channel_opener(platform::TlsTrust trust) {
  return [trust = std::move(trust)](const HttpTarget& target, int wait_ms) -> OpenedChannel {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    platform::Socket socket = platform::Socket::connect(target.host, target.port, wait_ms);
    if (!socket.is_open()) return {nullptr, socket.status()};
    // The handshake gets what the connection left of the wait.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int handshake_ms = static_cast<int>(std::max<long long>(left, 1));
    platform::TlsChannel channel = platform::TlsChannel::open(std::move(socket), target.host, trust, handshake_ms);
    if (!channel.is_open()) return {nullptr, channel.status(), channel.problem()};
    return {std::make_unique<TlsByteChannel>(std::move(channel)), platform::NetStatus::ok};
  };
}

HttpResponse http_exchange(const HttpTarget& target, std::string_view path, const ChannelOpener& open) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto deadline = start + target.total;
  // Each wait is the configured time-out, cut to what is left of the whole exchange.
  auto next_wait = [&]() -> int {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left, std::max(target.wait_ms, 1)));
  };

  HttpResponse response;
  auto end_as = [&](ExchangeEnd end) {
    response.end = end;
    response.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  };
  OpenedChannel opened = open(target, next_wait());
  std::unique_ptr<ByteChannel> channel = std::move(opened.channel);
  if (!channel) {
    response.certificate = opened.certificate;
    end_as(opened.status == platform::NetStatus::untrusted ? ExchangeEnd::untrusted : ExchangeEnd::no_connection);
    return response;
  }
  platform::NetStatus sent = channel->send_all(http_request(target.host_header, path), next_wait());
  // A server that answers and hangs up before taking the whole request may still have
  // sent a complete response; anything else that went wrong ends the exchange here.
  if (sent != platform::NetStatus::ok && sent != platform::NetStatus::closed) {
    end_as(ExchangeEnd::send_failed);
    return response;
  }

  ResponseParser parser;
  std::array<std::uint8_t, kHttpPiece> piece{};
  ExchangeEnd end = ExchangeEnd::complete;
  while (!parser.finished()) {
    int wait = next_wait();
    if (wait == 0) {
      end = ExchangeEnd::timed_out;
      break;
    }
    auto got = channel->receive(std::span(piece).first(parser.wanted()), wait);
    if (got.status == platform::NetStatus::ok) {
      parser.feed(std::string_view(reinterpret_cast<const char*>(piece.data()), got.count));
    } else if (got.status == platform::NetStatus::closed) {
      parser.end_of_stream();
      if (parser.state() != ResponseParser::State::complete) end = ExchangeEnd::closed_early;
      break;
    } else {
      end = got.status == platform::NetStatus::timed_out ? ExchangeEnd::timed_out : ExchangeEnd::closed_early;
      break;
    }
  }
  channel.reset();  // closes the connection
  if (parser.state() == ResponseParser::State::malformed) end = ExchangeEnd::malformed;
  if (parser.state() == ResponseParser::State::too_large) end = ExchangeEnd::too_large;
  response.status = parser.status();
  response.location = parser.location();
  response.body = parser.take_body();
  end_as(end);
  return response;
}

}  // namespace torvane::app
