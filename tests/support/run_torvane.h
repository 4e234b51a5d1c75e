#pragma once
// Runs the built program as a user would and returns what it did (header only; the
// test links any torvane module, which brings the platform layer):
//
//   torvane::testing::TempDir dir;
//   dir.write("dvd/POOL.INI", "...");
//   torvane::testing::RunOptions options;
//   options.working_directory = dir.path();
//   options.config = "[DVD]\r\nPfad=" + dir.path("dvd") + "\r\nName=Test\r\n";
//   torvane::testing::RunResult run = torvane::testing::run_torvane(options);
//   EXPECT_EQ(run.exit_status, 0);
//   EXPECT_EQ(run.log, expected_bytes);   // the run log, byte for byte
//
// The program is the one named by the environment variable TORVANE_EXE (set by ctest),
// or options.executable. Standard input is a pipe holding options.input, so the key
// prompt never waits and a byte 27 in the input is Esc at the first keyboard poll.
// With options.config set, that text is written to <working directory>/test-config.ini
// and handed over with "--config"; without it the program looks for its configuration
// beside the executable, as it does when started without arguments.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"

namespace torvane::testing {

struct RunOptions {
  std::string working_directory;      // required: where the run log is written
  std::optional<std::string> config;  // configuration text (Windows-1252 bytes)
  std::vector<std::string> args;      // more arguments
  std::string input;                  // standard input
  std::string executable;             // default: $TORVANE_EXE
  int time_limit_seconds = 120;
};

struct RunResult {
  bool started = false;
  bool timed_out = false;
  int exit_status = -1;
  std::string out;  // standard output (UTF-8)
  std::string err;  // standard error
  std::string log;  // the run log's bytes; "" when there is none
  bool log_exists = false;
  std::string log_path;
};

// $TORVANE_EXE, or "" when it is not set.
inline std::string torvane_executable() {
  const char* exe = std::getenv("TORVANE_EXE");
  return exe != nullptr ? exe : "";
}

// $TORVANE_SOURCE_DIR (the repository root), or "" when it is not set.
inline std::string source_directory() {
  const char* dir = std::getenv("TORVANE_SOURCE_DIR");
  return dir != nullptr ? dir : "";
}

// The run log's native path for an executable run in a folder: the executable's name
// before its first point, lower-cased, + ".log".
inline std::string run_log_path(const std::string& working_directory, const std::string& executable) {
  std::string base = std::filesystem::path(executable).filename().string();
  base = base.substr(0, base.find('.'));
  for (char& c : base) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return working_directory + "/" + base + ".log";
}

inline RunResult run_torvane(const RunOptions& options) {
  RunResult result;
  const std::string exe = options.executable.empty() ? torvane_executable() : options.executable;
  testing::ProcessOptions process;
  process.working_directory = options.working_directory;
  process.input = options.input;
  process.time_limit_seconds = options.time_limit_seconds;
  if (options.config) {
    const std::string config_path = options.working_directory + "/test-config.ini";
    std::ofstream(config_path, std::ios::binary | std::ios::trunc) << *options.config;
    process.args = {"--config", config_path};
  }
  process.args.insert(process.args.end(), options.args.begin(), options.args.end());
  const testing::ProcessResult ran = testing::run_process(exe, process);
  result.started = ran.started;
  result.timed_out = ran.timed_out;
  result.exit_status = ran.exit_status;
  result.out = ran.out;
  result.err = ran.err;
  result.log_path = run_log_path(options.working_directory, exe);
  std::ifstream log(result.log_path, std::ios::binary);
  if (log) {
    std::ostringstream bytes;
    bytes << log.rdbuf();
    result.log = bytes.str();
    result.log_exists = true;
  }
  return result;
}

}  // namespace torvane::testing
