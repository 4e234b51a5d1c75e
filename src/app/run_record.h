#pragma once
// What a run did, noted as it happens: the phases, every file it deleted, stamped,
// filtered, backed up, built or repaired, the counts of the MAB2 scan, and every line
// it showed that tells of an error, a warning or a statistic. The run report and the
// strict exit status are made from it. The phases add to it through the free functions
// below; one record is kept per process.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::app {

enum class NumberKind { isbn, issn, ismn, ean };
constexpr std::size_t kNumberKinds = 4;
const char* number_kind_name(NumberKind kind);  // "isbn", "issn", "ismn", "ean"

enum class FileAction { deleted, stamped, filtered, backed_up, built, repaired };
const char* file_action_name(FileAction action);  // "deleted", "backed up", ...

struct FileEvent {
  FileAction action = FileAction::built;
  std::string path;    // as the program shows it (Windows-1252)
  std::string reason;  // why, in English ("MAB2 file newer"); may be empty
  std::optional<std::uint64_t> records;
  std::string phase;
};

struct PhaseEvent {
  std::string name;
  bool ran = false;
  std::string reason;  // why it was skipped; empty when it ran
};

enum class LineKind { error, warning };
struct LineEvent {
  LineKind kind = LineKind::error;
  std::string text;  // Windows-1252, as shown
  std::string phase;
};

struct RunRecord {
  std::string phase = "start";  // the phase running now
  std::vector<PhaseEvent> phases;
  std::vector<FileEvent> files;
  std::vector<LineEvent> lines;
  // phase -> label -> value of its "Label.....: value" lines
  std::map<std::string, std::map<std::string, std::int64_t>> statistics;
  std::uint64_t scanned_records = 0;                // MAB2 records with a number
  std::array<std::uint64_t, kNumberKinds> scanned_numbers{};  // by NumberKind
  bool fatal = false;                                // a fatal check ended the run
  bool strict = false;                               // error lines also go to standard error
};

RunRecord& run_record();

// A line a run shows (XOUT): errors, warnings and statistics are kept. A line saying a
// file of the catalogue "ist nicht vorhanden." counts as an error, as does any line that
// begins with "Error".
void record_line(std::string_view text);
void record_file(FileAction action, std::string_view path, std::string_view reason = {},
                 std::optional<std::uint64_t> records = std::nullopt);
// One MAB2 record found with a number, by its key (see position_table.h).
void record_scanned_number(std::string_view key);

// Whether a shown line tells of an error, a warning or neither.
std::optional<LineKind> line_kind(std::string_view text);
// The label and value of a statistics line "Label.......: 123" (also "123 (45,6%)").
std::optional<std::pair<std::string, std::int64_t>> statistics_of(std::string_view text);
// The kind of number a position-table key stands for.
NumberKind number_kind(std::string_view key);

}  // namespace torvane::app
