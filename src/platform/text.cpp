// The platform's pure text functions, the same on every operating system: the name
// normalisation of paths, file-name masks and the conversions between Windows-1252 and
// Unicode of console text and keys.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace torvane::platform {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Iterative glob with one back-track point for the last "*".
bool match_from(std::string_view mask, std::string_view name) {
  std::size_t m = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || lower(mask[m]) == lower(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

// Windows-1252 bytes 0x80..0x9F as Unicode code points; 0 where the code page has none.
constexpr std::uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// Trimmed of blanks; ASCII letters only are lower-cased, so that native folder names in
// UTF-8 reach the file system intact.
std::string normalise_path(std::string_view program_path) {
  while (!program_path.empty() && program_path.front() == ' ') program_path.remove_prefix(1);
  while (!program_path.empty() && program_path.back() == ' ') program_path.remove_suffix(1);
  std::string path(program_path);
  for (char& c : path) c = lower(c);
  return path;
}

bool wildcard_match(std::string_view mask, std::string_view name) {
  // "*.*" matches every name, also one without a point: a mask of the Windows form
  // means "all files".
  if (mask == "*.*") return true;
  return match_from(mask, name);
}

std::string cp1252_to_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else if (byte < 0xA0) {
      const std::uint16_t cp = kHighControls[byte - 0x80];
      if (cp == 0)
        out += '?';
      else
        append_utf8(out, cp);
    } else {
      append_utf8(out, byte);
    }
  }
  return out;
}

int cp1252_from_code_point(std::uint32_t code_point) {
  if (code_point >= 0xA0 && code_point <= 0xFF) return static_cast<int>(code_point);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] != 0 && kHighControls[i] == code_point) return 0x80 + i;
  }
  return -1;
}

}  // namespace torvane::platform
