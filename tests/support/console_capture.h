#pragma once
// Captures the console and scripts the keyboard for a test (header only; link the test
// with torvane_app). While a ConsoleCapture lives, everything written to the console
// is collected, the run log goes to the file given (none by default) and the keyboard
// answers from a script:
//
//   torvane::testing::ConsoleCapture capture;          // no run log
//   capture.keyboard.keys = {0, 0, 27};                // Esc at the third poll
//   run_the_pass();
//   EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Datei a.dbf anlegen..."}));
//   EXPECT_EQ(capture.console.figures.size(), 3u);

#include <deque>
#include <string>
#include <vector>

#include "app/console.h"

namespace torvane::testing {

// Collects console output: the text as written ("\r\n" before each line) and every
// progress figure in order.
class RecordingConsole final : public app::ConsoleSink {
 public:
  std::string text;
  std::vector<std::string> figures;
  int saved_positions = 0;

  void write(std::string_view t) override { text.append(t); }
  void save_position() override { ++saved_positions; }
  void write_at_saved(std::string_view t) override { figures.emplace_back(t); }
};

// Answers polls and waits from a queue of key codes; 0 once the queue is empty.
class ScriptedKeyboard final : public app::Keyboard {
 public:
  std::deque<int> keys;
  int polls = 0;
  int waits = 0;

  int poll() override {
    ++polls;
    return next();
  }
  int wait() override {
    ++waits;
    return next();
  }

 private:
  int next() {
    if (keys.empty()) return 0;
    const int key = keys.front();
    keys.pop_front();
    return key;
  }
};

class ConsoleCapture {
 public:
  explicit ConsoleCapture(std::string run_log = "")
      : previous_console_(app::set_console(&console)),
        previous_keyboard_(app::set_keyboard(&keyboard)),
        previous_log_(app::run_log_name()) {
    app::set_run_log(std::move(run_log));
  }
  ~ConsoleCapture() {
    app::set_console(previous_console_);
    app::set_keyboard(previous_keyboard_);
    app::set_run_log(previous_log_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // The console lines written so far (each XOUT or console-only line is one entry).
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::size_t at = 0;
    while ((at = console.text.find("\r\n", at)) != std::string::npos) {
      at += 2;
      const std::size_t end = console.text.find("\r\n", at);
      out.push_back(console.text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    }
    return out;
  }

  RecordingConsole console;
  ScriptedKeyboard keyboard;

 private:
  app::ConsoleSink* previous_console_;
  app::Keyboard* previous_keyboard_;
  std::string previous_log_;
};

}  // namespace torvane::testing
