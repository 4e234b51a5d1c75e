#include "app/pools/mab_stream.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace torvane::app {
namespace {

using Lines = std::vector<std::pair<std::uint64_t, std::string>>;

// Every line with its offset, each read whole through stream().
Lines read_all(const std::string& path, std::size_t buffer) {
  MabLineScanner reader(path, buffer);
  Lines lines;
  while (reader.next()) {
    std::string text;
    reader.stream([&](std::string_view piece) { text.append(piece); });
    lines.emplace_back(reader.offset(), text);
  }
  EXPECT_FALSE(reader.failed());
  return lines;
}

TEST(MabLineScanner, LinesEndAtCrLfOnlyWhateverTheBuffer) {
  testing::TempDir dir;
  const std::string long_line(100, 'x');
  dir.write("a.mab", "A\r\nB\rC\nD\r\n\r\n" + long_line + "\r\nlast");
  const Lines expected = {{0, "A"}, {3, "B\rC\nD"}, {10, ""}, {12, long_line}, {114, "last"}};
  // Tiny buffers put terminators, and the CR of a pair, across every boundary.
  for (std::size_t buffer : {16u, 17u, 18u, 31u, 64u, 4096u}) EXPECT_EQ(read_all(dir.path("a.mab"), buffer), expected) << buffer;
}

TEST(MabLineScanner, FinalTerminatorMakesNoEmptyLineAndEmptyFileHasNone) {
  testing::TempDir dir;
  dir.write("a.mab", "A\r\nB\r\n");
  dir.write("empty.mab", "");
  EXPECT_EQ(read_all(dir.path("a.mab"), 16), (Lines{{0, "A"}, {3, "B"}}));
  EXPECT_TRUE(read_all(dir.path("empty.mab"), 16).empty());
  MabLineScanner missing(dir.path("missing.mab"));
  EXPECT_FALSE(missing.is_open());
  EXPECT_FALSE(missing.next());
}

TEST(MabLineScanner, LongLinesShowTheirHeadAndAreSteppedOverWithoutStreaming) {
  testing::TempDir dir;
  const std::string line(1000, 'y');
  dir.write("a.mab", "### 1\r\n" + line + "\r\n540  ISBN 1\r\n");
  MabLineScanner reader(dir.path("a.mab"), 64);
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(reader.head(), "### 1");
  ASSERT_TRUE(reader.next());
  EXPECT_FALSE(reader.whole());
  EXPECT_EQ(reader.head(), line.substr(0, 63));
  EXPECT_EQ(reader.offset(), 7u);
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(reader.head(), "540  ISBN 1");
  EXPECT_EQ(reader.offset(), 7u + 1002u);
  EXPECT_FALSE(reader.next());
}

TEST(BufferedWriter, RewindTakesBackBufferedAndWrittenBytes) {
  testing::TempDir dir;
  {
    BufferedWriter out(dir.path("a.txt"));
    out.write("keep");
    out.rewind_to(2);
    out.write("--");
    EXPECT_TRUE(out.finish());
  }
  EXPECT_EQ(dir.read("a.txt"), "ke--");
  {
    BufferedWriter out(dir.path("b.txt"));
    out.write("head");
    const std::uint64_t mark = out.position();
    out.write(std::string(BufferedWriter::kBufferSize + 10, 'z'));  // reaches the disk
    out.rewind_to(mark);
    out.write("tail");
    EXPECT_TRUE(out.finish());
  }
  EXPECT_EQ(dir.read("b.txt"), "headtail");
}

TEST(ForeignLineEnds, TheFirstLineEndDecides) {
  testing::TempDir dir;
  const std::string far(70'000, 'x');  // beyond one read
  struct Case {
    std::string bytes;
    bool foreign;
  } cases[] = {
      {"### 1\r\n540 a\r\n", false},     {"### 1\n540 a\n", true},        {"### 1\r540 a\r", true},
      {"### 1\r\n540\na\r551\r\n", false}, {"a\rb\r\nc", false},             {"single line", false},
      {"", false},                        {"\n", true},                     {far + "\r\n", false},
      {far + "\n", true},                 {far + "\r" + far, true},          {std::string(65'535, 'x') + "\r\n", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    dir.write("a.mab", cases[i].bytes);
    EXPECT_EQ(foreign_line_ends(dir.path("a.mab")), cases[i].foreign) << i;
  }
  EXPECT_FALSE(foreign_line_ends(dir.path("missing.mab")));
}

}  // namespace
}  // namespace torvane::app
