#pragma once
// The handler of unexpected failures. A failure that no phase handles itself (a table
// that cannot be opened for a reason other than a sharing conflict, a write that
// fails, a damaged index) is reported here; the handler decides what happens next.
//
//   Quit    - the message and the chain of operations go to the console and the run
//             log, "error.log" is written in the current directory, exit status 1;
//   Retry   - the caller repeats the failed operation (only when can_retry);
//   Default - the operation fails and the caller goes on (only when can_default).
//
// On a terminal the standard handler asks; without one it quits at once, so that an
// unattended run never ends with status 0 after a failure nobody saw. Tests install a
// scripted handler.

#include <functional>
#include <string>
#include <vector>

namespace torvane::platform {

enum class FailureChoice { quit, retry, fail };

struct Failure {
  std::string message;                  // Windows-1252, as shown and logged
  std::vector<std::string> operations;  // the chain of operations, innermost first
  bool can_retry = false;
  bool can_default = true;
  // The file found damaged, when the failure is that one of its bytes contradict
  // others; empty for every other failure.
  std::string damaged_file;
};

using FailureHandler = std::function<FailureChoice(const Failure&)>;

// Installs a handler; returns the previous one. An empty handler restores the standard one.
FailureHandler set_failure_handler(FailureHandler handler);

// Reports a failure. Returns retry or fail; quit never returns.
FailureChoice report_failure(const Failure& failure);

// The sink that logs every failure shown (the run log); set by the run driver.
void set_failure_log(std::function<void(const std::string&)> log);

// Called once with the failure that ends the process (Quit), after error.log is written
// and before the exit with status 1: the run report is written there.
void set_quit_hook(std::function<void(const Failure&)> hook);

}  // namespace torvane::platform
