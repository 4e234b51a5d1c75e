#include "platform/failure.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace torvane::platform {
namespace {

std::function<void(const std::string&)>& failure_log() {
  static std::function<void(const std::string&)> log;
  return log;
}

void write_error_log(const Failure& failure) {
  std::FILE* out = std::fopen("error.log", "wb");
  if (out == nullptr) return;
  std::time_t now = std::time(nullptr);
  char stamp[32] = "";
  std::strftime(stamp, sizeof stamp, "%d.%m.%Y %H:%M:%S", std::localtime(&now));
  std::fprintf(out, "%s\r\n", failure.message.c_str());
  for (const std::string& op : failure.operations) std::fprintf(out, "Called from %s\r\n", op.c_str());
  std::fprintf(out, "%s\r\n", stamp);
  std::fclose(out);
}

// Without a dialog: quit at once.
FailureChoice quit_handler(const Failure& failure) {
  std::fprintf(stderr, "%s\n", failure.message.c_str());
  for (const std::string& op : failure.operations) std::fprintf(stderr, "Called from %s\n", op.c_str());
  return FailureChoice::quit;
}

FailureHandler& handler() {
  static FailureHandler current = quit_handler;
  return current;
}

}  // namespace

FailureHandler set_failure_handler(FailureHandler next) {
  FailureHandler previous = std::move(handler());
  handler() = next ? std::move(next) : FailureHandler(quit_handler);
  return previous;
}

void set_failure_log(std::function<void(const std::string&)> log) { failure_log() = std::move(log); }

FailureChoice report_failure(const Failure& failure) {
  if (failure_log()) failure_log()(failure.message);
  FailureChoice choice = handler()(failure);
  if (choice == FailureChoice::retry && !failure.can_retry) choice = FailureChoice::quit;
  if (choice == FailureChoice::fail && !failure.can_default) choice = FailureChoice::quit;
  if (choice == FailureChoice::quit) {
    write_error_log(failure);
    std::exit(1);
  }
  return choice;
}

}  // namespace torvane::platform
