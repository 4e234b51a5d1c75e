#include "isbn/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace torvane::isbn {
namespace {

TEST(IsbnChecks, EmptyAndBlankTextsPass) {
  EXPECT_TRUE(ISISBN(""));
  EXPECT_TRUE(ISISBN("  -  "));
  EXPECT_TRUE(ISISBN10(""));
  EXPECT_TRUE(ISISBN13("  "));
  EXPECT_EQ(NORMISBN(""), "");
  EXPECT_TRUE(ISNUM(""));
  EXPECT_TRUE(ISNUM(12));
  EXPECT_TRUE(ISNUM(1.5));
  EXPECT_TRUE(ISNUM("0123"));
  EXPECT_FALSE(ISNUM("12 "));
}

TEST(IsbnChecks, Isbn10CheckCharacter) {
  EXPECT_TRUE(ISISBN10("3-16-148410-X"));
  EXPECT_TRUE(ISISBN10("316148410x"));
  EXPECT_TRUE(ISISBN10(" 3 16 148410 X "));
  EXPECT_FALSE(ISISBN10("3-16-148410-0"));
  EXPECT_FALSE(ISISBN10("31614841X0"));  // an "X" before the end
  EXPECT_FALSE(ISISBN10("3-16-148410-X0"));
  EXPECT_FALSE(ISISBN10("3-16-148410/X"));
  // An ISBN-10 is no ISBN-13 and the other way round.
  EXPECT_FALSE(ISISBN13("316148410X"));
  EXPECT_FALSE(ISISBN10("9783161484100"));
  EXPECT_TRUE(ISISBN("316148410X", true));
}

TEST(IsbnChecks, Isbn13AndEan) {
  EXPECT_TRUE(ISISBN13("9783161484100"));
  EXPECT_TRUE(ISISBN13("978-3-16-148410-0"));
  EXPECT_FALSE(ISISBN13("9783161484101"));
  EXPECT_FALSE(ISISBN13("9773161484101"));  // prefix neither 978 nor 979
  EXPECT_TRUE(ISEAN("9773161484101"));
  EXPECT_TRUE(ISEAN("0012345678905"));
  EXPECT_FALSE(ISEAN("001234567890"));
  EXPECT_FALSE(ISEAN(""));
  // A last "X" reads as 0, and the check digit of 978316148410 is 0.
  EXPECT_TRUE(ISISBN("978316148410X", true));
  // ISEAN does not look for digits: the value of "ABC..." is 0, and so is its check.
  EXPECT_TRUE(ISEAN("ABCDEFGHIJKL0"));
  // A 13-character number that fails as ISBN-13 is not tried as anything else.
  EXPECT_FALSE(ISISBN("9783161484101", true, true, true));
}

TEST(IsbnChecks, MNumbersAndIssn) {
  for (const char* m : {"M123456789", "MABCDEFGHI", "M-12-3456789"}) {
    EXPECT_TRUE(ISISBN10(m)) << m;
    EXPECT_TRUE(ISISBN13(m)) << m;
    EXPECT_TRUE(ISISSN(m)) << m;
  }
  EXPECT_FALSE(ISISBN10("M12345678"));
  EXPECT_FALSE(ISISBN10("m123456789"));
  EXPECT_TRUE(ISISSN("0317-8471"));
  EXPECT_FALSE(ISISSN("0317-8472"));
  EXPECT_FALSE(ISISBN10("03178471"));
  EXPECT_TRUE(ISISBN("03178471"));
}

TEST(IsbnChecks, CheckDigits) {
  EXPECT_EQ(CHECKSUM(978316148410ULL), 0);
  EXPECT_EQ(CHECKSUM(12345678905ULL / 10), 5);
  EXPECT_EQ(CHECKSUM(0), 0);
  // Weights by position from the left: 1*2 + 2*1 + 3*0 = 4, 11 - 4 = 7.
  EXPECT_EQ(CHECKSUM(123, 11, "21"), 7);
  EXPECT_EQ(CHECKSUM(123, 0), 0);
  EXPECT_EQ(CHECKSUM(123, -7), 0);
  int largest = CHECKSUM(std::numeric_limits<std::uint64_t>::max());
  EXPECT_GE(largest, 0);
  EXPECT_LE(largest, 9);

  EXPECT_EQ(GETISBNPZ("354041324"), "3");
  EXPECT_EQ(GETISBNPZ("080442957"), "X");
  EXPECT_EQ(GETISBNPZ("000000000"), "0");
  EXPECT_EQ(GETISBNPZ("316148410"), "X");
  EXPECT_EQ(GETISBNPZ("3161484109999"), "X");  // only nine characters count
  EXPECT_EQ(GETISBNPZ(""), "0");

  EXPECT_EQ(isbn10_check_sum("3-16-148410-X"), 0);
  EXPECT_EQ(isbn10_check_sum("316148410x"), 0);
  EXPECT_EQ(isbn10_check_sum("3161484100"), 1);
  EXPECT_EQ(issn_check_sum("0317-8471"), 0);
  for (const char* odd : {"", "-", "--", "\xFF\xFF\xFF", " "}) {
    EXPECT_GE(isbn10_check_sum(odd), 0);
    EXPECT_LE(isbn10_check_sum(odd), 10);
    EXPECT_GE(issn_check_sum(odd), 0);
    EXPECT_LE(issn_check_sum(odd), 10);
  }
}

TEST(IsbnCleaning, LabelsLettersAndLength) {
  EXPECT_EQ(NORMISBN("ISBN-13: 978-3-16-148410-0", true), "9783161484100");
  EXPECT_EQ(NORMISBN("ISBN 3-16-148410-X (kart.)"), "316148410X");
  EXPECT_EQ(NORMISBN("  isbn: 3-16-148410-x "), "316148410X");
  EXPECT_EQ(NORMISBN("ISBN-10: 3-16-148410-X"), "316148410X");
  EXPECT_EQ(NORMISBN("ISBN13 9783161484100", true), "9783161484100");
  // Without want13 a 13-digit number is cut to ten characters, which fail.
  EXPECT_EQ(NORMISBN("9783161484100"), "");
  EXPECT_EQ(NORMISBN("9783161484100", true), "9783161484100");
  EXPECT_EQ(NORMISBN("316148410X", true), "316148410X");
  EXPECT_EQ(NORMISBN("03178471"), "");  // an ISSN is not an ISBN here
  EXPECT_EQ(NORMISBN("m123456789"), "M123456789");
  EXPECT_EQ(NORMISBN("3-16-148410-0"), "");
}

TEST(IsbnConversion, Isbn10ToEan) {
  EXPECT_EQ(ISBN2EAN("3-16-148410-X"), "978-3-16-148410-0");
  EXPECT_EQ(ISBN2EAN("316148410X"), "978-3-16-148410-0");
  EXPECT_EQ(ISBN2EAN(" 316148410x "), "978-3-16-148410-0");
  EXPECT_EQ(ISBN2EAN("9783161484100"), "9783161484100");
  EXPECT_EQ(ISBN2EAN("  978-3-16-148410-0 "), "978-3-16-148410-0");
  // Group 9950 has no ranges: no ISBN-13.
  EXPECT_EQ(ISBN2EAN("9950123453"), "");
  EXPECT_EQ(ISBN2EAN("9950123453", true), "9950123453");
  EXPECT_EQ(ISBN2EAN(" 3-16-148410-0", true), " 3-16-148410-0");
  EXPECT_EQ(ISBN2EAN(""), "");
  // An "M" number passes as ISBN-10 but is none: it gets no made-up ISBN-13.
  EXPECT_EQ(ISBN2EAN("M123456789"), "");
  EXPECT_EQ(ISBN2EAN("M123456789", true), "M123456789");
}

TEST(IsbnConversion, EanToIsbn10) {
  EXPECT_EQ(EAN2ISBN("978-3-16-148410-0"), "3-16-148410-X");
  EXPECT_EQ(EAN2ISBN("9783161484100"), "3-16-148410-X");
  EXPECT_EQ(EAN2ISBN("9791090636071"), "");
  EXPECT_EQ(EAN2ISBN("9791090636071", true), "9791090636071");
  EXPECT_EQ(EAN2ISBN("3-16-148410-X"), "3-16-148410-X");
  EXPECT_EQ(EAN2ISBN("0317-8471"), "0317-8471");
  EXPECT_EQ(EAN2ISBN(""), "");
  // Group 9950 has no ranges: the ISBN-10 stays plain.
  EXPECT_EQ(EAN2ISBN("9789950123458"), "9950123453");
  // ISEAN takes any characters; only digits make an ISBN-10.
  EXPECT_EQ(EAN2ISBN("978ABCDEFGHI2"), "");
  EXPECT_EQ(EAN2ISBN("978ABCDEFGHI2", true), "978ABCDEFGHI2");
}

// Bytes of every kind and texts of any length give a result and keep the invariants.
TEST(IsbnBadInput, ArbitraryBytes) {
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  const std::string alphabet("0123456789Xx- M\0\xFC\xFFISBN:", 23);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    std::size_t length = (next() >> 8) % 20;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[(next() >> 8) % alphabet.size()];
    if (round == 0) text.assign(10000, '9');
    if (round == 1) text = std::string(5000, '-') + "316148410X";

    EXPECT_LE(GETISBNPZ(text).size(), 1u);
    EXPECT_LE(isbn10_check_sum(text), 10);
    std::string norm = NORMISBN(text, round % 2 == 0);
    EXPECT_LE(norm.size(), 13u);
    EXPECT_TRUE(norm.empty() || ISISBN(norm, round % 2 == 0, true, false)) << text;
    if (ISISBN10(text)) {
      std::string ean = ISBN2EAN(text);
      if (!ean.empty()) {
        EXPECT_EQ(ean.size(), 17u) << text;
        EXPECT_TRUE(ean.starts_with("978-")) << text;
        EXPECT_TRUE(ISISBN13(ean)) << text;
      }
    }
    std::string isbn10 = EAN2ISBN(text);
    EXPECT_TRUE(isbn10 == text || isbn10.empty() || ISISBN10(isbn10)) << text;
  }
}

}  // namespace
}  // namespace torvane::isbn
