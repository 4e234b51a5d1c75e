#include "app/pools/pool_phase.h"

#include "app/console.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_table_files.h"
#include "app/medium/table_builds.h"
#include "app/pools/field_filter.h"
#include "app/pools/mab_stream.h"
#include "app/pools/pool_table.h"
#include "app/pools/position_table.h"
#include "platform/fs.h"

namespace torvane::app {

void pool_index_repair(PhaseContext& context) { repair_pool_index(context.config.medium_root, context.config.index_mode, context.config.exclusive); }

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
      case PoolEntry::Status::rejected:
        XOUT(entry.problem);
        return;
      case PoolEntry::Status::ok:
        break;
    }
    // What a killed run left under temporary names goes, whatever this run does.
    remove_filter_leftovers(entry.mab_path);
    remove_build_leftovers(entry.table_path, kTableCompanions);
    if (!platform::file_exists(entry.mab_path)) {
      XOUT("Datei " + entry.mab_path + " ist nicht vorhanden.");
      return;
    }
    // Read as CR LF lines, such a file would give one line: no rows, and a filter that
    // throws the whole file away. The pool is left as it is.
    if (foreign_line_ends(entry.mab_path)) {
      XOUT("Error: Datei " + entry.mab_path + " hat keine CR-LF-Zeilenenden, der Pool wird \xFC" "bersprungen.");
      return;
    }
    filter_pool_file(entry.mab_path, section, context.permitted_fields, filter);
    update_position_table(entry, config.index_mode, config.exclusive);
  });

  build_pool_table(config, ini);
}

// ---- What a dry run says -------------------------------------------------------------

namespace {

// The filter's part of one pool in a dry run; true when the MAB2 file would be rewritten.
bool plan_filter(const PoolEntry& entry, std::string_view section, const PhaseContext& context,
                 const FilterSettings& filter) {
  const FilterDecision decision = filter_decision(section, filter);
  if (decision == FilterDecision::disabled || decision == FilterDecision::skip) return false;
  const std::uint64_t failing = failing_lines(entry.mab_path, context.permitted_fields, filter.exclusions);
  if (failing == 0 && decision == FilterDecision::check) return false;
  console_line("Datei " + entry.mab_path + " hat " + std::to_string(failing) +
               " Zeilen mit nicht zugelassenen Feldern und w\xFCrde gefiltert.");
  return true;
}

void would_build(const std::string& path, std::string_view reason) {
  console_line("Datei " + path + " w\xFCrde angelegt (" + std::string(reason) + ").");
}

}  // namespace

void plan_pool_index_repair(PhaseContext& context) {
  const RunConfig& config = context.config;
  const std::string index = pool_index_path(config.medium_root, config.index_mode);
  if (platform::file_exists(pool_table_path(config.medium_root)) && !platform::file_exists(index))
    would_build(index, "fehlt");
}

void plan_pool_phase(PhaseContext& context) {
  const RunConfig& config = context.config;
  const std::string ini = pool_ini_path(config.medium_root);
  const FilterSettings filter{config.mab_filter_mode, config.pool_filter, config.field_exclusions};
  bool tables_rebuilt = false;

  for_each_pool(ini, kPoolStepLimit, [&](int number, const std::string& section) {
    const PoolEntry entry = resolve_pool(ini, number, section, config.medium_root, config.index_mode);
    if (entry.status == PoolEntry::Status::rejected) console_line(entry.problem);
    if (entry.status != PoolEntry::Status::ok) return;
    if (!platform::file_exists(entry.mab_path)) {
      console_line("Datei " + entry.mab_path + " ist nicht vorhanden.");
      return;
    }
    if (foreign_line_ends(entry.mab_path)) {
      console_line("Error: Datei " + entry.mab_path + " hat keine CR-LF-Zeilenenden, der Pool wird \xFC" "bersprungen.");
      return;
    }
    const bool filtered = plan_filter(entry, section, context, filter);
    const PositionTableStaleness staleness = filtered ? PositionTableStaleness::source_newer : position_table_staleness(entry);
    if (staleness != PositionTableStaleness::current) {
      would_build(entry.table_path, filtered ? "MAB2-Datei w\xFCrde gefiltert" : position_table_staleness_text(staleness));
      tables_rebuilt = true;
    }
  });

  const PoolTableStaleness staleness = pool_table_staleness(config, ini);
  if (staleness != PoolTableStaleness::current || tables_rebuilt) {
    would_build(pool_table_path(config.medium_root),
                staleness == PoolTableStaleness::current ? "eine Positionstabelle w\xFCrde neu angelegt"
                                                         : pool_table_staleness_text(staleness));
  }
}

}  // namespace torvane::app
