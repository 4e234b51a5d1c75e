#pragma once
// The program's entry point: run-wide settings, banner, configuration, the three fatal
// checks, settings summary, the phase table, the closing lines and the key prompt.
// The process exit status is 0 at every orderly end, the fatal checks included; only
// the failure handler's Quit ends with 1.
//
// Command line: none is needed. "--config FILE" reads FILE instead of the
// configuration beside the executable; "--help" and "--version" print and exit 0.

namespace torvane::app {

// Returns the process exit status.
int run_program(int argc, char** argv);

}  // namespace torvane::app
