#pragma once
// The run report: a JSON document (UTF-8) about one run, for scripts. Written under a
// temporary name beside the file and renamed into place, so a reader never sees half a
// report; written at every end of a run, also after a fatal check or an unexpected
// failure. Its layout (schema 1) is described in the README, "The run report".

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_record.h"

namespace torvane::app {

enum class Outcome { ok, errors, fatal, failed };
const char* outcome_name(Outcome outcome);

// How a run went, from its record: a fatal check, else errors when it showed an error
// line, else ok. (An unexpected failure is known only to the failure handler.)
Outcome outcome_of(const RunRecord& record);

// The exit status under --strict: 0 ok, 4 errors, 3 fatal, 1 failed.
int strict_status(Outcome outcome);

struct ReportHeader {
  std::string mode;            // "prepare", "verify", "dry-run"
  std::string version;
  std::string config_file;
  std::string medium_given;    // the medium root as the configuration gives it
  std::string medium_resolved; // where it lies on disk; empty when it is not there
  std::int64_t start_ns = 0;   // wall clock, nanoseconds since 1970
  std::int64_t end_ns = 0;
  Outcome outcome = Outcome::ok;
  int exit_status = 0;
};

struct ReportFinding {
  std::string file, problem, remedy;
};

// The document as text.
std::string report_document(const ReportHeader& header, const RunRecord& record,
                            const std::vector<ReportFinding>& findings = {});
// Writes it to path (temporary name, then rename). False when it could not be written.
bool write_report(const std::string& path, const std::string& document);

}  // namespace torvane::app
