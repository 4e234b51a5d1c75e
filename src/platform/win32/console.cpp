#include "platform/console.h"

#include <windows.h>

#include <cstdint>

namespace torvane::platform {
namespace {


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
