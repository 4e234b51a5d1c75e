#include "platform/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace torvane::platform {
namespace {

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

void write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or full output loses the text; the run goes on
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

bool output_is_terminal() {
  static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  return terminal;
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
      if (cp == 0) out += '?';
      else append_utf8(out, cp);
    } else {
      append_utf8(out, byte);
    }
  }
  return out;
}

void console_write(std::string_view cp1252_text) {
  std::string out = cp1252_to_utf8(cp1252_text);
  std::size_t at = 0;
  while ((at = out.find("\r\n", at)) != std::string::npos) out.erase(at, 1);
  write_all(out);
}

void console_save_cursor() {
  if (output_is_terminal()) write_all("\x1b" "7");
}

void console_restore_cursor() {
  if (output_is_terminal()) write_all("\x1b" "8");
}

}  // namespace torvane::platform
