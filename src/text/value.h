#pragma once
// A value of one of the kinds the configuration and the text forms know (text, number,
// date, logical, ...), its text form, and reading a value back from a text. Texts are
// Windows-1252 byte strings.

#include <string>
#include <string_view>

namespace torvane::text {

// A calendar date; all zero is the empty date.
struct Date {
  int year = 0, month = 0, day = 0;
  bool empty() const { return year == 0 && month == 0 && day == 0; }
  friend bool operator==(const Date&, const Date&) = default;
};

enum class Kind { nothing, text, number, date, logical, code, array, object };

// A value of one of the kinds the text forms know. Numbers keep their count of
// decimals, so that 12.5 with two decimals reads "12.50".
class Value {
 public:
  Value() = default;  // nothing
  Value(const char* text) : kind_(Kind::text), text_(text ? text : "") {}
  Value(std::string text) : kind_(Kind::text), text_(std::move(text)) {}
  Value(std::string_view text) : kind_(Kind::text), text_(text) {}
  Value(int number) : kind_(Kind::number), number_(number) {}
  Value(long number) : kind_(Kind::number), number_(static_cast<double>(number)) {}
  Value(long long number) : kind_(Kind::number), number_(static_cast<double>(number)) {}
  Value(bool logical) : kind_(Kind::logical), logical_(logical) {}
  Value(Date date) : kind_(Kind::date), date_(date) {}

  static Value number(double value, int decimals = 0);
  static Value code() { return Value(Kind::code); }      // a stored piece of code
  static Value array() { return Value(Kind::array); }    // an array of values
  static Value object() { return Value(Kind::object); }  // any other object

  Kind kind() const { return kind_; }
  bool is_nothing() const { return kind_ == Kind::nothing; }
  // The text of a text value; "" for every other kind.
  const std::string& text() const { return text_; }
  // The number of a number value; 0 for every other kind.
  double number() const { return number_; }
  long whole_number() const;  // number() cut toward zero, clamped to long
  int decimals() const { return decimals_; }
  bool logical() const { return logical_; }
  Date date() const { return date_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  explicit Value(Kind kind) : kind_(kind) {}
  Kind kind_ = Kind::nothing;
  std::string text_;
  double number_ = 0;
  int decimals_ = 0;
  bool logical_ = false;
  Date date_;
};

// The decimal number at the start of a text after leading blanks: optional sign,
// digits, optional point and digits (its decimals). 0 when there is none.
Value number_from_text(std::string_view text);
// "dd.mm.yyyy" read as a date; the empty date when the text does not parse.
Date date_from_text(std::string_view text);
// A text read as a value of the given kind (text and nothing: the text unchanged;
// logical: true exactly for ".T." in any letter case).
Value value_from_text(std::string_view text, Kind kind);

// A text unchanged; a date "dd.mm.yyyy" ("" when empty); a logical ".t."/".f."; a
// number in decimal with its own decimals; code "{|| ... }"; an array "{ ... }"; an
// object "Object"; nothing "".
std::string I_VALTOCHAR(const Value& value);

}  // namespace torvane::text
