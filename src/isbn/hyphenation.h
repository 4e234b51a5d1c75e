#pragma once
// Hyphens between the elements of an ISBN: registration group, registrant,
// publication and check character, as in 3-16-148410-X. Where the group and the
// registrant end is looked up in the range table (range_table.h).

#include <string>
#include <string_view>

namespace torvane::isbn {

// The hyphenated number ("316148410X" -> "3-16-148410-X", "9789993601234" ->
// "978-99936-0-1234": an ISBN-13 keeps publication and check digit together); the
// cleaned number without hyphens when no range matches; the input unchanged when it is
// neither a valid ISBN-10 nor a valid ISBN-13.
std::string MAKEISBN(std::string_view text);

// The hyphenation of an already cleaned number (what NORMISBN gives): read as an
// ISBN-13 when is13, else as an ISBN-10; the number itself when no range matches.
// Only a number of digits (with a last check character) ever gets hyphens, so the
// empty text and the "M" numbers that pass as ISBNs come back as they are.
std::string hyphenate_number(std::string_view cleaned, bool is13);

}  // namespace torvane::isbn
