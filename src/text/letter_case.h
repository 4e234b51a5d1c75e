#pragma once
// Letter case and blanks of Windows-1252 texts: upper- and lower-casing that knows the
// accented letters of the character set, comparison without regard to letter case, and
// trimming of blanks.

#include <string>
#include <string_view>

namespace torvane::text {

std::string upper(std::string_view text);
std::string lower(std::string_view text);
std::string_view trim(std::string_view text);  // leading and trailing blanks
bool equal_ignoring_case(std::string_view a, std::string_view b);

// The text without its first n characters; "" when n is at least its length.
std::string CUTLEFT(std::string_view text, long n);

}  // namespace torvane::text
