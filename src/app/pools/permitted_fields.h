#pragma once
// The permitted-field table of MAB2 lines and the tag test `ISDXPFIELD`.
//
// A MAB2 field line holds the field number in characters 1 to 3 and the indicator in
// character 4 (a blank or a letter); these four characters are the tag. The table maps
// field numbers 1 to 999 to the indicators permitted for them; a number without a row
// permits nothing. It is built once at start and only read afterwards.

#include <array>
#include <string>
#include <string_view>

namespace torvane::app {

class PermittedFields {
 public:
  // The fixed table of the medium's permitted fields (63 field numbers).
  static PermittedFields standard();

  // Indicator characters permitted for a field number; empty when there is no row.
  std::string_view indicators(int field_number) const;
  int field_count() const;  // numbers that have a row

 private:
  std::array<std::string, 1000> indicators_{};
};

// Field number of a tag: its first three characters read as a decimal number, leading
// blanks skipped, reading stops at the first character that cannot continue the
// number; 0 when there is none.
int field_number_of(std::string_view tag);

// True when a line with this tag (its first four characters, fewer for a shorter line)
// may stay in the file. The exclusion list ("MAB-Filter") forbids a whole field with
// "NNN*" or one tag with "NNNi", by plain substring test.
bool ISDXPFIELD(const PermittedFields& table, std::string_view tag, std::string_view exclusions);

}  // namespace torvane::app
