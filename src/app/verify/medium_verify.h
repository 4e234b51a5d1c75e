#pragma once
// The check of a prepared medium before mastering, read only: nothing is written, no
// run log, no time stamp changes.

#include <string>
#include <string_view>
#include <vector>

#include "app/run_config.h"

namespace torvane::app {

struct VerifyFinding {
  std::string file;     // as the program shows paths
  std::string problem;  // what is wrong
  std::string remedy;   // what mends it, e.g. "delete it; the next run rebuilds it"
};

// Checks the medium the configuration names. Prints one console line per finding and
// a summary line (console only, never the run log) and returns the findings.
std::vector<VerifyFinding> verify_medium(const RunConfig& config, std::string_view executable);

}  // namespace torvane::app
