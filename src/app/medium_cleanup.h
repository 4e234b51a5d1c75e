#pragma once
// Medium clean-up and title stamping, the first four rows of the phase table:
//   1. stale files left in the medium root by installations and help viewers are
//      deleted;
//   2. the medium's name is stamped into the "Title=" entries of the [Main] sections of
//      the start-up definition files BIN\*.cdm;
//   3. the empty head of the two documentation start pages gets a title;
//   4. the set-up programs are looked for in the installation directory, whose error
//      log is deleted.
// Each step reports through XOUT and never stops the run. Files are rewritten in place
// through the text line file, whole lines at a time.

#include <string_view>

#include "app/phase.h"

namespace torvane::app {

// Row 1 (always).
void delete_stale_files(PhaseContext& context);
// Row 2 (`Check` on).
void stamp_startup_titles(PhaseContext& context);
// Row 3 (`Check` on).
void stamp_documentation_titles(PhaseContext& context);
// Row 4 (`Check` on and the installation directory known).
void check_setup_programs(PhaseContext& context);

// The same rows in a dry run: what they would delete or change, on the console only.
void plan_stale_files(PhaseContext& context);
void plan_startup_titles(PhaseContext& context);
void plan_documentation_titles(PhaseContext& context);
void plan_setup_programs(PhaseContext& context);

// The steps with their inputs spelled out. medium_root ends in "\". A dry stamp only
// says what it would change.
void delete_stale_files(std::string_view medium_root);
void stamp_startup_titles(std::string_view medium_root, std::string_view medium_name, bool dry = false);
void stamp_documentation_titles(std::string_view medium_root, bool dry = false);
void check_setup_programs(std::string_view medium_root, std::string_view install_dir);

}  // namespace torvane::app
