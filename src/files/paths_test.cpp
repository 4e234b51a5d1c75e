#include "files/paths.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace torvane::files {
namespace {

using text::Value;

TEST(PathCuts, PointsInFolderNamesAreNeverCut) {
  EXPECT_EQ(I_FILENOEXT("C:\\A\\B.DBF"), "C:\\A\\B");
  EXPECT_EQ(I_FILENOEXT("C:\\X.V2\\B.DBF"), "C:\\X.V2\\B");
  EXPECT_EQ(I_FILENOEXT("D:\\DVD.2008\\POOL\\A.MAB"), "D:\\DVD.2008\\POOL\\A");
  EXPECT_EQ(I_FILENOEXT("/tmp/tmp.x1/dvd/a.mab"), "/tmp/tmp.x1/dvd/a");
  EXPECT_EQ(I_FILENOEXT("/home/u/.local/bin/torvane"), "/home/u/.local/bin/torvane");
  EXPECT_EQ(I_FILENOEXT("A.B.C"), "A");               // the first point of the name
  EXPECT_EQ(I_FILENOEXT(".INI"), ".INI");             // a point first stays
  EXPECT_EQ(I_FILENOEXT("C:\\A\\.X"), "C:\\A\\");
  EXPECT_EQ(I_FILENOEXT("NOEXT"), "NOEXT");

  EXPECT_EQ(I_FILEEXT("C:\\A\\B.TAR.GZ"), "GZ");
  EXPECT_EQ(I_FILEEXT("C:\\X.V2\\B"), "");
  EXPECT_EQ(I_FILEEXT("pool.ntx"), "ntx");
}

TEST(PathParts, NamesFoldersAndDrives) {
  EXPECT_EQ(I_FILEPATH("C:\\TOOLS\\TORVANE.EXE"), "C:\\TOOLS");
  EXPECT_EQ(I_FILEPATH("C:\\TOOLS\\"), "C:\\TOOLS");
  EXPECT_EQ(I_FILEPATH("/usr/bin/torvane"), "/usr/bin");
  EXPECT_EQ(I_FILEPATH("A.DBF"), "");
  EXPECT_EQ(I_FILENAME("C:\\TOOLS\\torvane.exe"), "TORVANE.EXE");
  EXPECT_EQ(I_FILENAME("C:\\TOOLS\\"), "\\TOOLS\\");  // ends in a separator: after the ":"
  EXPECT_EQ(I_FILENAME("c:b\xE4r.txt"), "B\xC4R.TXT");  // Windows-1252 letters too
  EXPECT_EQ(I_FILENAME("plain"), "PLAIN");
}

TEST(MainModulePaths, CutsAndUpperCasing) {
  EXPECT_EQ(CFILENOEXT("D:\\DVD.2008\\POOL\\A.MAB"), "D:\\DVD.2008\\POOL\\A");
  EXPECT_EQ(CFILENOEXT("/tmp/tmp.x1/dvd/a.mab"), "/tmp/tmp.x1/dvd/a");
  EXPECT_EQ(CFILENOEXT(".INI"), "");  // a point first cuts everything
  EXPECT_EQ(CFILENOEXT("A.B.C"), "A");
  EXPECT_EQ(CFILENOEXT("NOEXT"), "NOEXT");
  EXPECT_EQ(CFILENAME("C:\\TOOLS\\torvane.exe"), "TORVANE.EXE");
  EXPECT_EQ(CFILENAME("C:\\TOOLS\\"), "\\TOOLS\\");
  EXPECT_EQ(CFILENAME("/usr/local/bin/torvane"), "TORVANE");
  EXPECT_EQ(CFILEBASE("C:\\X.V2\\pool.mab"), "POOL");
  EXPECT_EQ(CFILEBASE("/home/u/.local/bin/torvane"), "TORVANE");
}

class FileHelpers : public ::testing::Test {
 protected:
  testing::TempDir dir{"lib."};
};

TEST_F(FileHelpers, FileTransAppendsAndCreatesLowerCase) {
  const std::string path = dir.path() + "/RUN.LOG";
  I_FILETRANS(path, Value("a\r\n"));
  I_FILETRANS(path, Value("\xFC\r\n"));
  EXPECT_EQ(dir.read("run.log"), "a\r\n\xFC\r\n");
  I_FILETRANS(path, Value(7), true);
  EXPECT_EQ(dir.read("run.log"), "7");
  I_FILETRANS(dir.path() + "/missing/x.log", Value("lost"));  // no folder: lost silently
  EXPECT_FALSE(dir.exists("missing"));
}

}  // namespace
}  // namespace torvane::files
