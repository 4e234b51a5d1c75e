#pragma once
// What the pool phase and the medium check read from MAB2 lines: record header lines with their labels,
// and the numbers of fields 540, 541, 542 (ISBN, ISSN, ISMN) and 551 (EAN).
// Every function takes the line trimmed of surrounding blanks.

#include <optional>
#include <string>
#include <string_view>

namespace torvane::app {

// A record header line starts with "### " or "*********M".
bool is_header_line(std::string_view trimmed);

// The record label of a header line: the line without its first four characters,
// trimmed; a label of exactly 6 characters gets "M2.01000024      h" appended.
std::string label_of(std::string_view trimmed);
// The same into `label`, reusing its storage (the scan's hot path).
void assign_label(std::string& label, std::string_view trimmed);

// The number a line of field 540, 541, 542 or 551 offers, upper-cased and without
// hyphens; nullopt when the line is of another field or its number does not qualify
// (the record's earlier number then stays).
std::optional<std::string> number_of(std::string_view trimmed);

// The key a record's number is stored under: a valid ISBN-10 becomes its EAN-13
// without hyphens (empty when it cannot be converted); an old-style ISMN ("M" and nine
// more characters) and every other number stay as they are. Upper case.
std::string isbn_key_of(std::string_view number);

}  // namespace torvane::app
