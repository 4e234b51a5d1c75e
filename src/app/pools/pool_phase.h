#pragma once
// The pool rows of the run's phase table: the pool index repair, which runs in every
// run, and the pool phase, which walks the catalogue (field filter and ISBN position
// table of each pool, one pool completely before the next) and then builds the pool
// table.

#include "app/phase.h"

namespace torvane::app {

void pool_index_repair(PhaseContext& context);
void pool_phase(PhaseContext& context);

// The same rows in a dry run: per pool the MAB2 lines the filter would drop and the
// position table that would be built, then the pool table; on the console only.
void plan_pool_index_repair(PhaseContext& context);
void plan_pool_phase(PhaseContext& context);

}  // namespace torvane::app
