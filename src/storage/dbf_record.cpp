#include "storage/dbf_record.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "storage/byte_order.h"
#include "storage/dbf_format.h"

namespace torvane::storage::dbf {
namespace {

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\0')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

constexpr double kExactIntegers = 9007199254740992.0;  // 2^53

// Rounds half away from zero at `decimals` places, as the numeric fields have always
// been written, and prints without exponent. "-0" becomes "0". Whole numbers (the
// common case) take a path without printf.
std::string number_text(double value, int decimals) {
  if (value == std::trunc(value) && std::fabs(value) < kExactIntegers) {
    char buffer[40];
    const auto [end, error] = std::to_chars(buffer, buffer + 20, static_cast<std::int64_t>(value));
    std::string text(buffer, end);  // -0.0 converts to the integer 0: "0"
    if (decimals > 0) text.append(1, '.').append(static_cast<std::size_t>(decimals), '0');
    return text;
  }
  const double scale = std::pow(10.0, decimals);
  const double rounded = std::round(value * scale) / scale;
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, rounded);
  std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!text.empty() && text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos)
    text.erase(0, 1);
  return text;
}

// Plain decimal text ("  -12", "3.25"): nullopt for anything else (exponents, junk).
std::optional<double> simple_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::int64_t whole = 0;
  std::int64_t scale = 1;
  bool point = false;
  std::size_t digits = 0;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9' || ++digits > 18) return std::nullopt;
    whole = whole * 10 + (c - '0');
    if (point) scale *= 10;
  }
  if (digits == 0) return std::nullopt;
  const double value = static_cast<double>(whole) / static_cast<double>(scale);
  return negative ? -value : value;
}

void put_date(std::span<std::uint8_t> header) {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  header[kYear] = static_cast<std::uint8_t>(local ? local->tm_year : 0);
  header[kMonth] = static_cast<std::uint8_t>(local ? local->tm_mon + 1 : 1);
  header[kDay] = static_cast<std::uint8_t>(local ? local->tm_mday : 1);
}

bool valid_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxFieldName && name.find('\0') == std::string_view::npos;
}

}  // namespace

void encode_text(std::span<std::uint8_t> field, std::string_view text) {
  const std::size_t n = std::min(field.size(), text.size());
  std::copy_n(text.begin(), n, field.begin());
  std::fill(field.begin() + static_cast<std::ptrdiff_t>(n), field.end(), kLive);
}

bool encode_number(std::span<std::uint8_t> field, double value, int decimals) {
  const auto too_wide = [&] {
    std::fill(field.begin(), field.end(), std::uint8_t{'*'});
    return false;
  };
  if (decimals == 0 && value > -kExactIntegers && value < kExactIntegers &&
      static_cast<double>(static_cast<std::int64_t>(value)) == value) {
    // Whole numbers without decimals: digits straight into the field from the right.
    const auto whole = static_cast<std::int64_t>(value);
    std::uint64_t rest = whole < 0 ? static_cast<std::uint64_t>(-whole) : static_cast<std::uint64_t>(whole);
    std::size_t at = field.size();
    do {
      if (at == 0) return too_wide();
      field[--at] = static_cast<std::uint8_t>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    if (whole < 0) {
      if (at == 0) return too_wide();
      field[--at] = '-';
    }
    std::fill_n(field.begin(), at, kLive);
    return true;
  }
  const std::string text = std::isfinite(value) ? number_text(value, decimals) : std::string();
  if (text.empty() || text.size() > field.size()) return too_wide();
  const std::size_t pad = field.size() - text.size();
  std::fill_n(field.begin(), pad, kLive);
  std::copy(text.begin(), text.end(), field.begin() + static_cast<std::ptrdiff_t>(pad));
  return true;
}

double decode_number(std::span<const std::uint8_t> field) {
  // The common form first: blanks, an optional "-", up to 18 digits, blanks.
  const auto blank = [](std::uint8_t c) { return c == ' ' || c == '\0'; };
  std::size_t i = 0;
  while (i < field.size() && blank(field[i])) ++i;
  const bool negative = i < field.size() && field[i] == '-';
  if (negative) ++i;
  const std::size_t first_digit = i;
  std::int64_t whole = 0;
  while (i < field.size() && i - first_digit < 18 && field[i] >= '0' && field[i] <= '9') whole = whole * 10 + (field[i++] - '0');
  const std::size_t digits = i - first_digit;
  while (i < field.size() && blank(field[i])) ++i;
  if (i == field.size() && digits > 0 && digits <= 18) {
    const auto value = static_cast<double>(whole);
    return negative ? -value : value;
  }
  std::string_view text = trim(as_text(field));
  if (const auto simple = simple_decimal(text)) return *simple;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? value : 0.0;
}

void encode_memo_reference(std::span<std::uint8_t> field, std::uint32_t block) {
  if (block == 0) {
    std::fill(field.begin(), field.end(), kLive);
    return;
  }
  encode_number(field, block, 0);
}

std::uint32_t decode_memo_reference(std::span<const std::uint8_t> field) {
  if (field.size() == 4) return get_u32le(field);
  const std::string_view text = trim(as_text(field));
  std::uint32_t block = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), block);
  return error == std::errc() && end == text.data() + text.size() ? block : 0;
}

std::vector<std::uint8_t> build_new_table(std::span<const FieldSpec> fields) {
  if (fields.empty() || fields.size() > (0xFFFF - kHeaderSize - 2) / kDescriptorSize) return {};
  const std::size_t header_len = header_length(fields.size());
  std::vector<std::uint8_t> bytes(header_len + 1, 0);
  std::size_t record_len = 1;
  bool memo = false;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpec& f = fields[i];
    std::span<std::uint8_t> d(bytes.data() + kHeaderSize + i * kDescriptorSize, kDescriptorSize);
    const std::size_t length = f.type == 'M' ? kMemoFieldLength : f.length;
    if (!valid_name(f.name) || (f.type != 'C' && f.type != 'N' && f.type != 'M') || length == 0 ||
        (f.type == 'N' && (length > 255 || f.decimals >= length)))
      return {};
    std::copy(f.name.begin(), f.name.end(), d.begin());
    d[kDescType] = static_cast<std::uint8_t>(f.type);
    d[kDescLength] = static_cast<std::uint8_t>(length & 0xFF);
    d[kDescDecimals] = f.type == 'C' ? static_cast<std::uint8_t>(length >> 8) : f.type == 'N' ? f.decimals : 0;
    record_len += length;
    memo = memo || f.type == 'M';
  }
  if (record_len > 0xFFFF) return {};
  bytes[kVersion] = memo ? kVersionFptMemo : kVersionPlain;
  put_date(bytes);
  put_u16le(std::span(bytes).subspan(kHeaderLength), static_cast<std::uint16_t>(header_len));
  put_u16le(std::span(bytes).subspan(kRecordLength), static_cast<std::uint16_t>(record_len));
  bytes[header_len - 2] = kTerminator;
  bytes[header_len - 1] = 0x00;
  bytes[header_len] = kEndOfFile;
  return bytes;
}

std::optional<Layout> parse_layout(std::span<const std::uint8_t> area, std::uint64_t file_size) {
  if (area.size() < kHeaderSize || file_size < kHeaderSize) return std::nullopt;
  Layout layout;
  layout.version = area[kVersion];
  layout.flags = area[kFlags];
  layout.header_length = get_u16le(area.subspan(kHeaderLength));
  layout.record_length = get_u16le(area.subspan(kRecordLength));
  if (!readable_version(layout.version) || layout.record_length == 0 ||
      layout.header_length < kHeaderSize + kDescriptorSize || layout.header_length > file_size ||
      area.size() < layout.header_length)
    return std::nullopt;
  const std::size_t slots = (layout.header_length - kHeaderSize) / kDescriptorSize;
  std::uint32_t offset = 1;
  for (std::size_t i = 0; i < slots; ++i) {
    const auto d = area.subspan(kHeaderSize + i * kDescriptorSize, kDescriptorSize);
    if (d[0] == kTerminator) break;
    Field field;
    const auto name = as_text(d.first(kFieldNameWidth));
    field.name = std::string(name.substr(0, name.find('\0')));
    field.type = static_cast<char>(d[kDescType]);
    if (!known_field_type(field.type) || field.name.empty()) return std::nullopt;
    field.length = field.type == 'C' ? static_cast<std::uint16_t>(d[kDescLength] + 256 * d[kDescDecimals])
                                     : d[kDescLength];
    field.decimals = field.type == 'C' ? 0 : d[kDescDecimals];
    field.offset = offset;
    if (field.length == 0) return std::nullopt;
    offset += field.length;
    layout.fields.push_back(std::move(field));
  }
  if (layout.fields.empty() || offset > layout.record_length) return std::nullopt;
  return layout;
}

bool has_fpt_memo(const Layout& layout) {
  const std::uint8_t v = layout.version;
  if (v == kVersionFptMemo) return true;
  if (v != kVersionVisual && v != kVersionVisualAuto) return false;
  return std::any_of(layout.fields.begin(), layout.fields.end(),
                     [](const Field& f) { return memo_reference_type(f.type); });
}

void refresh_header(std::span<std::uint8_t, 32> header, std::uint32_t record_count) {
  put_date(header);
  put_u32le(header.subspan(kRecordCount), record_count);
}

}  // namespace torvane::storage::dbf
