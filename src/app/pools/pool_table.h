#pragma once
// The pool table "pool.dbf" in the medium root: every number of every pool's ISBN
// position table with the pool's number, pool by pool in catalogue order, and its
// index "pool.cdx" (or "pool.ntx") on ISBN.
//
//   field  type  width  content
//   ISBN   C     13     the number; an ISBN-10 as its 13-digit EAN
//   POOL   N     4      the pool's number in [Pool] of POOL.INI
//   COVER  N     2      left blank here; the cover flags set it
//
// Rebuilt when missing, or older than POOL.INI or than the position table of a pool of
// the catalogue; built under a temporary name and renamed into place. What a killed
// run left under temporary names is removed in every run.

#include <string>
#include <string_view>

#include "app/run_config.h"

namespace torvane::app {

// Whether the pool table is to be built anew, and why.
enum class PoolTableStaleness { current, missing, sources_newer, incomplete };
const char* pool_table_staleness_name(PoolTableStaleness staleness);  // "missing", ... (run report)
const char* pool_table_staleness_text(PoolTableStaleness staleness);  // "fehlt", ... (console)
PoolTableStaleness pool_table_staleness(const RunConfig& config, std::string_view ini_path);

// After the per-pool steps: leftovers, staleness, rebuild, index.
void build_pool_table(const RunConfig& config, std::string_view ini_path);

}  // namespace torvane::app
