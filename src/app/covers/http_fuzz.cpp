// Arbitrary bytes as the image server's answer, fed to the response parser whole and in
// pieces of sizes the input chooses. The result never depends on how the bytes were
// split; a body is never longer than what arrived nor than the limit; a complete
// answer's body, sent again with a length, reads back the same.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/covers/http_exchange.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace torvane;
using app::ResponseParser;
using fuzz::require;

struct Outcome {
  ResponseParser::State state;
  int status;
  std::string body;
  bool operator==(const Outcome&) const = default;
};

Outcome finish(ResponseParser& parser, bool peer_closes) {
  require(parser.wanted() <= app::kHttpPiece);
  const ResponseParser::State before = parser.state();
  if (peer_closes) {
    parser.end_of_stream();
    if (before == ResponseParser::State::body_to_close) require(parser.state() == ResponseParser::State::complete);
    if (before != ResponseParser::State::body_to_close) require(parser.state() == before);
  }
  return {parser.state(), parser.status(), parser.body()};
}

Outcome parse_whole(std::string_view bytes, bool peer_closes) {
  ResponseParser parser;
  parser.feed(bytes);
  return finish(parser, peer_closes);
}

// Pieces of 1 to 16 bytes, their sizes taken from the bytes themselves.
Outcome parse_in_pieces(std::string_view bytes, bool peer_closes) {
  ResponseParser parser;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1 + static_cast<std::uint8_t>(bytes[at]) % 16);
    parser.feed(bytes.substr(at, n));
    require(parser.body().size() <= at + n);
    at += n;
  }
  return finish(parser, peer_closes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool peer_closes = data[0] & 1;
  const std::string_view bytes = fuzz::as_text(data + 1, size - 1);
  const Outcome whole = parse_whole(bytes, peer_closes);
  require(whole == parse_in_pieces(bytes, peer_closes));
  require(whole.body.size() <= bytes.size() && whole.body.size() <= app::kHttpMaxBody);
  if (whole.state != ResponseParser::State::complete) return 0;
  require(whole.status >= 200 && whole.status <= 999);
  if (whole.status == 204 || whole.status == 304) return 0;
  const std::string again = "HTTP/1.1 " + std::to_string(whole.status) + " OK\r\nContent-Length: " +
                            std::to_string(whole.body.size()) + "\r\n\r\n" + whole.body;
  require(parse_whole(again, false) == Outcome{ResponseParser::State::complete, whole.status, whole.body});
  return 0;
}
