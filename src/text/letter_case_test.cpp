#include "text/letter_case.h"

#include <gtest/gtest.h>

namespace torvane::text {
namespace {

TEST(LetterCase, Windows1252LettersAndBlanks) {
  EXPECT_EQ(upper("stra\xDF" "e \xE4\xF6\xFC \x9A\xFF \xF7"), "STRA\xDF" "E \xC4\xD6\xDC \x8A\x9F \xF7");
  EXPECT_EQ(lower("\xC4\xD6\xDC \x8A\x9F \xD7 ABC"), "\xE4\xF6\xFC \x9A\xFF \xD7 abc");
  EXPECT_TRUE(equal_ignoring_case("b\xE4r.DBF", "B\xC4R.dbf"));
  EXPECT_FALSE(equal_ignoring_case("ab", "ab "));
  EXPECT_EQ(trim("  a b  "), "a b");
  EXPECT_EQ(trim("\ta "), "\ta");  // blanks only
}

TEST(TextCutting, Left) {
  EXPECT_EQ(CUTLEFT("C:\\TAV", 2), "\\TAV");
  EXPECT_EQ(CUTLEFT("ABC", 3), "");
  EXPECT_EQ(CUTLEFT("ABC", 0), "ABC");
  EXPECT_EQ(CUTLEFT("ABC", -1), "ABC");
}

}  // namespace
}  // namespace torvane::text
