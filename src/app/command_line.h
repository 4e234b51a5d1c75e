#pragma once
// The command line. None is needed: without arguments the program reads the
// configuration beside its executable and prepares the medium.
//
//   --config FILE   read FILE instead (also --config=FILE)
//   --strict        exit status tells how the run went (see run_driver.h)
//   --report FILE   write the run report, a JSON document, to FILE (also --report=FILE)
//   --verify        check the prepared medium, read only
//   --dry-run       print what a run would do, change nothing
//   --help, -h      print the usage and exit 0
//   --version       print the version and exit 0

#include <string>
#include <vector>

namespace torvane::app {

enum class RunMode { prepare, verify, dry_run, help, version };

struct CommandLine {
  RunMode mode = RunMode::prepare;
  std::string config_file;  // empty: the file beside the executable
  std::string report_file;  // empty: no report
  bool strict = false;
  std::string error;        // what is wrong with the arguments; empty when nothing
};

// The arguments after the program name.
CommandLine parse_command_line(const std::vector<std::string>& arguments);

}  // namespace torvane::app
