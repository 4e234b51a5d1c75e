#pragma once
// Pieces shared by the number checks and the hyphenation: the compact form of a
// candidate number (blanks and hyphens removed) and digits. No accepted number is
// longer than 13 characters once compact, so the form lives on the stack and a longer
// one is only known to be too long: the checks cost no allocation, whatever the
// input's length.

#include <cstddef>
#include <string_view>

namespace torvane::isbn::detail {

struct CompactForm {
  static constexpr std::size_t kCapacity = 13;
  char text[kCapacity] = {};
  std::size_t size = 0;
  bool too_long = false;

  std::string_view view() const { return {text, size}; }
  bool is_empty() const { return size == 0 && !too_long; }
};

CompactForm compact_form(std::string_view text);

// ISISBN and ISEAN on an already compact form.
bool accepts(const CompactForm& form, bool accept13, bool accept10, bool acceptISSN);
bool is_ean(const CompactForm& form);

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline int digit_of(char c) { return c - '0'; }

}  // namespace torvane::isbn::detail
