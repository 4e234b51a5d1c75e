#include "app/pools/field_filter.h"

#include <array>
#include <cstring>

#include "app/console.h"
#include "app/medium/pool_catalogue.h"
#include "app/medium/pool_entry_check.h"
#include "app/medium/table_builds.h"
#include "app/pools/mab_stream.h"
#include "app/run_record.h"
#include "files/paths.h"
#include "platform/fs.h"

namespace torvane::app {
namespace {

// The extensions of the backups, companions of the MAB2 file's temporary names.
constexpr std::string_view kBackupExtensions[kMabBackups] = {"BK1", "BK2", "BK3", "BK4", "BK5",
                                                             "BK6", "BK7", "BK8", "BK9"};

// Copies the MAB2 file to the backup under a temporary name and renames it when it is
// complete, so that a backup name never holds a part of the file.
bool make_backup(const std::string& mab, const std::string& backup) {
  const std::string temporary = build_name(backup);
  const auto size = platform::file_size(mab);
  const bool made = platform::copy_file(mab, temporary) && size && platform::file_size(temporary) == size &&
                    platform::rename_file(temporary, backup);
  if (!made) platform::delete_file(temporary);
  return made;
}

// Takes one line in pieces and writes it trimmed of surrounding blanks, with CR LF
// before it unless the file is still empty; then keeps it only when its tag passes.
// Trailing blanks are held back until a later byte shows they are inside the line.
class LineRewrite {
 public:
  LineRewrite(BufferedWriter& out, const PermittedFields& table, std::string_view exclusions)
      : out_(out), table_(table), exclusions_(exclusions) {}

  void begin() {
    line_start_ = out_.position();
    started_ = false;
    pending_blanks_ = 0;
    written_ = 0;
    tag_.clear();
  }

  void feed(std::string_view piece) {
    if (!started_) {
      const std::size_t first = piece.find_first_not_of(' ');
      if (first == std::string_view::npos) return;
      piece.remove_prefix(first);
      started_ = true;
    }
    const std::size_t last = piece.find_last_not_of(' ');
    if (last == std::string_view::npos) {
      pending_blanks_ += piece.size();
      return;
    }
    if (written_ == 0 && line_start_ > 0) out_.write("\r\n");
    for (; pending_blanks_ > 0; --pending_blanks_) emit(" ");
    emit(piece.substr(0, last + 1));
    pending_blanks_ = piece.size() - last - 1;
  }

  void end() {
    // An empty line still ends the line before it, unless the file is empty.
    if (written_ == 0 && line_start_ > 0) out_.write("\r\n");
    if (!ISDXPFIELD(table_, tag_, exclusions_)) out_.rewind_to(line_start_);
  }

 private:
  void emit(std::string_view bytes) {
    if (tag_.size() < 4) tag_.append(bytes.substr(0, 4 - tag_.size()));
    out_.write(bytes);
    written_ += bytes.size();
  }

  BufferedWriter& out_;
  const PermittedFields& table_;
  std::string_view exclusions_;
  std::uint64_t line_start_ = 0;
  bool started_ = false;
  std::size_t pending_blanks_ = 0;
  std::uint64_t written_ = 0;
  std::string tag_;
};

// ISDXPFIELD with its answers remembered per four-byte tag: a file repeats a few
// dozen tags over millions of lines.
class TagTest {
 public:
  TagTest(const PermittedFields& table, std::string_view exclusions) : table_(table), exclusions_(exclusions) {}

  bool passes(std::string_view tag) {
    if (tag.size() < 4) return ISDXPFIELD(table_, tag, exclusions_);
    std::uint32_t key = 0;
    std::memcpy(&key, tag.data(), 4);
    Slot& slot = slots_[(key * 2654435761u) >> (32 - kSlotBits)];
    if (!slot.used || slot.key != key) slot = {key, ISDXPFIELD(table_, tag, exclusions_), true};
    return slot.passes;
  }

 private:
  static constexpr int kSlotBits = 10;
  struct Slot {
    std::uint32_t key = 0;
    bool passes = false;
    bool used = false;
  };
  const PermittedFields& table_;
  std::string_view exclusions_;
  std::array<Slot, std::size_t{1} << kSlotBits> slots_{};
};

// Whether two files have the same size and last-write instant: a copy that kept the
// time of a file not changed since.
bool same_file_state(const std::string& a, const std::string& b) {
  const auto size = platform::file_size(a);
  const auto time = platform::last_write_instant(a);
  return size && time && size == platform::file_size(b) && time == platform::last_write_instant(b);
}

// Writes the filtered lines of the backup beside the MAB2 file and lets them take its
// place; reports what fails.
void replace_filtered(const std::string& mab, const std::string& backup, const PermittedFields& table,
                      std::string_view exclusions) {
  // A file marked read-only is not replaced: it counts as one that cannot be deleted.
  if (platform::is_read_only(mab)) {
    XOUT("Error: Datei " + files::CFILENAME(mab) + " konnte nicht gel\xF6scht werden!");
    return;
  }

  // The filtered file is written beside the old one and then takes its place.
  const std::string fresh = build_name(mab);
  if (!write_filtered(backup, fresh, table, exclusions)) {
    platform::delete_file(fresh);
    XOUT("Error: Datei " + mab + " konnte nicht neu geschrieben werden, die Daten sind in " + backup + ".");
    return;
  }
  const bool emptied = platform::file_size(fresh) == 0u && platform::file_size(backup).value_or(0) > 0;
  if (!platform::rename_file(fresh, mab)) {
    platform::delete_file(fresh);
    XOUT("Error: Datei " + files::CFILENAME(mab) + " konnte nicht gel\xF6scht werden!");
    return;
  }
  record_file(FileAction::filtered, mab, "fields not permitted");
  if (emptied) XOUT("Warnung: Datei " + mab + " ist nach dem Filtern leer, die Daten sind in " + backup + ".");
}

}  // namespace

void remove_filter_leftovers(std::string_view mab_path) { remove_build_leftovers(mab_path, kBackupExtensions); }

bool needs_filtering(std::string_view mab_path, const PermittedFields& table, std::string_view exclusions) {
  MabLineScanner reader(mab_path);
  TagTest test(table, exclusions);
  while (reader.next()) {
    if (!test.passes(reader.head().substr(0, 4))) return true;
  }
  return false;
}

std::uint64_t failing_lines(std::string_view mab_path, const PermittedFields& table, std::string_view exclusions) {
  MabLineScanner reader(mab_path);
  TagTest test(table, exclusions);
  std::uint64_t failing = 0;
  while (reader.next()) {
    if (!test.passes(reader.head().substr(0, 4))) ++failing;
  }
  return failing;
}

FilterDecision filter_decision(std::string_view section, const FilterSettings& settings) {
  if (settings.mode == "0" || settings.pools.empty()) return FilterDecision::disabled;
  if (settings.mode == "2") return FilterDecision::always;
  return pool_selected(section, settings.pools) ? FilterDecision::check : FilterDecision::skip;
}

bool write_filtered(std::string_view from, std::string_view to, const PermittedFields& table,
                    std::string_view exclusions) {
  MabLineScanner reader(from);
  BufferedWriter out(to);
  if (!reader.is_open() || !out.is_open()) {
    out.finish();
    return false;
  }
  LineRewrite rewrite(out, table, exclusions);
  const std::function<void(std::string_view)> sink = [&](std::string_view piece) { rewrite.feed(piece); };
  while (reader.next()) {
    rewrite.begin();
    reader.stream(sink);
    rewrite.end();
  }
  return out.finish() && !reader.failed();
}

void filter_pool_file(std::string_view mab_path, std::string_view section, const PermittedFields& table,
                      const FilterSettings& settings) {
  const std::string mab(mab_path);
  for (int n = 1; n <= kMabBackups; ++n) {
    const std::string backup = backup_name(mab, n);
    if (platform::file_exists(backup)) XOUT("Warnung: Backup-Datei " + backup + " ist noch vorhanden!");
  }
  const FilterDecision decision = filter_decision(section, settings);
  if (decision == FilterDecision::disabled) {
    XOUT("Warnung: \xDC" "berpr\xFC" "fung der MAB-Felder in " + files::CFILENAME(mab) + " deaktiviert!");
    return;
  }
  if (decision == FilterDecision::skip) return;

  bool filter = decision == FilterDecision::always;
  if (!filter) {
    XOUT("\xDC" "berp\xFC" "fe Datei " + mab + "...");
    filter = needs_filtering(mab, table, settings.exclusions);
  }
  if (!filter) return;

  int free = 1;
  while (free <= kMabBackups && platform::file_exists(backup_name(mab, free))) ++free;
  std::string backup;
  if (free > 1 && same_file_state(backup_name(mab, free - 1), mab)) {
    // A run that ended after its backup, before the filtered file took the old one's
    // place, left a backup of this very file: it serves again, so that no second one
    // is made of the same data.
    backup = backup_name(mab, free - 1);
  } else {
    if (free > kMabBackups) {
      XOUT("Error: Es konnte keine Backup-Datei angelegt werden!");
      return;
    }
    backup = backup_name(mab, free);
    // The backup must be complete before the file is given up: a copy cut short by a
    // full disk or a killed run is no backup.
    if (!make_backup(mab, backup) || !platform::file_exists(backup)) {
      XOUT("Error: Backup-Datei " + files::CFILENAME(backup) + " konnte nicht angelegt werden!");
      return;
    }
    record_file(FileAction::backed_up, backup, "fields not permitted");
  }
  XOUT("Filtere Datei " + backup + "...");
  replace_filtered(mab, backup, table, settings.exclusions);
}

}  // namespace torvane::app
