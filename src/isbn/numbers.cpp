#include "isbn/numbers.h"

#include <algorithm>
#include <array>
#include <limits>

#include "isbn/compact_form.h"
#include "isbn/hyphenation.h"
#include "isbn/range_table.h"
#include "text/letter_case.h"

namespace torvane::isbn {

using detail::CompactForm;
using detail::digit_of;
using detail::is_digit;

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The value of a single character: its digit, else 0.
int char_value(char c) { return is_digit(c) ? digit_of(c) : 0; }

// CHECKSUM of a text of digits only, without going through the number: weights 3, 1,
// ... from the right, and leading zeros weigh nothing, so the result is the same.
int ean_check_digit(std::string_view digits) {
  int sum = 0;
  int weight = 3;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    sum += digit_of(*it) * weight;
    weight = 4 - weight;
  }
  int r = 10 - sum % 10;
  return r == 10 ? 0 : r;
}

// Weighted sum of the first `n` characters, weights n down to 1, modulo 11.
int weighted_sum(std::string_view text, int n) {
  std::size_t pos = 0;
  long sum = 0;
  for (int weight = n; weight >= 1; --weight) {
    if (pos < text.size() && text[pos] == '-') ++pos;
    if (pos >= text.size()) break;
    auto code = static_cast<unsigned char>(text[pos]);
    if (weight == 1 && (code == 'x' || code == 'X')) {
      sum += 10;
    } else {
      sum += weight * (static_cast<long>(code) - '0');
    }
    ++pos;
  }
  long r = sum % 11;
  return static_cast<int>(r < 0 ? r + 11 : r);
}

// Digits only, or digits with a last "X" or "x".
bool digits_with_check_character(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (is_digit(c)) continue;
    if (i + 1 == text.size() && (c == 'X' || c == 'x')) continue;
    return false;
  }
  return true;
}

// The hyphenated ISBN-13 of the ISBN-10 whose elements are known: "978-", the
// ISBN-10's elements without its check character, and the new check digit.
std::string ean_with_hyphens(std::string_view isbn10, ElementLengths lengths) {
  std::array<char, 12> key{'9', '7', '8'};
  std::copy_n(isbn10.begin(), 9, key.begin() + 3);
  std::array<char, 17> out{'9', '7', '8', '-'};
  char* end = out.data() + 4;
  std::size_t publication = lengths.group + lengths.registrant;
  end = std::copy_n(isbn10.begin(), lengths.group, end);
  *end++ = '-';
  end = std::copy_n(isbn10.begin() + lengths.group, lengths.registrant, end);
  *end++ = '-';
  end = std::copy_n(isbn10.begin() + publication, 9 - publication, end);
  *end++ = '-';
  *end = static_cast<char>('0' + ean_check_digit({key.data(), key.size()}));
  return std::string(out.data(), out.size());
}

}  // namespace

namespace detail {

CompactForm compact_form(std::string_view text) {
  CompactForm form;
  for (char c : text) {
    if (c == ' ' || c == '-') continue;
    if (form.size == CompactForm::kCapacity) {
      form.too_long = true;
      break;
    }
    form.text[form.size++] = c;
  }
  return form;
}

bool accepts(const CompactForm& form, bool accept13, bool accept10, bool acceptISSN) {
  if (form.too_long) return false;
  std::string_view number = form.view();
  if (number.empty()) return true;
  if (number.front() == 'M') return number.size() == 10;
  if (!digits_with_check_character(number)) return false;
  if (accept13 && number.size() == 13) {
    if (!number.starts_with("978") && !number.starts_with("979")) return false;
    // A last "X" is worth 0 here.
    return char_value(number.back()) == ean_check_digit(number.substr(0, 12));
  }
  if (accept10 && number.size() == 10) return isbn10_check_sum(number) == 0;
  if (acceptISSN && number.size() == 8) return issn_check_sum(number) == 0;
  return false;
}

bool is_ean(const CompactForm& form) {
  if (form.too_long || form.size != 13) return false;
  std::string_view number = form.view();
  return static_cast<std::uint64_t>(char_value(number.back())) ==
         static_cast<std::uint64_t>(CHECKSUM(number_value(number.substr(0, 12))));
}

}  // namespace detail

std::uint64_t number_value(std::string_view text) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::size_t pos = text.find_first_not_of(' ');
  std::uint64_t value = 0;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    auto digit = static_cast<std::uint64_t>(digit_of(text[pos]));
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

bool ISNUM(std::string_view text) { return std::all_of(text.begin(), text.end(), is_digit); }

int CHECKSUM(std::uint64_t value, int modulus, std::string_view weights) {
  if (modulus <= 0) return 0;
  std::array<int, 20> digits{};  // rightmost first
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<int>(value % 10);
    value /= 10;
  } while (value != 0);

  long sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    int weight = 0;
    if (weights.empty()) {
      weight = (i % 2 == 0) ? 3 : 1;
    } else {
      std::size_t from_left = count - 1 - i;
      weight = from_left < weights.size() ? char_value(weights[from_left]) : 0;
    }
    sum += static_cast<long>(digits[i]) * weight;
  }
  long r = modulus - sum % modulus;
  return (r == 10 || r == modulus) ? 0 : static_cast<int>(r);
}

std::string GETISBNPZ(std::string_view text) {
  int sum = 0;
  for (std::size_t k = 0; k < 9 && k < text.size(); ++k) {
    sum += static_cast<int>(10 - k) * char_value(text[k]);
  }
  int r = 11 - sum % 11;
  if (r == 10) return "X";
  if (r == 11) return "0";
  return std::string(1, static_cast<char>('0' + r));
}

int isbn10_check_sum(std::string_view text) { return weighted_sum(text, 10); }
int issn_check_sum(std::string_view text) { return weighted_sum(text, 8); }

bool ISISBN(std::string_view text, bool accept13, bool accept10, bool acceptISSN) {
  return detail::accepts(detail::compact_form(text), accept13, accept10, acceptISSN);
}
bool ISISBN10(std::string_view text) { return ISISBN(text, false, true, false); }
bool ISISBN13(std::string_view text) { return ISISBN(text, true, false, false); }
bool ISISSN(std::string_view text) { return ISISBN(text, false, false, true); }

bool ISEAN(std::string_view text) { return detail::is_ean(detail::compact_form(text)); }

std::string NORMISBN(std::string_view text, bool want13) {
  static constexpr std::array<std::string_view, 8> kLabels = {
      "ISBN ",    "ISBN: ",    "ISBN10 ",   "ISBN13 ",
      "ISBN-10 ", "ISBN-13 ", "ISBN-10: ", "ISBN-13: ",
  };
  static constexpr std::string_view kRemoved = "ABCDEFGHIJKLNOPQRSTUVWYZ: -().,;";

  std::string upper_text(text::trim(text));
  std::transform(upper_text.begin(), upper_text.end(), upper_text.begin(), upper);
  std::string_view rest = upper_text;
  for (std::string_view label : kLabels) {
    if (rest.starts_with(label)) {
      rest.remove_prefix(label.size());
      break;
    }
  }
  rest = text::trim(rest);

  std::string number;
  for (char c : rest) {
    if (kRemoved.find(c) == std::string_view::npos) number += c;
  }
  if (want13 && number.size() >= 13) {
    number.resize(13);
  } else if (number.size() >= 10) {
    number.resize(10);
  }
  if (!ISISBN(number, want13, true, false)) return {};
  return number;
}

std::string ISBN2EAN(std::string_view text, bool keep) {
  std::string_view trimmed = text::trim(text);
  CompactForm form = detail::compact_form(trimmed);
  if (detail::is_ean(form)) return std::string(trimmed);

  if (!trimmed.empty() && detail::accepts(form, false, true, false)) {
    std::string_view number = form.view();
    // The empty form and the "M" numbers never get hyphens (see MAKEISBN), so only an
    // ISBN-10 of digits has an ISBN-13. Its cleaned form is itself, upper-cased.
    if (number.size() == 10 && is_digit(number.front())) {
      std::array<char, 10> cleaned{};
      std::transform(number.begin(), number.end(), cleaned.begin(), upper);
      std::string_view isbn10(cleaned.data(), cleaned.size());
      if (auto lengths = range_table().find(isbn10)) return ean_with_hyphens(isbn10, *lengths);
    }
  }
  return keep ? std::string(text) : std::string();
}

std::string EAN2ISBN(std::string_view text, bool keep) {
  CompactForm form = detail::compact_form(text);
  if (detail::accepts(form, false, true, true)) return std::string(text);

  std::string_view number = form.view();
  // Only the nine digits after "978" go into the ISBN-10; an EAN whose characters
  // there are no digits (ISEAN does not look) has none.
  if (detail::is_ean(form) && number.starts_with("978")) {
    std::string_view nine = number.substr(3, 9);
    if (std::all_of(nine.begin(), nine.end(), is_digit)) {
      std::string isbn10(nine);
      isbn10 += GETISBNPZ(nine);
      return hyphenate_number(isbn10, false);
    }
  }
  return keep ? std::string(text) : std::string();
}

}  // namespace torvane::isbn
