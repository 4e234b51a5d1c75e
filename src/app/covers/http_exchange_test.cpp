#include "app/covers/http_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/http_test_server.h"
#ifndef _WIN32
#include "support/tls_test_server.h"
#endif

namespace torvane::app {
namespace {

using State = ResponseParser::State;
using torvane::testing::HttpTestServer;
using torvane::testing::ScriptedReply;

struct ParseCase {
  const char* name;
  std::string input;
  bool closed;  // the peer closes after the input
  State state;
  int status;
  std::string body;
};

const std::string k498(498, 'a');  // with CR LF: a line of exactly 500 bytes

std::vector<ParseCase> parse_cases() {
  return {
      {"sized body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, State::complete, 200, "hello"},
      {"bytes after the length ignored", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nhello", false, State::complete,
       200, "hel"},
      {"sized body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", true, State::body_sized, 200,
       "hello"},
      {"empty sized body", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, State::complete, 200, ""},
      {"names in any case, bare LF", "HTTP/1.1 200 OK\ncontent-LENGTH:   4  \n\nabcd", false, State::complete, 200,
       "abcd"},
      {"same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab", false,
       State::complete, 200, "ab"},
      {"chunked with extension and trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;name=x\r\n world\r\n0\r\nX-T: 1\r\n\r\n",
       false, State::complete, 200, "hello world"},
      {"chunked wins over length, any case",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
       State::complete, 200, "abc"},
      {"chunked without last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", true,
       State::chunk_size, 200, "abc"},
      {"chunked without final empty line", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
       true, State::trailers, 200, "abc"},
      {"chunk data longer than its size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n",
       false, State::malformed, 200, "abc"},
      {"chunk size not hexadecimal", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
       State::malformed, 200, ""},
      {"chunk size missing", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n", false, State::malformed, 200,
       ""},
      {"chunk size FFFFFFFFFFFF", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n", false,
       State::too_large, 200, ""},
      {"chunk size beyond 64 bits",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1FFFFFFFFFFFFFFFFFFFFFFFF\r\n", false, State::too_large,
       200, ""},
      {"chunk one byte over the limit", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000001\r\n", false,
       State::too_large, 200, ""},
      {"close-delimited body", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nabc", true, State::complete, 200, "abc"},
      {"close-delimited body still open", "HTTP/1.1 200 OK\r\n\r\nabc", false, State::body_to_close, 200, "abc"},
      {"404 page", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope", false, State::complete, 404, "nope"},
      {"interim answer first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false,
       State::complete, 200, "ok"},
      {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\n", false, State::complete, 204, ""},
      {"status without reason", "HTTP/1.1 200\r\nContent-Length: 1\r\n\r\nx", false, State::complete, 200, "x"},
      {"garbage", "garbage\r\n", false, State::malformed, 0, ""},
      {"binary garbage", std::string("\x00\xFF\x13\n", 4), false, State::malformed, 0, ""},
      {"four-digit status", "HTTP/1.1 2000 OK\r\n", false, State::malformed, 0, ""},
      {"status code too small", "HTTP/1.1 099 Odd\r\n", false, State::malformed, 0, ""},
      {"version without digits", "HTTP/x.1 200 OK\r\n", false, State::malformed, 0, ""},
      {"other protocol", "ICY 200 OK\r\n", false, State::malformed, 0, ""},
      {"headers without an end", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", true, State::headers, 200, ""},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", false, State::malformed, 200, ""},
      {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", false, State::malformed, 200, ""},
      {"two different lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", false,
       State::malformed, 200, ""},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999999\r\n\r\n", false,
       State::too_large, 200, ""},
      {"length one byte over the limit", "HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n", false,
       State::too_large, 200, ""},
      {"length at the limit", "HTTP/1.1 200 OK\r\nContent-Length: 16777216\r\n\r\n", false, State::body_sized, 200,
       ""},
      {"header line of 500 bytes", "HTTP/1.1 200 OK\r\n" + k498 + "\r\nContent-Length: 1\r\n\r\nx", false,
       State::complete, 200, "x"},
      {"header line of 501 bytes", "HTTP/1.1 200 OK\r\n" + k498 + "a\r\n", false, State::malformed, 200, ""},
      {"header line of 10 KB", "HTTP/1.1 200 OK\r\nX: " + std::string(10240, 'b') + "\r\n\r\n", false,
       State::malformed, 200, ""},
      {"endless status line", std::string(600, 'H'), false, State::malformed, 0, ""},
  };
}

ResponseParser run(const ParseCase& c, std::size_t piece) {
  ResponseParser parser;
  for (std::size_t at = 0; at < c.input.size(); at += piece) parser.feed(std::string_view(c.input).substr(at, piece));
  if (c.closed) parser.end_of_stream();
  return parser;
}

TEST(ResponseParser, CasesWholeAndPieceByPiece) {
  for (const ParseCase& c : parse_cases()) {
    for (std::size_t piece : {c.input.size() + 1, std::size_t{1}, std::size_t{7}}) {
      ResponseParser p = run(c, piece);
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      EXPECT_EQ(p.state(), c.state);
      EXPECT_EQ(p.status(), c.status);
      if (c.state == State::complete) {
        EXPECT_EQ(p.body(), c.body);
      }
    }
  }
}

TEST(ResponseParser, BodyLimitAcrossChunksAndCloseDelimited) {
  const std::string half(kHttpMaxBody / 2, 'x');
  ResponseParser chunks;
  chunks.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n800000\r\n");
  chunks.feed(half);
  chunks.feed("\r\n800000\r\n");
  EXPECT_EQ(chunks.state(), State::chunk_data);  // exactly the limit is allowed
  chunks.feed(half);
  chunks.feed("\r\n1\r\n");
  EXPECT_EQ(chunks.state(), State::too_large);

  ResponseParser to_close;
  to_close.feed("HTTP/1.1 200 OK\r\n\r\n");
  to_close.feed(half);
  to_close.feed(half);
  EXPECT_EQ(to_close.state(), State::body_to_close);
  to_close.feed("y");
  EXPECT_EQ(to_close.state(), State::too_large);
}

std::string repeated(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// A head of exactly `size` bytes: status line, filler header lines, a length of 1 and
// the empty line; the body "x" follows.
std::string head_of(std::size_t size) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string tail = "Content-Length: 1\r\n\r\n";
  while (head.size() + tail.size() < size) {
    const std::size_t room = std::min<std::size_t>(size - head.size() - tail.size(), 100);
    head += "X: " + std::string(room - 5, 'a') + "\r\n";
  }
  return head + tail + "x";
}

TEST(ResponseParser, HeadsWithoutEndAreCutOff) {
  struct Case {
    const char* name;
    std::string input;
    State state;
  } cases[] = {
      {"head at the limit", head_of(kHttpMaxHead), State::complete},
      {"head one byte over", head_of(kHttpMaxHead + 1), State::malformed},
      {"header lines without end", "HTTP/1.1 200 OK\r\n" + repeated("X-Filler: 0123456789\r\n", 5000),
       State::malformed},
      {"interim answers without end", repeated("HTTP/1.1 100 Continue\r\n\r\n", 5000), State::malformed},
      {"trailer lines without end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" + repeated("X: y\r\n", 20000),
       State::malformed},
      // Chunk-size lines come with body bytes, which the body limit bounds.
      {"many small chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                repeated("1\r\nx\r\n", 20000) + "0\r\n\r\n",
       State::complete},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {c.input.size(), std::size_t{1}, std::size_t{333}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      ResponseParser p;
      for (std::size_t at = 0; at < c.input.size(); at += piece) p.feed(std::string_view(c.input).substr(at, piece));
      EXPECT_EQ(p.state(), c.state);
    }
  }
}

TEST(ResponseParser, ReadsNoMoreThanAPieceOrTheRestOfTheBody) {
  ResponseParser p;
  EXPECT_EQ(p.wanted(), kHttpPiece);
  p.feed("HTTP/1.1 200 OK\r\nContent-Length: 1500\r\n\r\n");
  EXPECT_EQ(p.wanted(), kHttpPiece);
  p.feed(std::string(1024, 'x'));
  EXPECT_EQ(p.wanted(), 476u);
}

TEST(ResponseParser, KeepsTheLocationOfTheFinalAnswer) {
  ResponseParser p;
  p.feed("HTTP/1.1 100 Continue\r\nLocation: /interim\r\n\r\n");
  p.feed("HTTP/1.1 301 Moved\r\nlocation:  https://img.example/a.jpg \r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(p.state(), State::complete);
  EXPECT_EQ(p.location(), "https://img.example/a.jpg");
  ResponseParser none;
  none.feed("HTTP/1.1 100 Continue\r\nLocation: /interim\r\n\r\nHTTP/1.1 404 No\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(none.location(), "");
}

TEST(HttpRequest, ExactBytes) {
  EXPECT_EQ(http_request("img.example:8080", "/images/P/316148410X.03.MZZZZZZZ.jpg"),
            "GET /images/P/316148410X.03.MZZZZZZZ.jpg HTTP/1.1\r\n"
            "Host: img.example:8080\r\n"
            "User-agent: Mozilla/3.0 compatible\r\n"
            "Connection: close\r\n"
            "\r\n");
}

// Exchanges over loopback.

HttpTarget local(std::uint16_t port, int wait_ms = 2000) {
  HttpTarget t;
  t.host = "127.0.0.1";
  t.port = port;
  t.host_header = "127.0.0.1:" + std::to_string(port);
  t.wait_ms = wait_ms;
  return t;
}

TEST(HttpExchange, CompleteAnswersOfEveryKind) {
  const std::string image(3000, '\x5A');
  struct Kind {
    const char* name;
    std::string reply;
  } kinds[] = {{"sized", HttpTestServer::response(200, image)},
               {"chunked", HttpTestServer::chunked(200, image, 700)},
               {"close-delimited", HttpTestServer::response(200, image, false)}};
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    HttpTestServer server([&](const std::string&) { return ScriptedReply{k.reply}; });
    HttpResponse r = http_exchange(local(server.port()), "/a/b.jpg");
    EXPECT_EQ(r.end, ExchangeEnd::complete) << exchange_end_name(r.end);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, image);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], http_request(local(server.port()).host_header, "/a/b.jpg"));
  }
}

TEST(HttpExchange, RefusedConnection) {
  HttpResponse r = http_exchange(local(HttpTestServer::unused_port()), "/x");
  EXPECT_EQ(r.end, ExchangeEnd::no_connection);
  EXPECT_EQ(r.status, 0);
}

TEST(HttpExchange, UnresolvableName) {
  HttpTarget t = local(80);
  t.host = "no-such-host.invalid";
  EXPECT_EQ(http_exchange(t, "/x").end, ExchangeEnd::no_connection);
}

TEST(HttpExchange, TruncatedOrBrokenAnswers) {
  struct Broken {
    const char* name;
    std::string reply;
    ExchangeEnd end;
  } cases[] = {
      {"closed mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(1200, 'x'),
       ExchangeEnd::closed_early},
      {"chunked without last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" +
                                         std::string(1024, 'x') + "\r\n",
       ExchangeEnd::closed_early},
      {"headers without an end", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", ExchangeEnd::closed_early},
      {"nothing at all", "", ExchangeEnd::closed_early},
      {"garbage", "<html>hello</html>\r\n\r\n", ExchangeEnd::malformed},
      {"header overrun", "HTTP/1.1 200 OK\r\nX: " + std::string(10240, 'y') + "\r\n\r\n", ExchangeEnd::malformed},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 4000000000\r\n\r\nabc", ExchangeEnd::too_large},
  };
  for (const Broken& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server([&](const std::string&) { return ScriptedReply{c.reply}; });
    HttpResponse r = http_exchange(local(server.port()), "/x");
    EXPECT_EQ(r.end, c.end) << exchange_end_name(r.end);
  }
}

TEST(HttpExchange, WaitsAreBounded) {
  using namespace std::chrono;
  // Accepts and never answers: one wait of the time-out.
  {
    HttpTestServer server([](const std::string&) { return ScriptedReply{"", {}, {}, true}; });
    auto start = steady_clock::now();
    HttpResponse r = http_exchange(local(server.port(), 150), "/x");
    EXPECT_EQ(r.end, ExchangeEnd::timed_out);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
    EXPECT_GE(r.elapsed, milliseconds(100));  // about the one wait
  }
  // Header lines without end, each well within the wait.
  {
    HttpTestServer server(
        [](const std::string&) { return ScriptedReply{"HTTP/1.1 200 OK\r\n", {}, milliseconds(5), false, "X: y\r\n"}; });
    HttpTarget t = local(server.port(), 500);
    t.total = milliseconds(300);
    auto start = steady_clock::now();
    HttpResponse r = http_exchange(t, "/x");
    EXPECT_EQ(r.end, ExchangeEnd::timed_out);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
  }
  // The same sent as fast as the connection goes: cut off at the head limit.
  {
    HttpTestServer server(
        [](const std::string&) { return ScriptedReply{"HTTP/1.1 200 OK\r\n", {}, {}, false, "X: y\r\n"}; });
    HttpResponse r = http_exchange(local(server.port(), 5000), "/x");
    EXPECT_EQ(r.end, ExchangeEnd::malformed);
  }
  // Drips a byte at a time, each well within the wait: the whole exchange is bounded.
  {
    std::string reply = HttpTestServer::response(200, std::string(2000, 'z'));
    HttpTestServer server([&](const std::string&) { return ScriptedReply{reply, {}, milliseconds(20)}; });
    HttpTarget t = local(server.port(), 500);
    t.total = milliseconds(300);
    auto start = steady_clock::now();
    HttpResponse r = http_exchange(t, "/x");
    EXPECT_EQ(r.end, ExchangeEnd::timed_out);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
  }
}

#ifndef _WIN32
// Over HTTPS, against the local TLS server and its own certificate authority.

using torvane::testing::TlsTestCertificate;
using torvane::testing::TlsTestServer;

HttpTarget local_tls(std::uint16_t port, int wait_ms = 2000) {
  HttpTarget t = local(port, wait_ms);
  t.host = "localhost";
  t.host_header = "localhost:" + std::to_string(port);
  t.tls = true;
  return t;
}

const ChannelOpener& trusting_test_root() {
  static const ChannelOpener open = tls_channel_opener(platform::TlsTrust::create(TlsTestServer::ca_pem()));
  return open;
}

TEST(HttpsExchange, TheSameRequestBytesAndAnswersAsOverHttp) {
  const std::string image(3000, '\x5A');
  for (const std::string& reply : {HttpTestServer::response(200, image), HttpTestServer::chunked(200, image, 700),
                                   HttpTestServer::response(200, image, false)}) {
    TlsTestServer server(TlsTestCertificate::valid, [&](const std::string&) { return ScriptedReply{reply}; });
    const HttpTarget target = local_tls(server.port());
    HttpResponse r = http_exchange(target, "/a/b.jpg", trusting_test_root());
    EXPECT_EQ(r.end, ExchangeEnd::complete) << exchange_end_name(r.end);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, image);
    EXPECT_EQ(server.requests(), std::vector<std::string>{http_request(target.host_header, "/a/b.jpg")});
  }
  // The same limits: a header line over 500 bytes ends the exchange.
  TlsTestServer overrun(TlsTestCertificate::valid, [](const std::string&) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nX: " + std::string(600, 'y') + "\r\n\r\n"};
  });
  EXPECT_EQ(http_exchange(local_tls(overrun.port()), "/x", trusting_test_root()).end, ExchangeEnd::malformed);
}

TEST(HttpsExchange, ARefusedCertificateEndsBeforeTheRequest) {
  const struct {
    TlsTestCertificate certificate;
    platform::CertificateProblem problem;
  } cases[] = {{TlsTestCertificate::expired, platform::CertificateProblem::expired},
               {TlsTestCertificate::unknown_issuer, platform::CertificateProblem::unknown_issuer},
               {TlsTestCertificate::wrong_name, platform::CertificateProblem::wrong_name}};
  for (const auto& c : cases) {
    TlsTestServer server(c.certificate,
                         [](const std::string&) { return ScriptedReply{HttpTestServer::response(200, "x")}; });
    HttpResponse r = http_exchange(local_tls(server.port()), "/x", trusting_test_root());
    EXPECT_EQ(r.end, ExchangeEnd::untrusted) << exchange_end_name(r.end);
    EXPECT_EQ(r.certificate, c.problem);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(server.requests().empty());
  }
  // Without the test root, the system's roots alone do not vouch for the server.
  TlsTestServer server(TlsTestCertificate::valid, [](const std::string&) { return ScriptedReply{"x"}; });
  HttpResponse r = http_exchange(local_tls(server.port()), "/x", tls_channel_opener(platform::TlsTrust::create("")));
  EXPECT_EQ(r.end, ExchangeEnd::untrusted);
  EXPECT_EQ(r.certificate, platform::CertificateProblem::unknown_issuer);
}

TEST(HttpsExchange, WaitsAreBounded) {
  using namespace std::chrono;
  // Stops in the middle of the handshake: the wait, cut to the exchange's budget.
  {
    TlsTestServer server{TlsTestServer::StallInHandshake{}};
    HttpTarget t = local_tls(server.port(), 5000);
    t.total = milliseconds(300);
    const auto start = steady_clock::now();
    HttpResponse r = http_exchange(t, "/x", trusting_test_root());
    EXPECT_EQ(r.end, ExchangeEnd::no_connection) << exchange_end_name(r.end);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
  }
  // Drips the answer a byte at a time inside TLS: the whole exchange is bounded.
  {
    const std::string reply = HttpTestServer::response(200, std::string(2000, 'z'));
    TlsTestServer server(TlsTestCertificate::valid,
                         [&](const std::string&) { return ScriptedReply{reply, {}, milliseconds(20)}; });
    HttpTarget t = local_tls(server.port(), 500);
    t.total = milliseconds(400);
    const auto start = steady_clock::now();
    HttpResponse r = http_exchange(t, "/x", trusting_test_root());
    EXPECT_EQ(r.end, ExchangeEnd::timed_out) << exchange_end_name(r.end);
    EXPECT_LT(steady_clock::now() - start, seconds(3));
  }
}
#endif

}  // namespace
}  // namespace torvane::app
