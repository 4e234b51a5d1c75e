// The Windows platform layer: path normalisation, share modes and byte-range locks
// between processes, the temporary file, listings with attributes, local times,
// console text in the OEM code page, redirected keys and the process runner.
//
// Cases that need a second process run this test program again with TORVANE_CHILD
// set: it then does one thing, reports through its exit status and output, and ends
// before any test runs.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/keyboard.h"
#include "platform/path.h"
#include "platform/process.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace torvane::platform {
namespace {

using Names = std::vector<std::string>;

// --- The child's side -----------------------------------------------------------------

std::string child_argument(int index) {
  const char* value = std::getenv(("TORVANE_CHILD_" + std::to_string(index)).c_str());
  return value != nullptr ? value : "";
}

Share share_named(const std::string& name) {
  if (name == "exclusive") return Share::exclusive;
  if (name == "shared") return Share::shared;
  return Share::compatibility;
}

// TORVANE_CHILD names the action; TORVANE_CHILD_1.. are its arguments.
int child_action(const std::string& action) {
  if (action == "open") {  // path, share: exit status = the open's os_error
    File f = File::open(child_argument(1), Access::read_write, share_named(child_argument(2)),
                        Disposition::open_existing);
    return f.is_open() ? 0 : f.os_error();
  }
  if (action == "lock") {  // path, offset, kind: 1 when granted, 0 when refused
    File f = File::open(child_argument(1), Access::read_write, Share::shared, Disposition::open_existing);
    const auto kind = child_argument(3) == "shared" ? LockKind::shared : LockKind::exclusive;
    return f.is_open() && f.lock_range(std::stoull(child_argument(2)), 1, kind, false) ? 1 : 0;
  }
  if (action == "echo") {  // standard input to output, a line to errors, cwd, arguments
    std::string input;
    for (int c; (c = std::getchar()) != EOF;) input += static_cast<char>(c);
    std::printf("%s|", input.c_str());
    std::fprintf(stderr, "err");
    char cwd[MAX_PATH] = {};
    ::GetCurrentDirectoryA(sizeof cwd, cwd);
    std::printf("%s|%s", cwd, std::getenv("TORVANE_X") ? std::getenv("TORVANE_X") : "");
    for (int i = 1; i < __argc; ++i) std::printf("|%s", __argv[i]);
    std::fflush(stdout);
    return 3;
  }
  if (action == "console") {  // Windows-1252 text through the console
    console_write("M\xFCnchen \xDC" "berpr\xFC" "fung\r\n");
    return 0;
  }
  if (action == "keys") {  // four polls and a wait on a redirected input
    std::string seen;
    for (int i = 0; i < 4; ++i) seen += std::to_string(keyboard_poll()) + ",";
    seen += std::to_string(keyboard_wait());
    std::printf("%s", seen.c_str());
    return input_is_terminal() ? 1 : 0;
  }
  return 99;
}

const bool child_done = [] {
  const char* action = std::getenv("TORVANE_CHILD");
  if (action == nullptr || *action == '\0') return false;
  std::fflush(stdout);
  std::exit(child_action(action));
}();

// --- The parent's side ----------------------------------------------------------------

testing::ProcessResult run_child(const std::string& action, const std::vector<std::string>& arguments,
                        const std::string& input = "") {
  testing::ProcessOptions options;
  options.environment.push_back("TORVANE_CHILD=" + action);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    options.environment.push_back("TORVANE_CHILD_" + std::to_string(i + 1) + "=" + arguments[i]);
  }
  options.input = input;
  return testing::run_process(executable_path(), options);
}

TEST(Win32Path, OnlyNormalisedAndDrivesMeanTheirRoot) {
  EXPECT_EQ(translate_path("E:\\DVD\\"), "e:\\dvd\\");
  EXPECT_EQ(translate_path("  C:/Tools/X.INI  "), "c:\\tools\\x.ini");
  EXPECT_EQ(translate_path("E:"), "e:\\");
  EXPECT_EQ(translate_path("e:dvd"), "e:\\dvd");
  EXPECT_EQ(translate_path("\\\\Server\\Share\\A.DBF"), "\\\\server\\share\\a.dbf");
  EXPECT_EQ(translate_path("pool\\A.DBF"), "pool\\a.dbf");
  EXPECT_EQ(translate_path(""), "");
  EXPECT_EQ(native_path("D:/DVD/Pool.dbf"), translate_path("d:\\dvd\\POOL.DBF"));
}

class Win32Files : public ::testing::Test {
 protected:
  testing::TempDir dir{"win32."};
};

TEST_F(Win32Files, ShareModesHoldAgainstAnotherProcess) {
  dir.write("t.dbf", "0123456789");
  const std::string path = dir.path("T.DBF");
  {
    File exclusive = File::open(path, Access::read_write, Share::exclusive, Disposition::open_existing);
    ASSERT_TRUE(exclusive.is_open());
    EXPECT_EQ(run_child("open", {path, "shared"}).exit_status, kOsSharingViolation);
    EXPECT_EQ(run_child("open", {path, "compatibility"}).exit_status, kOsSharingViolation);
  }
  {
    File shared = File::open(path, Access::read, Share::shared, Disposition::open_existing);
    ASSERT_TRUE(shared.is_open());
    EXPECT_EQ(run_child("open", {path, "shared"}).exit_status, 0);
    EXPECT_EQ(run_child("open", {path, "exclusive"}).exit_status, kOsSharingViolation);
  }
  EXPECT_EQ(run_child("open", {path, "exclusive"}).exit_status, 0);
  EXPECT_EQ(run_child("open", {dir.path("none.dbf"), "shared"}).exit_status, kOsFileNotFound);
}

TEST_F(Win32Files, LocksFarBeyondTheEndBelongToTheHandle) {
  dir.write("t.dbf", "0123456789");
  const std::string path = dir.path("t.dbf");
  File holder = File::open(path, Access::read_write, Share::shared, Disposition::open_existing);
  ASSERT_TRUE(holder.is_open());
  // A record lock of the table, the index lock and one beyond four gigabytes.
  for (const std::uint64_t offset : {0x7FFF'FFFEull - 7, 1'000'000'000ull, 0x1'2345'6789ull}) {
    ASSERT_TRUE(holder.lock_range(offset, 1, LockKind::exclusive, false)) << offset;
    EXPECT_EQ(run_child("lock", {path, std::to_string(offset), "exclusive"}).exit_status, 0) << offset;
    EXPECT_EQ(run_child("lock", {path, std::to_string(offset), "shared"}).exit_status, 0) << offset;
    ASSERT_TRUE(holder.unlock_range(offset, 1));
    EXPECT_EQ(run_child("lock", {path, std::to_string(offset), "exclusive"}).exit_status, 1) << offset;
  }
  // Shared locks admit each other; a second handle of this process is a stranger.
  ASSERT_TRUE(holder.lock_range(0x7FFF'FFFE, 1, LockKind::shared, false));
  EXPECT_EQ(run_child("lock", {path, std::to_string(0x7FFF'FFFE), "shared"}).exit_status, 1);
  File second = File::open(path, Access::read, Share::shared, Disposition::open_existing);
  EXPECT_FALSE(second.lock_range(0x7FFF'FFFE, 1, LockKind::exclusive, false));
  EXPECT_EQ(second.os_error(), kOsLockViolation);
  EXPECT_TRUE(second.lock_range(0x7FFF'FFFE, 1, LockKind::shared, false));
}

TEST_F(Win32Files, OffsetsSizesCutsAndReadOnlyHandles) {
  File f = File::open(dir.path("B.BIN"), Access::read_write, Share::exclusive, Disposition::create_always);
  ASSERT_TRUE(f.is_open());
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(f.write_at(5, bytes), 3);  // the gap reads as zeros
  EXPECT_EQ(f.size(), 8);
  std::uint8_t back[16] = {};
  EXPECT_EQ(f.read_at(4, back), 4);
  EXPECT_EQ(back[0], 0);
  EXPECT_EQ(back[1], 1);
  EXPECT_EQ(f.read_at(100, back), 0);  // beyond the end: nothing, no failure
  EXPECT_TRUE(f.truncate(6));
  EXPECT_EQ(f.size(), 6);
  EXPECT_TRUE(f.flush());
  f.close();
  EXPECT_TRUE(dir.exists("b.bin"));  // created lower case, found in any case

  File reader = File::open(dir.path("b.bin"), Access::read, Share::compatibility, Disposition::open_existing);
  ASSERT_TRUE(reader.is_open());
  EXPECT_EQ(reader.write_at(0, bytes), -1);
  EXPECT_EQ(reader.os_error(), kOsAccessDenied);
  EXPECT_FALSE(reader.truncate(0));
  File folder = File::open(dir.path(), Access::read, Share::compatibility, Disposition::open_existing);
  EXPECT_FALSE(folder.is_open());
  EXPECT_EQ(folder.os_error(), kOsAccessDenied);
}

TEST_F(Win32Files, TemporaryFileIsGoneWhenClosed) {
  char folder[MAX_PATH + 1] = {};
  ASSERT_GT(::GetTempPathA(sizeof folder, folder), 0u);
  const std::size_t before = list_files(folder, "tvs*.tmp", true).size();
  {
    File scratch = File::temporary();
    ASSERT_TRUE(scratch.is_open());
    const std::uint8_t run[] = {9, 8, 7};
    EXPECT_EQ(scratch.write_at(1 << 20, run), 3);
    std::uint8_t back[3] = {};
    EXPECT_EQ(scratch.read_at(1 << 20, back), 3);
    EXPECT_EQ(back[2], 7);
    EXPECT_EQ(list_files(folder, "tvs*.tmp", true).size(), before + 1);
  }
  EXPECT_EQ(list_files(folder, "tvs*.tmp", true).size(), before);
}

TEST_F(Win32Files, HiddenAttributeAndReadOnlyCopies) {
  dir.write("a.cdm", "");
  dir.write("h.cdm", "");
  dir.write("r.cdm", "read only");
  ASSERT_TRUE(::SetFileAttributesA(dir.path("h.cdm").c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(list_files(dir.path(), "*.CDM"), (Names{"a.cdm", "r.cdm"}));
  EXPECT_EQ(list_files(dir.path() + "\\", "*.cdm", true), (Names{"a.cdm", "h.cdm", "r.cdm"}));

  ASSERT_TRUE(set_read_only(dir.path("r.cdm"), true));
  ASSERT_TRUE(copy_file(dir.path("r.cdm"), dir.path("r.bk1")));
  EXPECT_FALSE(is_read_only(dir.path("r.bk1")));  // the copy can be rewritten
  EXPECT_TRUE(is_read_only(dir.path("r.cdm")));
  EXPECT_EQ(dir.read("r.bk1"), "read only");
  EXPECT_TRUE(rename_file(dir.path("a.cdm"), dir.path("r.bk1")));  // replaces the target
  EXPECT_EQ(dir.read("r.bk1"), "");
  ASSERT_TRUE(set_read_only(dir.path("r.cdm"), false));
}

TEST_F(Win32Files, LastWriteTimesInWinterAndSummer) {
  dir.write("t.txt", "x");
  for (const LocalTime& t : {LocalTime{2008, 2, 29, 13, 14, 15}, LocalTime{2021, 7, 1, 0, 30, 59}}) {
    ASSERT_TRUE(set_last_write_time(dir.path("T.TXT"), t));
    EXPECT_EQ(last_write_time(dir.path("t.txt")), t);
  }
  const auto stamp = file_stamp(dir.path("t.txt"));
  ASSERT_TRUE(stamp.has_value());
  dir.write("t.txt", "y");  // same size, new content
  EXPECT_NE(file_stamp(dir.path("t.txt")), stamp);
  EXPECT_FALSE(file_stamp(dir.path()).has_value());
}

// --- Console, keys and processes ------------------------------------------------------

TEST(Win32Console, TextLeavesInTheOemCodePage) {
  const testing::ProcessResult run = run_child("console", {});
  ASSERT_EQ(run.exit_status, 0);
  if (::GetOEMCP() != 850 || ::GetACP() != 1252) {
    GTEST_SKIP() << "needs the code pages 1252 and 850 (scripts/test-windows sets them)";
  }
  EXPECT_EQ(run.out, "M\x81nchen \x9A" "berpr\x81" "fung\r\n");
}

TEST(Win32Keyboard, RedirectedInputIsPolledByteByByteAndNeverWaitedFor) {
  const testing::ProcessResult run = run_child("keys", {}, "\x1b" "a");
  EXPECT_EQ(run.exit_status, 0);  // not a terminal
  EXPECT_EQ(run.out, "27,97,0,0,0");
}

TEST(Win32Process, OutputErrorsStatusInputFolderAndArguments) {
  testing::TempDir dir{"win32."};
  testing::ProcessOptions options;
  options.environment = {"TORVANE_CHILD=echo", "TORVANE_X=42"};
  options.input = "in";
  options.working_directory = dir.path();
  options.args = {"two words", "quote\"inside", "back\\slash\\", ""};
  std::string program = executable_path();
  ASSERT_EQ(program.substr(program.size() - 4), ".exe");
  program.resize(program.size() - 4);  // found with ".exe" added
  const testing::ProcessResult run = testing::run_process(program, options);
  ASSERT_TRUE(run.started);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_EQ(run.err, "err");
  char cwd[MAX_PATH] = {};
  ::GetFullPathNameA(dir.path().c_str(), sizeof cwd, cwd, nullptr);
  EXPECT_EQ(run.out, std::string("in|") + cwd + "|42|two words|quote\"inside|back\\slash\\|");

  EXPECT_FALSE(testing::run_process(dir.path("missing.exe"), {}).started);
}

TEST(Win32Process, AProgramStillRunningAtTheTimeLimitIsEnded) {
  testing::ProcessOptions options;
  options.environment = {"TORVANE_CHILD=echo"};
  options.input = std::string(1 << 20, 'x');
  options.time_limit_seconds = 0;  // over before the program has read its input
  const testing::ProcessResult run = testing::run_process(executable_path(), options);
  EXPECT_TRUE(run.started);
  EXPECT_TRUE(run.timed_out);
}

}  // namespace
}  // namespace torvane::platform
