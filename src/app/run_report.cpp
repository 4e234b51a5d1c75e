#include "app/run_report.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace torvane::app {
namespace {

using nlohmann::ordered_json;

constexpr int kSchema = 1;

// Texts of the program are Windows-1252; the document is UTF-8.
std::string utf8(std::string_view cp1252) { return platform::cp1252_to_utf8(cp1252); }

// "2026-12-09T02:13:04.123Z"
std::string utc_time(std::int64_t ns) {
  const std::time_t seconds = static_cast<std::time_t>(ns / 1'000'000'000);
  const std::tm* t = std::gmtime(&seconds);
  if (t == nullptr) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->tm_year + 1900, t->tm_mon + 1,
                t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, static_cast<int>(ns / 1'000'000 % 1000));
  return text;
}

ordered_json phases_of(const RunRecord& record) {
  ordered_json phases = ordered_json::array();
  for (const PhaseEvent& phase : record.phases) {
    ordered_json p{{"name", phase.name}, {"ran", phase.ran}};
    if (!phase.ran) p["reason"] = phase.reason;
    phases.push_back(std::move(p));
  }
  return phases;
}

ordered_json files_of(const RunRecord& record) {
  ordered_json files = ordered_json::array();
  for (const FileEvent& file : record.files) {
    ordered_json f{{"path", utf8(file.path)}, {"action", file_action_name(file.action)}, {"phase", file.phase}};
    f["reason"] = file.reason;
    f["records"] = file.records ? ordered_json(*file.records) : ordered_json(nullptr);
    files.push_back(std::move(f));
  }
  return files;
}

ordered_json messages_of(const RunRecord& record) {
  ordered_json messages = ordered_json::array();
  for (const LineEvent& line : record.lines) {
    messages.push_back({{"level", line.kind == LineKind::error ? "error" : "warning"},
                        {"phase", line.phase},
                        {"text", utf8(line.text)}});
  }
  return messages;
}

ordered_json statistics_of(const RunRecord& record) {
  ordered_json statistics = ordered_json::object();
  for (const auto& [phase, lines] : record.statistics) {
    ordered_json of_phase = ordered_json::object();
    for (const auto& [label, value] : lines) of_phase[utf8(label)] = value;
    statistics[phase] = std::move(of_phase);
  }
  return statistics;
}

ordered_json scan_of(const RunRecord& record) {
  ordered_json numbers = ordered_json::object();
  for (std::size_t kind = 0; kind < kNumberKinds; ++kind)
    numbers[number_kind_name(static_cast<NumberKind>(kind))] = record.scanned_numbers[kind];
  return {{"records", record.scanned_records}, {"numbers", std::move(numbers)}};
}

bool write_file(const std::string& path, std::string_view bytes) {
  platform::File file = platform::File::open(path, platform::Access::read_write, platform::Share::exclusive,
                                             platform::Disposition::create_always);
  if (!file.is_open()) return false;
  const std::span data(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  const bool written = file.write_at(0, data) == static_cast<std::int64_t>(bytes.size()) && file.flush();
  file.close();
  return written;
}

}  // namespace

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok: return "ok";
    case Outcome::errors: return "errors";
    case Outcome::fatal: return "fatal";
    case Outcome::failed: return "failed";
  }
  return "";
}

Outcome outcome_of(const RunRecord& record) {
  if (record.fatal) return Outcome::fatal;
  for (const LineEvent& line : record.lines)
    if (line.kind == LineKind::error) return Outcome::errors;
  return Outcome::ok;
}

int strict_status(Outcome outcome) {
  switch (outcome) {
    case Outcome::ok: return 0;
    case Outcome::errors: return 4;
    case Outcome::fatal: return 3;
    case Outcome::failed: return 1;
  }
  return 1;
}

std::string report_document(const ReportHeader& header, const RunRecord& record,
                            const std::vector<ReportFinding>& findings) {
  ordered_json doc;
  doc["schema"] = kSchema;
  doc["program"] = {{"name", "torvane"}, {"version", header.version}};
  doc["mode"] = header.mode;
  doc["configuration"] = utf8(header.config_file);
  doc["medium"] = {{"given", utf8(header.medium_given)}, {"resolved", utf8(header.medium_resolved)}};
  doc["start"] = utc_time(header.start_ns);
  doc["end"] = utc_time(header.end_ns);
  doc["duration_seconds"] = static_cast<double>(header.end_ns - header.start_ns) / 1e9;
  doc["outcome"] = outcome_name(header.outcome);
  doc["exit_status"] = header.exit_status;
  doc["phases"] = phases_of(record);
  doc["files"] = files_of(record);
  doc["statistics"] = statistics_of(record);
  doc["scan"] = scan_of(record);
  doc["messages"] = messages_of(record);
  if (header.mode == "verify") {
    ordered_json list = ordered_json::array();
    for (const ReportFinding& f : findings)
      list.push_back({{"file", utf8(f.file)}, {"problem", utf8(f.problem)}, {"remedy", utf8(f.remedy)}});
    doc["findings"] = std::move(list);
  }
  return doc.dump(2) + "\n";
}

bool write_report(const std::string& path, const std::string& document) {
  const std::string temporary = path + "~" + std::to_string(platform::process_id()) + ".tmp";
  if (!write_file(temporary, document) || !platform::rename_file(temporary, path)) {
    platform::delete_file(temporary);
    return false;
  }
  return true;
}

}  // namespace torvane::app
