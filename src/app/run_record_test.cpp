#include "app/run_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <nlohmann/json.hpp>

#include "app/run_report.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

TEST(RunRecord, LinesAreSortedIntoErrorsWarningsAndStatistics) {
  EXPECT_EQ(line_kind("Error: Datei X wurde nicht angelegt."), LineKind::error);
  EXPECT_EQ(line_kind("Error DBFCDX/1012 Corruption detected"), LineKind::error);
  EXPECT_EQ(line_kind("Datei D:\\DVD\\POOL1\\POOL1.MAB ist nicht vorhanden."), LineKind::error);
  EXPECT_EQ(line_kind("Warnung: Backup-Datei X ist noch vorhanden!"), LineKind::warning);
  EXPECT_EQ(line_kind("Datei X wurde angelegt."), std::nullopt);

  EXPECT_EQ(statistics_of("Gefundene ISBN-Cover...............:          2"),
            std::make_pair(std::string("Gefundene ISBN-Cover"), std::int64_t{2}));
  EXPECT_EQ(statistics_of("    davon gefunden.................:          6 (2%)"),
            std::make_pair(std::string("davon gefunden"), std::int64_t{6}));
  EXPECT_EQ(statistics_of("Indexdatei.........................: .cdx"), std::nullopt);
  EXPECT_EQ(statistics_of("Datei X anlegen..."), std::nullopt);
}

TEST(RunRecord, NumberKindsFromTheirKeys) {
  EXPECT_EQ(number_kind("9783880531017"), NumberKind::isbn);
  EXPECT_EQ(number_kind("9790001234567"), NumberKind::ismn);
  EXPECT_EQ(number_kind("M230671187"), NumberKind::ismn);
  EXPECT_EQ(number_kind("9770342067104"), NumberKind::issn);
  EXPECT_EQ(number_kind("03420671     "), NumberKind::issn);
  EXPECT_EQ(number_kind("4006381333931"), NumberKind::ean);
}

TEST(RunReport, OutcomeStatusAndDocument) {
  RunRecord record;
  EXPECT_EQ(outcome_of(record), Outcome::ok);
  record.lines.push_back({LineKind::warning, "Warnung: w", "pool phase"});
  EXPECT_EQ(outcome_of(record), Outcome::ok);
  record.lines.push_back({LineKind::error, "Error: Pr\xFC" "fung", "pool phase"});
  EXPECT_EQ(outcome_of(record), Outcome::errors);
  record.fatal = true;
  EXPECT_EQ(outcome_of(record), Outcome::fatal);
  EXPECT_EQ(strict_status(Outcome::ok), 0);
  EXPECT_EQ(strict_status(Outcome::errors), 4);
  EXPECT_EQ(strict_status(Outcome::fatal), 3);
  EXPECT_EQ(strict_status(Outcome::failed), 1);

  record.files.push_back({FileAction::backed_up, "D:\\DVD\\P.BK1", "fields not permitted", std::nullopt, "pool phase"});
  record.statistics["cover phase"]["Gefundene ISBN-Cover"] = 7;
  ReportHeader header;
  header.mode = "prepare";
  header.start_ns = 1'700'000'000'123'000'000;
  header.end_ns = header.start_ns + 2'500'000'000;
  header.outcome = Outcome::errors;
  header.exit_status = 4;
  const auto doc = nlohmann::json::parse(report_document(header, record));
  EXPECT_EQ(doc["schema"], 1);
  EXPECT_EQ(doc["start"], "2023-11-14T22:13:20.123Z");
  EXPECT_DOUBLE_EQ(doc["duration_seconds"].get<double>(), 2.5);
  EXPECT_EQ(doc["outcome"], "errors");
  EXPECT_EQ(doc["files"][0]["action"], "backed up");
  EXPECT_TRUE(doc["files"][0]["records"].is_null());
  EXPECT_EQ(doc["messages"][1]["text"], "Error: Pr\xC3\xBC" "fung");  // UTF-8 in the document
  EXPECT_EQ(doc["statistics"]["cover phase"]["Gefundene ISBN-Cover"], 7);
  EXPECT_FALSE(doc.contains("findings"));
}

TEST(RunReport, WrittenWholeOrNotAtAll) {
  testing::TempDir dir;
  EXPECT_TRUE(write_report(dir.path("r.json"), "{}\n"));
  EXPECT_EQ(dir.read("r.json"), "{}\n");
  EXPECT_TRUE(write_report(dir.path("r.json"), "{\"a\": 1}\n"));
  EXPECT_EQ(dir.read("r.json"), "{\"a\": 1}\n");
  EXPECT_FALSE(write_report(dir.path("missing/r.json"), "{}\n"));
  const auto entries = std::filesystem::directory_iterator(dir.path());
  EXPECT_EQ(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)), 1);  // no temporary left
}

}  // namespace
}  // namespace torvane::app
