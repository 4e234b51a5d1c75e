#include "app/medium/table_builds.h"

#include <gtest/gtest.h>

#include <chrono>

#include "app/medium/file_times.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

TEST(BuildName, CarriesTheProcessNumberBeforeTheFirstPointOfTheFileName) {
  const std::string pid = std::to_string(platform::process_id());
  EXPECT_EQ(build_name("D:\\DVD\\POOL1.DBF"), "D:\\DVD\\POOL1~" + pid + ".DBF");
  EXPECT_EQ(build_name("/tmp/a.v2/pool.x.dbf"), "/tmp/a.v2/pool~" + pid + ".x.dbf");
  EXPECT_EQ(build_name("D:\\DVD.1\\ISBN"), "D:\\DVD.1\\ISBN~" + pid);
}

TEST(BuildName, LeftoversAreExactlyBuildNamesAndTheirCompanions) {
  const std::string_view table = "D:\\DVD\\POOL1\\Pool1.dbf";
  struct Case {
    const char* name;
    bool leftover;
  } cases[] = {
      {"pool1~4711.dbf", true},  {"POOL1~1.DBF", true},      {"pool1~4711.cdx", true},  {"pool1~2.ntx", true},
      {"pool1~2.fpt", true},     {"pool1~.dbf", false},      {"pool1~x1.dbf", false},   {"pool1~12a.dbf", false},
      {"pool1~12.mab", false},   {"pool1.dbf", false},       {"pool12~1.dbf", false},   {"xpool1~1.dbf", false},
      {"pool1~1.dbf.bak", false}, {"pool1~1", false},        {"pool1~1.cdx.cdx", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_build_leftover(c.name, table, kTableCompanions), c.leftover) << c.name;
  // A name without extension, and the rest of a name with several points.
  EXPECT_TRUE(is_build_leftover("isbn~7", "D:\\ISBN", kTableCompanions));
  EXPECT_TRUE(is_build_leftover("isbn~7.cdx", "D:\\ISBN", kTableCompanions));
  EXPECT_TRUE(is_build_leftover("a~7.b.mab", "D:\\A.B.MAB", {}));
  EXPECT_FALSE(is_build_leftover("a~7.mab", "D:\\A.B.MAB", {}));
}

class PoolFiles : public ::testing::Test {
 protected:
  void stamp(const std::string& name, platform::FileTime time) {
    ASSERT_TRUE(platform::set_last_write_instant(dir.path(name), time));
  }
  testing::TempDir dir;
  testing::ConsoleCapture capture;
  const platform::FileTime second = platform::FileTime(1'600'000'000s);
};

TEST_F(PoolFiles, NewerSeesChangesWithinOneSecond) {
  dir.write("a", "");
  dir.write("b", "");
  stamp("a", second + 200ms);
  stamp("b", second + 700ms);
  EXPECT_TRUE(newer(dir.path("b"), dir.path("a")));
  EXPECT_FALSE(newer(dir.path("a"), dir.path("b")));
  stamp("a", second + 700ms);
  EXPECT_FALSE(newer(dir.path("b"), dir.path("a")));
  EXPECT_FALSE(newer(dir.path("b"), dir.path("missing")));
}

TEST_F(PoolFiles, OlderThanAndKeptCurrentHoldAtFullPrecision) {
  dir.write("table", "");
  dir.write("index", "");
  dir.write("mab", "");
  // A reference written late in its second: the older file must still be older, not
  // only within the second.
  stamp("mab", second + 999'999'999ns);
  ASSERT_TRUE(make_older_than(dir.path("table"), dir.path("mab")));
  EXPECT_TRUE(newer(dir.path("mab"), dir.path("table")));
  EXPECT_FALSE(make_older_than(dir.path("table"), dir.path("missing")));

  stamp("index", second - 5s);
  stamp("table", second + 300ms);
  keep_index_current(dir.path("table"), dir.path("index"));
  EXPECT_EQ(platform::last_write_instant(dir.path("index")), second + 300ms);
  EXPECT_FALSE(newer(dir.path("table"), dir.path("index")));
}

TEST_F(PoolFiles, LeftoversOfBuildsAreRemovedAndNothingElse) {
  // Process numbers above every system's limit belong to no running process; process 1
  // always runs, so its build is still in progress and stays.
  for (const char* name : {"pool1~9999991.dbf", "POOL1~9999991.CDX", "pool1~9999992.ntx", "pool1.dbf", "pool1.cdx",
                           "pool1~.dbf", "pool1~9.mab", "pool1~x.dbf", "other~1.dbf", "pool1~1.dbf"})
    dir.write(name, "x");
  remove_build_leftovers(dir.path("POOL1.DBF"), kTableCompanions);
  EXPECT_EQ(platform::list_files(dir.path(), "*"),
            (Names{"other~1.dbf", "pool1.cdx", "pool1.dbf", "pool1~.dbf", "pool1~1.dbf", "pool1~9.mab", "pool1~x.dbf"}));
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"Datei " + dir.path("POOL1~9999991.CDX") + " wurde gel\xF6scht.",
                                      "Datei " + dir.path("pool1~9999991.dbf") + " wurde gel\xF6scht.",
                                      "Datei " + dir.path("pool1~9999992.ntx") + " wurde gel\xF6scht."}));
}

}  // namespace
}  // namespace torvane::app
