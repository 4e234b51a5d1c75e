#pragma once
// Console and run log. Every user-visible line of a run goes through XOUT: a new
// console line with the text, and the same text + CR LF appended to the run log, a file
// in the current directory named after the executable ("TORVANE.LOG", torvane.log on
// disk), deleted at every start. The log is opened and closed for each line, so another
// program may read it during the run; a log that cannot be written costs the run
// nothing but is said once on standard error.
// Texts are Windows-1252; the console converts them at its last step, the log keeps
// the bytes.
//
// Besides XOUT: console-only lines, in-place progress figures (drawn on a terminal
// only), the keyboard poll for Esc in long loops and the key prompt at the end (which
// returns at once without a terminal). The console sink and the keyboard can be
// replaced, so that tests collect the output and press keys on cue
// (tests/support/console_capture.h).

#include <cstdint>
#include <string>
#include <string_view>

namespace torvane::app {

// Where console output goes.
class ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  // Windows-1252 text; "\r\n" starts a new line.
  virtual void write(std::string_view text) = 0;
  // Remembers the current cursor position (right after a progress display's first line).
  virtual void save_position() = 0;
  // Writes text at the remembered position (a progress figure).
  virtual void write_at_saved(std::string_view text) = 0;
};

// Where keys come from. Codes: 0 none, 27 Esc, 32..255 characters, above 255 other keys.
class Keyboard {
 public:
  virtual ~Keyboard() = default;
  virtual int poll() = 0;  // the next waiting key, or 0 at once
  virtual int wait() = 0;  // waits for a key; 0 when none can come
  // A poll costs a system call: long loops then poll only every few milliseconds.
  virtual bool costly() const { return false; }
};

// Installs a sink or keyboard (nullptr: the standard one); returns the previous one.
ConsoleSink* set_console(ConsoleSink* sink);
Keyboard* set_keyboard(Keyboard* keyboard);

// The run log's name: the executable's file name upper-cased, cut before its first
// point, + ".LOG". set_run_log replaces it ("" writes no log; tests use that).
const std::string& run_log_name();
void set_run_log(std::string name);
// Deletes the run log of the previous run, silently.
void delete_run_log();
// Appends text + CR LF to the run log only (the failure handler's record of a failure).
void append_run_log(std::string_view text);

// A new console line with text, and text + CR LF in the run log.
void XOUT(std::string_view text = {});

// Deletes a file when it exists and reports it: "Datei <path> wurde gelöscht." or
// "Error: Datei <path> konnte nicht gelöscht werden."; nothing when there was no file.
// The path is shown as the caller passed it.
void XDELETEFILE(std::string_view path);

// A new console line with text; not logged.
void console_line(std::string_view text);

// The cursor as the console output left it: row counts the lines started so far,
// column the characters written on the current one.
struct CursorPosition {
  long row = 0;
  long column = 0;
  friend bool operator==(const CursorPosition&, const CursorPosition&) = default;
};
// Cursor query: returns and remembers the position for progress updates.
CursorPosition cursor_position();
// Writes figure + "%  " at the remembered position. Console only, not logged.
void progress_update(const CursorPosition& at, std::string_view figure);

// A progress display: construct it right after the introducing line; show() redraws
// only when the figure text changes.
class ProgressDisplay {
 public:
  ProgressDisplay() : at_(cursor_position()) {}
  void show(std::string_view figure);

 private:
  CursorPosition at_;
  std::string previous_;
  bool shown_ = false;
};

// The next waiting key (removed), or 0 at once when none is waiting. Esc is 27.
int poll_key();

// The Esc poll of a long loop: call pressed() once per item after handling it. The
// first call polls; later ones poll at most every kIntervalMs (every call when the
// keyboard is cheap, as the test keyboards are), so a scan runs at disk speed and Esc
// still answers at once. Keys other than Esc are taken and ignored.
class EscPoll {
 public:
  static constexpr std::uint64_t kIntervalMs = 10;
  bool pressed();

 private:
  bool polled_ = false;
  std::uint64_t next_ms_ = 0;
};

// "Press any key to continue..." on a new console line (not logged); waits for a key
// and echoes it when its code is 32..255. Returns at once without a terminal.
void key_prompt();

}  // namespace torvane::app
