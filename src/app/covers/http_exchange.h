#pragma once
// One HTTP/1.1 exchange of the cover download: a fresh connection, one GET, one response.
//
// The request is exactly four lines and an empty line, each ended by CR LF:
//   GET <path> HTTP/1.1
//   Host: <host>
//   User-agent: Mozilla/3.0 compatible
//   Connection: close
// The response is read by ResponseParser, a pure state machine fed with the bytes as
// they arrive, so that every rule about lines, lengths and chunks is tested without a
// socket. Nothing is written to disk: the body stays in memory.
//
// Over HTTPS the same request bytes go through a TLS channel and the answer is read by
// the same parser with the same limits and time bounds; only opening the channel
// differs (tls_channel_opener).
//
//   status_line -> headers -> body_sized ----------------------------> complete
//                          -> body_to_close (ends when the peer closes) -> complete
//                          -> chunk_size -> chunk_data -> chunk_end -+
//                                  ^---------------------------------+
//                             chunk_size "0" -> trailers ----------> complete
//   any state -> malformed | too_large
//   (an interim answer, status 1xx, goes from headers back to status_line)
//
// A response is complete only when its end is certain: the announced length arrived,
// the last chunk and the trailer lines arrived, or, without either, the server closed
// the connection. A body cut short is never complete.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/tls_channel.h"

namespace torvane::app {

// A status, header, chunk-size or trailer line: at most this many bytes, line end included.
constexpr std::size_t kHttpMaxLine = 500;
// The status lines and header lines of every answer (interim "1xx" answers included) and
// the trailer lines together: at most this many bytes. A server that sends header lines
// or interim answers without end is given up as soon as they pass it.
constexpr std::size_t kHttpMaxHead = 64u * 1024u;
// The largest body accepted; a longer one ends the exchange.
constexpr std::size_t kHttpMaxBody = 16u * 1024u * 1024u;
// The body is read in pieces of at most this many bytes.
constexpr std::size_t kHttpPiece = 1024;

// The exact request bytes for path on host.
std::string http_request(std::string_view host, std::string_view path);

class ResponseParser {
 public:
  enum class State {
    status_line,
    headers,
    body_sized,     // Content-Length announced
    body_to_close,  // neither length nor chunks: the body ends when the peer closes
    chunk_size,
    chunk_data,
    chunk_end,      // the line end after a chunk's data
    trailers,
    complete,
    malformed,      // not a response we can read: a bad line, length or chunk size
    too_large,      // the body would exceed kHttpMaxBody
  };

  // Consumes bytes of the response in arrival order. Bytes after the end of the
  // response, or after a failure, are ignored.
  void feed(std::string_view bytes);
  // The peer closed the connection: this ends a close-delimited body. In any other
  // state the response stays incomplete.
  void end_of_stream();

  State state() const { return state_; }
  bool finished() const { return state_ == State::complete || failed(); }
  bool failed() const { return state_ == State::malformed || state_ == State::too_large; }
  int status() const { return status_; }  // 0 until the status line was read
  // The Location header of the answer (the last one), as sent; "" when there is none.
  const std::string& location() const { return location_; }
  const std::string& body() const { return body_; }
  std::string take_body() { return std::move(body_); }
  // How many bytes the next read should ask for: a piece, but no more than the rest of
  // an announced body.
  std::size_t wanted() const;

 private:
  // Collects one line; true when a whole line is in line_ (without its CR LF).
  bool take_line(std::string_view& bytes);
  // Feeds bytes to a line state (status, header, chunk-size or trailer line).
  void feed_line(std::string_view& bytes);
  void on_status_line();
  void on_header_line();
  void on_headers_end();
  void on_chunk_size_line();
  void take_body_bytes(std::string_view& bytes, std::uint64_t limit);

  State state_ = State::status_line;
  std::string line_;
  int status_ = 0;
  bool chunked_ = false;
  bool has_length_ = false;
  std::uint64_t length_ = 0;     // announced Content-Length
  std::uint64_t remaining_ = 0;  // bytes left of the body or of the current chunk
  std::size_t head_bytes_ = 0;   // status, header and trailer bytes so far
  std::string location_;
  std::string body_;
};

enum class ExchangeEnd {
  complete,       // the whole response arrived
  no_connection,  // the name did not resolve, the connection was refused or timed out
  send_failed,    // the request could not be sent
  timed_out,      // a wait for data ended, or the whole exchange took too long
  closed_early,   // the server closed before the response was complete
  malformed,      // the answer is not a readable HTTP response
  too_large,      // the body exceeds kHttpMaxBody
  untrusted,      // HTTPS: the server's certificate failed the check
};

const char* exchange_end_name(ExchangeEnd end);

struct HttpResponse {
  ExchangeEnd end = ExchangeEnd::no_connection;
  int status = 0;    // the status code, 0 when no status line was read
  std::string body;  // the body as far as it arrived
  std::chrono::milliseconds elapsed{0};  // the whole exchange, name resolution included
  std::string location;  // the Location header, "" when there is none
  platform::CertificateProblem certificate = platform::CertificateProblem::none;  // why untrusted
};

struct HttpTarget {
  std::string host;                  // name or address to connect to
  std::uint16_t port = 80;
  bool tls = false;                  // "https": the exchange runs inside TLS
  std::string host_header;           // the Host line's value
  int wait_ms = 20000;               // connecting and every wait for data
  std::chrono::milliseconds total{std::chrono::seconds(15)};  // the whole exchange
};

// The byte stream an exchange runs over: a plain TCP connection. A channel that
// encrypts stands in its place without changing the request bytes or how the answer
// is read. Each call waits at most wait_ms.
class ByteChannel {
 public:
  virtual ~ByteChannel() = default;
  virtual platform::NetStatus send_all(std::string_view bytes, int wait_ms) = 0;
  virtual platform::Socket::Received receive(std::span<std::uint8_t> out, int wait_ms) = 0;
};

// A channel, or why there is none: no connection came (channel is nullptr, status tells
// the socket's reason), or the certificate was refused (status untrusted).
struct OpenedChannel {
  std::unique_ptr<ByteChannel> channel;
  platform::NetStatus status = platform::NetStatus::failed;
  platform::CertificateProblem certificate = platform::CertificateProblem::none;
};

// Opens a channel to the target within wait_ms.
using ChannelOpener = std::function<OpenedChannel(const HttpTarget& target, int wait_ms)>;
OpenedChannel open_plain_channel(const HttpTarget& target, int wait_ms);
// Opens TLS channels that trust the roots of trust: the TCP connection and the
// handshake together within wait_ms, the certificate checked for the target's host.
ChannelOpener tls_channel_opener(platform::TlsTrust trust);

// Runs one exchange: open a channel, send the request for path, read the response.
// Safe to run on several threads at once, each with its own exchange.
HttpResponse http_exchange(const HttpTarget& target, std::string_view path,
                           const ChannelOpener& open = open_plain_channel);

}  // namespace torvane::app
