#include "platform/keyboard.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/console.h"

namespace torvane::platform {
namespace {

// How long the bytes of one escape sequence or UTF-8 character may be apart.
constexpr int kSequenceGapMs = 30;

struct TerminalState {
  bool checked = false;
  bool terminal = false;
  bool saved = false;       // original settings read
  bool raw = false;         // key-by-key mode in force
  bool hooks = false;       // exit and signal hooks installed
  struct termios original {};
  struct termios keys {};
};

TerminalState& state() {
  static TerminalState s;
  return s;
}

bool input_at_end = false;  // a pipe or file has ended: no more keys

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE,
                                  SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction previous_actions[65];

// Async-signal-safe: tcsetattr and sigaction only.
void restore_now() {
  TerminalState& s = state();
  if (s.raw) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &s.original);
    s.raw = false;
  }
}

void on_ending_signal(int signal) {
  restore_now();
  ::sigaction(signal, &previous_actions[signal], nullptr);
  ::raise(signal);
}

void on_stop_signal(int) {
  restore_now();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGTSTP, &dfl, nullptr);
  ::raise(SIGTSTP);
}

void enter_key_mode();

void on_continue(int) {
  struct sigaction act {};
  act.sa_handler = on_stop_signal;
  ::sigaction(SIGTSTP, &act, nullptr);
  enter_key_mode();
}

void enter_key_mode() {
  TerminalState& s = state();
  if (s.saved && !s.raw && ::tcsetattr(STDIN_FILENO, TCSANOW, &s.keys) == 0) s.raw = true;
}

void install_hooks() {
  TerminalState& s = state();
  if (s.hooks) return;
  s.hooks = true;
  std::atexit([] { restore_now(); });
  for (int signal : kEndingSignals) {
    struct sigaction act {};
    act.sa_handler = on_ending_signal;
    ::sigemptyset(&act.sa_mask);
    ::sigaction(signal, &act, &previous_actions[signal]);
    // A signal the process was told to ignore stays ignored.
    if (previous_actions[signal].sa_handler == SIG_IGN) ::sigaction(signal, &previous_actions[signal], nullptr);
  }
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  ::sigaction(SIGTSTP, &stop, nullptr);
  struct sigaction cont {};
  cont.sa_handler = on_continue;
  ::sigaction(SIGCONT, &cont, nullptr);
}

// One byte within timeout_ms (-1: wait as long as it takes); -1 when none came.
int read_byte(int timeout_ms) {
  struct pollfd p {STDIN_FILENO, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) return -1;
    unsigned char byte = 0;
    const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) input_at_end = true;
    return n == 1 ? byte : -1;
  }
}

// The rest of a key whose first byte was read: escape sequences and UTF-8.
int finish_key(int first) {
  if (first == 27) {
    const int next = read_byte(kSequenceGapMs);
    if (next < 0) return kKeyEsc;
    if (next != '[' && next != 'O') return 0x100 | next;
    int last = next;
    for (int i = 0; i < 16; ++i) {
      last = read_byte(kSequenceGapMs);
      if (last < 0) return 0x100 | next;
      if (next == 'O' || (last >= 0x40 && last <= 0x7E)) break;
    }
    return 0x100 | last;
  }
  if (first >= 0xC0 && first < 0xF8) {
    const int extra = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : 1;
    std::uint32_t cp = static_cast<std::uint32_t>(first) & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
      const int more = read_byte(kSequenceGapMs);
      if (more < 0 || (more & 0xC0) != 0x80) return 0x1FF;
      cp = (cp << 6) | static_cast<std::uint32_t>(more & 0x3F);
    }
    const int code = cp1252_from_code_point(cp);
    return code < 0 ? 0x1FF : code;  // 0x1FF: a key the program's character set lacks
  }
  return first;
}

}  // namespace

bool input_is_terminal() {
  TerminalState& s = state();
  if (!s.checked) {
    s.checked = true;
    s.terminal = ::isatty(STDIN_FILENO) == 1;
  }
  return s.terminal;
}

void keyboard_start() {
  if (!input_is_terminal()) return;
  TerminalState& s = state();
  if (!s.saved) {
    if (::tcgetattr(STDIN_FILENO, &s.original) != 0) return;
    s.keys = s.original;
    s.keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    s.keys.c_cc[VMIN] = 1;
    s.keys.c_cc[VTIME] = 0;
    s.saved = true;
    install_hooks();
  }
  enter_key_mode();
}

void keyboard_restore() { restore_now(); }

int keyboard_poll() {
  if (input_is_terminal()) {
    keyboard_start();
    const int first = read_byte(0);
    return first < 0 ? 0 : finish_key(first);
  }
  if (input_at_end) return 0;
  const int byte = read_byte(0);
  return byte < 0 ? 0 : byte;
}

int keyboard_wait() {
  if (!input_is_terminal()) return 0;
  keyboard_start();
  for (;;) {
    const int first = read_byte(-1);
    if (first >= 0) return finish_key(first);
    if (input_at_end) return 0;
  }
}

}  // namespace torvane::platform
