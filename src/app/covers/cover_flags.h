#pragma once
// The cover flags of the pool table: the section [Cover] of POOL.INI lists the medium's
// cover tables ("1=COVER\COVER.DBF", relative to the medium root); a pool record whose
// ISBN is in table n gets COVER = n. One pass over the pool table in ISBN order per
// listed table, with a progress figure on the console; then the statistics:
//
//   Einträge in pool.dbf...............:        200
//    davon verschieden.................:        180 (90%)
//       davon gefunden.................:         12 (7%)
//
// The distinct and found counters run on over all tables, so each pass counts again.
// A flag is never set back to 0, and a record that already holds n is not rewritten.
// COVER has two digits: entries above 99 are skipped with a warning.

#include <cstdint>

#include <string>

#include "app/phase.h"

namespace torvane::app {

// Runs when `Cover2Pool` is on and POOL.INI is in the medium root.
void cover_flags(PhaseContext& context);
void update_cover_flags(const RunConfig& config);

// The progress figure of the pass for cover table n, to which the display adds "%  ":
// "Cover-Tabelle 1:  250/1000 Einträge,    8123.4/s, noch  0:00:01,  25". Drawn on a
// terminal only.
std::string flag_figure(int table, std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace torvane::app
