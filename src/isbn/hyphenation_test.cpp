#include "isbn/hyphenation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "isbn/numbers.h"
#include "isbn/range_table.h"

namespace torvane::isbn {
namespace {

TEST(Hyphenation, WorkedExamples) {
  EXPECT_EQ(MAKEISBN("316148410X"), "3-16-148410-X");
  EXPECT_EQ(MAKEISBN("3-16-148410-X"), "3-16-148410-X");
  EXPECT_EQ(MAKEISBN(" 3 16 148410 x "), "3-16-148410-X");
  EXPECT_EQ(MAKEISBN("080442957X"), "0-8044-2957-X");
  EXPECT_EQ(MAKEISBN("3034512341"), "3-0345-1234-1");
  EXPECT_EQ(MAKEISBN("3030123456"), "3-030-12345-6");
  EXPECT_EQ(MAKEISBN("8492001232"), "84-920012-3-2");
  EXPECT_EQ(MAKEISBN("9570301236"), "957-0301-23-6");
  EXPECT_EQ(MAKEISBN("9993601233"), "99936-0-123-3");
  EXPECT_EQ(MAKEISBN("9950123453"), "9950123453");
  EXPECT_EQ(MAKEISBN("99-50-123453"), "9950123453");
  EXPECT_EQ(MAKEISBN("9789993601234"), "978-99936-0-1234");
  EXPECT_EQ(MAKEISBN("978-3-16-148410-0"), "978-3-16-1484100");
}

TEST(Hyphenation, InputsThatAreNoIsbn) {
  EXPECT_EQ(MAKEISBN("3-16-148410-0"), "3-16-148410-0");
  EXPECT_EQ(MAKEISBN(" junk "), " junk ");
  EXPECT_EQ(MAKEISBN("0317-8471"), "0317-8471");
  EXPECT_EQ(MAKEISBN(std::string("31614\0" "8410X", 11)), std::string("31614\0" "8410X", 11));
  // Empty and "M" numbers pass the checks but have no elements to set apart.
  EXPECT_EQ(MAKEISBN(""), "");
  EXPECT_EQ(MAKEISBN(" - "), "");
  EXPECT_EQ(MAKEISBN("m123456789"), "m123456789");
  EXPECT_EQ(MAKEISBN("M-123456789"), "M123456789");
}

// ---- Independent reference: check characters by their textbook formulas and the
// ---- hyphenation by a plain scan of the rows in table order.

char isbn10_check(const std::string& nine) {
  int sum = 0;
  for (int i = 0; i < 9; ++i) sum += (i + 1) * (nine[i] - '0');
  int check = sum % 11;
  return check == 10 ? 'X' : static_cast<char>('0' + check);
}

char ean_check(const std::string& twelve) {
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (i % 2 == 0 ? 1 : 3) * (twelve[i] - '0');
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

struct ReferenceRow {
  std::string group, low, high;
};

std::vector<ReferenceRow> reference_rows() {
  std::vector<ReferenceRow> rows;
  for (std::string_view text : kRangeRows) {
    std::istringstream fields{std::string(text)};
    ReferenceRow row;
    fields >> row.group >> row.low >> row.high;
    rows.push_back(row);
  }
  return rows;
}

std::string reference_hyphenation(const std::string& isbn10) {
  static const std::vector<ReferenceRow> rows = reference_rows();
  for (const auto& [group, low, high] : rows) {
    if (low.empty()) continue;
    std::size_t lg = group.size(), lr = low.size();
    if (std::stoul(isbn10.substr(0, lg)) != std::stoul(group)) continue;
    unsigned long registrant = std::stoul(isbn10.substr(lg, lr));
    if (registrant < std::stoul(low) || registrant > std::stoul(high)) continue;
    return isbn10.substr(0, lg) + "-" + isbn10.substr(lg, lr) + "-" +
           isbn10.substr(lg + lr, 9 - lg - lr) + "-" + isbn10.substr(9);
  }
  return isbn10;
}

std::string without_hyphens(std::string text) {
  std::erase(text, '-');
  return text;
}

// ISBN-10s for every group: registrants at, just inside and just outside every range,
// and pseudo-random continuations.
std::vector<std::string> generated_isbn10s() {
  std::vector<std::string> numbers;
  std::uint32_t seed = 4711;
  auto random_digits = [&seed](std::size_t count) {
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      digits += static_cast<char>('0' + (seed >> 16) % 10);
    }
    return digits;
  };
  auto add = [&](const std::string& start) {
    std::string nine = (start + random_digits(9)).substr(0, 9);
    numbers.push_back(nine + isbn10_check(nine));
  };
  const RangeTable& table = range_table();
  for (const auto& group : table.groups()) {
    std::string g(group.text);
    for (int i = 0; i < 40; ++i) add(g);
    for (std::uint32_t r = group.first_row; r < group.first_row + group.row_count; ++r) {
      const auto& row = table.rows()[r];
      if (!row.has_range) continue;
      std::size_t lr = row.low.size();
      for (long v : {long(row.low_value) - 1, long(row.low_value), long(row.low_value) + 1,
                     long(row.high_value) - 1, long(row.high_value), long(row.high_value) + 1}) {
        std::string registrant = std::to_string(v);
        if (v < 0 || registrant.size() > lr) continue;
        add(g + std::string(lr - registrant.size(), '0') + registrant);
      }
    }
  }
  return numbers;
}

TEST(Hyphenation, EveryGroupAgreesWithAPlainScan) {
  int hyphenated = 0, plain = 0;
  for (const std::string& isbn10 : generated_isbn10s()) {
    SCOPED_TRACE(isbn10);
    ASSERT_TRUE(ISISBN10(isbn10));
    std::string expected = reference_hyphenation(isbn10);
    std::string h = MAKEISBN(isbn10);
    ASSERT_EQ(h, expected);
    EXPECT_EQ(without_hyphens(h), isbn10);

    std::string twelve = "978" + isbn10.substr(0, 9);
    std::string ean = twelve + ean_check(twelve);
    std::string converted = ISBN2EAN(isbn10);
    if (h.size() == 13) {
      ++hyphenated;
      std::string elements = h.substr(0, h.size() - 1);  // keeps the hyphen before the check
      EXPECT_EQ(converted, "978-" + elements + ean.back());
      EXPECT_EQ(EAN2ISBN(converted), h);
      EXPECT_EQ(EAN2ISBN(ean), h);
      EXPECT_EQ(MAKEISBN(ean), "978-" + elements.substr(0, elements.size() - 1) + ean.back());
      EXPECT_TRUE(ISISBN13(without_hyphens(converted)));
    } else {
      ++plain;
      EXPECT_EQ(converted, "");
      EXPECT_EQ(ISBN2EAN(isbn10, true), isbn10);
      EXPECT_EQ(EAN2ISBN(ean), isbn10);
    }
  }
  // Both kinds occur, or the generator tests nothing.
  EXPECT_GT(hyphenated, 5000);
  EXPECT_GT(plain, 200);
}

// Numbers that begin with any three digits, most of them in no group or in a group
// other than a near neighbour: the index must find the same row as the plain scan.
TEST(Hyphenation, AnyLeadingDigitsAgreeWithAPlainScan) {
  std::uint32_t seed = 99;
  for (int start = 0; start < 1000; ++start) {
    for (int i = 0; i < 8; ++i) {
      std::string nine = std::to_string(1000 + start).substr(1);
      while (nine.size() < 9) {
        seed = seed * 1103515245u + 12345u;
        nine += static_cast<char>('0' + (seed >> 16) % 10);
      }
      std::string isbn10 = nine + isbn10_check(nine);
      ASSERT_EQ(MAKEISBN(isbn10), reference_hyphenation(isbn10)) << isbn10;
    }
  }
  EXPECT_EQ(MAKEISBN("990461234X"), "990461234X");
}

TEST(Hyphenation, Isbn13UsesTheSameTableWhateverThePrefix) {
  std::string twelve = "979316148410";
  std::string number = twelve + ean_check(twelve);
  EXPECT_EQ(MAKEISBN(number), "979-3-16-148410" + number.substr(12));
  EXPECT_EQ(EAN2ISBN(number), "");
}

}  // namespace
}  // namespace torvane::isbn
