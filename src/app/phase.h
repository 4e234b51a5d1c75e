#pragma once
// What the run driver hands each phase: the configuration of the run, the
// permitted-field table of the MAB field filter, and the flag that passes between
// phases. A phase reports through XOUT and returns nothing the driver tests.

#include "app/run_config.h"

namespace torvane::app {

// The MAB2 field filter's table, built by the driver and read by the pool phase only.
class PermittedFields;

struct PhaseContext {
  const RunConfig& config;
  const PermittedFields& permitted_fields;  // built once before any output
  // Set by the pool table presence check; a missing pool table switches the cover
  // phase off.
  bool pool_table_present = false;
};

using PhaseFunction = void (*)(PhaseContext&);

}  // namespace torvane::app
