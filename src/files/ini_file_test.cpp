#include "files/ini_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace torvane::files {
namespace {

using text::Date;
using text::Value;

using namespace std::string_literals;

class IniTest : public ::testing::Test {
 protected:
  std::string write(std::string_view bytes) {
    dir.write("TEST.INI", bytes);
    return dir.path("TEST.INI");
  }
  std::string get(std::string_view content, std::string_view section, std::string_view key,
                  std::string_view fallback = "dflt") {
    return TIni(write(content)).Get(section, key, Value(fallback)).text();
  }
  testing::TempDir dir{"ini."};
};

TEST_F(IniTest, ProfileRules) {
  EXPECT_EQ(get("[dvd]\r\n  pfad = D:\\DVD  \r\n", "DVD", "Pfad"), "D:\\DVD");
  EXPECT_EQ(get("[DVD]\r\nPfad=\r\n", "DVD", "Pfad"), "dflt");          // empty = default
  EXPECT_EQ(get("[DVD]\r\nPfad=\"\"\r\n", "DVD", "Pfad"), "dflt");
  EXPECT_EQ(get("[DVD]\r\nName=\" Titel \"\r\n", "DVD", "Name"), " Titel ");
  EXPECT_EQ(get("[DVD]\r\nName='x'\r\n", "DVD", "Name"), "x");
  EXPECT_EQ(get("[DVD]\r\nName=\"x'\r\n", "DVD", "Name"), "\"x'");      // no matching pair
  EXPECT_EQ(get("[A]\r\nk=1\r\n[a]\r\nk=2\r\nj=3\r\n", "A", "k"), "1");  // first section only
  EXPECT_EQ(get("[A]\r\nk=1\r\n[a]\r\nj=3\r\n", "A", "j"), "dflt");
  EXPECT_EQ(get("[A]\r\nK=1\r\nk=2\r\n", "a", "k"), "1");               // first key
  EXPECT_EQ(get("k=0\r\n[A]\r\nx=1\r\n", "A", "k"), "dflt");            // before any section
  EXPECT_EQ(get("[A]\r\n;k=1\r\nk=a=b\r\n", "A", "k"), "a=b");          // up to the first "="
  EXPECT_EQ(get("[A]\r\n;k=1\r\n", "A", ";k"), "1");                    // a comment is just a name
  EXPECT_EQ(get("[ A ] trailing\r\nk=1\r\n", "A", "k"), "1");
  EXPECT_EQ(get("[A]\r\n\tk\t=\tv\t\r\n", "A", "k"), "v");
  EXPECT_EQ(get("[A]\r\nk=1\r\n", "B", "k"), "dflt");
  EXPECT_EQ(get("[Pr\xFC" "fung]\r\nk=1\r\n", "PR\xDC" "FUNG", "K"), "1");  // Windows-1252 letters
}

TEST_F(IniTest, LineEndsMarksAndBinaryBytes) {
  EXPECT_EQ(get("\xEF\xBB\xBF[DVD]\r\nPfad=E\r\n", "DVD", "Pfad"), "E");  // byte-order mark
  EXPECT_EQ(get("[DVD]\nA=1\nPfad=E", "DVD", "Pfad"), "E");                 // LF, no final end
  EXPECT_EQ(get("[DVD]\rA=1\rPfad=E\r", "DVD", "Pfad"), "E");               // lone CR
  EXPECT_EQ(get("[DVD]\r\nPfad=E\0junk\r\nX=\0\r\n"s, "DVD", "Pfad"), "E");
  EXPECT_EQ(get("[DVD]\r\nX=\0\r\n"s, "DVD", "X"), "dflt");
  EXPECT_EQ(get("\xFF\xFE[\x01\x02\r\n\x80\x81=\xFF\r\n[DVD]\r\nPfad=E\r\n", "DVD", "Pfad"), "E");
  const std::string huge(5 << 20, 'v');
  EXPECT_EQ(get("[DVD]\r\nLong=" + huge + "\r\nPfad=E\r\n", "DVD", "Long"), huge);  // no length limit
  EXPECT_EQ(get("[DVD]\r\nLong=" + huge + "\r\nPfad=E\r\n", "DVD", "Pfad"), "E");
}

TEST_F(IniTest, MissingFileAndNoFileName) {
  EXPECT_EQ(TIni(dir.path("none.ini")).Get("A", "k", Value("d")).text(), "d");
  EXPECT_EQ(TIni(dir.path()).Get("A", "k", Value("d")).text(), "d");  // a folder
  EXPECT_EQ(TIni("").Get("A", "k", Value("d"), Value("var")).text(), "var");
  EXPECT_EQ(TIni("").Get("A", "k", Value(), Value(4)).number(), 4);
  EXPECT_EQ(TIni::New("").Get("A", "k", Value(1), Value("12")).number(), 12);
}

TEST_F(IniTest, TypedDefaults) {
  const TIni ini(write("[S]\r\nn= 42x\r\nl=.T.\r\nyes=yes\r\nd=24.12.2008\r\nbad=x\r\n"));
  EXPECT_EQ(ini.Get("S", "n", Value(0)).number(), 42);
  EXPECT_EQ(ini.Get("S", "missing", Value(5)).number(), 5);
  EXPECT_EQ(ini.Get("S", "bad", Value(5)).number(), 0);
  EXPECT_TRUE(ini.Get("S", "l", Value(false)).logical());
  EXPECT_FALSE(ini.Get("S", "yes", Value(true)).logical());
  EXPECT_TRUE(ini.Get("S", "missing", Value(true)).logical());
  EXPECT_EQ(ini.Get("S", "d", Value(Date{})).date(), (Date{2008, 12, 24}));
  EXPECT_EQ(ini.Get("S", "missing", Value(Date{2000, 1, 2})).date(), (Date{2000, 1, 2}));
  EXPECT_TRUE(ini.Get("S", "bad", Value(Date{2000, 1, 2})).date().empty());
  EXPECT_EQ(ini.Get("S", "n", Value(), Value("t")).text(), "42x");  // kind from uVar
}

TEST_F(IniTest, ListsAndCaseInsensitiveFileNames) {
  write("[One]\r\na=1\r\nB=2\r\nA=3\r\n[Two]\r\n[one]\r\nc=4\r\n");
  const std::string upper_name = dir.path() + "/test.ini";  // written as TEST.INI
  EXPECT_EQ(GETPRIVATEPROFILESTRING(std::nullopt, std::nullopt, "", upper_name),
            "One\0Two\0one\0\0"s);
  EXPECT_EQ(GETPRIVATEPROFILESTRING("ONE", std::nullopt, "", upper_name), "a\0B\0\0"s);
  EXPECT_EQ(GETPRIVATEPROFILESTRING("Two", std::nullopt, "none", upper_name), "none");
}

TEST_F(IniTest, ChangesOnDiskAreSeen) {
  const std::string path = write("[A]\r\nk=1\r\n");
  const TIni ini(path);
  EXPECT_EQ(ini.Get("A", "k", Value("")).text(), "1");
  write("[A]\r\nk=22\r\n");  // a different size
  EXPECT_EQ(ini.Get("A", "k", Value("")).text(), "22");
  write("[A]\r\nk=33\r\n");  // the same size: the stamp still changes
  EXPECT_EQ(ini.Get("A", "k", Value("")).text(), "33");
  dir.write("TEST.INI", "");
  EXPECT_EQ(ini.Get("A", "k", Value("gone")).text(), "gone");
}

}  // namespace
}  // namespace torvane::files
