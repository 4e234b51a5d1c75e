// Whole runs that fetch covers over HTTPS from the local TLS image server, whose
// certificates come from a certificate authority of the test's own (trusted through
// `CAFile`): the same answers give the same files as over HTTP; a certificate the check
// refuses, a CAFile that cannot be used, a server that stalls in the handshake and a
// plain-HTTP server that redirects to HTTPS record nothing and say why.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/http_test_server.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace torvane::testing {
namespace {

// Three titles: one with a cover under the first path (ISBN-10 316148410X), one with a
// cover under the last (3446254609), one the server does not have (382731710X).
constexpr const char* kTitles[] = {"9783161484100", "9783446254602", "9783827317100"};

ScriptedReply answer_for(const std::string& path) {
  if (path == "/images/P/316148410X.03.MZZZZZZZ.jpg")
    return {HttpTestServer::response(200, "GIF89a" + std::string(1500, 'a'))};
  if (path == "/images/P/3446254609.03.TZZZZZZZ.gif")
    return {HttpTestServer::chunked(200, "GIF89a" + std::string(3000, 'b'), 1000)};
  return {HttpTestServer::response(404, "")};
}

void write_medium(TempDir& dir) {
  storage::register_cdx_driver();
  dir.make_dir("dvd/COVER");
  std::vector<storage::FieldSpec> schema = {{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}};
  ASSERT_TRUE(storage::DbfTable::create(dir.path("dvd/pool.dbf"), schema, storage::Variant::cdx));
  auto table = storage::DbfTable::open(dir.path("dvd/pool.dbf"));
  ASSERT_TRUE(table);
  for (const char* key : kTitles) {
    ASSERT_TRUE(table->append());
    table->assign("ISBN", key);
    table->assign_number("POOL", 1);
  }
  ASSERT_TRUE(table->create_index(dir.path("dvd/pool.cdx")));
  ASSERT_TRUE(table->close());
  copy_program(dir.path("bin"));
}

RunResult run_with(TempDir& dir, const std::string& download, const std::string& timeout_ms = "2000") {
  RunOptions options;
  options.working_directory = dir.path();
  options.executable = dir.path("bin/torvane");
  options.config = "[DVD]\r\nPfad=dvd\r\nCheck=0\r\n[Download]\r\nCover=1\r\nCoverDBF=dvd\\COVER\\COVER.DBF\r\n"
                   "Internet=1\r\nTimeout=" + timeout_ms + "\r\n" + download;
  return run_torvane(options);
}

std::string https_server(std::uint16_t port) { return "Server=https://localhost:" + std::to_string(port) + "\r\n"; }

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A run that recorded nothing: no cover and no not-found record, the breaker's line, and
// every title counted as not asked.
void expect_nothing_recorded(const RunResult& run) {
  EXPECT_NE(run.log.find("Vorhandene Cover...................:          0 (0%)\r\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("Bearbeitete Eintr\xE4ge...............:          0 (0%)\r\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("Warnung: 3 Titel konnten nicht im Internet gesucht werden.\r\n"), std::string::npos);
}

TEST(CoverHttps, TheSameAnswersGiveTheSameFilesAsOverHttp) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  HttpTestServer http(answer_for);
  TlsTestServer https(TlsTestCertificate::valid, answer_for);
  // Over HTTP, over HTTPS, and over HTTPS with several exchanges in flight.
  std::map<std::string, std::string> files[3];
  std::string logs[3];
  for (int round = 0; round < 3; ++round) {
    TempDir dir{"e2e.https."};
    write_medium(dir);
    dir.write("ca.pem", TlsTestServer::ca_pem());
    const std::string https_setting = https_server(https.port()) + "CAFile=ca.pem\r\n";
    const RunResult run =
        run_with(dir, round == 0   ? "Server=http://127.0.0.1:" + std::to_string(http.port()) + "\r\n"
                      : round == 1 ? https_setting
                                   : https_setting + "Connections=4\r\n");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // Every file the run left, the not-found table beside the program included; only
    // the configuration names another server.
    files[round] = file_tree(dir.path());
    files[round].erase("test-config.ini");
    logs[round] = run.log;
  }
  for (int round = 1; round < 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(logs[round], logs[0]);
    ASSERT_EQ(files[round].size(), files[0].size());
    for (const auto& [name, bytes] : files[0]) EXPECT_TRUE(files[round][name] == bytes) << name << " differs";
  }
  EXPECT_TRUE(files[0].contains("bin/notfound.dbf"));
  EXPECT_NE(logs[0].find("Im Internet gefunden...............:          2\r\n"), std::string::npos) << logs[0];
  ASSERT_EQ(https.requests().size(), 18u);  // 1 + 4 + 4 in each of the two rounds
  EXPECT_EQ(https.requests()[0], "GET /images/P/316148410X.03.MZZZZZZZ.jpg HTTP/1.1\r\nHost: localhost:" +
                                     std::to_string(https.port()) +
                                     "\r\nUser-agent: Mozilla/3.0 compatible\r\nConnection: close\r\n\r\n");
}

TEST(CoverHttps, ARefusedCertificateRecordsNothingAndSaysWhyOnce) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  const struct {
    TlsTestCertificate certificate;
    const char* reason;
  } cases[] = {{TlsTestCertificate::expired, "Zertifikat abgelaufen"},
               {TlsTestCertificate::unknown_issuer, "Zertifikat von unbekannter Stelle ausgestellt"},
               {TlsTestCertificate::wrong_name, "Zertifikat f\xFCr einen anderen Namen ausgestellt"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    TlsTestServer server(c.certificate, answer_for);
    TempDir dir{"e2e.https."};
    write_medium(dir);
    dir.write("ca.pem", TlsTestServer::ca_pem());
    const RunResult run = run_with(dir, https_server(server.port()) + "CAFile=ca.pem\r\n");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(count_of(run.log, "Warnung: Verbindung zum Cover-Server localhost abgelehnt: " + std::string(c.reason) +
                                    ".\r\n"),
              1u)
        << run.log;
    EXPECT_EQ(count_of(run.log, "Warnung: Verbindung zum Cover-Server"), 1u);
    EXPECT_NE(run.log.find("Warnung: Der Cover-Server weist sich nicht mit einem g\xFCltigen Zertifikat aus, in "
                           "diesem Lauf werden keine Cover mehr heruntergeladen.\r\n"),
              std::string::npos);
    expect_nothing_recorded(run);
    EXPECT_TRUE(server.requests().empty());
  }
}

TEST(CoverHttps, ACaFileThatCannotBeUsedLeavesTheSystemRootsAlone) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  TlsTestServer server(TlsTestCertificate::valid, answer_for);
  const struct {
    const char* file_text;  // nullptr: no file
    const char* warning;
  } cases[] = {{nullptr, "Warnung: CAFile ca.pem ist nicht vorhanden; es gelten nur die Stammzertifikate des Systems."},
               {"not a certificate\r\n", "Warnung: CAFile ca.pem enth\xE4lt kein lesbares Zertifikat; es gelten nur "
                                         "die Stammzertifikate des Systems."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.warning);
    TempDir dir{"e2e.https."};
    write_medium(dir);
    if (c.file_text != nullptr) dir.write("ca.pem", c.file_text);
    const RunResult run = run_with(dir, https_server(server.port()) + "CAFile=ca.pem\r\n");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(count_of(run.log, std::string(c.warning) + "\r\n"), 1u) << run.log;
    // The test authority is no system root: the server is refused.
    EXPECT_EQ(count_of(run.log, "Warnung: Verbindung zum Cover-Server localhost abgelehnt: Zertifikat von "
                                "unbekannter Stelle ausgestellt.\r\n"),
              1u);
    expect_nothing_recorded(run);
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(CoverHttps, AServerThatStallsInTheHandshakeIsGivenUpWithinTheTimeLimits) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  TlsTestServer server{TlsTestServer::StallInHandshake{}};
  TempDir dir{"e2e.https."};
  write_medium(dir);
  dir.write("ca.pem", TlsTestServer::ca_pem());
  // Four attempts of at most one 300 ms wait each before the breaker trips.
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = run_with(dir, https_server(server.port()) + "CAFile=ca.pem\r\n", "300");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.log.find("Warnung: Der Cover-Server antwortet nicht, in diesem Lauf werden keine Cover mehr "
                         "heruntergeladen.\r\n"),
            std::string::npos)
      << run.log;
  expect_nothing_recorded(run);
  EXPECT_EQ(server.connections(), 4u);
}

TEST(CoverHttps, ARedirectToHttpsIsToldOnceAndNotFollowed) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  HttpTestServer server([](const std::string& path) {
    return ScriptedReply{"HTTP/1.1 308 Permanent Redirect\r\nLocation: https://LOCALHOST" + path +
                         "\r\nContent-Length: 0\r\n\r\n"};
  });
  TempDir dir{"e2e.https."};
  write_medium(dir);
  const RunResult run = run_with(dir, "Server=localhost:" + std::to_string(server.port()) + "\r\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(count_of(run.log, "Warnung: Der Cover-Server localhost leitet auf HTTPS um; Umleitungen werden nicht "
                              "verfolgt, bitte Server=https://LOCALHOST in Sektion [Download] eintragen.\r\n"),
            1u)
      << run.log;
  expect_nothing_recorded(run);
  EXPECT_EQ(server.paths().size(), 4u);  // the first title's paths, then the breaker
}

}  // namespace
}  // namespace torvane::testing

#endif
