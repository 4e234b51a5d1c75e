#pragma once
// The MAB field filter of one pool: warns about backups left from earlier runs, checks
// the pool's MAB2 file line by line against the permitted-field table and, when a line
// fails, saves the file to the next free backup (.BK1 to .BK9, last-write time kept)
// and rewrites it with only the lines that pass, each trimmed of surrounding blanks.
//
// The rewrite keeps every retained line whole, whatever its length, and goes through a
// temporary file beside the MAB2 file that is renamed into place at the end: a failure
// or crash leaves the old file or the complete new one, never a part of it. The backup
// is copied under a temporary name, verified (same size) and only then renamed to its
// .BKn name, so a copy cut short never passes for a backup. A rewrite that leaves no
// line of a file that had some says so.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/pools/permitted_fields.h"

namespace torvane::app {

struct FilterSettings {
  std::string mode;        // `Filter`: "0" off, "2" filter without check, else check first
  std::string pools;       // `PoolFilter`: selected sections, separated by ";"
  std::string exclusions;  // `MAB-Filter`
};

// The check pass: true when some line's first four bytes, as read, fail the tag test.
// Reading stops at the first such line. False also when the file cannot be read.
bool needs_filtering(std::string_view mab_path, const PermittedFields& table, std::string_view exclusions);

// The lines whose first four bytes fail the tag test, all of them counted.
std::uint64_t failing_lines(std::string_view mab_path, const PermittedFields& table, std::string_view exclusions);

// What the filter does with a pool: nothing and a warning (`Filter` "0" or no pools
// named), nothing (a pool not named), a check first, or a rewrite whatever the check
// would say (`Filter` "2").
enum class FilterDecision { disabled, skip, check, always };
FilterDecision filter_decision(std::string_view section, const FilterSettings& settings);

// Writes the lines of `from` that pass the tag test, trimmed, joined by CR LF, to the
// new file `to`. False when `from` cannot be read or `to` cannot be written completely.
bool write_filtered(std::string_view from, std::string_view to, const PermittedFields& table,
                    std::string_view exclusions);

// Deletes, with XDELETEFILE's lines, what a killed run left beside the MAB2 file under
// the temporary names of the rewrite and of the backup copy.
void remove_filter_leftovers(std::string_view mab_path);

// The whole field filter step for one pool; reports through XOUT.
void filter_pool_file(std::string_view mab_path, std::string_view section, const PermittedFields& table,
                      const FilterSettings& settings);

}  // namespace torvane::app
