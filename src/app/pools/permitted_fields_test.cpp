#include "app/pools/permitted_fields.h"

#include <gtest/gtest.h>

namespace torvane::app {
namespace {

TEST(PermittedFields, TableHasSixtyThreeFieldNumbers) {
  const PermittedFields table = PermittedFields::standard();
  EXPECT_EQ(table.field_count(), 63);
  EXPECT_EQ(table.indicators(540), " az");
  EXPECT_EQ(table.indicators(1), "");
  EXPECT_EQ(table.indicators(0), "");
  EXPECT_EQ(table.indicators(1000), "");
}

TEST(PermittedFields, TagsPassOrFailByIndicator) {
  const PermittedFields table = PermittedFields::standard();
  struct Case {
    const char* tag;
    bool passes;
  } cases[] = {
      {"540z", true}, {"540b", false}, {"542b", true}, {"100b", true}, {"104b", true},
      {"112 ", false}, {"112b", true}, {"001 ", false}, {"331 ", true},
      {"### ", true},   // header lines have field number 0
      {"****", true},   // so do lines that do not start with a number
      {"", true},       // and empty lines
      {"540", false},   // a field number without an indicator fails
      {" 540", false},  // leading blank: the number read is 54, which has no row
  };
  for (const Case& c : cases) EXPECT_EQ(ISDXPFIELD(table, c.tag, ""), c.passes) << '"' << c.tag << '"';
}

TEST(PermittedFields, ExclusionListForbidsFieldsAndTagsBySubstring) {
  const PermittedFields table = PermittedFields::standard();
  EXPECT_FALSE(ISDXPFIELD(table, "700 ", "700*"));
  EXPECT_FALSE(ISDXPFIELD(table, "700s", "331 ;700*"));
  EXPECT_FALSE(ISDXPFIELD(table, "540a", "540a"));
  EXPECT_TRUE(ISDXPFIELD(table, "540z", "540a"));
  // Any asterisk in the list excludes empty lines: "" + "*" occurs in it.
  EXPECT_FALSE(ISDXPFIELD(table, "", "700*"));
  EXPECT_TRUE(ISDXPFIELD(table, "", "540a"));
  // Exclusion applies to lines of field number 0 as well.
  EXPECT_FALSE(ISDXPFIELD(table, "### ", "540a;### "));
}

TEST(PermittedFields, FieldNumberReading) {
  EXPECT_EQ(field_number_of("540a"), 540);
  EXPECT_EQ(field_number_of(" 54a"), 54);
  EXPECT_EQ(field_number_of("  7"), 7);
  EXPECT_EQ(field_number_of("5x0"), 5);
  EXPECT_EQ(field_number_of("abc"), 0);
  EXPECT_EQ(field_number_of(""), 0);
}

}  // namespace
}  // namespace torvane::app
