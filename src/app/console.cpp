#include "app/console.h"

#include <cstdio>
#include <optional>

#include "app/run_record.h"
#include "files/paths.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/keyboard.h"
#include "platform/path.h"
#include "text/value.h"

namespace torvane::app {
namespace {

class StandardConsole final : public ConsoleSink {
 public:
  void write(std::string_view text) override { platform::console_write(text); }
  void save_position() override { platform::console_save_cursor(); }
  void write_at_saved(std::string_view text) override {
    if (!platform::output_is_terminal()) return;  // figures are drawn on a terminal only
    platform::console_restore_cursor();
    platform::console_write(text);
  }
};

class StandardKeyboard final : public Keyboard {
 public:
  int poll() override { return platform::keyboard_poll(); }
  int wait() override { return platform::keyboard_wait(); }
  bool costly() const override { return true; }
};

StandardConsole standard_console;
StandardKeyboard standard_keyboard;
ConsoleSink* current_console = &standard_console;
Keyboard* current_keyboard = &standard_keyboard;

std::optional<std::string>& log_name() {
  static std::optional<std::string> name;
  return name;
}

CursorPosition cursor;  // where the console output has left the cursor

// A run log that cannot be written (a read-only current folder, a full disk) is told
// once on standard error: the console lines alone do not show that the record of the
// run is missing. The run goes on.
bool log_loss_told = false;

void tell_log_lost() {
  log_loss_told = true;
  const std::string where = platform::real_location(run_log_name()).value_or(run_log_name());
  std::fprintf(stderr, "torvane: Das Protokoll %s kann nicht geschrieben werden; die Zeilen dieses Laufs fehlen darin.\n",
               where.c_str());
}

void write_line(std::string_view text) {
  std::string out = "\r\n";
  out += text;
  current_console->write(out);
  ++cursor.row;
  cursor.column = static_cast<long>(text.size());
}

}  // namespace

ConsoleSink* set_console(ConsoleSink* sink) {
  ConsoleSink* previous = current_console;
  current_console = sink != nullptr ? sink : &standard_console;
  return previous;
}

Keyboard* set_keyboard(Keyboard* keyboard) {
  Keyboard* previous = current_keyboard;
  current_keyboard = keyboard != nullptr ? keyboard : &standard_keyboard;
  return previous;
}

const std::string& run_log_name() {
  if (!log_name()) log_name() = files::CFILEBASE(files::I_EXENAME()) + ".LOG";
  return *log_name();
}

void set_run_log(std::string name) {
  log_name() = std::move(name);
  log_loss_told = false;
}

void delete_run_log() {
  log_loss_told = false;
  if (!run_log_name().empty()) platform::delete_file(run_log_name());
}

void append_run_log(std::string_view text) {
  if (run_log_name().empty()) return;
  std::string line(text);
  line += "\r\n";
  if (!files::I_FILETRANS(run_log_name(), text::Value(std::move(line))) && !log_loss_told) tell_log_lost();
}

void XOUT(std::string_view text) {
  write_line(text);
  append_run_log(text);
  record_line(text);
}

void XDELETEFILE(std::string_view path) {
  if (!platform::file_exists(path)) return;
  platform::delete_file(path);
  const std::string shown(path);
  if (!platform::file_exists(path)) {
    record_file(FileAction::deleted, shown);
    XOUT("Datei " + shown + " wurde gel\xF6scht.");
  } else {
    XOUT("Error: Datei " + shown + " konnte nicht gel\xF6scht werden.");
  }
}

void console_line(std::string_view text) { write_line(text); }

CursorPosition cursor_position() {
  current_console->save_position();
  return cursor;
}

void progress_update(const CursorPosition& at, std::string_view figure) {
  std::string text(figure);
  text += "%  ";
  current_console->write_at_saved(text);
  cursor = at;
  cursor.column += static_cast<long>(text.size());
}

void ProgressDisplay::show(std::string_view figure) {
  if (shown_ && figure == previous_) return;
  shown_ = true;
  previous_ = std::string(figure);
  progress_update(at_, figure);
}

int poll_key() { return current_keyboard->poll(); }

bool EscPoll::pressed() {
  if (current_keyboard->costly()) {
    const std::uint64_t now = platform::steady_milliseconds();
    if (polled_ && now < next_ms_) return false;
    next_ms_ = now + kIntervalMs;
  }
  polled_ = true;
  return poll_key() == 27;
}

void key_prompt() {
  write_line("Press any key to continue...");
  const int key = current_keyboard->wait();
  if (key >= 32 && key <= 255) {
    const char echo = static_cast<char>(key);
    current_console->write(std::string_view(&echo, 1));
    ++cursor.column;
  }
}

}  // namespace torvane::app
