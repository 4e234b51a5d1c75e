#pragma once
// The cover rows of the phase table in a dry run: whether the pool table will be there
// for the cover phase, how many titles of the pool table lack a cover and where the
// cover phase would look for them, and whether the cover flags would be written. On
// the console only; every table is opened for reading.

#include "app/phase.h"

namespace torvane::app {

void plan_pool_table_check(PhaseContext& context);
void plan_cover_phase(PhaseContext& context);
void plan_cover_flags(PhaseContext& context);

}  // namespace torvane::app
