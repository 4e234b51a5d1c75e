#include "app/medium/mab_record.h"

#include <gtest/gtest.h>

namespace torvane::app {
namespace {

TEST(MabRecord, HeaderLinesAndLabels) {
  EXPECT_TRUE(is_header_line("### 123456"));
  EXPECT_TRUE(is_header_line("*********M000001"));
  EXPECT_FALSE(is_header_line("###123456"));
  EXPECT_FALSE(is_header_line("********M"));
  EXPECT_EQ(label_of("### 123456"), "123456M2.01000024      h");
  EXPECT_EQ(label_of("###   1234567  "), "1234567");
  EXPECT_EQ(label_of("### "), "");
}

TEST(MabRecord, IsbnFieldsAreValidatedAndOthersOnlyMeasured) {
  // A hyphenated ISBN-10 followed by further words.
  EXPECT_EQ(number_of("540  ISBN 3-88053-101-3 Pp. : DM 28.00"), "3880531013");
  EXPECT_EQ(number_of("540a ISBN kein Buch"), std::nullopt);
  EXPECT_EQ(number_of("542a ISSN 0342-0671"), "03420671");
  EXPECT_EQ(number_of("541  ISMN M-2306-7118-7"), "M230671187");
  EXPECT_EQ(number_of("540  1234567"), std::nullopt);  // seven characters are too few
  EXPECT_EQ(number_of("540  12345678901234"), std::nullopt);
  EXPECT_EQ(number_of("331  ISBN 3880531014"), std::nullopt);
}

TEST(MabRecord, EanFieldNeedsAValidEan) {
  EXPECT_EQ(number_of("551  EAN 978 3 88053 101 7"), "9783880531017");
  EXPECT_EQ(number_of("551  EAN 978 3 88053 101 6"), std::nullopt);
}

TEST(MabRecord, StorageKeys) {
  EXPECT_EQ(isbn_key_of("3880531013"), "9783880531017");
  EXPECT_EQ(isbn_key_of("03420671"), "03420671");
  EXPECT_EQ(isbn_key_of("M230671187"), "M230671187");  // old-style ISMN stays as extracted
}

}  // namespace
}  // namespace torvane::app
