#include "app/covers/cover_download.h"

#include <gtest/gtest.h>

#include <chrono>
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

HttpResponse answer(int status, std::string body, ExchangeEnd end = ExchangeEnd::complete,
                    std::chrono::milliseconds elapsed = std::chrono::milliseconds(0)) {
  HttpResponse r;
  r.end = end;
  r.status = status;
  r.body = std::move(body);
  r.elapsed = elapsed;
  return r;
}

std::string html_page() { return "<html><body>Bitte melden Sie sich an" + std::string(2000, '.') + "</body></html>"; }

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
      {"GIF placeholder", answer(200, "GIF89a" + std::string(37, 'g')), Answer::no_image},
      {"RIFF but not WebP", answer(200, wave), Answer::inconclusive},
      {"portal page with 200", answer(200, html_page()), Answer::inconclusive},
      {"short text with 200", answer(200, "not here"), Answer::inconclusive},
      {"empty 200", answer(200, ""), Answer::inconclusive},
      {"204", answer(204, ""), Answer::inconclusive},
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
    bool tls = false;
  } cases[] = {
      {"", true, "covers.torvane.invalid", 80, "covers.torvane.invalid"},
      {"  img.example  ", true, "img.example", 80, "img.example"},
      {"img.example:8080", true, "img.example", 8080, "img.example:8080"},
      {"127.0.0.1:80", true, "127.0.0.1", 80, "127.0.0.1"},
      {"[::1]:8080", true, "::1", 8080, "[::1]:8080"},
      {"http://img.example", true, "img.example", 80, "img.example"},
      {"HTTP://img.example:8080/", true, "img.example", 8080, "img.example:8080"},
      {"https://img.example", true, "img.example", 443, "img.example", true},
      {"Https://img.example:443/", true, "img.example", 443, "img.example", true},
      {"https://img.example:80", true, "img.example", 80, "img.example:80", true},
      {"https://[::1]:8443", true, "::1", 8443, "[::1]:8443", true},
      {"img.example:", false, "", 0, ""},
      {"img.example:0", false, "", 0, ""},
      {"img.example:65536", false, "", 0, ""},
      {"img.example:80x", false, "", 0, ""},
      {":8080", false, "", 0, ""},
      {"img.example\r\nX-Evil: 1", false, "", 0, ""},
      {"two words", false, "", 0, ""},
      {"https://", false, "", 0, ""},
      {"https://img.example/covers", false, "", 0, ""},
      {"ftp://img.example", false, "", 0, ""},
      {"https//img.example", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    auto t = download_target(c.setting, 0);
    ASSERT_EQ(t.has_value(), c.usable);
    if (!t) continue;
    EXPECT_EQ(t->host, c.host);
    EXPECT_EQ(t->port, c.port);
    EXPECT_EQ(t->tls, c.tls);
    EXPECT_EQ(t->host_header, c.host_header);
    EXPECT_EQ(t->wait_ms, 20000);
    EXPECT_EQ(t->total, std::chrono::seconds(15));
  }
  EXPECT_EQ(download_target("", 1500)->wait_ms, 1500);
  EXPECT_EQ(download_target("", 1500)->total, std::chrono::milliseconds(4500));
}

TEST(ServerNotices, EachKindOnceARun) {
  const HttpTarget plain = *download_target("img.example:8080", 0);
  const HttpTarget secure = *download_target("https://img.example", 0);
  const auto redirect = [](std::string location) {
    Attempt a;
    a.trouble = Trouble::unusable;
    a.redirect = std::move(location);
    return a;
  };
  struct Case {
    const char* location;
    const char* setting;  // for the plain target
  } cases[] = {
      {"https://img.example/images/P/1.jpg", "https://img.example"},
      {"  HTTPS://IMG.example:8443/x?y", "https://IMG.example:8443"},
      {"https://img.example:443", "https://img.example"},
      {"https://other.example/x", ""},   // another host: not the same service
      {"http://img.example/x", ""},      // not to HTTPS
      {"/images/P/1.jpg", ""},           // a path on the same server
      {"https://img.example:99999/", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(https_server_setting(plain, c.location), c.setting) << c.location;
    EXPECT_EQ(https_server_setting(secure, c.location), "") << c.location;
  }

  ServerNotices notices(plain);
  EXPECT_EQ(notices.note(redirect("https://other.example/x")), "");
  EXPECT_EQ(notices.note(redirect("https://img.example/x")),
            "Warnung: Der Cover-Server img.example leitet auf HTTPS um; Umleitungen werden nicht verfolgt, "
            "bitte Server=https://img.example in Sektion [Download] eintragen.");
  EXPECT_EQ(notices.note(redirect("https://img.example/x")), "");
  Attempt refused;
  refused.trouble = Trouble::untrusted;
  refused.certificate = platform::CertificateProblem::expired;
  EXPECT_EQ(notices.note(refused),
            "Warnung: Verbindung zum Cover-Server img.example abgelehnt: Zertifikat abgelaufen.");
  refused.certificate = platform::CertificateProblem::wrong_name;
  EXPECT_EQ(notices.note(refused), "");
  EXPECT_EQ(notices.note(Attempt{}), "");
}

TEST(LookupLimits, FromTheTimeout) {
  using std::chrono::milliseconds;
  struct Case {
    long timeout;
    long wait, exchange, title, slow;
  } cases[] = {
      {0, 20000, 15000, 60000, 2000},      // the default
      {-3, 20000, 15000, 60000, 2000},
      {20000, 20000, 15000, 60000, 2000},
      {120000, 120000, 15000, 60000, 2000},  // a long wait never lengthens an exchange
      {3000, 3000, 9000, 36000, 300},
      {200, 200, 600, 2400, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeout);
    const LookupLimits l = lookup_limits(c.timeout);
    EXPECT_EQ(l.wait, milliseconds(c.wait));
    EXPECT_EQ(l.exchange, milliseconds(c.exchange));
    EXPECT_EQ(l.title, milliseconds(c.title));
    EXPECT_EQ(l.slow, milliseconds(c.slow));
  }
}

TEST(TroubleOf, WhatAnAttemptTellsTheBreaker) {
  using std::chrono::milliseconds;
  const LookupLimits limits = lookup_limits(1000);  // slow: more than 100 ms
  struct Case {
    const char* name;
    HttpResponse response;
    Trouble expected;
  } cases[] = {
      {"image in good time", answer(200, jpeg(2000), ExchangeEnd::complete, milliseconds(100)), Trouble::none},
      {"404 in good time", answer(404, ""), Trouble::none},
      {"placeholder", answer(200, "GIF89a"), Trouble::none},
      {"slow 404", answer(404, "", ExchangeEnd::complete, milliseconds(101)), Trouble::too_slow},
      {"slow image", answer(200, jpeg(2000), ExchangeEnd::complete, milliseconds(900)), Trouble::none},
      {"slow placeholder", answer(200, "GIF89a", ExchangeEnd::complete, milliseconds(900)), Trouble::too_slow},
      {"timed out during the answer", answer(200, "", ExchangeEnd::timed_out), Trouble::too_slow},
      {"timed out before any answer", answer(0, "", ExchangeEnd::timed_out), Trouble::no_answer},
      {"no connection", answer(0, "", ExchangeEnd::no_connection), Trouble::no_answer},
      {"request not sent", answer(0, "", ExchangeEnd::send_failed), Trouble::no_answer},
      {"portal page", answer(200, html_page()), Trouble::not_an_image},
      {"503", answer(503, ""), Trouble::unusable},
      {"cut short", answer(200, jpeg(2000), ExchangeEnd::closed_early), Trouble::unusable},
      {"malformed", answer(0, "", ExchangeEnd::malformed), Trouble::unusable},
      {"too large", answer(200, "", ExchangeEnd::too_large), Trouble::unusable},
      {"redirect", answer(301, ""), Trouble::unusable},
      {"certificate refused", answer(0, "", ExchangeEnd::untrusted), Trouble::untrusted},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trouble_of(c.response, judge_answer(c.response), limits), c.expected) << c.name;
  }
}

TEST(ServerBreaker, TripsOnceAfterFourInARowOrTwelveInAll) {
  ServerBreaker in_a_row;
  for (Trouble t : {Trouble::no_answer, Trouble::too_slow, Trouble::none, Trouble::unusable, Trouble::no_answer,
                    Trouble::too_slow}) {
    EXPECT_FALSE(in_a_row.note(t));  // the none started the count again
  }
  EXPECT_TRUE(in_a_row.note(Trouble::not_an_image));
  EXPECT_TRUE(in_a_row.tripped());
  EXPECT_EQ(in_a_row.reason(), Trouble::not_an_image);
  EXPECT_FALSE(in_a_row.note(Trouble::no_answer));
  EXPECT_EQ(in_a_row.reason(), Trouble::not_an_image);

  // A server that fails three times and then answers once is still given up.
  ServerBreaker in_all;
  int notes = 0;
  bool tripped = false;
  while (!tripped && notes < 100) {
    ++notes;
    tripped = in_all.note(notes % 4 == 0 ? Trouble::none : Trouble::too_slow);
  }
  EXPECT_TRUE(tripped);
  EXPECT_EQ(notes, 15);  // the twelfth troubled attempt among fifteen
}

TEST(ServerBreaker, WarningSaysWhatHappened) {
  const std::string tail = ", in diesem Lauf werden keine Cover mehr heruntergeladen.";
  EXPECT_EQ(breaker_warning(Trouble::no_answer), "Warnung: Der Cover-Server antwortet nicht" + tail);
  EXPECT_EQ(breaker_warning(Trouble::too_slow), "Warnung: Der Cover-Server antwortet zu langsam" + tail);
  EXPECT_EQ(breaker_warning(Trouble::not_an_image),
            "Warnung: Der Cover-Server liefert Seiten statt Bildern (Anmeldeseite oder Proxy?)" + tail);
  EXPECT_EQ(breaker_warning(Trouble::unusable), "Warnung: Der Cover-Server liefert keine brauchbaren Antworten" + tail);
  EXPECT_EQ(breaker_warning(Trouble::untrusted),
            "Warnung: Der Cover-Server weist sich nicht mit einem g\xFCltigen Zertifikat aus" + tail);
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
        {},
    };
  }
};

TEST(CoverStorageKey, IsbnKeyFormOrTheTextItself) {
  FakeTables t;
  EXPECT_EQ(cover_storage_key("316148410X", t.steps()), "9783161484100");
  EXPECT_EQ(cover_storage_key("9999999999", t.steps()), "");
  EXPECT_EQ(cover_storage_key("12345abc", t.steps()), "12345ABC");
}

// A server that answers from a list, one answer per request, and records the paths and
// the time each request was allowed.
struct ScriptedFetch {
  explicit ScriptedFetch(std::vector<HttpResponse> list = {}) : answers(std::move(list)) {}
  std::vector<HttpResponse> answers;
  std::vector<std::string> paths;
  std::vector<std::chrono::milliseconds> allowed;
  CoverServer server{[this](std::string_view path, std::chrono::milliseconds time) {
                       paths.emplace_back(path);
                       allowed.push_back(time);
                       return paths.size() <= answers.size() ? answers[paths.size() - 1] : answer(404, "");
                     },
                     lookup_limits(0),
                     {}};
};

TEST(GetCover, FirstImageEndsTheSearch) {
  FakeTables t;
  ScriptedFetch f{{answer(200, jpeg(901))}};
  EXPECT_EQ(GETCOVER("316148410x", f.server, t.steps()), CoverOutcome::image);
  EXPECT_EQ(f.paths, std::vector<std::string>{"/images/P/316148410X.03.MZZZZZZZ.jpg"});
  ASSERT_EQ(t.covers.size(), 1u);
  EXPECT_EQ(t.covers[0].first, "9783161484100");
  EXPECT_EQ(t.covers[0].second, jpeg(901));
  EXPECT_TRUE(t.not_found.empty());
}

TEST(GetCover, FourDefiniteNoAnswersMakeOneNotFoundRecord) {
  FakeTables t;
  ScriptedFetch f{{answer(200, jpeg(900)), answer(404, std::string(2000, 'n')), answer(410, ""),
                   answer(200, "GIF89a" + std::string(37, 'g'))}};
  EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::not_found);
  EXPECT_EQ(f.paths, (std::vector<std::string>{
                         "/images/P/316148410X.03.MZZZZZZZ.jpg", "/images/P/316148410X.03.MZZZZZZZ.gif",
                         "/images/P/316148410X.03.TZZZZZZZ.jpg", "/images/P/316148410X.03.TZZZZZZZ.gif"}));
  EXPECT_TRUE(t.covers.empty());
  EXPECT_EQ(t.not_found, std::vector<std::string>{"9783161484100"});
}

TEST(GetCover, AnInconclusiveAnswerRecordsNothing) {
  for (HttpResponse bad : {answer(0, "", ExchangeEnd::no_connection), answer(503, ""), answer(429, ""),
                           answer(200, jpeg(5000), ExchangeEnd::closed_early), answer(200, html_page())}) {
    FakeTables t;
    ScriptedFetch f{{answer(404, ""), answer(404, ""), bad, answer(404, "")}};
    EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::unreachable);
    EXPECT_EQ(f.paths.size(), 4u);
    EXPECT_TRUE(t.covers.empty());
    EXPECT_TRUE(t.not_found.empty());
  }
  // A later attempt with an image still wins.
  FakeTables t;
  ScriptedFetch f{{answer(0, "", ExchangeEnd::timed_out), answer(200, "GIF89a" + std::string(2000, 'g'))}};
  EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::image);
  EXPECT_EQ(t.covers.size(), 1u);
}

TEST(GetCover, InputsThatAreNeverSent) {
  for (std::string_view isbn : {"", "M123456789", "m123456789", "316148410X\r\nHost: x", "31614 8410X", "../../x"}) {
    FakeTables t;
    ScriptedFetch f{{answer(200, jpeg(5000))}};
    EXPECT_EQ(GETCOVER(isbn, f.server, t.steps()), CoverOutcome::not_found) << isbn;
    EXPECT_TRUE(f.paths.empty());
    EXPECT_TRUE(t.converted.empty());
    EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
  }
}

TEST(GetCover, NoKeyStoresNothingButReportsTheOutcome) {
  FakeTables t;
  ScriptedFetch image{{answer(200, jpeg(2000))}};
  EXPECT_EQ(GETCOVER("9999999999", image.server, t.steps()), CoverOutcome::image);
  ScriptedFetch none{};
  EXPECT_EQ(GETCOVER("9999999999", none.server, t.steps()), CoverOutcome::not_found);
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
}

TEST(GetCover, TheTitleBudgetIsSharedByItsAttempts) {
  using std::chrono::milliseconds;
  // Definite answers, each 25 s late (a name resolution that outlasts its exchange): the
  // third attempt gets the 10 s that are left of the title's minute, and no fourth one
  // starts. Nothing is recorded.
  FakeTables t;
  const HttpResponse late = answer(404, "", ExchangeEnd::complete, milliseconds(25000));
  ScriptedFetch f{{late, late, late, late}};
  EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::unreachable);
  EXPECT_EQ(f.allowed, (std::vector<milliseconds>{milliseconds(15000), milliseconds(15000), milliseconds(10000)}));
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
}

TEST(GetCover, ATrippedBreakerStopsTheLookUps) {
  // Three failures before: the first failure of this title trips the breaker, and the
  // remaining paths are not asked.
  FakeTables t;
  ScriptedFetch f{{answer(200, "", ExchangeEnd::timed_out), answer(404, "")}};
  for (int i = 0; i < 3; ++i) f.server.breaker.note(Trouble::no_answer);
  EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::unreachable);
  EXPECT_EQ(f.paths.size(), 1u);
  EXPECT_TRUE(f.server.breaker.tripped());
  EXPECT_EQ(f.server.breaker.reason(), Trouble::too_slow);
  EXPECT_EQ(GETCOVER("316148410X", f.server, t.steps()), CoverOutcome::unreachable);
  EXPECT_EQ(f.paths.size(), 1u);
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
}

// Answers asked ahead (without the breaker) and settled later leave the tables, the
// outcome and the breaker exactly as asking at that point does, whatever the breaker
// had noted before: that is what keeps several connections equal to one.
TEST(SettleTitle, AnswersAskedAheadSettleAsAskingNow) {
  using std::chrono::milliseconds;
  const HttpResponse late = answer(404, "", ExchangeEnd::complete, milliseconds(25000));
  const std::vector<std::vector<HttpResponse>> scripts = {
      {answer(200, jpeg(901))},
      {answer(404, ""), answer(410, ""), answer(404, ""), answer(404, "")},
      {answer(404, ""), answer(503, ""), answer(200, "GIF89a" + std::string(2000, 'g'))},
      {answer(0, "", ExchangeEnd::timed_out), answer(0, "", ExchangeEnd::no_connection), answer(404, ""),
       answer(404, "")},
      {answer(200, html_page()), answer(200, html_page()), answer(200, html_page()), answer(200, html_page())},
      {late, late, late, late},
  };
  for (std::size_t s = 0; s < scripts.size(); ++s) {
    for (int troubles_before = 0; troubles_before < ServerBreaker::kInARow; ++troubles_before) {
      FakeTables now_tables, ahead_tables;
      ScriptedFetch now(scripts[s]), ahead(scripts[s]);
      for (int i = 0; i < troubles_before; ++i) {
        now.server.breaker.note(Trouble::no_answer);
        ahead.server.breaker.note(Trouble::no_answer);
      }
      const CoverOutcome asked_now = GETCOVER("316148410X", now.server, now_tables.steps());
      const TitleAnswers answers =
          ask_title("316148410X", ahead.server.fetch, ahead.server.limits, [](const TitleAnswers&) { return true; });
      const CoverOutcome settled = settle_title("316148410X", answers, ahead.server.breaker, ahead_tables.steps());
      const std::string name = "script " + std::to_string(s) + ", " + std::to_string(troubles_before) + " before";
      EXPECT_EQ(settled, asked_now) << name;
      EXPECT_EQ(ahead_tables.covers, now_tables.covers) << name;
      EXPECT_EQ(ahead_tables.not_found, now_tables.not_found) << name;
      EXPECT_EQ(ahead.server.breaker.tripped(), now.server.breaker.tripped()) << name;
      EXPECT_EQ(ahead.server.breaker.reason(), now.server.breaker.reason()) << name;
      // Asked ahead, the paths go in the same order, and never past the first image.
      EXPECT_EQ(std::vector<std::string>(ahead.paths.begin(), ahead.paths.begin() + now.paths.size()), now.paths)
          << name;
    }
  }
}

// Against a server on 127.0.0.1.

CoverServer local_server(std::uint16_t port, long timeout_ms = 2000) {
  return {server_fetch(*download_target("127.0.0.1:" + std::to_string(port), timeout_ms)), lookup_limits(timeout_ms),
          {}};
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
  CoverServer local = local_server(server.port());
  EXPECT_EQ(GETCOVER("316148410X", local, t.steps()), CoverOutcome::image);
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
  CoverServer local = local_server(server.port());
  EXPECT_EQ(GETCOVER("316148410X", local, t.steps()), CoverOutcome::not_found);
  EXPECT_FALSE(local.breaker.tripped());
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
      {"portal page", {HttpTestServer::response(200, html_page())}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server([&](const std::string&) { return c.reply; });
    FakeTables t;
    CoverServer local = local_server(server.port(), 100);
    EXPECT_EQ(GETCOVER("316148410X", local, t.steps()), CoverOutcome::unreachable);
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
    EXPECT_TRUE(local.breaker.tripped());
  }
}

// Servers that keep an exchange going: with a `Timeout` of 100 ms an exchange may last
// 300 ms and the title 1.2 s, whatever the server does. (A slow "no" is one that takes
// more than 10 ms; with 200 ms it is 20 ms, and the exchange may last 600 ms.)
TEST(GetCoverOverLoopback, ATitleCostsItsBudgetAtMost) {
  using namespace std::chrono;
  const std::string image = HttpTestServer::response(200, jpeg(2000));
  struct Case {
    const char* name;
    ScriptedReply reply;
    CoverOutcome outcome;
    Trouble reason;
    long timeout_ms = 100;
  } cases[] = {
      {"drips an image", {image, {}, milliseconds(2)}, CoverOutcome::unreachable, Trouble::too_slow},
      {"never answers", {"", {}, {}, true}, CoverOutcome::unreachable, Trouble::no_answer},
      {"header lines without end", {"HTTP/1.1 200 OK\r\n", {}, {}, false, "X-Filler: 0123456789\r\n"},
       CoverOutcome::unreachable, Trouble::unusable},
      {"dripped header lines without end", {"HTTP/1.1 200 OK\r\n", {}, milliseconds(5), false, "X: y\r\n"},
       CoverOutcome::unreachable, Trouble::too_slow},
      {"interim answers without end", {"", {}, {}, false, "HTTP/1.1 100 Continue\r\n\r\n"},
       CoverOutcome::unreachable, Trouble::unusable},
      {"dripped interim answers", {"", {}, milliseconds(2), false, "HTTP/1.1 100 Continue\r\n\r\n"},
       CoverOutcome::unreachable, Trouble::too_slow},
      // Definite, so the title is recorded, but each answer takes about 100 ms.
      {"slow 404", {HttpTestServer::response(404, ""), {}, milliseconds(1)}, CoverOutcome::not_found,
       Trouble::too_slow, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server([&](const std::string&) { return c.reply; });
    FakeTables t;
    CoverServer local = local_server(server.port(), c.timeout_ms);
    const auto start = steady_clock::now();
    EXPECT_EQ(GETCOVER("316148410X", local, t.steps()), c.outcome);
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_TRUE(t.covers.empty());
    EXPECT_TRUE(local.breaker.tripped());
    EXPECT_EQ(local.breaker.reason(), c.reason);
  }
}

TEST(GetCoverOverLoopback, ARedirectToHttpsIsNotFollowedAndToldOnce) {
  HttpTestServer server([](const std::string& path) {
    return ScriptedReply{"HTTP/1.1 301 Moved Permanently\r\nLocation: https://127.0.0.1" + path +
                         "\r\nContent-Length: 0\r\n\r\n"};
  });
  CoverServer local = local_server(server.port());
  ServerNotices notices(*download_target("127.0.0.1:" + std::to_string(server.port()), 0));
  std::vector<std::string> lines;
  FakeTables t;
  CoverSteps steps = t.steps();
  steps.noted = [&](const Attempt& a) {
    if (std::string line = notices.note(a); !line.empty()) lines.push_back(line);
  };
  EXPECT_EQ(GETCOVER("316148410X", local, steps), CoverOutcome::unreachable);
  const auto paths = cover_request_paths("316148410X");
  EXPECT_EQ(server.paths(), std::vector<std::string>(paths.begin(), paths.end()));
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
  EXPECT_EQ(lines, std::vector<std::string>{"Warnung: Der Cover-Server 127.0.0.1 leitet auf HTTPS um; Umleitungen "
                                            "werden nicht verfolgt, bitte Server=https://127.0.0.1 in Sektion "
                                            "[Download] eintragen."});
  EXPECT_TRUE(local.breaker.tripped());
  EXPECT_EQ(local.breaker.reason(), Trouble::unusable);
}

TEST(GetCoverOverLoopback, RefusedConnectionFourAttempts) {
  const std::uint16_t port = HttpTestServer::unused_port();
  CoverServer local = local_server(port);
  CoverFetch inner = local.fetch;
  int attempts = 0;
  local.fetch = [&](std::string_view path, std::chrono::milliseconds allowed) {
    ++attempts;
    return inner(path, allowed);
  };
  FakeTables t;
  EXPECT_EQ(GETCOVER("316148410X", local, t.steps()), CoverOutcome::unreachable);
  EXPECT_EQ(attempts, 4);
  EXPECT_TRUE(t.covers.empty() && t.not_found.empty());
  EXPECT_EQ(local.breaker.reason(), Trouble::no_answer);
}

}  // namespace
}  // namespace torvane::app
