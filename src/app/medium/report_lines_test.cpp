#include "app/medium/report_lines.h"

#include <gtest/gtest.h>

namespace torvane::app {
namespace {

TEST(Banner, FramedLinesAre61Characters) {
  EXPECT_EQ(framed_line("TORVANE 3.10.800 (8AV1330)"),
            "***              TORVANE 3.10.800 (8AV1330)               ***");
  EXPECT_EQ(framed_line("f\xFCr LUMO-/DXP-Daten-Datentr\xE4ger"),
            "***            f\xFCr LUMO-/DXP-Daten-Datentr\xE4ger            ***");
  EXPECT_EQ(framed_line("").size(), 61u);
  EXPECT_EQ(framed_line(std::string(55, 'x')), "***" + std::string(55, 'x') + "***");
  EXPECT_EQ(framed_line(std::string(60, 'x')), "***" + std::string(60, 'x') + "***");
}

TEST(Summary, LabelsPaddedTo35) {
  EXPECT_EQ(summary_line("Indexdatei", ".cdx"), "Indexdatei.........................: .cdx");
  EXPECT_EQ(summary_line("Pool-Pr\xFC" "fung", ""), "Pool-Pr\xFC" "fung.......................: ");
  EXPECT_EQ(summary_line("TAV-Version", "  5.1  "), "TAV-Version........................: 5.1");
}

TEST(Statistics, LinesAndFigures) {
  EXPECT_EQ(statistics_line("Gefundene ISBN-Cover", 2), "Gefundene ISBN-Cover...............:          2");
  EXPECT_EQ(statistics_line("    davon gefunden", 1234567890123ull), "    davon gefunden.................: 1234567890123");
  EXPECT_EQ(percent_suffix(3, 8), " (38%)");   // 37.5 rounds up
  EXPECT_EQ(percent_suffix(1, 3), " (33%)");
  EXPECT_EQ(percent_suffix(6, 5), " (120%)");
  EXPECT_EQ(percent_suffix(5, 0), " (0%)");
  EXPECT_EQ(tenths_figure(progress_tenths(3, 8)), "37.5");
  EXPECT_EQ(tenths_figure(progress_tenths(1, 3)), "33.3");
  EXPECT_EQ(tenths_figure(progress_tenths(2, 3)), "66.7");
  EXPECT_EQ(tenths_figure(progress_tenths(1, 2000)), "0.1");  // 0.05 rounds up
  EXPECT_EQ(tenths_figure(progress_tenths(4, 4)), "100.0");
  EXPECT_EQ(tenths_figure(progress_tenths(1, 0)), "0.0");
}

}  // namespace
}  // namespace torvane::app
