#include "app/covers/cover_download.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/http_test_server.h"

namespace torvane::app {
namespace {

using torvane::testing::HttpTestServer;
using torvane::testing::ScriptedReply;

std::string jpeg(std::size_t size) {
  std::string b = "\xFF\xD8\xFF\xE0";
  b.resize(size, 'j');
  return b;
}

HttpResponse answer(int status, std::string body, ExchangeEnd end = ExchangeEnd::complete) {
  return HttpResponse{end, status, std::move(body)};
}

TEST(JudgeAnswer, OnlyCompleteImagesOverTheThreshold) {
  std::string png = "\x89PNG\r\n\x1A\n";
  png.resize(1000, 'p');
  std::string webp("RIFF\x10\x20\x00\x00WEBPVP8 ", 16);
  webp.resize(1000, 'w');
  std::string wave("RIFF\x10\x20\x00\x00WAVEfmt ", 16);
  wave.resize(1000, 'w');
  struct Case {
    const char* name;
    HttpResponse response;
    Answer expected;
  } cases[] = {
      {"901 bytes", answer(200, jpeg(901)), Answer::image},
      {"900 bytes", answer(200, jpeg(900)), Answer::no_image},
      {"901 bytes ending in 0x1A", answer(200, jpeg(900) + "\x1A"), Answer::no_image},
      {"902 bytes ending in 0x1A", answer(200, jpeg(901) + "\x1A"), Answer::image},
      {"GIF87a", answer(200, "GIF87a" + std::string(995, 'g')), Answer::image},
      {"GIF89a", answer(203, "GIF89a" + std::string(995, 'g')), Answer::image},
      {"PNG", answer(200, png), Answer::image},
      {"WebP", answer(200, webp), Answer::image},
      {"RIFF but not WebP", answer(200, wave), Answer::no_image},
      {"error page with 200", answer(200, "<html>" + std::string(2000, 'e')), Answer::no_image},
      {"empty 200", answer(200, ""), Answer::no_image},
      {"404 page of 2000 bytes", answer(404, "<html>" + std::string(1994, 'n')), Answer::no_image},
      {"410", answer(410, ""), Answer::no_image},
      {"image sent with 500", answer(500, jpeg(5000)), Answer::inconclusive},
      {"429", answer(429, ""), Answer::inconclusive},
      {"301", answer(301, ""), Answer::inconclusive},
      {"image cut short", answer(200, jpeg(5000), ExchangeEnd::closed_early), Answer::inconclusive},
      {"no connection", answer(0, "", ExchangeEnd::no_connection), Answer::inconclusive},
      {"timed out", answer(200, jpeg(5000), ExchangeEnd::timed_out), Answer::inconclusive},
      {"too large", answer(200, jpeg(5000), ExchangeEnd::too_large), Answer::inconclusive},
      {"404 cut short", answer(404, "", ExchangeEnd::closed_early), Answer::inconclusive},
  };
  for (const Case& c : cases) EXPECT_EQ(judge_answer(c.response), c.expected) << c.name;
}

TEST(DownloadTarget, ServerSetting) {
  struct Case {
    const char* setting;
    bool usable;
    const char* host;
    int port;
    const char* host_header;
  } cases[] = {
      {"", true, "covers.torvane.invalid", 80, "covers.torvane.invalid"},
      {"  img.example  ", true, "img.example", 80, "img.example"},
      {"img.example:8080", true, "img.example", 8080, "img.example:8080"},
      {"127.0.0.1:80", true, "127.0.0.1", 80, "127.0.0.1"},
      {"[::1]:8080", true, "::1", 8080, "[::1]:8080"},
      {"img.example:", false, "", 0, ""},
      {"img.example:0", false, "", 0, ""},
      {"img.example:65536", false, "", 0, ""},
      {"img.example:80x", false, "", 0, ""},
      {":8080", false, "", 0, ""},
      {"img.example\r\nX-Evil: 1", false, "", 0, ""},
      {"two words", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    auto t = download_target(c.setting, 0);
    ASSERT_EQ(t.has_value(), c.usable);
    if (!t) continue;
    EXPECT_EQ(t->host, c.host);
    EXPECT_EQ(t->port, c.port);
    EXPECT_EQ(t->host_header, c.host_header);
    EXPECT_EQ(t->wait_ms, 20000);
  }
  EXPECT_EQ(download_target("", 1500)->wait_ms, 1500);
}

// The ISBN toolkit, as far as these tests need it: 316148410X has a known range,
// 9999999999 passes the test but has none (ISBN2EAN gives nothing).
struct FakeTables {
  std::vector<std::pair<std::string, std::string>> covers;
  std::vector<std::string> not_found;
  std::vector<std::string> converted;

  CoverSteps steps() {
    return {
        [](std::string_view isbn) {
          return isbn == "316148410X" || isbn == "9999999999" || (!isbn.empty() && isbn.front() == 'M');
        },
        [this](std::string_view isbn) {
          converted.emplace_back(isbn);
          return isbn == "316148410X" ? std::string("978-3-16-148410-0") : std::string();
        },
        [this](const std::string& key, const std::string& image) { covers.emplace_back(key, image); },
        [this](const std::string& key) { not_found.push_back(key); },
    };
  }
};

TEST(CoverStorageKey, IsbnKeyFormOrTheTextItself) {
  FakeTables t;
  EXPECT_EQ(cover_storage_key("316148410X", t.steps()), "9783161484100");
  EXPECT_EQ(cover_storage_key("9999999999", t.steps()), "");
  EXPECT_EQ(cover_storage_key("12345abc", t.steps()), "12345ABC");
}

// A fetch that answers from a list, one answer per request, and records the paths.
struct ScriptedFetch {
  explicit ScriptedFetch(std::vector<HttpResponse> list = {}) : answers(std::move(list)) {}
  std::vector<HttpResponse> answers;
  std::vector<std::string> paths;
  CoverFetch fetch() {
    return [this](std::string_view path) {
      paths.emplace_back(path);
      return paths.size() <= answers.size() ? answers[paths.size() - 1] : answer(404, "");
    };
  }
};

TEST(GetCover, FirstImageEndsTheSearch) {
  FakeTables t;
  ScriptedFetch f{{answer(200, jpeg(901))}};
  EXPECT_EQ(GETCOVER("316148410x", f.fetch(), t.steps()), CoverOutcome::image);
  EXPECT_EQ(f.paths, std::vector<std::string>{"/images/P/316148410X.03.MZZZZZZZ.jpg"});
  ASSERT_EQ(t.covers.size(), 1u);
  EXPECT_EQ(t.covers[0].first, "9783161484100");
  EXPECT_EQ(t.covers[0].second, jpeg(901));
  EXPECT_TRUE(t.not_found.empty());
}

TEST(GetCover, FourDefiniteNoAnswersMakeOneNotFoundRecord) {
  FakeTables t;
  ScriptedFetch f{{answer(200, jpeg(900)), answer(404, std::string(2000, 'n')), answer(410, ""),
                   answer(200, "<html>" + std::string(3000, 'x'))}};
  EXPECT_EQ(GETCOVER("316148410X", f.fetch(), t.steps()), CoverOutcome::not_found);
  EXPECT_EQ(f.paths, (std::vector<std::string>{
                         "/images/P/316148410X.03.MZZZZZZZ.jpg", "/images/P/316148410X.03.MZZZZZZZ.gif",
                         "/images/P/316148410X.03.TZZZZZZZ.jpg", "/images/P/316148410X.03.TZZZZZZZ.gif"}));
  EXPECT_TRUE(t.covers.empty());
  EXPECT_EQ(t.not_found, std::vector<std::string>{"9783161484100"});
}

TEST(GetCover, AnInconclusiveAnswerRecordsNothing) {
  for (HttpResponse bad : {answer(0, "", ExchangeEnd::no_connection), answer(503, ""), answer(429, ""),
                           answer(200, jpeg(5000), ExchangeEnd::closed_early)}) {
    FakeTables t;
    ScriptedFetch f{{answer(404, ""), answer(404, ""), bad, answer(404, "")}};
    EXPECT_EQ(GETCOVER("316148410X", f.fetch(), t.steps()), CoverOutcome::unreachable);
    EXPECT_EQ(f.paths.size(), 4u);
    EXPECT_TRUE(t.covers.empty());
    EXPECT_TRUE(t.not_found.empty());
  }
  // A later attempt with an image still wins.
  FakeTables t;
  ScriptedFetch f{{answer(0, "", ExchangeEnd::timed_out), answer(200, "GIF89a" + std::string(2000, 'g'))}};
  EXPECT_EQ(GETCOVER("316148410X", f.fetch(), t.steps()), CoverOutcome::image);
  EXPECT_EQ(t.covers.size(), 1u);
}

TEST(GetCover, InputsThatAreNeverSent) {
  for (std::string_view isbn : {"", "M123456789", "m123456789", "316148410X\r\nHost: x", "31614 8410X", "../../x"}) {
    FakeTables t;
    ScriptedFetch f{{answer(200, jpeg(5000))}};
    EXPECT_EQ(GETCOVER(isbn, f.fetch(), t.steps()), CoverOutcome::not_found) << isbn;
    EXPECT_TRUE(f.paths.empty());
    EXPECT_TRUE(t.converted.empty());
    EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
  }
}

TEST(GetCover, NoKeyStoresNothingButReportsTheOutcome) {
  FakeTables t;
  ScriptedFetch image{{answer(200, jpeg(2000))}};
  EXPECT_EQ(GETCOVER("9999999999", image.fetch(), t.steps()), CoverOutcome::image);
  ScriptedFetch none{};
  EXPECT_EQ(GETCOVER("9999999999", none.fetch(), t.steps()), CoverOutcome::not_found);
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
}

TEST(UnreachableRun, GivesUpOnceAfterThreeInARow) {
  UnreachableRun run;
  EXPECT_FALSE(run.note(CoverOutcome::unreachable));
  EXPECT_FALSE(run.note(CoverOutcome::unreachable));
  EXPECT_FALSE(run.note(CoverOutcome::not_found));  // the run starts again
  EXPECT_FALSE(run.note(CoverOutcome::unreachable));
  EXPECT_FALSE(run.note(CoverOutcome::unreachable));
  EXPECT_TRUE(run.note(CoverOutcome::unreachable));
  EXPECT_TRUE(run.given_up());
  EXPECT_FALSE(run.note(CoverOutcome::unreachable));
}

// Against a server on 127.0.0.1.

CoverFetch local_fetch(std::uint16_t port, long timeout_ms = 2000) {
  return server_fetch(*download_target("127.0.0.1:" + std::to_string(port), timeout_ms));
}

std::string expected_request(std::uint16_t port, std::string_view path) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUser-agent: Mozilla/3.0 compatible\r\nConnection: close\r\n\r\n";
}

TEST(GetCoverOverLoopback, ExactRequestsUntilTheImage) {
  std::map<std::string, ScriptedReply> replies = {
      {"/images/P/316148410X.03.MZZZZZZZ.jpg", {HttpTestServer::response(200, jpeg(900))}},
      {"/images/P/316148410X.03.MZZZZZZZ.gif", {HttpTestServer::response(404, std::string(2000, 'n'))}},
      {"/images/P/316148410X.03.TZZZZZZZ.jpg", {HttpTestServer::chunked(200, jpeg(4000), 1000)}},
  };
  HttpTestServer server([&](const std::string& path) { return replies.at(path); });
  FakeTables t;
  EXPECT_EQ(GETCOVER("316148410X", local_fetch(server.port()), t.steps()), CoverOutcome::image);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], expected_request(server.port(), "/images/P/316148410X.03.MZZZZZZZ.jpg"));
  EXPECT_EQ(requests[1], expected_request(server.port(), "/images/P/316148410X.03.MZZZZZZZ.gif"));
  EXPECT_EQ(requests[2], expected_request(server.port(), "/images/P/316148410X.03.TZZZZZZZ.jpg"));
  ASSERT_EQ(t.covers.size(), 1u);
  EXPECT_EQ(t.covers[0].second, jpeg(4000));
}

TEST(GetCoverOverLoopback, DefiniteNotFound) {
  HttpTestServer server([](const std::string&) {
    return ScriptedReply{HttpTestServer::response(404, "<html>" + std::string(1994, 'n'))};
  });
  FakeTables t;
  EXPECT_EQ(GETCOVER("316148410X", local_fetch(server.port()), t.steps()), CoverOutcome::not_found);
  EXPECT_EQ(server.requests().size(), 4u);
  EXPECT_EQ(t.not_found, std::vector<std::string>{"9783161484100"});
}

TEST(GetCoverOverLoopback, ServerFailuresRecordNothing) {
  struct Case {
    const char* name;
    ScriptedReply reply;
  } cases[] = {
      {"never answers", {"", {}, {}, true}},
      {"header overrun", {"HTTP/1.1 200 OK\r\nX: " + std::string(10240, 'h') + "\r\n\r\n" + jpeg(2000)}},
      {"closed mid-body", {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + jpeg(2000)}},
      {"service unavailable", {HttpTestServer::response(503, jpeg(2000))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server([&](const std::string&) { return c.reply; });
    FakeTables t;
    EXPECT_EQ(GETCOVER("316148410X", local_fetch(server.port(), 100), t.steps()), CoverOutcome::unreachable);
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
  }
}

TEST(GetCoverOverLoopback, RefusedConnectionFourAttempts) {
  const std::uint16_t port = HttpTestServer::unused_port();
  CoverFetch inner = local_fetch(port);
  int attempts = 0;
  CoverFetch counting = [&](std::string_view path) {
    ++attempts;
    return inner(path);
  };
  FakeTables t;
  EXPECT_EQ(GETCOVER("316148410X", counting, t.steps()), CoverOutcome::unreachable);
  EXPECT_EQ(attempts, 4);
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
}

}  // namespace
}  // namespace torvane::app
