#include "app/medium/cover_table_files.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace torvane::app {
namespace {

TEST(NotFoundTable, PlacedByTheConfigurationOrBesideTheCoverTable) {
  testing::TempDir dir;
  dir.make_dir("bin");
  dir.make_dir("covers");
  dir.make_dir("data");
  RunConfig config;
  config.cover_dbf = dir.path("covers") + "\\COVER.DBF";
  const std::string exe = dir.path("bin") + "/torvane";

  // Without `NotFoundDBF`: beside the executable while its folder can be written...
  EXPECT_EQ(not_found_place(config, exe).path, dir.path("bin") + "/notfound.dbf");
  // ...and beside the cover table once one lies there.
  dir.write("covers/notfound.dbf", "");
  EXPECT_EQ(not_found_place(config, exe).path, dir.path("covers") + "\\notfound.dbf");

  // `NotFoundDBF` names the table, or a folder that holds notfound.dbf.
  config.not_found_dbf = dir.path("data") + "/titel-ohne-cover.dbf";
  EXPECT_EQ(not_found_place(config, exe).path, config.not_found_dbf);
  EXPECT_FALSE(not_found_place(config, exe).moved);
  config.not_found_dbf = dir.path("data");
  EXPECT_EQ(not_found_place(config, exe).path, dir.path("data") + "/notfound.dbf");
  config.not_found_dbf = "D:\\DATEN\\";
  EXPECT_EQ(not_found_place(config, exe).path, "D:\\DATEN\\notfound.dbf");
}

}  // namespace
}  // namespace torvane::app
