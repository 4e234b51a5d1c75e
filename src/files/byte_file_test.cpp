#include "files/byte_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/fs.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace torvane::files {
namespace {

using testing::TempDir;

std::string numbered_bytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(EditFileName, CutsAtTheFirstPointOfTheFileNameOnlyAndNamesTheProcess) {
  EXPECT_EQ(edit_file_name("D:\\DVD\\BIN\\A.CDM", 42), "D:\\DVD\\BIN\\A.42.#$#");
  EXPECT_EQ(edit_file_name("D:\\DVD.1\\X.CDM", 7), "D:\\DVD.1\\X.7.#$#");
  EXPECT_EQ(edit_file_name("/tmp/tmp.x1/dvd/a.b.mab", 1), "/tmp/tmp.x1/dvd/a.1.#$#");
  EXPECT_EQ(edit_file_name("D:\\DVD\\README", 9), "D:\\DVD\\README.9.#$#");
  EXPECT_EQ(edit_file_name(" D:\\DVD\\A .CDM", 3), "D:\\DVD\\A.3.#$#");
}

TEST(EditFileName, OwnerIsReadFromEditFilesOfTheSameStemOnly) {
  EXPECT_EQ(edit_file_owner("a.42.#$#", "A"), 42UL);
  EXPECT_EQ(edit_file_owner("A.#$#", "a"), 0UL);
  EXPECT_EQ(edit_file_owner("ab.42.#$#", "A"), std::nullopt);   // another file's stem
  EXPECT_EQ(edit_file_owner("a.x2.#$#", "A"), std::nullopt);    // not a process number
  EXPECT_EQ(edit_file_owner("a.42.#$#.bak", "A"), std::nullopt);
  EXPECT_EQ(edit_file_owner("a..#$#", "A"), std::nullopt);
  EXPECT_EQ(edit_file_owner("a.cdm", "A"), std::nullopt);
}

TEST(TFile, NewOpensExistingFilesAndCreatesMissingOnes) {
  TempDir dir;
  dir.write("empty.bin", "");
  TFile empty(dir.path("empty.bin"));
  EXPECT_GT(empty.hFile(), 0);
  EXPECT_EQ(empty.nMode(), 2);
  EXPECT_EQ(empty.nLen(), 0);
  EXPECT_TRUE(empty.lEoF());
  EXPECT_EQ(empty.Count(), 0);

  TFile created(dir.path("new.bin"));
  EXPECT_GT(created.hFile(), 0);
  EXPECT_EQ(created.nMode(), 0);
  EXPECT_TRUE(dir.exists("new.bin"));
  EXPECT_EQ(created.AppStr("abc"), 3);
  EXPECT_TRUE(created.Close());
  EXPECT_EQ(created.hFile(), 0);
  EXPECT_EQ(dir.read("new.bin"), "abc");

  dir.write("old.bin", "old contents");
  TFile recreated;
  recreated.Create(dir.path("old.bin"));
  EXPECT_EQ(recreated.nLen(), 0);
  recreated.Close();
  EXPECT_EQ(dir.read("old.bin"), "");
}

TEST(TFile, FailedOpenReadsNothingAndWritesNothing) {
  TempDir dir;
  dir.make_dir("folder");
  for (const std::string& path : {dir.path("folder"), dir.path("missing/x.bin")}) {
    TFile file(path);
    EXPECT_EQ(file.hFile(), -1) << path;
    EXPECT_FALSE(file.Open());
    EXPECT_EQ(file.nGetByte(), -1);
    EXPECT_EQ(file.cGetStr(10), "");
    EXPECT_EQ(file.PutStr("x"), 0);
    EXPECT_FALSE(file.Seek("x"));
    EXPECT_FALSE(file.DelBytes(1));
    EXPECT_FALSE(file.InsBytes(1));
  }
  EXPECT_FALSE(dir.exists("missing/x.bin"));
}

TEST(TFile, ReadOnlyFileIsNeverOpenedForWriting) {
  TempDir dir;
  dir.write("ro.cdm", "[Main]\r\n");
  ASSERT_TRUE(platform::set_read_only(dir.path("ro.cdm"), true));
  TFile writer(dir.path("ro.cdm"), 2);
  EXPECT_EQ(writer.hFile(), -1);

  TFile reader(dir.path("ro.cdm"), 0);
  ASSERT_GT(reader.hFile(), 0);
  EXPECT_EQ(reader.cGetStr(6), "[Main]");
  EXPECT_EQ(reader.PutStr("xx"), 0);
  EXPECT_EQ(reader.AppStr("xx"), 8);
  reader.GoTo(0);
  EXPECT_FALSE(reader.DelBytes(2));
  EXPECT_FALSE(reader.InsBytes(2));
  reader.Close();
  EXPECT_EQ(dir.read("ro.cdm"), "[Main]\r\n");
  platform::set_read_only(dir.path("ro.cdm"), false);
}

TEST(TFile, BytesWordsAndStrings) {
  TempDir dir;
  dir.write("b.bin", std::string("\x01\x02\xFF\xFF\x34\x12\x7F", 7));
  TFile file(dir.path("b.bin"));
  EXPECT_EQ(file.nGetWord(), 0x0201);
  EXPECT_EQ(file.nGetWord(), -1);  // FF FF reads as -1, like the end of the file
  EXPECT_EQ(file.nPos(), 4);
  EXPECT_EQ(file.nGetWord(), 0x1234);
  EXPECT_EQ(file.nGetWord(), -1);  // one byte left
  EXPECT_EQ(file.nPos(), 7);
  EXPECT_EQ(file.nGetByte(), -1);
  file.GoTop();
  EXPECT_EQ(file.nGetByte(), 1);
  EXPECT_EQ(file.cGetStr(100), std::string("\x02\xFF\xFF\x34\x12\x7F", 6));
  EXPECT_TRUE(file.lEoF());

  file.GoTo(1);
  EXPECT_EQ(file.PutWord(-2), 2);
  EXPECT_EQ(file.PutByte(0x141), 1);
  EXPECT_EQ(file.nPos(), 4);
  EXPECT_EQ(file.AppWord(0x4142), 9);
  EXPECT_EQ(file.AppByte('C'), 10);
  EXPECT_EQ(file.nLen(), 10);
  file.GoTop();
  EXPECT_EQ(file.cGetStr(10), std::string("\x01\xFE\xFF\x41\x34\x12\x7F" "BAC", 10));
  EXPECT_EQ(file.Skip(-3), 7);
  EXPECT_EQ(file.Skip(-100), 7);  // no move before the start
  EXPECT_EQ(file.GoTo(-1), 7);
}

TEST(TFile, SeekFindsMatchesAcrossChunkAndBufferBoundaries) {
  TempDir dir;
  std::string bytes(600 * 1024, 'x');
  bytes[2047] = '\r';
  bytes[2048] = '\n';
  bytes[256 * 1024 - 1] = 'A';  // split across the read-ahead refill
  bytes[256 * 1024] = 'B';
  bytes[500 * 1024] = 'q';
  dir.write("s.bin", bytes);
  TFile file(dir.path("s.bin"));

  EXPECT_TRUE(file.Seek("\r\n"));
  EXPECT_EQ(file.nPos(), 2047);
  file.GoTo(3000);
  EXPECT_TRUE(file.Seek("AB"));
  EXPECT_EQ(file.nPos(), 256 * 1024 - 1);
  EXPECT_FALSE(file.Seek("\r\n"));  // none after the cursor: it stays
  EXPECT_EQ(file.nPos(), 256 * 1024 - 1);
  EXPECT_TRUE(file.Seek("Q", 0, 1));
  EXPECT_EQ(file.nPos(), 500 * 1024);
  EXPECT_FALSE(file.Seek("Q"));
  EXPECT_FALSE(file.Seek("q", 0, 1));  // the file's bytes are folded, not the text sought

  // Backward: the last occurrence that ends at or before the cursor.
  file.GoBottom();
  EXPECT_TRUE(file.Seek("x\r", 1));
  EXPECT_EQ(file.nPos(), 2046);
  file.GoTo(2048);
  EXPECT_FALSE(file.Seek("\r\n", 1));
  EXPECT_EQ(file.nPos(), 2048);
  file.GoTo(2049);
  EXPECT_TRUE(file.Seek("\r\n", 1));
  EXPECT_EQ(file.nPos(), 2047);

  // A text longer than a chunk is still found, and an empty one never.
  file.GoTop();
  EXPECT_TRUE(file.Seek(std::string("\n").append(3000, 'x')));
  EXPECT_EQ(file.nPos(), 2048);
  EXPECT_FALSE(file.Seek(""));
  EXPECT_EQ(file.nPos(), 2048);
}

TEST(TFile, CountSkipsOccurrencesSplitAcrossChunks) {
  TempDir dir;
  std::string bytes(5000, 'x');
  bytes.replace(10, 2, "\r\n");
  bytes.replace(2047, 2, "\r\n");  // split between the first two chunks: not counted
  bytes.replace(4094, 2, "\r\n");  // the last two bytes of the second chunk
  bytes.replace(4998, 2, "\r\n");
  dir.write("c.bin", bytes);
  TFile file(dir.path("c.bin"));
  file.GoTo(77);
  EXPECT_EQ(file.Count(), 3);
  EXPECT_EQ(file.nPos(), 77);
  dir.write("a.bin", "aaaaa");
  TFile a(dir.path("a.bin"));
  EXPECT_EQ(a.Count("aa"), 2);
  EXPECT_EQ(a.Count(""), 0);
}

TEST(TFile, DelBytesLeavesTheCursorTwoBytesOnAndShrinksTheFile) {
  TempDir dir;
  const std::string bytes = numbered_bytes(100);
  dir.write("d.bin", bytes);
  TFile file(dir.path("d.bin"));
  const int handle = file.hFile();
  file.GoTo(10);
  ASSERT_TRUE(file.DelBytes(3));
  EXPECT_EQ(file.nLen(), 97);
  EXPECT_EQ(file.nPos(), 12);
  EXPECT_EQ(file.nMode(), TFile::kEditMode);
  EXPECT_NE(file.hFile(), handle);
  EXPECT_GT(file.hFile(), 0);
  EXPECT_FALSE(file.DelBytes(0));

  // The edited file is held exclusively until it is closed.
  TFile other(dir.path("d.bin"), TFile::kEditMode);
  EXPECT_EQ(other.hFile(), -1);

  file.GoTo(96);  // p + 1 reaches nLen: the cursor goes to the new end
  ASSERT_TRUE(file.DelBytes(5));
  EXPECT_EQ(file.nLen(), 96);
  EXPECT_EQ(file.nPos(), 96);
  file.Close();
  EXPECT_EQ(dir.read("d.bin"), bytes.substr(0, 10) + bytes.substr(13, 86));
  EXPECT_FALSE(dir.exists("d.#$#"));
}

TEST(TFile, InsBytesOpensAGapOfBlanks) {
  TempDir dir;
  dir.write("i.bin", "abcdef");
  TFile file(dir.path("i.bin"));
  file.GoTo(2);
  ASSERT_TRUE(file.InsBytes(3));
  EXPECT_EQ(file.nPos(), 2);
  EXPECT_EQ(file.nLen(), 9);
  EXPECT_EQ(file.PutStr("XYZ"), 3);
  file.GoBottom();
  ASSERT_TRUE(file.InsBytes(4));  // at the end: appended
  EXPECT_EQ(file.nPos(), 9);
  EXPECT_EQ(file.nLen(), 13);
  EXPECT_EQ(file.cGetStr(10), "    ");
  file.Close();
  EXPECT_EQ(dir.read("i.bin"), "abXYZcdef    ");
}

TEST(TFile, FailedEditLeavesFileAndHandleUsable) {
  TempDir dir;
  dir.write("dvd/bin/a.cdm", "0123456789");
  dir.make_dir("dvd/bin/a." + std::to_string(platform::process_id()) + ".#$#");  // cannot be created
  TFile file(dir.path("dvd/bin/a.cdm"));
  const int handle = file.hFile();
  file.GoTo(4);
  EXPECT_FALSE(file.DelBytes(2));
  EXPECT_FALSE(file.InsBytes(2));
  EXPECT_EQ(file.hFile(), handle);
  EXPECT_EQ(file.nPos(), 4);
  EXPECT_EQ(file.nLen(), 10);
  EXPECT_EQ(file.cGetStr(3), "456");
  file.Close();
  EXPECT_EQ(dir.read("dvd/bin/a.cdm"), "0123456789");
}

TEST(TFile, EditKeepsAFolderWithAPointInItsName) {
  TempDir dir;
  dir.write("dvd.1/x.cdm", "abc");
  TFile file(dir.path("dvd.1/x.cdm"));
  file.GoTo(1);
  ASSERT_TRUE(file.DelBytes(1));
  file.Close();
  EXPECT_EQ(dir.read("dvd.1/x.cdm"), "ac");
  EXPECT_EQ(platform::list_files(dir.path(), "*", true), std::vector<std::string>{});
  EXPECT_EQ(platform::list_files(dir.path("dvd.1"), "*", true), std::vector<std::string>{"x.cdm"});
}

// A killed run leaves its edit file behind; the next edit of that file deletes it, but
// not the edit file of a process that still runs nor the files of another stem.
TEST(TFile, EditRemovesEditFilesOfProcessesThatNoLongerRun) {
  TempDir dir;
  dir.write("bin/a.cdm", "0123");
  dir.write("bin/A.#$#", "an earlier version's leftover");
  dir.write("bin/a.4000000000.#$#", "dead");
  dir.write("bin/b.4000000000.#$#", "another file's");
  dir.write("bin/a.1.#$#", "kept while process 1 runs");
  TFile file(dir.path("bin/a.cdm"));
  file.GoTo(1);
  ASSERT_TRUE(file.DelBytes(1));
  file.Close();
  EXPECT_EQ(dir.read("bin/a.cdm"), "023");
  std::vector<std::string> expected = {"a.cdm", "b.4000000000.#$#"};
  if (platform::process_running(1)) expected.insert(expected.begin(), "a.1.#$#");
  EXPECT_EQ(platform::list_files(dir.path("bin"), "*", true), expected);
}

// Random reads, writes, appends and searches against a string holding the same bytes:
// the read-ahead and write-behind buffers must never show stale bytes.
TEST(TFile, BufferedResultsMatchTheBytesOfTheFile) {
  TempDir dir;
  std::mt19937 random(7);
  std::string model = numbered_bytes(3000);
  dir.write("r.bin", model);
  TFile file(dir.path("r.bin"));
  std::int64_t cursor = 0;
  std::int64_t length = static_cast<std::int64_t>(model.size());  // nLen: only appends move it
  auto pick = [&](std::size_t n) { return static_cast<std::int64_t>(random() % (n + 1)); };
  for (int step = 0; step < 3000; ++step) {
    switch (random() % 6) {
      case 0:
        cursor = file.GoTo(pick(model.size()));
        break;
      case 1: {
        const std::int64_t n = pick(600);
        EXPECT_EQ(file.cGetStr(n), model.substr(static_cast<std::size_t>(cursor), static_cast<std::size_t>(n)));
        cursor = std::min<std::int64_t>(cursor + n, static_cast<std::int64_t>(model.size()));
        break;
      }
      case 2: {
        const std::string text(static_cast<std::size_t>(pick(40)), static_cast<char>('A' + random() % 26));
        EXPECT_EQ(file.PutStr(text), static_cast<std::int64_t>(text.size()));
        if (static_cast<std::size_t>(cursor) + text.size() > model.size()) model.resize(cursor + text.size());
        model.replace(static_cast<std::size_t>(cursor), text.size(), text);
        cursor += static_cast<std::int64_t>(text.size());
        break;
      }
      case 3: {
        const std::string text(static_cast<std::size_t>(pick(300)), static_cast<char>('0' + random() % 10));
        model += text;
        length += static_cast<std::int64_t>(text.size());
        EXPECT_EQ(file.AppStr(text), length);
        cursor = static_cast<std::int64_t>(model.size());
        break;
      }
      case 4: {
        const std::string needle = model.substr(static_cast<std::size_t>(pick(model.size() - 3)), 3);
        const std::size_t at = model.find(needle, static_cast<std::size_t>(cursor));
        EXPECT_EQ(file.Seek(needle), at != std::string::npos);
        if (at != std::string::npos) cursor = static_cast<std::int64_t>(at);
        break;
      }
      default:
        EXPECT_EQ(file.nGetByte(), cursor < static_cast<std::int64_t>(model.size())
                                        ? static_cast<unsigned char>(model[static_cast<std::size_t>(cursor)])
                                        : -1);
        if (cursor < static_cast<std::int64_t>(model.size())) ++cursor;
        break;
    }
    ASSERT_EQ(file.nPos(), cursor) << "step " << step;
    ASSERT_EQ(file.nLen(), length) << "step " << step;
  }
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(dir.read("r.bin"), model);
}

}  // namespace
}  // namespace torvane::files
