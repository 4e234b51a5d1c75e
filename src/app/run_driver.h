#pragma once
// The program's entry point: settings, banner, configuration, fatal checks, summary,
// the phase table, the closing lines.

namespace torvane::app {

// Returns the process exit status: 0 at every orderly end.
int run_program(int argc, char** argv);

}  // namespace torvane::app
