#include "platform/console.h"

#include <windows.h>

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

HANDLE output() { return ::GetStdHandle(STD_OUTPUT_HANDLE); }

void write_all(std::string_view bytes) {
  const HANDLE out = output();
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    // A closed or full output loses the text; the run goes on.
    if (!::WriteFile(out, bytes.data(), chunk, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

COORD saved_cursor{};
bool cursor_saved = false;

}  // namespace

bool output_is_terminal() {
  static const bool terminal = [] {
    DWORD mode = 0;
    return ::GetConsoleMode(output(), &mode) != 0;
  }();
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

// The text goes to standard output in the OEM code page, converted by the system from
// the ANSI code page (Windows-1252 on the machines the program is made for). CR LF is
// the native line end already.
void console_write(std::string_view cp1252_text) {
  std::string out(cp1252_text);
  for (std::size_t at = 0; at < out.size();) {
    const DWORD chunk = out.size() - at > (1u << 20) ? (1u << 20) : static_cast<DWORD>(out.size() - at);
    ::CharToOemBuffA(out.data() + at, out.data() + at, chunk);
    at += chunk;
  }
  write_all(out);
}

void console_save_cursor() {
  if (!output_is_terminal()) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  cursor_saved = ::GetConsoleScreenBufferInfo(output(), &info) != 0;
  if (cursor_saved) saved_cursor = info.dwCursorPosition;
}

void console_restore_cursor() {
  if (output_is_terminal() && cursor_saved) ::SetConsoleCursorPosition(output(), saved_cursor);
}

}  // namespace torvane::platform
