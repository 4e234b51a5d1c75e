#pragma once
// Book and serial numbers as they occur in MAB2 records and in the pool and cover
// tables: ISBN-10, ISBN-13 (an EAN-13 with the prefix 978 or 979), any EAN-13, the
// 8-character ISSN and the old 10-character ISMN beginning with "M".
//
// All functions are pure and never fail: texts of any bytes and any length give a
// result, and an unusable input yields the empty text or false. Texts are
// Windows-1252 bytes; "blank" means the space character, and trimming removes blanks.
//
// Terms used below:
//   value of a text   - leading blanks skipped, then the longest run of digits read as
//                       a number; a text that does not begin with a digit is worth 0.
//   compact form      - the text with every blank and every hyphen removed.
//   ISBN key form     - the EAN-13 of a title as 13 digits without hyphens; what the
//                       pool, cover and not-found tables store.
//
// Some results are odd and deliberate, because stored tables and the phases rely on
// them: an empty text passes every ISBN test; ten characters beginning with "M" pass
// whatever else they are; ISEAN does not test for digits; a last "X" of a 13-character
// number reads as 0.

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace torvane::isbn {

// The value of a text (see above). Saturates instead of overflowing.
std::uint64_t number_value(std::string_view text);

// True for any number, and for a text made only of digits (so for the empty text too).
// A logical value is no number: there is deliberately no overload for bool, which a
// text literal would otherwise convert to.
template <typename T>
  requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
constexpr bool ISNUM(T) {
  return true;
}
bool ISNUM(std::string_view text);

// EAN check digit of `value`. Without `weights` the decimal digits are weighted 3, 1,
// 3, ... from the rightmost one; with them the i-th digit from the left is weighted by
// the value of the i-th character of `weights` (0 beyond its end). The result is
// modulus - (sum mod modulus), and 0 where that is 10 or the modulus itself; a
// modulus of 0 or less gives 0.
int CHECKSUM(std::uint64_t value, int modulus = 10, std::string_view weights = {});

// The ISBN-10 check character ("0".."9" or "X") of the first nine characters of
// `text`; a non-digit, or a character beyond the end of a shorter text, counts 0.
std::string GETISBNPZ(std::string_view text);

// Weighted sums modulo 11 over the first 10 (ISBN) or 8 (ISSN) characters, weights
// descending to 1; one hyphen before any character is stepped over, and a last "X"
// counts 10. 0 means the check character is right. A text shorter than that adds
// nothing for the characters it lacks.
// (The system calls them _ISBN and _ISSN; names beginning with an underscore and a
// capital letter are reserved in C++.)
int isbn10_check_sum(std::string_view text);
int issn_check_sum(std::string_view text);

// Whether `text` is a usable number of the accepted kinds: the empty compact form and
// any ten characters beginning with "M" always are; otherwise a 13-character ISBN-13
// (when accept13), a 10-character ISBN-10 (when accept10) or an 8-character ISSN (when
// acceptISSN) with a correct check character.
bool ISISBN(std::string_view text, bool accept13 = false, bool accept10 = true, bool acceptISSN = true);
bool ISISBN10(std::string_view text);
bool ISISBN13(std::string_view text);
bool ISISSN(std::string_view text);

// A valid EAN-13 of any prefix: 13 characters once compact whose last one is worth the
// check digit of the first twelve. The characters are not tested to be digits.
bool ISEAN(std::string_view text);

// The number taken from a record, cleaned: upper case, an "ISBN" label and every
// letter but M and X removed, with punctuation and blanks; cut to 13 characters
// (want13) or 10; the empty text unless it is then a valid ISBN.
std::string NORMISBN(std::string_view text, bool want13 = false);

// The hyphenated ISBN-13 of a valid ISBN-10 ("3-16-148410-X" -> "978-3-16-148410-0"),
// the trimmed input when it already is an EAN, else the empty text (or the input
// unchanged when `keep`). An ISBN-10 whose registrant range is unknown has no ISBN-13.
std::string ISBN2EAN(std::string_view text, bool keep = false);

// The ISBN-10 of an EAN with the prefix 978, hyphenated where its range is known; an
// ISBN-10, ISSN or empty input comes back unchanged; anything else gives the empty
// text (or the input unchanged when `keep`).
std::string EAN2ISBN(std::string_view text, bool keep = false);

}  // namespace torvane::isbn
