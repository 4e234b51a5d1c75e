#include "platform/path.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace torvane::platform {
namespace {

TEST(TranslatePath, DrivesSeparatorsAndNormalisation) {
#ifdef _WIN32
  GTEST_SKIP() << "drive letters as folders under /mnt are Linux only";
#endif
  EXPECT_EQ(translate_path("E:\\DVD\\"), "/mnt/e/dvd/");
  EXPECT_EQ(translate_path("D:\\DVD\\POOL\\A.MAB"), "/mnt/d/dvd/pool/a.mab");
  EXPECT_EQ(translate_path("E:\\"), "/mnt/e/");
  EXPECT_EQ(translate_path("E:"), "/mnt/e/");       // a drive alone is its root
  EXPECT_EQ(translate_path("e:dvd"), "/mnt/e/dvd");
  EXPECT_EQ(translate_path("  C:\\Tools\\X.INI  "), "/mnt/c/tools/x.ini");
  EXPECT_EQ(translate_path("/Home/Alice/DVD/"), "/home/alice/dvd/");
  EXPECT_EQ(translate_path("pool\\A.DBF"), "pool/a.dbf");
  EXPECT_EQ(translate_path(""), "");
}

TEST(NormalisePath, TrimsAndLowerCasesAsciiLettersOnly) {
  EXPECT_EQ(normalise_path("  C:\\Tools\\X.INI  "), "c:\\tools\\x.ini");
  EXPECT_EQ(normalise_path("/Home/\xC4LICE/Caf\xC3\x89"), "/home/\xC4lice/caf\xC3\x89");
  EXPECT_EQ(normalise_path(" \tA "), "\ta");  // blanks only, not tabs
  EXPECT_EQ(normalise_path("   "), "");
}

class NativePath : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "on Windows the file system resolves letter case itself";
#endif
  }
  testing::TempDir dir{"path."};
};

TEST_F(NativePath, FindsNamesWrittenInAnyCase) {
  dir.write("DVD/POOL.INI", "x");
  dir.write("DVD/Bin/MediaCD.gid", "x");
  EXPECT_EQ(native_path(dir.path() + "\\dvd\\pool.ini"), dir.path("DVD/POOL.INI"));
  EXPECT_EQ(native_path(dir.path() + "/DVD/BIN/MEDIACD.GID"), dir.path("DVD/Bin/MediaCD.gid"));
}

TEST_F(NativePath, ExactNameWinsOverFoldedOnes) {
  dir.write("a.txt", "lower");
  dir.write("A.TXT", "upper");
  EXPECT_EQ(native_path(dir.path() + "/A.TXT"), dir.path("a.txt"));  // normalised first
}

TEST_F(NativePath, FirstInByteOrderAmongSeveralFoldedMatches) {
  dir.write("Pool.Ini", "1");
  dir.write("POOL.INI", "2");
  dir.write("pOOL.INI", "3");
  // "POOL.INI" < "Pool.Ini" < "pOOL.INI" in byte order; "pool.ini" itself is missing.
  EXPECT_EQ(native_path(dir.path() + "/pool.ini"), dir.path("POOL.INI"));
}

TEST_F(NativePath, MissingNamesComeOutLowerCase) {
  dir.make_dir("Data");
  EXPECT_EQ(native_path(dir.path() + "/DATA/NEW/File.DBF"), dir.path("Data/new/file.dbf"));
}

TEST_F(NativePath, RelativePathsResolveAgainstTheCurrentFolder) {
  EXPECT_EQ(native_path("."), ".");
  EXPECT_EQ(native_path("no-such-thing\\X.LOG"), "no-such-thing/x.log");
}

TEST_F(NativePath, RealLocationFollowsLinksEvenWhereNothingExistsYet) {
  dir.make_dir("Medium/Pool");
  dir.make_dir("elsewhere");
  std::filesystem::create_symlink(dir.path("elsewhere"), dir.path("Medium/Away"));
  std::filesystem::create_symlink("../Medium/Pool", dir.path("elsewhere/back"));
  std::filesystem::create_symlink("../../elsewhere/gone.dbf", dir.path("Medium/Pool/Dangling.DBF"));
  std::filesystem::create_symlink("loop2", dir.path("Medium/loop1"));
  std::filesystem::create_symlink("loop1", dir.path("Medium/loop2"));
  const std::string real = std::filesystem::canonical(dir.path()).string();

  EXPECT_EQ(real_location(dir.path() + "\\MEDIUM\\POOL\\New.dbf"), real + "/Medium/Pool/new.dbf");
  EXPECT_EQ(real_location(dir.path() + "\\MEDIUM\\POOL\\..\\..\\x"), real + "/x");
  EXPECT_EQ(real_location(dir.path() + "\\Medium\\Away\\new\\x.dbf"), real + "/elsewhere/new/x.dbf");
  EXPECT_EQ(real_location(dir.path() + "\\Medium\\Away\\back\\x.dbf"), real + "/Medium/Pool/x.dbf");
  EXPECT_EQ(real_location(dir.path() + "\\Medium\\Pool\\dangling.dbf"), real + "/elsewhere/gone.dbf");
  EXPECT_EQ(real_location(dir.path() + "\\Medium\\loop1\\x"), std::nullopt);
  EXPECT_EQ(real_location(""), std::nullopt);
}

}  // namespace
}  // namespace torvane::platform
