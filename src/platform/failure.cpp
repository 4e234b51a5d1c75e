#include "platform/failure.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"

namespace torvane::platform {
namespace {

std::function<void(const std::string&)>& failure_log() {
  static std::function<void(const std::string&)> log;
  return log;
}

std::function<void(const Failure&)>& quit_hook() {
  static std::function<void(const Failure&)> hook;
  return hook;
}

void log_line(const std::string& line) {
  if (failure_log()) failure_log()(line);
}

std::string called_from(const std::string& operation) { return "Called from " + operation; }

// The report in the current directory: message, chain of operations, time.
void write_error_log(const Failure& failure) {
  std::FILE* out = std::fopen("error.log", "wb");
  if (out == nullptr) return;
  const LocalTime t = local_now();
  std::fprintf(out, "%s\r\n", failure.message.c_str());
  for (const std::string& op : failure.operations) std::fprintf(out, "%s\r\n", called_from(op).c_str());
  std::fprintf(out, "%02d.%02d.%04d %02d:%02d:%02d\r\n", t.day, t.month, t.year, t.hour, t.minute, t.second);
  std::fclose(out);
}

char lower_letter(int key) { return (key >= 'A' && key <= 'Z') ? static_cast<char>(key + 0x20) : static_cast<char>(key); }

// On a terminal: the message and the allowed choices; one key decides. End of input
// or Esc quits.
FailureChoice ask(const Failure& failure) {
  std::string prompt = "\r\n\r\n" + failure.message + "\r\n[Q] Quit";
  if (failure.can_retry) prompt += "   [R] Retry";
  if (failure.can_default) prompt += "   [D] Default";
  prompt += " ? ";
  console_write(prompt);
  for (;;) {
    const int key = keyboard_wait();
    const char c = lower_letter(key);
    if (key == 0 || key == kKeyEsc || c == 'q') return FailureChoice::quit;
    if (c == 'r' && failure.can_retry) return FailureChoice::retry;
    if (c == 'd' && failure.can_default) return FailureChoice::fail;
  }
}

FailureChoice standard_handler(const Failure& failure) {
  if (input_is_terminal() && output_is_terminal()) return ask(failure);
  return FailureChoice::quit;
}

FailureHandler& handler() {
  static FailureHandler current = standard_handler;
  return current;
}

}  // namespace

FailureHandler set_failure_handler(FailureHandler next) {
  FailureHandler previous = std::move(handler());
  handler() = next ? std::move(next) : FailureHandler(standard_handler);
  return previous;
}

void set_failure_log(std::function<void(const std::string&)> log) { failure_log() = std::move(log); }

void set_quit_hook(std::function<void(const Failure&)> hook) { quit_hook() = std::move(hook); }

FailureChoice report_failure(const Failure& failure) {
  log_line(failure.message);
  FailureChoice choice = handler()(failure);
  if (choice == FailureChoice::retry && !failure.can_retry) choice = FailureChoice::quit;
  if (choice == FailureChoice::fail && !failure.can_default) choice = FailureChoice::quit;
  if (choice == FailureChoice::quit) {
    std::string shown = "\r\n" + failure.message;
    for (const std::string& op : failure.operations) {
      shown += "\r\n" + called_from(op);
      log_line(called_from(op));
    }
    console_write(shown + "\r\n");
    write_error_log(failure);
    if (const auto hook = std::exchange(quit_hook(), nullptr)) hook(failure);
    std::exit(1);
  }
  return choice;
}

}  // namespace torvane::platform
