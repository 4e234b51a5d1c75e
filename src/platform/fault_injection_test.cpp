#include "platform/fault_injection.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "support/temp_dir.h"

namespace torvane::platform::fault {
namespace {

using testing::TempDir;

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Arms for one test and disarms whatever way the test ends.
struct Armed {
  Armed(const Plan& plan, const std::string& report = "") { arm(plan, report); }
  ~Armed() { disarm(); }
};

TEST(FaultPlan, ParsesCountKillAndFull) {
  EXPECT_EQ(parse_plan("count"), (Plan{Mode::count, 0}));
  EXPECT_EQ(parse_plan("kill:17"), (Plan{Mode::kill, 17}));
  EXPECT_EQ(parse_plan("full:3"), (Plan{Mode::disk_full, 3}));
  for (const char* wrong : {"", "kill", "kill:", "kill:0", "kill:-1", "kill:1x", "full:x", "stop:3", "Count"}) {
    EXPECT_EQ(parse_plan(wrong), std::nullopt) << wrong;
  }
}

TEST(FaultLayer, UnarmedChangesNothing) {
  ASSERT_FALSE(armed());
  TempDir dir;
  File file = File::open(dir.path("a.bin"), Access::read_write, Share::exclusive, Disposition::create_always);
  EXPECT_EQ(file.write_at(0, bytes("abcd")), 4);
  file.close();
  EXPECT_EQ(dir.read("a.bin"), "abcd");
}

// The disk stays full: the K-th write keeps half its bytes, later writes none, and
// every one of them reports the "disk full" code; other operations go on.
TEST(FaultLayer, DiskFullFromTheKthWriteOn) {
  TempDir dir;
  Armed armed({Mode::disk_full, 2}, dir.path("struck.txt"));
  File file = File::open(dir.path("a.bin"), Access::read_write, Share::exclusive, Disposition::create_always);
  EXPECT_EQ(file.write_at(0, bytes("1111")), 4);
  EXPECT_EQ(file.write_at(4, bytes("2222")), -1);
  EXPECT_EQ(file.os_error(), kOsDiskFull);
  EXPECT_EQ(file.write_at(6, bytes("3333")), -1);
  EXPECT_TRUE(file.truncate(5));
  file.close();
  EXPECT_EQ(dir.read("a.bin"), "11112");
  EXPECT_FALSE(copy_file(dir.path("a.bin"), dir.path("b.bin")));
  EXPECT_FALSE(dir.exists("b.bin"));  // a failed copy leaves no partial file
  EXPECT_TRUE(rename_file(dir.path("a.bin"), dir.path("c.bin")));
  EXPECT_EQ(writes(), 4u);
  EXPECT_EQ(dir.read("struck.txt").substr(0, 8), "3 write ");
}

TEST(FaultLayer, CountListsEveryChangingOperation) {
  TempDir dir;
  dir.write("old.bin", "x");
  Armed armed({Mode::count, 0}, dir.path("ops.txt"));
  File reader = File::open(dir.path("old.bin"), Access::read, Share::shared, Disposition::open_existing);
  reader.close();  // reading changes nothing: not counted
  File file = File::open(dir.path("a.bin"), Access::read_write, Share::exclusive, Disposition::create_always);
  file.write_at(0, bytes("ab"));
  file.flush();
  file.close();
  copy_file(dir.path("a.bin"), dir.path("b.bin"));
  rename_file(dir.path("b.bin"), dir.path("c.bin"));
  delete_file(dir.path("old.bin"));
  make_directory(dir.path("sub"));
  set_last_write_time(dir.path("c.bin"), LocalTime{2020, 1, 2, 3, 4, 5});
  EXPECT_EQ(operations(), 9u);
  EXPECT_EQ(writes(), 2u);
  disarm();
  const std::string report = dir.read("ops.txt");
  const std::array<const char*, 9> expected = {"1 create ", "2 write ",  "3 flush ",  "4 create ", "5 write ",
                                               "6 rename ", "7 delete ", "8 make-directory ", "9 set-time "};
  std::size_t at = 0;
  for (const char* start : expected) {
    ASSERT_EQ(report.compare(at, std::string_view(start).size(), start), 0) << report;
    at = report.find('\n', at) + 1;
  }
  EXPECT_NE(report.find("c.bin"), std::string::npos);
}

TEST(FaultLayerDeathTest, KillEndsTheProcessBeforeTheKthOperation) {
#ifdef _WIN32
  GTEST_SKIP() << "the death test's child runs the test anew, in a scratch folder of its own";
#endif
  TempDir dir;
  EXPECT_EXIT(
      {
        arm({Mode::kill, 3}, dir.path("struck.txt"));
        File file = File::open(dir.path("a.bin"), Access::read_write, Share::exclusive, Disposition::create_always);
        file.write_at(0, bytes("kept"));
        file.write_at(4, bytes("lost"));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(kKilledStatus), "");
  EXPECT_EQ(dir.read("a.bin"), "kept");
  EXPECT_EQ(dir.read("struck.txt").substr(0, 8), "3 write ");
}

}  // namespace
}  // namespace torvane::platform::fault
