#include "app/medium/mab_record.h"

#include <algorithm>

#include "isbn/numbers.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

using text::trim;

// ASCII letters only: the numbers of a record keep every other byte as it is.
std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string_view before_blank(std::string_view text) { return text.substr(0, text.find(' ')); }

std::string without_blanks_and_hyphens(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '-') out += c;
  return out;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::optional<std::string> qualifying(std::string value) {
  if (value.size() > 7 && value.size() <= 13) return upper(std::move(value));
  return std::nullopt;
}

// Fields 540 to 542: "ISBN" numbers are validated, "ISMN"/"ISSN" and others only measured.
std::optional<std::string> number_of_540(std::string_view content) {
  if (starts_with(content, "ISBN")) {
    std::string_view v = before_blank(trim(content.substr(4)));
    return qualifying(isbn::NORMISBN(std::string(v), true));
  }
  if (starts_with(content, "ISMN") || starts_with(content, "ISSN"))
    return qualifying(without_blanks_and_hyphens(before_blank(trim(content.substr(4)))));
  return qualifying(without_blanks_and_hyphens(before_blank(content)));
}

std::optional<std::string> number_of_551(std::string_view content) {
  std::string v(trim(without_blanks_and_hyphens(content)));
  if (starts_with(v, "EAN")) v = std::string(trim(std::string_view(v).substr(3)));
  v = std::string(trim(std::string_view(v).substr(0, 13)));
  if (isbn::ISNUM(v) && isbn::ISEAN(v)) return qualifying(std::move(v));
  return std::nullopt;
}

}  // namespace

bool is_header_line(std::string_view trimmed) {
  return starts_with(trimmed, "### ") || starts_with(trimmed, "*********M");
}

void assign_label(std::string& label, std::string_view trimmed) {
  label.assign(trim(trimmed.substr(std::min<std::size_t>(4, trimmed.size()))));
  if (label.size() == 6) label += "M2.01000024      h";
}

std::string label_of(std::string_view trimmed) {
  std::string label;
  assign_label(label, trimmed);
  return label;
}

std::optional<std::string> number_of(std::string_view trimmed) {
  const std::string_view content = trim(trimmed.substr(std::min<std::size_t>(4, trimmed.size())));
  if (starts_with(trimmed, "540") || starts_with(trimmed, "541") || starts_with(trimmed, "542"))
    return number_of_540(content);
  if (starts_with(trimmed, "551")) return number_of_551(content);
  return std::nullopt;
}

std::string isbn_key_of(std::string_view number) {
  const std::string trimmed(trim(number));
  if (!trimmed.empty() && trimmed.front() == 'M') return upper(trimmed);
  if (isbn::ISISBN10(trimmed)) return upper(without_blanks_and_hyphens(isbn::ISBN2EAN(trimmed)));
  return upper(std::string(number));
}

}  // namespace torvane::app
