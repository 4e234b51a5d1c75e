#pragma once
// Where the pool table "pool.dbf" and its index lie in the medium root, and the repair
// of a missing index. The pool phase builds the table (pools/pool_table.h has its
// layout); the cover phase reads it and sets its cover flags.

#include <string>
#include <string_view>

#include "storage/storage_error.h"

namespace torvane::app {

std::string pool_table_path(std::string_view medium_root);
std::string pool_index_path(std::string_view medium_root, storage::Variant index_mode);

// A pool table without its index gets one (the run's index variant and open mode).
// Silent.
void repair_pool_index(std::string_view medium_root, storage::Variant index_mode, bool exclusive);

}  // namespace torvane::app
