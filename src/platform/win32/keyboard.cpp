#include "platform/keyboard.h"

#include <conio.h>
#include <windows.h>

namespace torvane::platform {
namespace {

bool input_at_end = false;  // a pipe or file has ended: no more keys

HANDLE input() { return ::GetStdHandle(STD_INPUT_HANDLE); }

// The console hands keys over in the OEM code page; the program's texts are ANSI.
int ansi_code(int oem) {
  char c = static_cast<char>(oem);
  ::OemToCharBuffA(&c, &c, 1);
  return static_cast<unsigned char>(c);
}

// One key from the console, which is known to have one waiting. Function and cursor
// keys come as 0 or 0xE0 followed by their code: one key above 255.
int console_key() {
  const int first = ::_getch();
  if (first == 0 || first == 0xE0) return 0x100 | ::_getch();
  if (first == kKeyEsc || first < 0x80) return first;
  return ansi_code(first);
}

// One byte of a redirected standard input if one is there already; never blocks.
int redirected_byte() {
  if (input_at_end) return 0;
  const HANDLE in = input();
  if (in == nullptr || in == INVALID_HANDLE_VALUE) {
    input_at_end = true;
    return 0;
  }
  if (::GetFileType(in) == FILE_TYPE_PIPE) {
    DWORD waiting = 0;
    if (!::PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr)) {
      input_at_end = true;  // the writer has gone
      return 0;
    }
    if (waiting == 0) return 0;
  }
  unsigned char byte = 0;
  DWORD got = 0;
  if (!::ReadFile(in, &byte, 1, &got, nullptr) || got == 0) {
    input_at_end = true;
    return 0;
  }
  return byte;
}

}  // namespace

bool input_is_terminal() {
  static const bool terminal = [] {
    DWORD mode = 0;
    return ::GetConsoleMode(input(), &mode) != 0;
  }();
  return terminal;
}

// The console reads key by key without echo through _getch; nothing to switch.
void keyboard_start() {}
void keyboard_restore() {}

int keyboard_poll() {
  if (!input_is_terminal()) return redirected_byte();
  return ::_kbhit() ? console_key() : 0;
}

int keyboard_wait() {
  if (!input_is_terminal()) return 0;
  return console_key();
}

}  // namespace torvane::platform
