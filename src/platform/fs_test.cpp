#include "platform/fs.h"

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace torvane::platform {
namespace {

using Names = std::vector<std::string>;

TEST(WildcardMatch, StarQuestionAndLetterCase) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  } cases[] = {
      {"*.cdm", "START.CDM", true},   {"*.CDM", "start.cdm", true},  {"*.cdm", "start.cdmx", false},
      {"a?c", "abc", true},           {"a?c", "ac", false},          {"*", "", true},
      {"*.*", "noext", true},         {"*a*b*", "xxaxxbxx", true},   {"*a*b", "xxaxxbxx", false},
      {"pool.dbf", "POOL.DBF", true}, {"?", "", false},              {"**x", "abx", true},
  };
  for (const Case& c : cases) EXPECT_EQ(wildcard_match(c.mask, c.name), c.match) << c.mask << " " << c.name;
}

class Fs : public ::testing::Test {
 protected:
  testing::TempDir dir{"fs."};
};

TEST_F(Fs, ListingsHoldOrdinaryVisibleFilesSortedByByteOrder) {
  dir.write("B.CDM", "");
  dir.write("a.cdm", "");
  dir.write(".hidden.cdm", "");
  dir.write("x.txt", "");
  dir.make_dir("dir.cdm");
  EXPECT_EQ(list_files(dir.path(), "*.cdm"), (Names{"B.CDM", "a.cdm"}));
  EXPECT_EQ(list_files(dir.path(), "*.cdm", true), (Names{".hidden.cdm", "B.CDM", "a.cdm"}));
  EXPECT_EQ(list_files(dir.path(), "*.*"), (Names{"B.CDM", "a.cdm", "x.txt"}));
  EXPECT_EQ(list_directories(dir.path()), (Names{"dir.cdm"}));
  EXPECT_TRUE(list_files(dir.path("missing"), "*").empty());
}

TEST_F(Fs, CopyKeepsContentAndLastWriteTime) {
  dir.write("a.mab", std::string(3 << 20, 'x') + "end");  // more than one copy buffer
  const LocalTime old{2008, 2, 29, 13, 14, 15};
  ASSERT_TRUE(set_last_write_time(dir.path("a.mab"), old));
  ASSERT_TRUE(copy_file(dir.path("a.mab"), dir.path("A.BK1")));
  EXPECT_EQ(dir.read("a.bk1"), dir.read("a.mab"));  // created lower case
  EXPECT_EQ(last_write_time(dir.path("a.bk1")), old);
  EXPECT_FALSE(copy_file(dir.path("missing"), dir.path("b")));
  EXPECT_FALSE(dir.exists("b"));
}

TEST_F(Fs, LastWriteInstantKeepsFractionsOfASecond) {
  using namespace std::chrono_literals;
  dir.write("a", "");
  const FileTime late = FileTime(1'300'000'000s) + 999'999'900ns;  // a multiple of 100 ns
  ASSERT_TRUE(set_last_write_instant(dir.path("A"), late));
  EXPECT_EQ(last_write_instant(dir.path("a")), late);
  ASSERT_TRUE(set_last_write_instant(dir.path("a"), late - 1s));
  EXPECT_LT(*last_write_instant(dir.path("a")), late);
  EXPECT_FALSE(last_write_instant(dir.path("missing")).has_value());
  EXPECT_FALSE(set_last_write_instant(dir.path("missing"), late));
}

TEST_F(Fs, FilesAndDirectoriesComeAndGo) {
  dir.write("F.TXT", "12345");
  EXPECT_TRUE(file_exists(dir.path() + "\\f.txt"));
  EXPECT_FALSE(directory_exists(dir.path("F.TXT")));
  EXPECT_EQ(file_size(dir.path("f.txt")), 5u);
  EXPECT_TRUE(rename_file(dir.path("f.txt"), dir.path("G.TXT")));
  EXPECT_TRUE(dir.exists("g.txt"));
  EXPECT_TRUE(delete_file(dir.path("G.TXT")));
  EXPECT_TRUE(delete_file(dir.path("G.TXT")));  // gone already: still true
  EXPECT_TRUE(make_directory(dir.path("Sub")));
  EXPECT_TRUE(dir.exists("sub"));
  EXPECT_TRUE(remove_directory(dir.path("SUB")));
  EXPECT_FALSE(file_size(dir.path("missing")).has_value());
  EXPECT_FALSE(read_whole_file(dir.path("missing")).has_value());
}

TEST_F(Fs, ReadOnlyFlag) {
  dir.write("r.txt", "x");
  ASSERT_TRUE(set_read_only(dir.path("r.txt"), true));
  EXPECT_TRUE(is_read_only(dir.path("R.TXT")));
  ASSERT_TRUE(set_read_only(dir.path("r.txt"), false));
  EXPECT_FALSE(is_read_only(dir.path("r.txt")));
}

TEST_F(Fs, StampChangesWithTheContent) {
  dir.write("p.ini", "a");
  const auto first = file_stamp(dir.path("P.INI"));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(file_stamp(dir.path("p.ini")), first);
  dir.write("p.ini", "ab");
  EXPECT_NE(file_stamp(dir.path("p.ini")), first);
  EXPECT_FALSE(file_stamp(dir.path()).has_value());  // a directory
}

TEST_F(Fs, ShareModesBetweenTwoHandles) {
  dir.write("t.dbf", "0123456789");
  const std::string path = dir.path("T.DBF");
  File exclusive = File::open(path, Access::read_write, Share::exclusive, Disposition::open_existing);
  ASSERT_TRUE(exclusive.is_open());
  File second = File::open(path, Access::read, Share::shared, Disposition::open_existing);
  EXPECT_FALSE(second.is_open());
  EXPECT_EQ(second.os_error(), kOsSharingViolation);
  exclusive.close();

  File shared1 = File::open(path, Access::read_write, Share::shared, Disposition::open_existing);
  File shared2 = File::open(path, Access::read, Share::shared, Disposition::open_existing);
  EXPECT_TRUE(shared1.is_open());
  EXPECT_TRUE(shared2.is_open());
  File refused = File::open(path, Access::read_write, Share::exclusive, Disposition::open_existing);
  EXPECT_EQ(refused.os_error(), kOsSharingViolation);

  // Record locks belong to the handle: the second one is refused, then granted.
  EXPECT_TRUE(shared1.lock_range(0x7FFFFFFEu - 1, 1, LockKind::exclusive, false));
  EXPECT_FALSE(shared2.lock_range(0x7FFFFFFEu - 1, 1, LockKind::exclusive, false));
  EXPECT_TRUE(shared1.unlock_range(0x7FFFFFFEu - 1, 1));
  EXPECT_TRUE(shared2.lock_range(0x7FFFFFFEu - 1, 1, LockKind::exclusive, false));
  // A handle opened for reading may lock but not write.
  const std::uint8_t byte = 'x';
  EXPECT_EQ(shared2.write_at(0, {&byte, 1}), -1);
  EXPECT_EQ(shared2.os_error(), kOsAccessDenied);
  EXPECT_EQ(shared1.write_at(0, {&byte, 1}), 1);

  File missing = File::open(dir.path("none"), Access::read, Share::shared, Disposition::open_existing);
  EXPECT_EQ(missing.os_error(), kOsFileNotFound);
}

TEST_F(Fs, CreateRefusedForASharingConflictLeavesTheFileIntact) {
  dir.write("t.dbf", "0123456789");
  const std::string path = dir.path("T.DBF");
  File holder = File::open(path, Access::read_write, Share::exclusive, Disposition::open_existing);
  ASSERT_TRUE(holder.is_open());
  File create = File::open(path, Access::read_write, Share::exclusive, Disposition::create_always);
  EXPECT_EQ(create.os_error(), kOsSharingViolation);
  EXPECT_EQ(holder.size(), 10);
  holder.close();
  File again = File::open(path, Access::read_write, Share::exclusive, Disposition::create_always);
  ASSERT_TRUE(again.is_open());
  EXPECT_EQ(again.size(), 0);
}

TEST(ConsoleText, Windows1252BecomesUtf8) {
  EXPECT_EQ(cp1252_to_utf8("Pr\xFC" "fung"), "Pr\xC3\xBC" "fung");
  EXPECT_EQ(cp1252_to_utf8("\x80 \xE4\xF6\xDF"), "\xE2\x82\xAC \xC3\xA4\xC3\xB6\xC3\x9F");
  EXPECT_EQ(cp1252_to_utf8("\x81\x8D"), "??");
  EXPECT_EQ(cp1252_to_utf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(ConsoleText, CodePointsBackToWindows1252) {
  EXPECT_EQ(cp1252_from_code_point(0x20AC), 0x80);  // euro sign
  EXPECT_EQ(cp1252_from_code_point(0x0178), 0x9F);  // Y with diaeresis
  EXPECT_EQ(cp1252_from_code_point(0xFC), 0xFC);
  EXPECT_EQ(cp1252_from_code_point(0xA0), 0xA0);
  EXPECT_EQ(cp1252_from_code_point(0x81), -1);      // a C1 control: no byte
  EXPECT_EQ(cp1252_from_code_point(0x0100), -1);
  EXPECT_EQ(cp1252_from_code_point(0x41), -1);      // not above U+007F
}

TEST(Process, CollectsOutputStatusAndInput) {
#ifdef _WIN32
  GTEST_SKIP() << "runs /bin/sh; the Windows runner has its own test";
#endif
  testing::ProcessOptions options;
  options.args = {"-c", "cat; echo err >&2; pwd; echo $TORVANE_X; exit 3"};
  options.input = "in\n";
  options.working_directory = "/";
  options.environment = {"TORVANE_X=42"};
  const testing::ProcessResult run = testing::run_process("/bin/sh", options);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_EQ(run.out, "in\n/\n42\n");
  EXPECT_EQ(run.err, "err\n");
  EXPECT_FALSE(executable_path().empty());
}

}  // namespace
}  // namespace torvane::platform
