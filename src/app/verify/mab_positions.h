#pragma once
// Whether the rows of a position table point where they say: each POSITION is the
// first byte of a record header line of the pool's MAB2 file (at the file's start or
// right after a CR LF), and that line's record label is the row's HEADER.
//
// Rows come in file order, so the file is read forward through one window of a
// megabyte, never line by line: the check reads each byte of the MAB2 file at most
// once and looks only at the header lines the rows name.

#include <string_view>

#include "storage/dbf_check.h"
#include "storage/fault_list.h"

namespace torvane::app {

// Adds one fault per kind to `faults`; `table` has the position table's layout.
void check_positions(std::string_view mab_path, const storage::dbf::TableCheck& table, storage::FaultList& faults);

}  // namespace torvane::app
