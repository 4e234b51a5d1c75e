#pragma once
// The findings of a medium check as they are shown: one console line per finding,
// naming the file, what is wrong and what mends it, then one summary line. Console
// only: the check writes no run log.
//
//   /srv/dvd\POOL1\pool1.cdx: key of record 17 differs from its ISBN - delete it; the next run rebuilds it
//   Medium checked: 14 files, 1 finding.

#include <string>
#include <string_view>
#include <vector>

#include "app/verify/medium_verify.h"
#include "storage/fault_list.h"

namespace torvane::app {

// What mends a finding, in the words the lines use.
inline constexpr std::string_view kRebuild = "delete it; the next run rebuilds it";
inline constexpr std::string_view kNextRun = "the next run rebuilds it";
inline constexpr std::string_view kFixCatalogue = "correct POOL.INI";
inline constexpr std::string_view kCoverTable =
    "restore it from a backup, or delete it with its .cdx and .fpt files; the next run with Cover=1 fills it anew";
inline constexpr std::string_view kNotFoundTable =
    "delete it with its .cdx file; the next run with Internet=1 asks the image server again";

class VerifyFindings {
 public:
  // Prints and keeps one finding.
  void add(std::string_view file, std::string_view problem, std::string_view remedy);
  // One finding per kind of fault of a file.
  void add(std::string_view file, const storage::FaultList& faults, std::string_view remedy);
  // A file whose content was judged, for the summary.
  void checked() { ++files_; }
  // Prints the summary line and hands the findings over.
  std::vector<VerifyFinding> finish();

 private:
  std::vector<VerifyFinding> findings_;
  std::size_t files_ = 0;
};

}  // namespace torvane::app
