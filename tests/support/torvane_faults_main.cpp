// torvane_faults: the program with the fault layer armed from its environment, for the
// whole-program fault tests; built with the tests only, never installed.
//
//   TORVANE_FAULT=count          list every file-changing operation
//   TORVANE_FAULT=kill:K         end the process before the K-th one, as a kill would
//   TORVANE_FAULT=full:K         the disk is full from the K-th write on
//   TORVANE_FAULT_REPORT=FILE    where the list (count) or the struck operation goes
//
// Without TORVANE_FAULT it runs as the program does. A value it does not understand
// ends it with status 2 before anything runs.

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/run_driver.h"
#include "platform/fault_injection.h"

int main(int argc, char** argv) {
  namespace fault = torvane::platform::fault;
  if (const char* text = std::getenv("TORVANE_FAULT"); text != nullptr && *text != '\0') {
    const std::optional<fault::Plan> plan = fault::parse_plan(text);
    if (!plan) {
      std::fprintf(stderr, "torvane_faults: TORVANE_FAULT=%s is not count, kill:K or full:K\n", text);
      return 2;
    }
    const char* report = std::getenv("TORVANE_FAULT_REPORT");
    fault::arm(*plan, report != nullptr ? report : "");
    std::atexit(fault::write_report);  // also after the failure handler's Quit
  }
  return torvane::app::run_program(argc, argv);
}
