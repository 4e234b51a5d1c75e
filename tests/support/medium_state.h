#pragma once
// What a run left on a medium, in a form two runs can be compared by (the fault tests:
// a run ended by a fault and then run again must leave what one clean run leaves).
//
//   MediumState clean = medium_state({dir.path("dvd"), dir.path("bin")});
//   ...
//   std::vector<std::string> differences = compare_states(clean, after_fault);
//
// Each file is described by one text, keyed by its path relative to its folder (the
// folder's last name first, lower-cased: "dvd/pool1/pool1.dbf"):
//   - a DBF table: header record count and the count the file size gives, version,
//     structural-index flag (not the end-of-file mark, which tables written shared
//     lack as well), every record (deletion flag, fields,
//     memo values by size and checksum) as a sorted list, and whether the keys read
//     through its index in key order equal the table's keys sorted;
//   - an index or memo file (cdx, ntx, fpt): only that it is there; its content is
//     judged through its table;
//   - any other file: its bytes (a checksum and the size).
// The program itself and run logs are left out.

#include <map>
#include <string>
#include <vector>

namespace torvane::testing {

using MediumState = std::map<std::string, std::string>;

MediumState medium_state(const std::vector<std::string>& folders);
// The description of one DBF table (see above).
std::string describe_table(const std::string& path);
// One line per file that is missing, extra or described differently; empty when equal.
std::vector<std::string> compare_states(const MediumState& expected, const MediumState& actual);

}  // namespace torvane::testing
