#pragma once
// The cover rows of the run's phase table:
//   cover_index_repair  a cover or not-found table without its CDX file gets one
//   pool_table_check    "Error: Datei <pool.dbf> nicht vorhanden!" switches the cover
//                       phase off
//   cover_phase         the pass over the pool table in ISBN order: a title whose key
//                       is in the cover table is left alone; else its cover comes from
//                       the import table or, with `Internet` on, from the image server,
//                       which also fills the not-found table; then the statistics.
//
// The pass is O(1) per pool record apart from the index searches: the progress figure
// comes from the key number the table keeps during a walk and the key count read once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/phase.h"

namespace torvane::app {

void cover_index_repair(PhaseContext& context);
void pool_table_check(PhaseContext& context);
void cover_phase(PhaseContext& context);

// The phase with the executable's path given (a new not-found table goes beside it).
void run_cover_phase(const RunConfig& config, std::string_view executable);

// `Start` in the form of the pool table's keys: trimmed, blanks and hyphens removed,
// upper-cased; an ISBN-10 becomes its ISBN-13 (as it is when it has none); an ISBN-13,
// an old-style ISMN ("M...") and anything else stay as they are.
std::string start_key(std::string_view start);

struct CoverCounts {
  std::uint64_t found = 0, not_found = 0, server_found = 0, server_not_found = 0;
  std::uint64_t not_asked = 0;  // titles for the server that got no definite answer
  std::string last_isbn;
};

struct TableSizes {
  std::uint64_t pool = 0, covers = 0, not_found = 0;
};

// What the progress of a pass with several exchanges in flight shows.
struct LookupProgress {
  std::uint64_t done = 0, total = 0;  // titles settled, titles of the pass
  std::uint64_t covers = 0;           // covers found so far
  std::uint64_t exchanges = 0;        // exchanges with the server so far
  double seconds = 0;                 // since the pass began
};
// " 120/5000 Titel,   36 Cover,    48.5 Abrufe/s, noch  0:06:47,   2.4", to which
// the display adds "%  ": the time left is the titles left at the pace so far.
std::string lookup_figure(const LookupProgress& progress);

// The statistics lines after the pass: with `Internet` on and titles the server could
// not be asked about, a "Warnung: " line with their number; then from the empty line on.
std::vector<std::string> cover_statistics(const CoverCounts& counts, const TableSizes& sizes, bool internet);

}  // namespace torvane::app
