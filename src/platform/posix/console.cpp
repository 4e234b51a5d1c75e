#include "platform/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace torvane::platform {
namespace {


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
