#include "fileutil/library.h"

#include <gtest/gtest.h>

#include "fileutil/CUTLEFT2.h"
#include "fileutil/CUTRIGH2.h"
#include "platform/fs.h"
#include "support/temp_dir.h"

namespace torvane::fileutil {
namespace {

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
  EXPECT_EQ(I_FILEBASE("C:\\X.V2\\Pool.Dbf"), "Pool");
  EXPECT_EQ(I_FILEDISC("d:\\dvd"), "D:");
  EXPECT_EQ(I_FILEDISC("dvd\\a:b"), "");
  EXPECT_EQ(I_FILEDRIVE("server:share\\x"), "server");
  EXPECT_EQ(I_FILEDRIVE("\\x"), "");
  EXPECT_EQ(I_PATHNOSLASH("C:\\DVD\\"), "C:\\DVD");
  EXPECT_EQ(I_PATHNOSLASH("C:\\DVD"), "C:\\DVD");
  EXPECT_EQ(I_PATHNOSLASH("/srv/dvd/"), "/srv/dvd");
}

TEST(TextCutting, LeftAndRight) {
  EXPECT_EQ(CUTLEFT("C:\\TAV", 2), "\\TAV");
  EXPECT_EQ(CUTLEFT("ABC", 3), "");
  EXPECT_EQ(CUTLEFT("ABC", 0), "ABC");
  EXPECT_EQ(CUTLEFT("ABC", -1), "ABC");
  EXPECT_EQ(CUTRIGHT("ABC", 5), "");
  EXPECT_EQ(CUTRIGHT("ABC", 1), "AB");
}

TEST(TextForms, EveryKind) {
  EXPECT_EQ(I_VALTOCHAR(Value::number(12.5, 2)), "12.50");
  EXPECT_EQ(I_VALTOCHAR(Value(42)), "42");
  EXPECT_EQ(I_VALTOCHAR(Value(-7L)), "-7");
  EXPECT_EQ(I_VALTOCHAR(Value::number(-0.001, 2)), "0.00");
  EXPECT_EQ(I_VALTOCHAR(Value(true)), ".t.");
  EXPECT_EQ(I_VALTOCHAR(Value(false)), ".f.");
  EXPECT_EQ(I_VALTOCHAR(Value(Date{2008, 3, 1})), "01.03.2008");
  EXPECT_EQ(I_VALTOCHAR(Value(Date{})), "");
  EXPECT_EQ(I_VALTOCHAR(Value("  x ")), "  x ");
  EXPECT_EQ(I_VALTOCHAR(Value::code()), "{|| ... }");
  EXPECT_EQ(I_VALTOCHAR(Value::array()), "{ ... }");
  EXPECT_EQ(I_VALTOCHAR(Value::object()), "Object");
  EXPECT_EQ(I_VALTOCHAR(Value()), "");
}

TEST(TextForms, ReadingBack) {
  EXPECT_EQ(number_from_text("  12.75abc").number(), 12.75);
  EXPECT_EQ(number_from_text("  12.75abc").decimals(), 2);
  EXPECT_EQ(number_from_text("-3").whole_number(), -3);
  EXPECT_EQ(number_from_text("abc").whole_number(), 0);
  EXPECT_EQ(number_from_text("").kind(), Kind::number);
  EXPECT_EQ(number_from_text("99999999999999999999999").whole_number(), std::numeric_limits<long>::max());
  EXPECT_EQ(date_from_text("29.02.2008"), (Date{2008, 2, 29}));
  EXPECT_TRUE(date_from_text("29.02.2009").empty());
  EXPECT_TRUE(date_from_text("1.2.2008").empty());
  EXPECT_TRUE(date_from_text("32.01.2008").empty());
  EXPECT_TRUE(value_from_text(".t.", Kind::logical).logical());
  EXPECT_TRUE(value_from_text(".T.", Kind::logical).logical());
  EXPECT_FALSE(value_from_text("yes", Kind::logical).logical());
  EXPECT_FALSE(value_from_text(" .t.", Kind::logical).logical());
}

TEST(Formatting, Placeholders) {
  EXPECT_EQ(XSPRINTF("Datei %1% hat %2% S\xE4tze", {Value("a.dbf"), Value(3)}), "Datei a.dbf hat 3 S\xE4tze");
  EXPECT_EQ(XSPRINTF("%2%-%1%-%2%", {Value("a"), Value("b")}), "b-a-b");
  EXPECT_EQ(XSPRINTF("Nr. %n%%1%", Value(5)), "Nr. #5");
  EXPECT_EQ(XSPRINTF("%3% %0% 100%", Value("x")), "%3% %0% 100%");
  EXPECT_EQ(XSPRINTF("%1%", Value("%2%")), "%2%");  // an argument is not expanded again
  EXPECT_EQ(XSPRINTF("%99999999999999999999%", Value("x")), "%99999999999999999999%");
  EXPECT_EQ(I_MAKESTR("%1%.%2%", {Value(Date{2001, 2, 3}), Value(true)}), "03.02.2001..t.");
  EXPECT_EQ(CGETLANG(), "DE");
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

TEST_F(FileHelpers, DirMakeMakesEveryLevel) {
  EXPECT_TRUE(I_DIRMAKE(dir.path() + "\\A\\B\\C\\"));
  EXPECT_TRUE(I_ISDIR(dir.path("a/b/c")));
  EXPECT_TRUE(I_DIRMAKE(dir.path() + "/a/b"));  // already there
  dir.write("f", "");
  EXPECT_FALSE(I_DIRMAKE(dir.path() + "/f/g"));  // a file is in the way
  EXPECT_FALSE(I_DIRMAKE(""));
  EXPECT_TRUE(I_DIRREMOVE(dir.path("a/b/c")));
  EXPECT_FALSE(I_DIRREMOVE(dir.path("a")));  // not empty
}

TEST_F(FileHelpers, DeleteFileByMask) {
  dir.write("X.BAK", "");
  dir.write("y.bak", "");
  dir.write(".z.bak", "");
  dir.write("keep.txt", "");
  dir.write("ro.bak", "");
  platform::set_read_only(dir.path("ro.bak"), true);
  EXPECT_EQ(I_DELETEFILE(dir.path() + "\\*.BAK"), 2);
  EXPECT_TRUE(dir.exists(".z.bak"));
  EXPECT_TRUE(dir.exists("ro.bak"));
  EXPECT_EQ(I_DELETEFILE(dir.path() + "/*.bak", true), 2);  // hidden and read-only too
  EXPECT_FALSE(dir.exists("ro.bak"));
  EXPECT_TRUE(dir.exists("keep.txt"));
  EXPECT_TRUE(DELFILE(dir.path("KEEP.TXT")));
  EXPECT_FALSE(I_ISFILE(dir.path("keep.txt")));
}

TEST_F(FileHelpers, DelDirClearsOneLevelDown) {
  dir.write("t/a.tmp", "");
  dir.write("t/b.txt", "");
  dir.write("t/sub/c.tmp", "");
  dir.write("t/sub/d.txt", "");
  EXPECT_TRUE(I_DELDIR(dir.path("t"), "*.TMP"));
  EXPECT_FALSE(dir.exists("t/a.tmp"));
  EXPECT_FALSE(dir.exists("t/sub/c.tmp"));
  EXPECT_TRUE(dir.exists("t/sub/d.txt"));
  EXPECT_TRUE(I_DELDIR(dir.path("t") + "\\"));
  EXPECT_FALSE(dir.exists("t"));
}

}  // namespace
}  // namespace torvane::fileutil
