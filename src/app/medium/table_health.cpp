#include "app/medium/table_health.h"

#include "app/console.h"
#include "app/run_record.h"
#include "storage/dbf_health.h"
#include "text/letter_case.h"

namespace torvane::app {

TableShape table_shape(std::string_view path) {
  using Kind = storage::TableHealth::Kind;
  const storage::TableHealth health = storage::inspect_table(path, storage::Variant::cdx);
  switch (health.kind) {
    case Kind::missing:
    case Kind::unreadable: return TableShape::unreadable;
    case Kind::not_a_table:
    case Kind::damaged: return TableShape::damaged;
    case Kind::cut_short: return TableShape::incomplete;
    case Kind::table: break;
  }
  if (health.memo_missing) return TableShape::incomplete;

  const auto field = [&](std::string_view name) -> const storage::Field* {
    for (const storage::Field& f : health.fields)
      if (text::equal_ignoring_case(f.name, name)) return &f;
    return nullptr;
  };
  const storage::Field* isbn = field("ISBN");
  if (isbn == nullptr || isbn->type != 'C') return TableShape::no_isbn_field;
  const storage::Field* header = field("HEADER");
  const storage::Field* position = field("POSITION");
  const bool position_schema = isbn->length == 13 && header != nullptr && header->type == 'C' &&
                               header->length == 24 && position != nullptr && position->type == 'N' &&
                               position->length == 9;
  return position_schema ? TableShape::position_table : TableShape::isbn_table;
}

void mend_table(std::string_view path, storage::Variant variant) {
  const storage::TableHealth health = storage::inspect_table(path, variant);
  // A flag whose index file is gone (a stale index deleted, a run killed before its
  // rebuild) needs no line: every step that finds the index missing builds it, and
  // that sets the flag again.
  const bool index_follows = health.structural_flag && !health.structural_index;
  const bool header_wrong = health.header_count != health.records || health.torn_record;
  if (!health.needs_repair() || (index_follows && !header_wrong)) return;
  const std::string shown(path);
  if (storage::repair_table(path, variant)) {
    record_file(FileAction::repaired, shown, "header disagreed with the file");
    XOUT("Warnung: Datei " + shown + " war unvollst\xE4ndig geschrieben und wurde repariert.");
  } else {
    XOUT("Error: Datei " + shown + " konnte nicht repariert werden.");
  }
}

}  // namespace torvane::app
