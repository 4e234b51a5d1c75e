#include "text/value.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "text/letter_case.h"

namespace torvane::text {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string number_text(double value, int decimals) {
  if (!std::isfinite(value)) return "";
  if (decimals < 0) decimals = 0;
  if (decimals > 15) decimals = 15;
  char out[400];
  std::snprintf(out, sizeof out, "%.*f", decimals, value);
  std::string text = out;
  // "-0" and "-0.00" read as zero.
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

}  // namespace

// ---- Value -------------------------------------------------------------------------

Value Value::number(double value, int decimals) {
  Value v(Kind::number);
  v.number_ = value;
  v.decimals_ = decimals < 0 ? 0 : decimals;
  return v;
}

long Value::whole_number() const {
  if (!std::isfinite(number_)) return 0;
  if (number_ >= static_cast<double>(std::numeric_limits<long>::max())) return std::numeric_limits<long>::max();
  if (number_ <= static_cast<double>(std::numeric_limits<long>::min())) return std::numeric_limits<long>::min();
  return static_cast<long>(number_);
}

// ---- Text conversions --------------------------------------------------------------

Value number_from_text(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  double value = 0;
  bool any = false;
  while (i < text.size() && is_digit(text[i])) {
    value = value * 10 + (text[i++] - '0');
    any = true;
  }
  int decimals = 0;
  if (i < text.size() && text[i] == '.') {
    double scale = 0.1;
    for (++i; i < text.size() && is_digit(text[i]); ++i, scale /= 10) {
      value += (text[i] - '0') * scale;
      ++decimals;
      any = true;
    }
  }
  if (!any) return Value(0);
  return Value::number(negative ? -value : value, decimals);
}

Date date_from_text(std::string_view text) {
  text = trim(text);
  if (text.size() != 10 || text[2] != '.' || text[5] != '.') return {};
  auto field = [&](std::size_t at, std::size_t width, int& out) {
    out = 0;
    for (std::size_t i = at; i < at + width; ++i) {
      if (!is_digit(text[i])) return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  Date date;
  if (!field(0, 2, date.day) || !field(3, 2, date.month) || !field(6, 4, date.year)) return {};
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (date.year < 1 || date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > kDays[date.month - 1]) {
    return {};
  }
  const bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
  if (date.month == 2 && date.day == 29 && !leap) return {};
  return date;
}

Value value_from_text(std::string_view text, Kind kind) {
  switch (kind) {
    case Kind::number: return number_from_text(text);
    case Kind::date: return Value(date_from_text(text));
    case Kind::logical: return Value(upper(text) == ".T.");
    default: return Value(text);
  }
}

// ---- Text forms --------------------------------------------------------------------

std::string I_VALTOCHAR(const Value& value) {
  switch (value.kind()) {
    case Kind::text: return value.text();
    case Kind::number: return number_text(value.number(), value.decimals());
    case Kind::date: {
      const Date d = value.date();
      if (d.empty()) return "";
      char out[32];
      std::snprintf(out, sizeof out, "%02d.%02d.%04d", d.day, d.month, d.year);
      return out;
    }
    case Kind::logical: return value.logical() ? ".t." : ".f.";
    case Kind::code: return "{|| ... }";
    case Kind::array: return "{ ... }";
    case Kind::object: return "Object";
    case Kind::nothing: break;
  }
  return "";
}

}  // namespace torvane::text
