#include "app/verify/verify_findings.h"

#include "app/console.h"
#include "platform/console.h"

namespace torvane::app {

void VerifyFindings::add(std::string_view file, std::string_view problem, std::string_view remedy) {
  VerifyFinding finding{std::string(file), std::string(problem), std::string(remedy)};
  console_line(finding.file + ": " + finding.problem + " - " + finding.remedy);
  findings_.push_back(std::move(finding));
}

void VerifyFindings::add(std::string_view file, const storage::FaultList& faults, std::string_view remedy) {
  for (const std::string& line : faults.lines()) add(file, line, remedy);
}

std::vector<VerifyFinding> VerifyFindings::finish() {
  const std::size_t n = findings_.size();
  console_line("Medium checked: " + std::to_string(files_) + (files_ == 1 ? " file, " : " files, ") +
               (n == 0 ? std::string("no findings.") : std::to_string(n) + (n == 1 ? " finding." : " findings.")));
  platform::console_write("\r\n");  // the shell's prompt on a line of its own
  return std::move(findings_);
}

}  // namespace torvane::app
