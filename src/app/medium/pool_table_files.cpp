#include "app/medium/pool_table_files.h"

#include "app/medium/pool_catalogue.h"
#include "app/medium/table_open.h"
#include "platform/fs.h"

namespace torvane::app {

std::string pool_table_path(std::string_view medium_root) { return std::string(medium_root) + "pool.dbf"; }

std::string pool_index_path(std::string_view medium_root, storage::Variant index_mode) {
  return std::string(medium_root) + "pool." + std::string(index_extension(index_mode));
}

void repair_pool_index(std::string_view medium_root, storage::Variant index_mode, bool exclusive) {
  const std::string table = pool_table_path(medium_root);
  const std::string index = pool_index_path(medium_root, index_mode);
  if (platform::file_exists(table) && !platform::file_exists(index))
    make_pool_index(table, index, table_open_options(index_mode, exclusive, "POOL"), true);
}

}  // namespace torvane::app
