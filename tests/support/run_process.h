#pragma once
// Running a program to its end and collecting its output, for the tests that run the
// built executable or a second copy of a test program.

#include <string>
#include <vector>

namespace torvane::testing {

struct ProcessResult {
  bool started = false;   // false when the program could not be run at all
  int exit_status = -1;   // the exit status; 128 + n when killed by signal n
  bool timed_out = false; // killed after the time limit
  std::string out;        // everything written to standard output
  std::string err;        // everything written to standard error
};

struct ProcessOptions {
  std::vector<std::string> args;         // arguments after the program name
  std::string working_directory;         // "" keeps the current one
  std::string input;                     // fed to standard input, then end of input
  std::vector<std::string> environment;  // "NAME=value" entries added to the current ones
  int time_limit_seconds = 60;
};

// Runs a program to its end, collecting its output. Standard input is a pipe, never a
// terminal, so a program run this way never waits for a key.
ProcessResult run_process(const std::string& program, const ProcessOptions& options);

}  // namespace torvane::testing
