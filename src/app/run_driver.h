#pragma once
// The program's entry point: run-wide settings, banner, configuration, the three fatal
// checks, settings summary, the phase table, the closing lines and the key prompt.
//
// Command line: see command_line.h. Exit status: 0 at every orderly end, the fatal
// checks and runs with error lines included, 1 when the failure handler quits, 2 for a
// command line that cannot be understood. With --strict the status tells how the run
// went: 0 it did all its work without an "Error" line, 3 a fatal check ended it, 4 it
// finished with errors (a missing MAB2 file counts as one), 1 an unexpected failure;
// every error line then also goes to standard error. --verify ends with 0 when the
// medium holds and 5 when it does not. --report writes the run report (run_report.h) at
// every one of these ends.

namespace torvane::app {

// Returns the process exit status.
int run_program(int argc, char** argv);

}  // namespace torvane::app
