#include "app/pools/pool_phase.h"

#include "app/console.h"
#include "app/pools/field_filter.h"
#include "app/pools/pool_catalogue.h"
#include "app/pools/pool_table.h"
#include "app/pools/position_table.h"
#include "platform/fs.h"

namespace torvane::app {

void pool_index_repair(PhaseContext& context) { repair_pool_index(context.config); }

void pool_phase(PhaseContext& context) {
  const RunConfig& config = context.config;
  const std::string ini = pool_ini_path(config.medium_root);
  const FilterSettings filter{config.mab_filter_mode, config.pool_filter, config.field_exclusions};

  for_each_pool(ini, kPoolStepLimit, [&](int number, const std::string& section) {
    const PoolEntry entry = resolve_pool(ini, number, section, config.medium_root, config.index_mode);
    switch (entry.status) {
      case PoolEntry::Status::no_name:
        XOUT("Name-Eintrag in Sektion [" + section + "] in " + ini + " ist nicht vorhanden.");
        return;
      case PoolEntry::Status::no_mab_file:
        XOUT("(MAB)File-Eintrag in Sektion [" + section + "] in " + ini + " ist nicht vorhanden.");
        return;
      case PoolEntry::Status::ok:
        break;
    }
    if (!platform::file_exists(entry.mab_path)) {
      XOUT("Datei " + entry.mab_path + " ist nicht vorhanden.");
      return;
    }
    filter_pool_file(entry.mab_path, section, context.permitted_fields, filter);
    update_position_table(entry, config, context.changed);
  });

  build_pool_table(config, ini, context.changed);
}

}  // namespace torvane::app
