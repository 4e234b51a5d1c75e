#include "text/encoding.h"

#include <gtest/gtest.h>

namespace torvane::text {
namespace {

// A code page that knows the Latin-1 range and the euro sign at 0x80.
int latin_with_euro(std::uint32_t code_point) {
  if (code_point >= 0xA0 && code_point <= 0xFF) return static_cast<int>(code_point);
  return code_point == 0x20AC ? 0x80 : -1;
}

TEST(Utf8Text, RecognisedByMarkOrByValidMultiByteSequences) {
  EXPECT_TRUE(is_utf8_text("\xEF\xBB\xBF[DVD]\r\n"));                 // the mark alone decides
  EXPECT_TRUE(is_utf8_text("\xEF\xBB\xBFName=M\xFCnchen"));          // even before code-page bytes
  EXPECT_TRUE(is_utf8_text("Name=Pr\xC3\xBC" "fmedium\r\n"));
  EXPECT_TRUE(is_utf8_text("Preis=5 \xE2\x82\xAC, \xF0\x9F\x93\x80"));  // three and four bytes
  EXPECT_FALSE(is_utf8_text("[DVD]\r\nName=Medium\r\n"));            // ASCII: the code page reads it
  EXPECT_FALSE(is_utf8_text("Name=Pr\xFC" "fmedium"));                // a Windows-1252 umlaut
  EXPECT_FALSE(is_utf8_text("Name=Pr\xC3\xBC" "f \xFC"));             // one stray byte spoils it
  EXPECT_FALSE(is_utf8_text("x\xC3"));                                // cut at the end
  EXPECT_FALSE(is_utf8_text("\xC0\xAF"));                             // overlong "/"
  EXPECT_FALSE(is_utf8_text("\xED\xA0\x80"));                         // a surrogate
  EXPECT_FALSE(is_utf8_text("\xF4\x90\x80\x80"));                     // beyond U+10FFFF
}

TEST(Utf8Text, ConvertedToTheCodePage) {
  CodePageText out = from_utf8("\xEF\xBB\xBFPr\xC3\xBC" "fmedium \xE2\x82\xAC", &latin_with_euro);
  EXPECT_EQ(out.text, "Pr\xFC" "fmedium \x80");
  EXPECT_TRUE(out.unmapped.empty());

  // Characters the code page lacks become "?" and are named.
  out = from_utf8("A\xC4\x80" "B\xF0\x9F\x93\x80", &latin_with_euro);
  EXPECT_EQ(out.text, "A?B?");
  EXPECT_EQ(out.unmapped, (std::vector<std::uint32_t>{0x100, 0x1F4C0}));

  // Bytes that start no sequence are kept: a line typed in the code page is not lost.
  out = from_utf8("M\xFCnchen \xC3", &latin_with_euro);
  EXPECT_EQ(out.text, "M\xFCnchen \xC3");
  EXPECT_TRUE(out.unmapped.empty());
}

}  // namespace
}  // namespace torvane::text
