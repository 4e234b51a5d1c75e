#include "app/covers/cover_phase.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>

#include "app/covers/cover_test_tables.h"
#include "isbn/numbers.h"
#include "support/http_test_server.h"

namespace torvane::app {
namespace {

using cover_test::ean;
using cover_test::title;
using testing::HttpTestServer;
using testing::ScriptedReply;
using Lines = std::vector<std::string>;

std::string isbn10_of(const std::string& key) {
  std::string isbn = isbn::EAN2ISBN(key);
  std::erase(isbn, '-');
  return isbn;
}

std::string jpeg(std::size_t size, char fill = 'j') {
  std::string b = "\xFF\xD8\xFF\xE0";
  b.resize(size, fill);
  return b;
}

TEST(CoverStatistics, AllLinesWithAndWithoutInternet) {
  CoverCounts c;
  c.found = 2;
  c.not_found = 3;
  c.server_found = 1;
  c.server_not_found = 4;
  c.last_isbn = "9783161484100";
  const TableSizes sizes{8, 3, 1};
  const Lines with = cover_statistics(c, sizes, true);
  EXPECT_EQ(with, (Lines{"",
                         "Gefundene ISBN-Cover...............:          2",
                         "Nicht-gefundene Cover..............:          3",
                         "Bearbeitete ISBN...................:          5",
                         "",
                         "Im Internet gefunden...............:          1",
                         "Im Internet nicht gefunden.........:          4",
                         "Internetzugriffe ingesamt..........:          5",
                         "",
                         "Eintr\xE4ge in pool.dbf...............:          8",
                         "Vorhandene Cover...................:          3 (38%)",
                         "Bearbeitete Eintr\xE4ge...............:          4 (50%)",
                         "Letzter ISBN-Eintrag...............: 9783161484100"}));
  EXPECT_EQ(cover_statistics(c, sizes, false).size(), with.size() - 4);
  c.last_isbn = "";
  EXPECT_EQ(cover_statistics(c, TableSizes{}, false).back(), "Letzter ISBN-Eintrag...............: ");
}

TEST(StartKey, BroughtIntoTheKeyForm) {
  EXPECT_EQ(start_key(" 3-16-148410-X "), "9783161484100");  // ISBN-10 -> its ISBN-13
  EXPECT_EQ(start_key("316148410x"), "9783161484100");
  EXPECT_EQ(start_key("978-3-16-148410-0"), "9783161484100");  // ISBN-13 as it is
  EXPECT_EQ(start_key("978316"), "978316");                    // a prefix stays a prefix
  EXPECT_EQ(start_key("9999999999"), "9999999999");            // no known range: unchanged
  EXPECT_EQ(start_key("m123456789"), "M123456789");            // never converted
  EXPECT_EQ(start_key(""), "");
}

class CoverPhase : public cover_test::CoverMedium {
 protected:
  Lines run() {
    run_cover_phase(config, executable());
    return capture.lines();
  }
  std::string settings(bool import = false) {
    std::string s = "Datentr\xE4ger-Coverdatei.............: " + config.cover_dbf + "\n";
    if (import) s += "DBF-Importdatei mit Covers.........: " + config.cover_import_dbf + "\n";
    return s + "Cover aus Internet herunterladen...: " + (config.internet ? "Ja" : "nein");
  }
  static std::string joined(const Lines& lines, std::size_t from = 0, std::size_t count = std::string::npos) {
    std::string out;
    for (std::size_t i = from; i < lines.size() && i - from < count; ++i) out += (i > from ? "\n" : "") + lines[i];
    return out;
  }
};

TEST_F(CoverPhase, ExistingImportedAndMissingCoversAreCountedAsSpecified) {
  const std::string image = std::string("GIF89a\x00\x1A\xFF", 9) + std::string(1500, '\x1A');
  const std::string k977 = ean("977123456700"), k979 = ean("979100000000");
  write_pool({"", "12345678", k977, title(1), title(2), title(2), title(3), k979});
  write_covers(config.cover_dbf, {{title(1), "old"}});
  config.cover_import_dbf = dir.path("dvd/import/import.dbf");
  dir.make_dir("dvd/import");
  write_covers(config.cover_import_dbf, {{k977, "no"}, {title(2), image}, {k979, "979"}});
  const std::string import_before = dir.read("dvd/import/import.dbf") + dir.read("dvd/import/import.fpt");

  const Lines lines = run();
  EXPECT_EQ(joined(lines), settings(true) +
                               "\n\nSuche nach Covers... \n\n"
                               "Gefundene ISBN-Cover...............:          2\n"
                               "Nicht-gefundene Cover..............:          3\n"
                               "Bearbeitete ISBN...................:          5\n\n"
                               "Eintr\xE4ge in pool.dbf...............:          8\n"
                               "Vorhandene Cover...................:          3 (38%)\n"
                               "Bearbeitete Eintr\xE4ge...............:          3 (38%)\n"
                               "Letzter ISBN-Eintrag...............: " + k979);
  EXPECT_EQ(capture.console.figures,
            (Lines{"12.5%  ", "25.0%  ", "37.5%  ", "50.0%  ", "62.5%  ", "75.0%  ", "87.5%  ", "100.0%  "}));
  EXPECT_EQ(rows_of(config.cover_dbf),
            (std::vector<std::pair<std::string, std::string>>{{title(1), "old"}, {title(2), image}, {k979, "979"}}));
  EXPECT_EQ(dir.read("dvd/import/import.dbf") + dir.read("dvd/import/import.fpt"), import_before);
  EXPECT_TRUE(dir.exists("bin/notfound.dbf"));  // beside the executable
  EXPECT_TRUE(dir.exists("bin/notfound.cdx"));

  // A second run finds everything it copied.
  capture.console.text.clear();
  const Lines again = run();
  EXPECT_EQ(again[6], "Gefundene ISBN-Cover...............:          0");
  EXPECT_EQ(again[7], "Nicht-gefundene Cover..............:          3");

  // Shared, the tables are searched through their indexes: the same answers.
  config.exclusive = false;
  capture.console.text.clear();
  EXPECT_EQ(run(), again);
  EXPECT_EQ(rows_of(config.cover_dbf).size(), 3u);
}

TEST_F(CoverPhase, StopStartAndEsc) {
  write_pool({title(0), title(1), title(2), title(3)});
  config.stop_percent = 50;
  Lines lines = run();
  EXPECT_EQ(capture.console.figures, (Lines{"25.0%  ", "50.0%  "}));
  EXPECT_EQ(lines[7], "Bearbeitete ISBN...................:          1");
  EXPECT_EQ(lines.back(), "Letzter ISBN-Eintrag...............: " + title(0));

  // Start as a hyphenated ISBN-10 finds the ISBN-13 key.
  capture.console = {};
  config.stop_percent = 0;
  config.start_isbn = isbn::EAN2ISBN(title(2));
  ASSERT_NE(config.start_isbn.find('-'), std::string::npos);
  lines = run();
  EXPECT_EQ(capture.console.figures, (Lines{"75.0%  ", "100.0%  "}));
  EXPECT_EQ(lines[7], "Bearbeitete ISBN...................:          2");

  // A start that finds nothing: the empty pass, with one warning.
  capture.console = {};
  config.start_isbn = "3-9999";
  lines = run();
  EXPECT_EQ(lines[2], "Warnung: Kein Eintrag in " + pool_path() + " beginnt mit 3-9999.");
  EXPECT_TRUE(capture.console.figures.empty());
  EXPECT_EQ(lines[8], "Bearbeitete ISBN...................:          0");

  // Esc after the first record ends the pass; the statistics still follow.
  capture.console = {};
  config.start_isbn.clear();
  capture.keyboard.keys = {'x', 27};
  lines = run();
  EXPECT_EQ(lines[4], "Manueller Abbruch - Bitte warten... ");
  EXPECT_EQ(lines[8], "Bearbeitete ISBN...................:          2");
  EXPECT_EQ(lines.back(), "Letzter ISBN-Eintrag...............: " + title(1));
}

TEST_F(CoverPhase, EmptyPoolTable) {
  write_pool({});
  const Lines lines = run();
  EXPECT_EQ(joined(lines, 9), "Eintr\xE4ge in pool.dbf...............:          0\n"
                              "Vorhandene Cover...................:          0 (0%)\n"
                              "Bearbeitete Eintr\xE4ge...............:          0 (0%)\n"
                              "Letzter ISBN-Eintrag...............: ");
}

TEST_F(CoverPhase, ImportTableMissingOrWithoutIndex) {
  write_pool({title(1), title(2)});
  config.cover_import_dbf = dir.path("dvd/import.dbf");
  Lines lines = run();
  EXPECT_EQ(lines[3], "Error: Datei " + config.cover_import_dbf + " nicht vorhanden!");
  EXPECT_EQ(lines[8], "Nicht-gefundene Cover..............:          2");

  // Without a CDX file the import table is searched through keys kept in memory; it
  // is left exactly as it was, and no index is made for it.
  write_covers(config.cover_import_dbf, {{title(2), "second"}, {title(1), "first"}, {title(1), "duplicate"}}, false);
  const std::string before = dir.read("dvd/import.dbf") + dir.read("dvd/import.fpt");
  capture.console = {};
  lines = run();
  EXPECT_EQ(lines[6], "Gefundene ISBN-Cover...............:          2");
  EXPECT_EQ(rows_of(config.cover_dbf),
            (std::vector<std::pair<std::string, std::string>>{{title(1), "first"}, {title(2), "second"}}));
  EXPECT_EQ(dir.read("dvd/import.dbf") + dir.read("dvd/import.fpt"), before);
  EXPECT_FALSE(dir.exists("dvd/import.cdx"));
}

// Held exclusively the import table's keys are read into memory; shared they are
// searched through its index. Either way a key held twice gives its first record.
TEST_F(CoverPhase, ImportTableHeldExclusivelyOrSharedFindsTheSameCovers) {
  write_pool({title(1), title(2), title(3)});
  config.cover_import_dbf = dir.path("dvd/import.dbf");
  write_covers(config.cover_import_dbf, {{title(2), "second"}, {title(1), "first"}, {title(1), "duplicate"}});
  for (const bool exclusive : {true, false}) {
    for (const char* name : {"cover.dbf", "cover.cdx", "cover.fpt"}) std::filesystem::remove(dir.path("dvd/cover/") + name);
    config.exclusive = exclusive;
    capture.console = {};
    const Lines lines = run();
    EXPECT_EQ(lines[6], "Gefundene ISBN-Cover...............:          2") << exclusive;
    EXPECT_EQ(rows_of(config.cover_dbf),
              (std::vector<std::pair<std::string, std::string>>{{title(1), "first"}, {title(2), "second"}}))
        << exclusive;
  }
}

TEST_F(CoverPhase, AStaleCoverIndexIsRebuiltBeforeThePass) {
  // The index as a run killed after appending left it: the second record has no key.
  write_covers(config.cover_dbf, {{title(1), "one"}});
  std::filesystem::copy_file(dir.path("dvd/cover/cover.cdx"), dir.path("old.cdx"));
  {
    auto cover = storage::DbfTable::open(config.cover_dbf);
    ASSERT_TRUE(cover && cover->append());
    cover->assign("ISBN", title(2));
    cover->assign_memo("COVER", "two");
    cover->close();
  }
  std::filesystem::remove(dir.path("dvd/cover/cover.cdx"));  // MinGW's copy cannot overwrite
  std::filesystem::copy_file(dir.path("old.cdx"), dir.path("dvd/cover/cover.cdx"),
                             std::filesystem::copy_options::overwrite_existing);
  write_pool({title(2)});
  config.cover_import_dbf = dir.path("dvd/import.dbf");
  write_covers(config.cover_import_dbf, {{title(2), "again"}});
  const Lines lines = run();
  const std::string warning = "Warnung: Datei " + dir.path("dvd/cover/cover.cdx") +
                              " war unvollst\xE4ndig geschrieben und wird neu aufgebaut.";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1) << ::testing::PrintToString(lines);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Bearbeitete ISBN...................:          0"), lines.end());
  EXPECT_EQ(rows_of(config.cover_dbf).size(), 2u);
}

TEST_F(CoverPhase, NotFoundTablePlace) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder without write permission is a Linux notion; Windows folders stay writable";
#endif
  write_pool({title(1)});
  // The executable's folder cannot be written: a new table goes beside the cover table.
  std::filesystem::permissions(dir.path("bin"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const Lines lines = run();
  std::filesystem::permissions(dir.path("bin"), std::filesystem::perms::owner_all);
  const std::string place = dir.path("dvd/cover/notfound.dbf");
  EXPECT_EQ(lines[2], "Warnung: Der Ordner des Programms ist schreibgesch\xFCtzt, " + place +
                          " wird beim Cover-Katalog angelegt.");
  EXPECT_TRUE(dir.exists("dvd/cover/notfound.dbf"));
  EXPECT_FALSE(dir.exists("bin/notfound.dbf"));
  // From now on it is found there, though the executable's folder is writable again.
  capture.console = {};
  EXPECT_EQ(run()[2], "");
  EXPECT_FALSE(dir.exists("bin/notfound.dbf"));
}

TEST_F(CoverPhase, ServerLookUps) {
  const std::string image = jpeg(1200);
  const std::string wanted = isbn10_of(title(0));
  HttpTestServer server([&](const std::string& path) {
    if (path.find(wanted) != std::string::npos) return ScriptedReply{HttpTestServer::response(200, image)};
    return ScriptedReply{HttpTestServer::response(404, std::string(2000, 'n'))};
  });
  const std::string ismn = "M123456789", k979 = ean("979100000000");
  write_pool({title(0), title(1), title(2), k979, ismn});
  // title(2) was asked for in an earlier run.
  ASSERT_TRUE(storage::DbfTable::create(dir.path("dvd/cover/notfound.dbf"),
                                        std::array<storage::FieldSpec, 1>{{{"ISBN", 'C', 13, 0}}}, storage::Variant::cdx));
  {
    auto nf = storage::DbfTable::open(dir.path("dvd/cover/notfound.dbf"));
    ASSERT_TRUE(nf && nf->append());
    nf->assign("ISBN", title(2));
    nf->close();
  }
  config.internet = true;
  config.download_server = "127.0.0.1:" + std::to_string(server.port());
  config.download_timeout_ms = 5000;
  const Lines lines = run();

  const std::string i10 = isbn10_of(title(1));
  EXPECT_EQ(server.paths(), (Lines{"/images/P/" + wanted + ".03.MZZZZZZZ.jpg", "/images/P/" + i10 + ".03.MZZZZZZZ.jpg",
                                   "/images/P/" + i10 + ".03.MZZZZZZZ.gif", "/images/P/" + i10 + ".03.TZZZZZZZ.jpg",
                                   "/images/P/" + i10 + ".03.TZZZZZZZ.gif"}));
  EXPECT_EQ(server.requests().front(), "GET /images/P/" + wanted + ".03.MZZZZZZZ.jpg HTTP/1.1\r\nHost: " +
                                           config.download_server +
                                           "\r\nUser-agent: Mozilla/3.0 compatible\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(joined(lines, 5, 8), "Gefundene ISBN-Cover...............:          1\n"
                                 "Nicht-gefundene Cover..............:          3\n"
                                 "Bearbeitete ISBN...................:          4\n\n"
                                 "Im Internet gefunden...............:          1\n"
                                 "Im Internet nicht gefunden.........:          1\n"
                                 "Internetzugriffe ingesamt..........:          2\n");
  EXPECT_EQ(rows_of(config.cover_dbf), (std::vector<std::pair<std::string, std::string>>{{title(0), image}}));
  EXPECT_EQ(rows_of(dir.path("dvd/cover/notfound.dbf")),
            (std::vector<std::pair<std::string, std::string>>{{title(2), ""}, {title(1), ""}}));
}

class CoverPhaseServer : public CoverPhase {
 protected:
  // Five titles asked for on a server that answers every request with reply.
  Lines run_against(const ScriptedReply& reply, long timeout_ms = 2000) {
    server.emplace([reply](const std::string&) { return reply; });
    write_pool({title(0), title(1), title(2), title(3), title(4)});
    config.internet = true;
    config.download_server = "127.0.0.1:" + std::to_string(server->port());
    config.download_timeout_ms = timeout_ms;
    return run();
  }
  // The lines from the breaker's warning to the last Internet figure.
  static std::string after_the_pass(const Lines& lines) { return joined(lines, 4, 10); }

  std::optional<HttpTestServer> server;
};

std::string given_up(const std::string& what, int not_asked, int not_found = 0) {
  return "Warnung: Der Cover-Server " + what + ", in diesem Lauf werden keine Cover mehr heruntergeladen.\n"
         "Warnung: " + std::to_string(not_asked) + " Titel konnten nicht im Internet gesucht werden.\n\n"
         "Gefundene ISBN-Cover...............:          0\n"
         "Nicht-gefundene Cover..............:          5\n"
         "Bearbeitete ISBN...................:          5\n\n"
         "Im Internet gefunden...............:          0\n"
         "Im Internet nicht gefunden.........:          " + std::to_string(not_found) + "\n"
         "Internetzugriffe ingesamt..........:          " + std::to_string(not_found);
}

TEST_F(CoverPhaseServer, AServerThatFailsIsGivenUpAfterFourAttempts) {
  const Lines lines = run_against({HttpTestServer::response(503, "busy")});
  EXPECT_EQ(server->paths().size(), 4u);  // the first title's four paths
  EXPECT_EQ(after_the_pass(lines), given_up("liefert keine brauchbaren Antworten", 5));
  EXPECT_TRUE(rows_of(dir.path("bin/notfound.dbf")).empty());  // nothing recorded as not found
}

// A captive portal or a proxy answers every request with a page: no title is taken for
// one the server does not have.
TEST_F(CoverPhaseServer, PagesThatAreNoImagesRecordNothing) {
  const std::string page = "<html><head><title>Anmeldung</title></head><body>" + std::string(3000, '.') + "</body></html>";
  const Lines lines = run_against({HttpTestServer::response(200, page)});
  EXPECT_EQ(server->paths().size(), 4u);
  EXPECT_EQ(after_the_pass(lines), given_up("liefert Seiten statt Bildern (Anmeldeseite oder Proxy?)", 5));
  EXPECT_TRUE(rows_of(dir.path("bin/notfound.dbf")).empty());
  EXPECT_TRUE(rows_of(config.cover_dbf).empty());
}

// Servers that hold each exchange open: with a `Timeout` of 100 ms an exchange ends
// after 300 ms and the breaker after four of them.
TEST_F(CoverPhaseServer, ServersThatNeverFinishCostFourExchanges) {
  using namespace std::chrono;
  struct Case {
    const char* name;
    ScriptedReply reply;
    const char* what;
  } cases[] = {
      {"never answers", {"", {}, {}, true}, "antwortet nicht"},
      {"interim answers without end", {"", {}, milliseconds(2), false, "HTTP/1.1 100 Continue\r\n\r\n"},
       "antwortet zu langsam"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.console = {};
    const auto start = steady_clock::now();
    const Lines lines = run_against(c.reply, 100);
    EXPECT_LT(steady_clock::now() - start, seconds(8));
    EXPECT_EQ(server->paths().size(), 4u);
    EXPECT_EQ(after_the_pass(lines), given_up(c.what, 5));
  }
}

// Each 404 takes far longer than a healthy one: the first title's answers still count,
// then the server is given up.
TEST_F(CoverPhaseServer, SlowDefiniteAnswersAreGivenUp) {
  const Lines lines = run_against({HttpTestServer::response(404, ""), {}, std::chrono::milliseconds(2)}, 200);
  EXPECT_EQ(server->paths().size(), 4u);
  EXPECT_EQ(after_the_pass(lines), given_up("antwortet zu langsam", 4, 1));
  EXPECT_EQ(rows_of(dir.path("bin/notfound.dbf")), (std::vector<std::pair<std::string, std::string>>{{title(0), ""}}));
}

// Several connections: each pass starts from the same tables and the same answers, once
// with one connection and once with several, and must leave the same lines and tables.
class CoverPhaseConnections : public CoverPhase {
 protected:
  struct Outcome {
    Lines lines;
    std::vector<std::pair<std::string, std::string>> covers, not_found;
  };
  void SetUp() override {
    CoverPhase::SetUp();
    config.internet = true;
    config.download_timeout_ms = 5000;
  }
  void serve(HttpTestServer::Script script) {
    server.emplace(std::move(script), HttpTestServer::Serving::side_by_side);
    config.download_server = "127.0.0.1:" + std::to_string(server->port());
  }
  Outcome run_with(long connections) {
    for (const char* name : {"dvd/cover/cover.dbf", "dvd/cover/cover.fpt", "dvd/cover/cover.cdx", "bin/notfound.dbf",
                             "bin/notfound.cdx"}) {
      std::filesystem::remove(dir.path(name));
    }
    config.connections = connections;
    capture.console = {};
    Outcome o;
    o.lines = run();
    o.covers = rows_of(config.cover_dbf);
    o.not_found = rows_of(dir.path("bin/notfound.dbf"));
    return o;
  }
  void expect_same(const Outcome& one, const Outcome& several) {
    EXPECT_EQ(several.lines, one.lines);
    EXPECT_EQ(several.covers, one.covers);
    EXPECT_EQ(several.not_found, one.not_found);
  }
  // The number of the title a request path asks about, of titles 0 to 19.
  static int title_of(const std::string& path) {
    for (int n = 0; n < 20; ++n)
      if (path.find(isbn10_of(title(n))) != std::string::npos) return n;
    return -1;
  }

  std::optional<HttpTestServer> server;
};

// Later titles are answered first (each title's answers come the sooner the later it
// is in key order), yet the tables are written in key order: copies of one title, an
// old-style ISMN, a 979 number, an import cover and covers from the server included.
TEST_F(CoverPhaseConnections, ReorderedAnswersAreSettledInKeyOrder) {
  serve([](const std::string& path) {
    const int n = title_of(path);
    ScriptedReply reply{HttpTestServer::response(404, "")};
    reply.pause = std::chrono::milliseconds((11 - n) * 6);
    if (n % 3 == 0 && path.ends_with(".MZZZZZZZ.gif")) reply.bytes = HttpTestServer::response(200, jpeg(1000 + n));
    return reply;
  });
  std::vector<std::string> pool;
  for (int n = 0; n < 12; ++n) pool.push_back(title(n));
  pool.insert(pool.end(), {title(3), title(4), "M123456789", ean("979100000000")});
  write_pool(pool);
  config.cover_import_dbf = dir.path("dvd/import.dbf");
  write_covers(config.cover_import_dbf, {{title(5), "imported"}});

  const Outcome one = run_with(1);
  ASSERT_EQ(one.covers.size(), 5u);  // titles 0, 3, 6 and 9 from the server, 5 imported
  const Outcome several = run_with(4);
  expect_same(one, several);
  // The answers really came out of order: the first title's last answer came after
  // answers about later titles.
  const Lines answered = server->answered();
  const auto last_of_first = std::find_if(answered.rbegin(), answered.rend(), [](const std::string& p) {
    return title_of(p) == 0;
  });
  EXPECT_TRUE(std::any_of(answered.rbegin(), last_of_first, [](const std::string& p) { return title_of(p) > 0; }));
}

// One title's four attempts meet slow and fast answers (and one that is no answer):
// they are still made one after the other, in order, and end at its image.
TEST_F(CoverPhaseConnections, ATitlesAttemptsStraddleSlowAndFastAnswers) {
  serve([](const std::string& path) {
    ScriptedReply reply{HttpTestServer::response(404, "")};
    if (title_of(path) != 2) return reply;
    if (path.ends_with(".MZZZZZZZ.jpg")) reply.pause = std::chrono::milliseconds(150);
    if (path.ends_with(".MZZZZZZZ.gif")) reply.bytes = HttpTestServer::response(503, "");
    if (path.ends_with(".TZZZZZZZ.jpg")) {
      reply.pause = std::chrono::milliseconds(100);
      reply.bytes = HttpTestServer::response(200, jpeg(2000));
    }
    return reply;
  });
  write_pool({title(0), title(1), title(2), title(3), title(4), title(5)});
  const Outcome one = run_with(1);
  const Outcome several = run_with(3);
  expect_same(one, several);
  Lines asked;
  for (const std::string& path : server->paths())
    if (title_of(path) == 2) asked.push_back(path.substr(path.find(".03.")));
  const Lines each_run = {".03.MZZZZZZZ.jpg", ".03.MZZZZZZZ.gif", ".03.TZZZZZZZ.jpg"};
  Lines twice = each_run;
  twice.insert(twice.end(), each_run.begin(), each_run.end());
  EXPECT_EQ(asked, twice);
  EXPECT_EQ(several.covers, (std::vector<std::pair<std::string, std::string>>{{title(2), jpeg(2000)}}));
}

// The server fails from the fourth title on: the breaker trips at the same title as
// with one connection, whatever was asked ahead, and the titles after it are neither
// recorded nor counted as not found.
TEST_F(CoverPhaseConnections, TheBreakerTripsAtTheSameTitle) {
  serve([](const std::string& path) {
    return ScriptedReply{HttpTestServer::response(title_of(path) < 3 ? 404 : 503, "")};
  });
  write_pool({title(0), title(1), title(2), title(3), title(4), title(5), title(6), title(7)});
  const Outcome one = run_with(1);
  EXPECT_EQ(one.not_found.size(), 3u);
  EXPECT_EQ(one.lines[4], "Warnung: Der Cover-Server liefert keine brauchbaren Antworten, in diesem Lauf werden "
                          "keine Cover mehr heruntergeladen.");
  const std::size_t asked_in_turn = server->paths().size();
  const Outcome several = run_with(4);
  expect_same(one, several);
  // Asked ahead: at most the four titles in flight when it tripped, and those queued.
  EXPECT_LE(server->paths().size() - asked_in_turn, 8u * 4u);
}

// Esc while exchanges are in flight: no title is taken any more, the titles being asked
// finish, and the pass ends with a run of titles in key order.
TEST_F(CoverPhaseConnections, EscLetsTheTitlesInFlightFinish) {
  serve([](const std::string&) {
    return ScriptedReply{HttpTestServer::response(404, ""), std::chrono::milliseconds(40)};
  });
  std::vector<std::string> pool;
  for (int n = 0; n < 16; ++n) pool.push_back(title(n));
  write_pool(pool);
  capture.keyboard.keys = {0, 27};
  config.connections = 4;
  const Lines lines = run();
  ASSERT_EQ(lines[4], "Manueller Abbruch - Bitte warten... ");
  const auto not_found = rows_of(dir.path("bin/notfound.dbf"));
  ASSERT_GE(not_found.size(), 1u);
  ASSERT_LT(not_found.size(), 16u);
  std::map<int, int> asked;
  for (const std::string& path : server->paths()) ++asked[title_of(path)];
  for (std::size_t n = 0; n < not_found.size(); ++n) {
    EXPECT_EQ(not_found[n].first, title(static_cast<int>(n)));
    EXPECT_EQ(asked[static_cast<int>(n)], 4);  // all four paths: finished, not cut off
  }
  const std::string settled = std::to_string(not_found.size());
  EXPECT_EQ(lines[8], "Bearbeitete ISBN...................: " + std::string(10 - settled.size(), ' ') + settled);
}

TEST(LookupFigure, TitlesCoversRateAndTimeLeft) {
  EXPECT_EQ(lookup_figure({120, 5000, 36, 485, 10.0}),
            " 120/5000 Titel,   36 Cover,    48.5 Abrufe/s, noch  0:06:47,   2.4");
  EXPECT_EQ(lookup_figure({0, 5000, 0, 0, 0.0}), "   0/5000 Titel,    0 Cover,     0.0 Abrufe/s, noch  -:--:--,   0.0");
  EXPECT_EQ(lookup_figure({7, 7, 2, 20, 4.0}), "7/7 Titel, 2 Cover,     5.0 Abrufe/s, noch  0:00:00, 100.0");
  EXPECT_EQ(lookup_figure({0, 0, 0, 0, 1.0}), "0/0 Titel, 0 Cover,     0.0 Abrufe/s, noch  -:--:--,   0.0");
}

TEST(ConnectionsSetting, OneToSixteenElseOne) {
  testing::TempDir dir{"connections."};
  for (const auto& [value, expected] : std::vector<std::pair<std::string, long>>{
           {"", 1}, {"8", 8}, {"16", 16}, {"17", 1}, {"0", 1}, {"-3", 1}, {"viele", 1}, {" 4 ", 4}}) {
    dir.write("t.ini", "[Download]\r\nConnections=" + value + "\r\n");
    EXPECT_EQ(read_config(dir.path("t.ini")).connections, expected) << value;
  }
}

TEST_F(CoverPhase, AnUnusableServerSettingAsksNothing) {
  write_pool({title(0), title(1)});
  config.internet = true;
  config.download_server = "127.0.0.1:99999";
  const Lines lines = run();
  EXPECT_EQ(joined(lines, 0, 7), settings() + "\n"
            "Warnung: Server-Eintrag 127.0.0.1:99999 ist ung\xFCltig, es werden keine Cover heruntergeladen.\n\n"
            "Suche nach Covers... \n"
            "Warnung: 2 Titel konnten nicht im Internet gesucht werden.\n");
}

}  // namespace
}  // namespace torvane::app
