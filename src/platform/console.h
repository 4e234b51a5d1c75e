#pragma once
// The console: text written as Windows-1252 bytes and converted at this last step (on
// Linux always to UTF-8, whatever the locale), and the saved cursor position behind
// the in-place progress figures, which are drawn on a terminal only.

#include <cstdint>
#include <string>
#include <string_view>

namespace torvane::platform {

bool output_is_terminal();  // standard output is a terminal

// Windows-1252 to UTF-8. The five byte values that Windows-1252 leaves undefined
// become "?".
std::string cp1252_to_utf8(std::string_view text);
// The Windows-1252 byte of a character above U+007F, or -1 when the code page has none.
int cp1252_from_code_point(std::uint32_t code_point);

// Writes text to standard output, converted; CR LF becomes the native line end.
void console_write(std::string_view cp1252_text);
// Remembers the cursor position / moves back to it. Nothing without a terminal.
void console_save_cursor();
void console_restore_cursor();

}  // namespace torvane::platform
