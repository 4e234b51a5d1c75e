#include "text/file_name.h"

#include <gtest/gtest.h>

namespace torvane::text {
namespace {

TEST(FileName, CutAtTheFirstPointOfTheNameOnly) {
  EXPECT_EQ(cut_at_first_point("D:\\DVD.2008\\POOL\\A.MAB"), "D:\\DVD.2008\\POOL\\A");
  EXPECT_EQ(cut_at_first_point("/tmp/tmp.x1/dvd/a.b.c"), "/tmp/tmp.x1/dvd/a");
  EXPECT_EQ(cut_at_first_point("/home/u/.local/bin/torvane"), "/home/u/.local/bin/torvane");
  EXPECT_EQ(cut_at_first_point("C:\\A\\.X"), "C:\\A\\");  // a point first cuts the whole name
  EXPECT_EQ(cut_at_first_point("dvd.v2/"), "dvd.v2/");    // no name after the separator
  EXPECT_EQ(cut_at_first_point(""), "");
}

TEST(FileName, NamePartAfterTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(file_name_part("C:\\A/b\\c.dbf"), "c.dbf");
  EXPECT_EQ(file_name_part("plain.txt"), "plain.txt");
  EXPECT_EQ(file_name_start("a/b\\"), 4u);
  EXPECT_EQ(first_name_point("x.y/z"), 5u);  // no point in the name: its length
}

}  // namespace
}  // namespace torvane::text
