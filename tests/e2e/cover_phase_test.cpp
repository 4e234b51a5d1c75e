// Whole runs of the cover phases: the cover table filled from an import table and from
// an image server on 127.0.0.1, the not-found table, the cover flags of the pool table,
// and the run log compared byte for byte. Each run uses its own copy of the program, so
// the not-found table it makes beside the executable belongs to the test.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "isbn/numbers.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "support/e2e_support.h"
#include "support/http_test_server.h"
#include "support/medium_builder.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

std::string title(int n) { return ean13("9783161484" + std::to_string(n / 10) + std::to_string(n % 10)); }

std::string gif(std::size_t size) {
  std::string g = "GIF89a";
  g.resize(size, '\x1A');
  return g;
}

class CoverRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
    storage::register_cdx_driver();
    copy_program(dir.path("bin"));
    dir.make_dir("dvd/COVER");
  }
  std::string exe() const { return dir.path("bin/torvane"); }
  std::string root() const { return dir.path("dvd") + "\\"; }

  RunResult run(const std::string& download, const std::string& input = "") {
    RunOptions options;
    options.working_directory = dir.path();
    options.executable = exe();
    options.input = input;
    options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nCheck=0\r\n[Download]\r\nCover=1\r\nCover2Pool=1\r\n" +
                     "CoverDBF=" + root() + "COVER\\COVER.DBF\r\n" + download;
    RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result;
  }

  // What the phases wrote between the settings summary and the closing lines.
  std::string phases_of(const RunResult& result) {
    const std::string head = kBanner + "Datentr\xE4ger-Pfad...................: " + root() +
                             "\r\nIndexdatei.........................: .cdx\r\n\r\n";
    EXPECT_EQ(result.log.substr(0, head.size()), head);
    EXPECT_GE(result.log.size(), head.size() + kClosing.size());
    EXPECT_EQ(result.log.substr(result.log.size() - kClosing.size()), kClosing);
    return result.log.substr(head.size(), result.log.size() - head.size() - kClosing.size());
  }

  void write_pool(const std::vector<std::string>& isbns) {
    write_pool_table(dir.path("dvd/pool.dbf"), dir.path("dvd/pool.cdx"), isbns);
  }

  void write_import(const std::vector<std::pair<std::string, std::string>>& rows) {
    const std::array<storage::FieldSpec, 2> schema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
    const std::string path = dir.path("dvd/IMPORT.DBF");
    ASSERT_TRUE(storage::DbfTable::create(path, schema, storage::Variant::cdx));
    auto table = storage::DbfTable::open(path);
    ASSERT_TRUE(table);
    for (const auto& [key, image] : rows) {
      ASSERT_TRUE(table->append());
      table->assign("ISBN", key);
      table->assign_memo("COVER", image);
    }
    ASSERT_TRUE(table->create_index(dir.path("dvd/import.cdx")));
    ASSERT_TRUE(table->close());
  }

  std::vector<int> pool_flags() {
    std::vector<int> flags;
    auto pool = storage::DbfTable::open(dir.path("dvd/pool.dbf"), storage::OpenOptions().with_read_only());
    if (!pool) return flags;
    pool->set_order(0);
    for (pool->go_top(); !pool->eof(); pool->skip()) flags.push_back(static_cast<int>(pool->number("COVER")));
    pool->close();
    return flags;
  }

  TempDir dir{"e2e.covers."};
};

TEST_F(CoverRun, ImportServerNotFoundAndFlags) {
  const std::string served = gif(1000);
  const std::string wanted = isbn10_of(title(3));
  HttpTestServer server([&](const std::string& path) {
    if (path.find(wanted) != std::string::npos) return ScriptedReply{HttpTestServer::response(200, served)};
    return ScriptedReply{HttpTestServer::response(404, "")};
  });
  write_pool({title(4), title(1), title(2), title(3), title(1), "12345678"});
  write_import({{title(1), gif(950)}});
  dir.write("dvd/POOL.INI", "[Pool]\r\n[Cover]\r\n1=COVER\\COVER.DBF\r\n");
  const std::string download = "CoverImportDBF=" + root() + "IMPORT.DBF\r\nInternet=1\r\nServer=127.0.0.1:" +
                               std::to_string(server.port()) + "\r\nTimeout=5000\r\n";
  const std::string cover = root() + "COVER\\COVER.DBF";

  EXPECT_EQ(phases_of(run(download)),
            "Datentr\xE4ger-Coverdatei.............: " + cover + "\r\n"
            "DBF-Importdatei mit Covers.........: " + root() + "IMPORT.DBF\r\n"
            "Cover aus Internet herunterladen...: Ja\r\n"
            "\r\n"
            "Suche nach Covers... \r\n"
            "\r\n"
            "Gefundene ISBN-Cover...............:          2\r\n"
            "Nicht-gefundene Cover..............:          3\r\n"
            "Bearbeitete ISBN...................:          5\r\n"
            "\r\n"
            "Im Internet gefunden...............:          1\r\n"
            "Im Internet nicht gefunden.........:          2\r\n"
            "Internetzugriffe ingesamt..........:          3\r\n"
            "\r\n"
            "Eintr\xE4ge in pool.dbf...............:          6\r\n"
            "Vorhandene Cover...................:          2 (33%)\r\n"
            "Bearbeitete Eintr\xE4ge...............:          4 (67%)\r\n"
            "Letzter ISBN-Eintrag...............: " + title(4) + "\r\n"
            "\r\n"  // before the console-only heading of the cover flags
            "\r\n"
            "Eintr\xE4ge in pool.dbf...............:          6\r\n"
            " davon verschieden.................:          5 (83%)\r\n"
            "    davon gefunden.................:          2 (40%)\r\n");
  // title(1) imported, title(3) from the server (one request), title(2) and title(4)
  // asked four times each and entered as not found; 12345678 is never sent.
  EXPECT_EQ(server.paths().size(), 9u);
  EXPECT_TRUE(dir.exists("bin/notfound.dbf"));
  EXPECT_EQ(pool_flags(), (std::vector<int>{0, 1, 0, 1, 1, 0}));

  // The next run finds the covers and skips the titles the server did not have.
  const std::string again = phases_of(run(download));
  EXPECT_NE(again.find("Gefundene ISBN-Cover...............:          0\r\n"
                       "Nicht-gefundene Cover..............:          1\r\n"),
            std::string::npos)
      << again;
  EXPECT_NE(again.find("Internetzugriffe ingesamt..........:          0\r\n"), std::string::npos) << again;
  EXPECT_EQ(server.paths().size(), 9u);
}

// A captive portal answers every request with its log-in page: the run stops asking
// after the first title, says why and how many titles were not asked, and records none
// of them as not found, so the next run asks again.
TEST_F(CoverRun, APortalPageIsNoAnswer) {
  const std::string page = "<html><body><form>Bitte anmelden</form>" + std::string(2000, ' ') + "</body></html>";
  HttpTestServer server([&](const std::string&) { return ScriptedReply{HttpTestServer::response(200, page)}; });
  write_pool({title(1), title(2), title(3)});
  dir.write("dvd/POOL.INI", "[Pool]\r\n");
  const std::string download = "Internet=1\r\nServer=127.0.0.1:" + std::to_string(server.port()) + "\r\n";

  EXPECT_EQ(phases_of(run(download)),
            "Datentr\xE4ger-Coverdatei.............: " + root() + "COVER\\COVER.DBF\r\n"
            "Cover aus Internet herunterladen...: Ja\r\n"
            "\r\n"
            "Suche nach Covers... \r\n"
            "Warnung: Der Cover-Server liefert Seiten statt Bildern (Anmeldeseite oder Proxy?), in diesem Lauf "
            "werden keine Cover mehr heruntergeladen.\r\n"
            "Warnung: 3 Titel konnten nicht im Internet gesucht werden.\r\n"
            "\r\n"
            "Gefundene ISBN-Cover...............:          0\r\n"
            "Nicht-gefundene Cover..............:          3\r\n"
            "Bearbeitete ISBN...................:          3\r\n"
            "\r\n"
            "Im Internet gefunden...............:          0\r\n"
            "Im Internet nicht gefunden.........:          0\r\n"
            "Internetzugriffe ingesamt..........:          0\r\n"
            "\r\n"
            "Eintr\xE4ge in pool.dbf...............:          3\r\n"
            "Vorhandene Cover...................:          0 (0%)\r\n"
            "Bearbeitete Eintr\xE4ge...............:          0 (0%)\r\n"
            "Letzter ISBN-Eintrag...............: " + title(3) + "\r\n"
            "\r\n"
            "\r\n"
            "Eintr\xE4ge in pool.dbf...............:          3\r\n"
            " davon verschieden.................:          0 (0%)\r\n"
            "    davon gefunden.................:          0 (0%)\r\n");
  EXPECT_EQ(server.paths().size(), 4u);

  // Nothing was recorded: the next run asks again.
  run(download);
  EXPECT_EQ(server.paths().size(), 8u);
}

// A server that accepts and never answers, with the default `Timeout`, costs one
// title's four exchanges of 15 s, a minute; with a `Timeout` of 250 ms, 3 s.
TEST_F(CoverRun, AServerThatNeverAnswersCostsFourExchanges) {
  HttpTestServer server([](const std::string&) { return ScriptedReply{"", {}, {}, true}; });
  write_pool({title(1), title(2), title(3), title(4), title(5), title(6)});
  dir.write("dvd/POOL.INI", "[Pool]\r\n");
  const auto start = std::chrono::steady_clock::now();
  const std::string phases = phases_of(
      run("Internet=1\r\nServer=127.0.0.1:" + std::to_string(server.port()) + "\r\nTimeout=250\r\n"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(server.paths().size(), 4u);
  EXPECT_NE(phases.find("Suche nach Covers... \r\n"
                        "Warnung: Der Cover-Server antwortet nicht, in diesem Lauf werden keine Cover mehr "
                        "heruntergeladen.\r\n"
                        "Warnung: 6 Titel konnten nicht im Internet gesucht werden.\r\n\r\n"),
            std::string::npos)
      << phases;
  EXPECT_NE(phases.find("Im Internet nicht gefunden.........:          0\r\n"), std::string::npos) << phases;
}

TEST_F(CoverRun, EscFromStandardInputEndsThePass) {
  write_pool({title(1), title(2), title(3)});
  dir.write("dvd/POOL.INI", "[Pool]\r\n");
  const std::string phases = phases_of(run("", "\x1B"));
  EXPECT_NE(phases.find("Suche nach Covers... \r\nManueller Abbruch - Bitte warten... \r\n\r\n"
                        "Gefundene ISBN-Cover...............:          0\r\n"
                        "Nicht-gefundene Cover..............:          1\r\n"),
            std::string::npos)
      << phases;
}

TEST_F(CoverRun, WithoutThePoolTable) {
  dir.write("dvd/POOL.INI", "[Pool]\r\n[Cover]\r\n1=COVER\\COVER.DBF\r\n");
  const std::string missing = "Error: Datei " + root() + "pool.dbf nicht vorhanden!\r\n";
  EXPECT_EQ(phases_of(run("")), missing + missing);
}

// A generated medium with its import table: every cover of it is copied, and the flags
// count each covered title once. In both index modes of the pool table.
TEST(CoverRunGenerated, ImportTableOfTheSampleMedium) {
  if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  for (const bool ntx : {false, true}) {
    TempDir dir{"e2e.generated."};
    MediumOptions options;
    options.pools = 2;
    options.records = 80;
    options.covers = 12;
    options.ntx = ntx;
    options.args = {"--import-table"};
    const GeneratedMedium medium = make_medium(dir.path("dvd"), options);
    ASSERT_TRUE(medium.ok) << medium.error;
    RunOptions run;
    run.working_directory = dir.path();
    run.executable = copy_program(dir.path("bin"));
    run.args = {"--config", medium.config_path};
    const RunResult result = run_torvane(run);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    ASSERT_GT(medium.count("import-covers"), 0u);
    const std::string covers = std::to_string(medium.count("import-covers"));
    const std::string padded = std::string(10 - covers.size(), ' ') + covers;
    EXPECT_NE(result.log.find("Gefundene ISBN-Cover...............: " + padded + "\r\n"), std::string::npos)
        << result.log;
    EXPECT_NE(result.log.find("    davon gefunden.................: " + padded), std::string::npos) << result.log;
  }
}

}  // namespace
}  // namespace torvane::testing
