#include "storage/dbf_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "storage/dbf_format.h"

namespace torvane::storage::dbf {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string field_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Schema {
  const char* name;
  std::vector<FieldSpec> fields;
  std::uint8_t version;
  std::size_t header_length, record_length;
  std::vector<std::uint32_t> offsets;
};

std::vector<Schema> system_schemas() {
  return {
      {"position", {{"ISBN", 'C', 13, 0}, {"HEADER", 'C', 24, 0}, {"POSITION", 'N', 9, 0}}, 0x03, 130, 47, {1, 14, 38}},
      {"pool", {{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}}, 0x03, 130, 20, {1, 14, 18}},
      {"cover", {{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}, 0xF5, 98, 24, {1, 14}},
      {"notfound", {{"ISBN", 'C', 13, 0}}, 0x03, 66, 14, {1}},
  };
}

TEST(DbfLayout, TheFourSchemasGiveTheirHeaderAndRecordLengths) {
  for (const Schema& schema : system_schemas()) {
    SCOPED_TRACE(schema.name);
    const Bytes file = build_new_table(schema.fields);
    ASSERT_EQ(file.size(), schema.header_length + 1);
    EXPECT_EQ(file[0], schema.version);
    EXPECT_EQ(file[8] | file[9] << 8, schema.header_length);
    EXPECT_EQ(file[10] | file[11] << 8, schema.record_length);
    EXPECT_EQ(file[4] | file[5] | file[6] | file[7], 0);  // record count 0
    EXPECT_EQ(file[28], 0x00);
    EXPECT_EQ(file[schema.header_length - 2], 0x0D);
    EXPECT_EQ(file[schema.header_length - 1], 0x00);
    EXPECT_EQ(file[schema.header_length], 0x1A);
    for (std::size_t i = 12; i < 32; ++i) {
      if (i != 28) {
        EXPECT_EQ(file[i], 0) << "header byte " << i;
      }
    }

    const auto layout = parse_layout(std::span(file).first(schema.header_length), file.size());
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->fields.size(), schema.offsets.size());
    for (std::size_t i = 0; i < schema.offsets.size(); ++i) EXPECT_EQ(layout->fields[i].offset, schema.offsets[i]);
  }
}

TEST(DbfLayout, DescriptorBytes) {
  const std::vector<FieldSpec> fields{{"POSITION", 'N', 9, 0}, {"COVER", 'M', 4, 3}, {"LONGTEXT", 'C', 300, 0}};
  const Bytes file = build_new_table(fields);
  const auto descriptor = [&](int i) { return Bytes(file.begin() + 32 + 32 * i, file.begin() + 64 + 32 * i); };
  Bytes expected(32, 0);
  std::copy_n("POSITION", 8, expected.begin());
  expected[11] = 'N';
  expected[16] = 9;
  EXPECT_EQ(descriptor(0), expected);
  // A memo field is always 10 bytes with 0 decimals, whatever was asked.
  EXPECT_EQ(descriptor(1)[11], 'M');
  EXPECT_EQ(descriptor(1)[16], 10);
  EXPECT_EQ(descriptor(1)[17], 0);
  // A character field longer than 255 keeps its high byte at 17.
  EXPECT_EQ(descriptor(2)[16], 300 & 0xFF);
  EXPECT_EQ(descriptor(2)[17], 1);
  EXPECT_EQ(file[10] | file[11] << 8, 1 + 9 + 10 + 300);
}

TEST(DbfLayout, UnwritableSchemasAreRefused) {
  EXPECT_TRUE(build_new_table(std::vector<FieldSpec>{}).empty());
  EXPECT_TRUE(build_new_table(std::vector<FieldSpec>{{"ELEVENCHARS", 'C', 5, 0}}).empty());
  EXPECT_TRUE(build_new_table(std::vector<FieldSpec>{{"A", 'C', 0, 0}}).empty());
  EXPECT_TRUE(build_new_table(std::vector<FieldSpec>{{"A", 'D', 8, 0}}).empty());
  EXPECT_TRUE(build_new_table(std::vector<FieldSpec>{{"A", 'N', 4, 4}}).empty());
}

TEST(DbfEncoding, TextIsCutOrPadded) {
  Bytes header(24), isbn(13);
  encode_text(header, std::string(30, 'x') + "tail");
  EXPECT_EQ(field_text(header), std::string(24, 'x'));
  encode_text(isbn, "978");
  EXPECT_EQ(field_text(isbn), "978          ");
  encode_text(isbn, "M\xFC" "ller");  // Windows-1252 bytes pass unchanged
  EXPECT_EQ(field_text(isbn), "M\xFCller       ");
}

TEST(DbfEncoding, Numbers) {
  struct Case {
    double value;
    int width, decimals;
    const char* text;
    bool fits;
  } cases[] = {
      {12345, 9, 0, "    12345", true},
      {1234567890, 9, 0, "*********", false},
      {123456789, 9, 0, "123456789", true},
      {-5, 4, 0, "  -5", true},
      {-999, 4, 0, "-999", true},
      {-1000, 4, 0, "****", false},
      {3.14159, 6, 2, "  3.14", true},
      {-0.001, 5, 2, " 0.00", true},
      {2.5, 3, 0, "  3", true},
      {99, 2, 0, "99", true},
      {100, 2, 0, "**", false},
      {-9, 1, 0, "*", false},
      {0, 3, 0, "  0", true},
      {-0.0, 2, 0, " 0", true},
      {9007199254740991.0, 16, 0, "9007199254740991", true},
      {-9007199254740992.0, 18, 0, " -9007199254740992", true},
      {1.0 / 0.0, 5, 0, "*****", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Bytes field(static_cast<std::size_t>(c.width));
    EXPECT_EQ(encode_number(field, c.value, c.decimals), c.fits);
    EXPECT_EQ(field_text(field), c.text);
    if (c.fits) {
      EXPECT_NEAR(decode_number(field), c.value, 0.51 / std::pow(10, c.decimals));
    }
  }
  const std::string blank = "    ";
  EXPECT_EQ(decode_number(Bytes(blank.begin(), blank.end())), 0.0);
  const std::string stars = "****";
  EXPECT_EQ(decode_number(Bytes(stars.begin(), stars.end())), 0.0);
}

TEST(DbfEncoding, NumbersReadFromFieldsWrittenElsewhere) {
  struct Case {
    std::string text;
    double value;
  } cases[] = {
      {std::string("\0\0 42\0", 6), 42},
      {"-17  ", -17},
      {"+5", 5},
      {"- 5", 0},
      {"12 3", 12},
      {"1.5e3", 1500},
      {"1234567890123456789", 1234567890123456789.0},  // more digits than the plain path takes
      {"-123456789012345678", -123456789012345678.0},
      {"  -", 0},
      {"4x", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode_number(Bytes(c.text.begin(), c.text.end())), c.value);
  }
}

TEST(DbfEncoding, MemoReferences) {
  Bytes field(10);
  encode_memo_reference(field, 16);
  EXPECT_EQ(field_text(field), "        16");
  EXPECT_EQ(decode_memo_reference(field), 16u);
  encode_memo_reference(field, 0);
  EXPECT_EQ(field_text(field), std::string(10, ' '));
  EXPECT_EQ(decode_memo_reference(field), 0u);
  encode_memo_reference(field, 4294967295u);
  EXPECT_EQ(decode_memo_reference(field), 4294967295u);
  for (const char* junk : {"  12x     ", "-5        ", "9999999999"}) {
    const std::string text = junk;
    EXPECT_EQ(decode_memo_reference(Bytes(text.begin(), text.end())), 0u) << junk;
  }
  EXPECT_EQ(decode_memo_reference(Bytes{0x10, 0x00, 0x00, 0x00}), 16u);  // binary 4-byte form
}

// A valid two-field table header; each case changes it and expects corruption.
Bytes good_header() { return build_new_table(std::vector<FieldSpec>{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}}); }

TEST(DbfLayout, DamagedHeadersAreCorruption) {
  const Bytes good = good_header();
  ASSERT_TRUE(parse_layout(good, good.size()));
  struct Damage {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } damages[] = {
      {"version 0x04", 0, 0x04},         {"encrypted version", 0, 0x06},
      {"record length 0", 10, 0},        {"record length too short for its fields", 10, 10},
      {"header length below one field", 8, 40}, {"header length beyond the file", 9, 1},
      {"unknown field type", 32 + 11, 'X'},     {"field of length 0", 64 + 16, 0},
      {"first descriptor is the terminator", 32, 0x0D},
  };
  for (const Damage& d : damages) {
    Bytes bad = good;
    bad[d.at] = d.value;
    if (d.at == 10) bad[11] = 0;
    EXPECT_FALSE(parse_layout(bad, bad.size())) << d.what;
  }
  EXPECT_FALSE(parse_layout(std::span(good).first(20), 20)) << "header cut short";
  EXPECT_FALSE(parse_layout(good, 90)) << "file shorter than its header";
}

TEST(DbfLayout, TablesMadeElsewhereAreRead) {
  Bytes file = good_header();
  for (std::uint8_t version : {0x03, 0x83, 0xF5, 0xE5, 0x30, 0x31}) {
    file[0] = version;
    EXPECT_TRUE(parse_layout(file, file.size())) << int(version);
  }
  for (char type : std::string("CNFDLMGPIYB8T@V")) {
    file[32 + 11] = static_cast<std::uint8_t>(type);
    EXPECT_TRUE(parse_layout(file, file.size())) << type;
  }
  // Descriptors end at the terminator even when the header length leaves room for more
  // (a one-byte terminator or a trailing area after it).
  Bytes longer = good_header();
  longer[8] = 130;
  longer.resize(300, 0);
  const auto layout = parse_layout(longer, longer.size());
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->fields.size(), 2u);
  EXPECT_EQ(layout->header_length, 130u);
}

}  // namespace
}  // namespace torvane::storage::dbf
