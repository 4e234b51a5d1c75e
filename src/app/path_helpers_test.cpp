#include "app/path_helpers.h"

#include <gtest/gtest.h>

namespace torvane::app {
namespace {

TEST(MainModulePaths, CutsAndUpperCasing) {
  EXPECT_EQ(CFILENOEXT("D:\\DVD.2008\\POOL\\A.MAB"), "D:\\DVD.2008\\POOL\\A");
  EXPECT_EQ(CFILENOEXT("/tmp/tmp.x1/dvd/a.mab"), "/tmp/tmp.x1/dvd/a");
  EXPECT_EQ(CFILENOEXT(".INI"), "");  // a point first cuts everything
  EXPECT_EQ(CFILENOEXT("A.B.C"), "A");
  EXPECT_EQ(CFILENOEXT("NOEXT"), "NOEXT");
  EXPECT_EQ(CFILENOPATH("C:\\TOOLS\\torvane.exe"), "TORVANE.EXE");
  EXPECT_EQ(CFILENOPATH("C:\\TOOLS\\"), "\\TOOLS\\");
  EXPECT_EQ(CFILENAME("/usr/local/bin/torvane"), "TORVANE");
  EXPECT_EQ(CFILEBASE("C:\\X.V2\\pool.mab"), "POOL");
  EXPECT_EQ(CFILEBASE("/home/u/.local/bin/torvane"), "TORVANE");
  EXPECT_EQ(CFILEPATH("C:\\X.V2\\pool.mab"), "C:\\X.V2");
  EXPECT_EQ(CVALTOCHAR(fileutil::Value::number(12.5, 2)), "12.50");
}

}  // namespace
}  // namespace torvane::app
