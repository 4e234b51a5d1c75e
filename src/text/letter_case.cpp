#include "text/letter_case.h"

namespace torvane::text {
namespace {

unsigned char upper_byte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  switch (c) {
    case 0x9A: return 0x8A;  // s with caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z with caron
    case 0xFF: return 0x9F;  // y with diaeresis
    default: return c;
  }
}

unsigned char lower_byte(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
  }
}

}  // namespace

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(upper_byte(static_cast<unsigned char>(c)));
  return out;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(lower_byte(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper_byte(static_cast<unsigned char>(a[i])) != upper_byte(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string CUTLEFT(std::string_view text, long n) {
  if (n <= 0) return std::string(text);
  if (static_cast<unsigned long>(n) >= text.size()) return "";
  return std::string(text.substr(static_cast<std::size_t>(n)));
}

}  // namespace torvane::text
