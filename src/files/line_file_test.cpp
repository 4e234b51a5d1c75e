#include "files/line_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace torvane::files {
namespace {

using testing::TempDir;
using ::testing::ElementsAre;
using Visit = std::pair<std::int64_t, std::string>;  // byte offset, line as read

// The phases' reading loop, with the offset read through the cursor after ReadLn.
std::vector<Visit> scan(TTxtFile& file) {
  std::vector<Visit> visits;
  while (!file.lEoF()) {
    const std::string line = file.ReadLn();
    visits.emplace_back(file.nPos(), line);
    file.Skip(1);
  }
  return visits;
}

std::vector<Visit> scan_bytes(TempDir& dir, std::string_view bytes) {
  dir.write("t.txt", bytes);
  TTxtFile file(dir.path("t.txt"));
  return scan(file);
}

TEST(TTxtFile, ReadingLoopVisitsEveryLineWithItsOffset) {
  TempDir dir;
  EXPECT_THAT(scan_bytes(dir, ""), ElementsAre());
  EXPECT_THAT(scan_bytes(dir, "A\r\nB\r\nC"), ElementsAre(Visit{0, "A"}, Visit{3, "B"}, Visit{6, "C"}));
  EXPECT_THAT(scan_bytes(dir, "A\r\nB\r\n"), ElementsAre(Visit{0, "A"}, Visit{3, "B"}));
  EXPECT_THAT(scan_bytes(dir, "A\r\n\r\nB"), ElementsAre(Visit{0, "A"}, Visit{3, ""}, Visit{5, "B"}));
  EXPECT_THAT(scan_bytes(dir, "\r\n"), ElementsAre(Visit{0, ""}));
  // Only CR LF ends a line; lone CR, lone LF and NUL bytes belong to it.
  EXPECT_THAT(scan_bytes(dir, std::string("a\rb\nc\0d\n\r\r\ne", 12)),
              ElementsAre(Visit{0, std::string("a\rb\nc\0d\n\r", 9)}, Visit{11, "e"}));
}

TEST(TTxtFile, LongLinesAreReadInPartAndSteppedOverWhole) {
  TempDir dir;
  const std::string long_line(3000, 'L');
  const std::string exact(1023, 'E');
  const std::string fits(1022, 'F');
  auto visits = scan_bytes(dir, long_line + "\r\n" + exact + "\r\n" + fits + "\r\nZ");
  ASSERT_EQ(visits.size(), 4u);
  EXPECT_EQ(visits[0], (Visit{0, long_line.substr(0, 1024)}));
  EXPECT_EQ(visits[1], (Visit{3002, exact + "\r"}));  // its LF lies beyond the 1,024 bytes
  EXPECT_EQ(visits[2], (Visit{4027, fits}));
  EXPECT_EQ(visits[3], (Visit{5051, "Z"}));
}

TEST(TTxtFile, HundredMegabyteLineWithoutTerminatorEndsTheScan) {
  TempDir dir;
  std::string bytes(100u << 20, 'x');
  bytes += "\r\ny";
  auto visits = scan_bytes(dir, bytes);
  ASSERT_EQ(visits.size(), 2u);
  EXPECT_EQ(visits[0].second, std::string(1024, 'x'));
  EXPECT_EQ(visits[1], (Visit{(100 << 20) + 2, "y"}));
}

TEST(TTxtFile, NewSetsUpTheLineState) {
  TempDir dir;
  dir.write("t.txt", "A\r\nB\r\nC");
  TTxtFile file(dir.path("t.txt"));
  EXPECT_EQ(file.cLine(), "A");
  EXPECT_EQ(file.nLine(), 1);
  EXPECT_EQ(file.nOffset(), 0);
  EXPECT_EQ(file.nTLines(), 2);
  EXPECT_EQ(file.nMaxLineLength(), 1024);
  EXPECT_EQ(file.cEndLine(), "\r\n");

  TTxtFile missing(dir.path("no/such/dir/x.txt"));
  EXPECT_LT(missing.hFile(), 0);
  EXPECT_TRUE(missing.lEoF());
  EXPECT_THAT(scan(missing), ElementsAre());
  EXPECT_FALSE(missing.RepLine("x"));
  EXPECT_FALSE(missing.Add("x"));
}

TEST(TTxtFile, AddWritesTerminatorsBetweenLinesOnly) {
  TempDir dir;
  TTxtFile file;
  file.Create(dir.path("new.txt"));
  ASSERT_GT(file.hFile(), 0);
  EXPECT_TRUE(file.Add("first"));
  EXPECT_TRUE(file.AppendLn("second"));
  EXPECT_TRUE(file.Add(""));
  EXPECT_EQ(file.nTLines(), 3);
  EXPECT_EQ(file.nLine(), 3);
  EXPECT_EQ(file.nLen(), 15);
  EXPECT_TRUE(file.lEoF());
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(dir.read("new.txt"), "first\r\nsecond\r\n");
}

struct Edit {
  const char* before;
  int line;  // 1-based line to stand on
  const char* after;
  const char* next;  // what Skip(1) then reads
};

TEST(TTxtFile, RepLineChangesOnlyTheLinesText) {
  const Edit cases[] = {
      {"[Main]\r\nTitle=Old\r\nX=1", 2, "[Main]\r\nTitle=New\r\nX=1", "X=1"},
      {"Title=Old\r\nX=1\r\n", 1, "Title=New\r\nX=1\r\n", "X=1"},
      {"A\r\nTitle=Old\r\n", 2, "A\r\nTitle=New\r\n", ""},
      // A last line without terminator stays one: the previous line keeps its own.
      {"A\r\nTitle=Old", 2, "A\r\nTitle=New", ""},
      {"Title=Old", 1, "Title=New", ""},
      {"A\r\n\r\nB", 2, "A\r\nTitle=New\r\nB", "B"},
  };
  for (const Edit& edit : cases) {
    TempDir dir;
    dir.write("t.cdm", edit.before);
    TTxtFile file(dir.path("t.cdm"));
    file.Skip(edit.line - 1);
    const std::int64_t offset = file.nPos();
    ASSERT_TRUE(file.RepLine("Title=New")) << edit.before;
    EXPECT_EQ(file.nPos(), offset);
    EXPECT_EQ(file.ReadLn(), "Title=New");
    file.Skip(1);
    EXPECT_EQ(file.ReadLn(), edit.next) << edit.before;
    file.Close();
    EXPECT_EQ(dir.read("t.cdm"), edit.after) << edit.before;
    EXPECT_FALSE(dir.exists("t.#$#"));
  }
}

TEST(TTxtFile, EditsTakeTheWholeLineWhateverItsLength) {
  for (const std::size_t length : {1022u, 1023u, 1024u, 3000u}) {
    TempDir dir;
    const std::string line(length, 'L');
    dir.write("t.txt", "A\r\n" + line + "\r\nB\r\n" + line + "\r\nC");
    TTxtFile file(dir.path("t.txt"));
    file.Skip(1);
    ASSERT_TRUE(file.RepLine("short"));
    file.Skip(2);
    ASSERT_TRUE(file.DelLine());
    EXPECT_EQ(file.ReadLn(), "C");
    file.Close();
    EXPECT_EQ(dir.read("t.txt"), "A\r\nshort\r\nB\r\nC") << length;
  }
}

TEST(TTxtFile, DelLineAndInsLine) {
  TempDir dir;
  dir.write("t.txt", "A\r\nB\r\nC\r\n");
  TTxtFile file(dir.path("t.txt"));
  ASSERT_TRUE(file.DelLine());  // the first line goes with the terminator after it
  EXPECT_EQ(file.nPos(), 0);
  EXPECT_EQ(file.ReadLn(), "B");
  EXPECT_EQ(file.nTLines(), 2);
  file.Skip(1);
  ASSERT_TRUE(file.DelLine());  // a later line goes with the terminator before it
  EXPECT_TRUE(file.lEoF());
  ASSERT_TRUE(file.InsLine("Z"));  // at the end: appended as a line of its own
  EXPECT_EQ(file.ReadLn(), "Z");
  file.GoTop();
  ASSERT_TRUE(file.InsLine("0"));
  EXPECT_EQ(file.ReadLn(), "0");
  EXPECT_EQ(file.nTLines(), 3);
  file.Close();
  EXPECT_EQ(dir.read("t.txt"), "0\r\nB\r\nZ\r\n");

  dir.write("single.txt", "only");
  TTxtFile single(dir.path("single.txt"));
  ASSERT_TRUE(single.DelLine());
  EXPECT_TRUE(single.lEoF());
  EXPECT_FALSE(single.DelLine());  // nothing left to delete
  single.Close();
  EXPECT_EQ(dir.read("single.txt"), "");
}

TEST(TTxtFile, EditsNeedTheCursorOnALineStart) {
  TempDir dir;
  dir.write("t.txt", "A\r\nB");
  TTxtFile file(dir.path("t.txt"));
  file.Skip(5);  // past the last line, which has no terminator: the cursor is at the end
  EXPECT_TRUE(file.lEoF());
  EXPECT_FALSE(file.RepLine("X"));
  EXPECT_FALSE(file.DelLine());
  EXPECT_FALSE(file.InsLine("X"));
  file.Close();
  EXPECT_EQ(dir.read("t.txt"), "A\r\nB");
}

TEST(TTxtFile, ReadOnlyFileIsLeftAlone) {
  TempDir dir;
  dir.write("ro.txt", "Title=Old\r\n");
  ASSERT_TRUE(platform::set_read_only(dir.path("ro.txt"), true));
  TTxtFile file(dir.path("ro.txt"), 2);
  EXPECT_LT(file.hFile(), 0);
  EXPECT_THAT(scan(file), ElementsAre());
  EXPECT_FALSE(file.RepLine("Title=New"));
  platform::set_read_only(dir.path("ro.txt"), false);
  EXPECT_EQ(dir.read("ro.txt"), "Title=Old\r\n");
}

TEST(TTxtFile, FailedRewriteChangesNothing) {
  TempDir dir;
  dir.write("t.cdm", "A\r\nB\r\n");
  dir.make_dir("t." + std::to_string(platform::process_id()) + ".#$#");  // the edit file cannot be made
  TTxtFile file(dir.path("t.cdm"));
  file.Skip(1);
  EXPECT_FALSE(file.RepLine("X"));
  EXPECT_FALSE(file.DelLine());
  EXPECT_EQ(file.nTLines(), 2);
  EXPECT_EQ(file.ReadLn(), "B");
  EXPECT_GT(file.hFile(), 0);
  file.Close();
  EXPECT_EQ(dir.read("t.cdm"), "A\r\nB\r\n");
}

TEST(TTxtFile, MovesBackward) {
  TempDir dir;
  dir.write("t.txt", "A\r\nBB\r\n\r\nC");
  TTxtFile file(dir.path("t.txt"));
  EXPECT_FALSE(file.Rewind());
  file.Skip(10);  // beyond the last line
  file.Skip(-1);
  EXPECT_EQ(file.ReadLn(), "");
  EXPECT_EQ(file.nPos(), 7);
  file.Skip(-2);
  EXPECT_EQ(file.ReadLn(), "A");
  EXPECT_EQ(file.nLine(), 1);
  EXPECT_EQ(file.GoTo(3), 3);
  EXPECT_EQ(file.nOffset(), 7);
  EXPECT_EQ(file.GoTo(2), 2);
  EXPECT_EQ(file.ReadLn(), "BB");
  EXPECT_EQ(file.GoTo(99), 4);  // stops at the last line
  EXPECT_EQ(file.GoTo(-5), 1);
  EXPECT_EQ(file.nPos(), 0);
  file.GoBottom();
  EXPECT_EQ(file.ReadLn(), "");
  EXPECT_TRUE(file.lEoF());
}

// A file of bytes and a cursor, edited the way the text line file describes it.
struct LineModel {
  std::string bytes;
  std::size_t cursor = 0;

  bool line_start(std::size_t at) const {
    return at == 0 || (at >= 2 && at <= bytes.size() && bytes.compare(at - 2, 2, "\r\n") == 0);
  }
  std::string read() const {
    if (cursor >= bytes.size()) return "";
    const std::string window = bytes.substr(cursor, 1024);
    return window.substr(0, window.find("\r\n"));
  }
  std::size_t line_end(std::size_t at, bool& terminated) const {
    const std::size_t end = bytes.find("\r\n", at);
    terminated = end != std::string::npos;
    return terminated ? end : std::max(at, bytes.size());
  }
  void advance() {
    if (cursor >= bytes.size()) return;
    const std::size_t end = bytes.find("\r\n", cursor);
    cursor = end == std::string::npos ? bytes.size() : end + 2;
  }
  bool rewind() {
    const std::size_t at = std::min(cursor, bytes.size());
    const std::size_t own = at < 2 ? std::string::npos : bytes.rfind("\r\n", at - 2);
    if (own == std::string::npos) return false;
    const std::size_t previous = own < 2 ? std::string::npos : bytes.rfind("\r\n", own - 2);
    cursor = previous == std::string::npos ? 0 : previous + 2;
    return true;
  }
  bool replace(const std::string& text) {
    if (!line_start(cursor)) return false;
    bool terminated;
    const std::size_t end = line_end(cursor, terminated);
    bytes.replace(cursor, end - cursor, text);
    return true;
  }
  bool remove() {
    if (!line_start(cursor)) return false;
    bool terminated;
    const std::size_t end = line_end(cursor, terminated);
    if (cursor == 0) {
      const std::size_t count = end + (terminated ? 2 : 0);
      if (count == 0) return false;
      bytes.erase(0, count);
      return true;
    }
    const std::size_t old_size = bytes.size();
    bytes.erase(cursor - 2, end - (cursor - 2));
    if (cursor - 1 >= old_size) cursor = bytes.size();
    return true;
  }
  bool insert(const std::string& text) {
    if (!line_start(cursor)) return false;
    if (cursor >= bytes.size()) {
      cursor = bytes.size();
      bytes += text + "\r\n";
    } else {
      bytes.insert(cursor, text + "\r\n");
    }
    return true;
  }
  void add(const std::string& text) {
    bytes += bytes.empty() ? text : "\r\n" + text;
    cursor = bytes.size();
  }
};

TEST(TTxtFile, RandomEditsMatchAnInMemoryModel) {
  std::mt19937 random(1234);
  const std::string alphabet = "ab \r\n";
  auto text = [&] {
    const std::size_t sizes[] = {0, 1, 3, 8, 1022, 1023, 1024, 3000};
    std::string t(sizes[random() % 8], 'x');
    for (char& c : t) c = alphabet[random() % alphabet.size()];
    for (std::size_t at; (at = t.find("\r\n")) != std::string::npos;) t[at] = 'y';
    if (!t.empty() && t.back() == '\r') t.back() = 'z';  // a CR would pair with the terminator's LF
    if (!t.empty() && t.front() == '\n') t.front() = 'z';
    return t;
  };
  for (int round = 0; round < 6; ++round) {
    TempDir dir;
    LineModel model;
    for (int i = 0; i < 5; ++i) model.bytes += text() + "\r\n";
    if (round % 2) model.bytes += text();
    dir.write("m.txt", model.bytes);
    TTxtFile file(dir.path("m.txt"));
    for (int step = 0; step < 120; ++step) {
      const int op = static_cast<int>(random() % 8);
      const std::string t = text();
      switch (op) {
        case 0: file.Skip(1); model.advance(); break;
        case 1: file.Skip(-1); model.rewind(); break;
        case 2: file.GoTop(); model.cursor = 0; break;
        case 3: EXPECT_EQ(file.RepLine(t), model.replace(t)); break;
        case 4: EXPECT_EQ(file.DelLine(), model.remove()); break;
        case 5: EXPECT_EQ(file.InsLine(t), model.insert(t)); break;
        case 6: if (random() % 4 == 0) { file.Add(t); model.add(t); } break;
        default: file.Skip(2); model.advance(); model.advance(); break;
      }
      ASSERT_EQ(file.nPos(), static_cast<std::int64_t>(model.cursor)) << "round " << round << " step " << step;
      ASSERT_EQ(file.ReadLn(), model.read()) << "round " << round << " step " << step;
    }
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(dir.read("m.txt"), model.bytes) << "round " << round;
  }
}

}  // namespace
}  // namespace torvane::files
