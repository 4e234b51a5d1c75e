#include "text/value.h"

#include <gtest/gtest.h>

#include <limits>

namespace torvane::text {
namespace {

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

}  // namespace
}  // namespace torvane::text
