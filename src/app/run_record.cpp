#include "app/run_record.h"

#include <cstdio>

#include "platform/console.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

const char* file_action_name(FileAction action) {
  switch (action) {
    case FileAction::deleted: return "deleted";
    case FileAction::stamped: return "stamped";
    case FileAction::filtered: return "filtered";
    case FileAction::backed_up: return "backed up";
    case FileAction::built: return "built";
    case FileAction::repaired: return "repaired";
  }
  return "";
}

RunRecord& run_record() {
  static RunRecord record;
  return record;
}

std::optional<LineKind> line_kind(std::string_view text) {
  if (text.starts_with("Error")) return LineKind::error;
  if (text.starts_with("Warnung: ")) return LineKind::warning;
  if (text.ends_with(" ist nicht vorhanden.")) return LineKind::error;
  return std::nullopt;
}

std::optional<std::pair<std::string, std::int64_t>> statistics_of(std::string_view text) {
  const std::size_t colon = text.find("..:");
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view value = text::trim(text.substr(colon + 3));
  value = value.substr(0, value.find(' '));
  if (!all_digits(value) || value.size() > 18) return std::nullopt;
  std::string_view label = text.substr(0, colon);
  while (!label.empty() && label.back() == '.') label.remove_suffix(1);
  return std::make_pair(std::string(text::trim(label)), std::stoll(std::string(value)));
}

const char* number_kind_name(NumberKind kind) {
  switch (kind) {
    case NumberKind::isbn: return "isbn";
    case NumberKind::issn: return "issn";
    case NumberKind::ismn: return "ismn";
    case NumberKind::ean: return "ean";
  }
  return "";
}

NumberKind number_kind(std::string_view key) {
  key = text::trim(key);
  if (key.starts_with("M") || key.starts_with("9790")) return NumberKind::ismn;
  if (key.starts_with("977") || key.size() == 8) return NumberKind::issn;  // an ISSN is kept as its 8 characters
  if (key.size() == 13 && (key.starts_with("978") || key.starts_with("979"))) return NumberKind::isbn;
  return NumberKind::ean;
}

void record_line(std::string_view text) {
  RunRecord& record = run_record();
  if (const auto kind = line_kind(text)) {
    record.lines.push_back({*kind, std::string(text), record.phase});
    if (record.strict && *kind == LineKind::error) {
      const std::string shown = platform::cp1252_to_utf8(text) + "\n";
      std::fputs(shown.c_str(), stderr);
    }
  } else if (record.phase != "start") {
    if (const auto statistic = statistics_of(text)) record.statistics[record.phase][statistic->first] = statistic->second;
  }
}

void record_file(FileAction action, std::string_view path, std::string_view reason,
                 std::optional<std::uint64_t> records) {
  RunRecord& record = run_record();
  record.files.push_back({action, std::string(path), std::string(reason), records, record.phase});
}

void record_scanned_number(std::string_view key) {
  RunRecord& record = run_record();
  ++record.scanned_records;
  ++record.scanned_numbers[static_cast<std::size_t>(number_kind(key))];
}

}  // namespace torvane::app
