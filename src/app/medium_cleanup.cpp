#include "app/medium_cleanup.h"

#include <string>

#include "app/console.h"
#include "app/run_record.h"
#include "files/ini_file.h"
#include "files/line_file.h"
#include "platform/fs.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

constexpr const char* kStaleFiles[] = {"INSTALL.ERR", "ERROR.LOG", "MEDIACD.GID", "POOL.DBU",
                                       "BIN\\MEDIACD.GID"};
constexpr const char* kStartPages[] = {"DOKU\\HTML\\INDEX.HTM", "DOKU\\EURO\\INDEX.HTM"};
constexpr std::string_view kEmptyHead = "<HTML><HEAD></HEAD>";
constexpr std::string_view kTitledHead = "<html><head><title>ORVA-Dokumentation</title></head>";

std::string_view without_trailing_blanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The line as the scans compare it: without surrounding blanks, upper-cased.
std::string folded(std::string_view line) { return text::upper(text::trim(line)); }

void report_changed(std::string_view path) {
  record_file(FileAction::stamped, path, "medium name");
  XOUT("Titel-Eintrag in " + std::string(path) + " ge\xE4ndert.");
}

// Replaces the current line and reports it. A rewrite that fails leaves the file as
// it was and claims nothing. A dry run only says what would change.
void replace_line(files::TTxtFile& file, std::string_view text, std::string_view path, bool dry) {
  if (dry) {
    console_line("Titel-Eintrag in " + std::string(path) + " w\xFCrde ge\xE4ndert.");
  } else if (file.RepLine(text)) {
    report_changed(path);
  }
}

// A dry run opens the file for reading only.
int open_mode(bool dry) { return dry ? 0 : 2; }

void stamp_startup_file(const std::string& path, std::string_view medium_name, bool dry) {
  const files::TIni ini(path);
  const std::string title = ini.Get("Main", "Title", "").text();
  if (without_trailing_blanks(title) == without_trailing_blanks(medium_name)) return;

  // A file that cannot be opened for reading and writing reads as empty: left alone.
  files::TTxtFile file(path, open_mode(dry));
  const std::string new_line = "Title=" + std::string(medium_name);
  bool in_main = false;
  while (!file.lEoF()) {
    const std::string line = folded(file.ReadLn());
    // Any "[" ends or starts a section, so "Title=[Alt]" leaves [Main] before the test.
    if (line.find('[') != std::string::npos) in_main = line == "[MAIN]";
    if (in_main && line.compare(0, 6, "TITLE=") == 0) replace_line(file, new_line, path, dry);
    file.Skip(1);
  }
  file.End();
}

void stamp_start_page(const std::string& path, bool dry) {
  if (!platform::file_exists(path)) return;
  files::TTxtFile file(path, open_mode(dry));
  while (!file.lEoF()) {
    if (folded(file.ReadLn()) == kEmptyHead) replace_line(file, kTitledHead, path, dry);
    file.Skip(1);
  }
  file.End();
}

// What a dry run says of a file that a run would delete.
void would_delete(const std::string& path) {
  if (platform::file_exists(path)) console_line("Datei " + path + " w\xFCrde gel\xF6scht.");
}

std::string installation_folder(std::string_view medium_root, std::string_view install_dir) {
  // Without its drive: C:\TAV gives the medium root + "\TAV" (the doubled separator is
  // shown as built; the file system reads it as one).
  return std::string(medium_root) + text::CUTLEFT(install_dir, 2);
}

void look_for_setup_programs(const std::string& dir, void (*show)(std::string_view)) {
  for (const char* program : {"\\SETUP.EXE", "\\INSTALL.EXE"}) {
    const std::string path = dir + program;
    if (!platform::file_exists(path)) show("Error: Datei " + path + " ist nicht vorhanden.");
  }
}

}  // namespace

void delete_stale_files(std::string_view medium_root) {
  for (const char* name : kStaleFiles) XDELETEFILE(std::string(medium_root) + name);
}

void stamp_startup_titles(std::string_view medium_root, std::string_view medium_name, bool dry) {
  const std::string root(medium_root);
  for (const std::string& name : platform::list_files(root + "bin", "*.cdm")) {
    stamp_startup_file(root + "BIN\\" + name, medium_name, dry);
  }
}

void stamp_documentation_titles(std::string_view medium_root, bool dry) {
  for (const char* page : kStartPages) stamp_start_page(std::string(medium_root) + page, dry);
}

void check_setup_programs(std::string_view medium_root, std::string_view install_dir) {
  const std::string dir = installation_folder(medium_root, install_dir);
  look_for_setup_programs(dir, [](std::string_view line) { XOUT(line); });
  XDELETEFILE(dir + "\\ERROR.LOG");
}

void delete_stale_files(PhaseContext& context) { delete_stale_files(context.config.medium_root); }

void stamp_startup_titles(PhaseContext& context) {
  stamp_startup_titles(context.config.medium_root, context.config.medium_name);
}

void stamp_documentation_titles(PhaseContext& context) {
  stamp_documentation_titles(context.config.medium_root);
}

void check_setup_programs(PhaseContext& context) {
  check_setup_programs(context.config.medium_root, context.config.install_dir);
}

// ---- What a dry run says -------------------------------------------------------------

void plan_stale_files(PhaseContext& context) {
  for (const char* name : kStaleFiles) would_delete(context.config.medium_root + name);
}

void plan_startup_titles(PhaseContext& context) {
  stamp_startup_titles(context.config.medium_root, context.config.medium_name, true);
}

void plan_documentation_titles(PhaseContext& context) { stamp_documentation_titles(context.config.medium_root, true); }

void plan_setup_programs(PhaseContext& context) {
  const std::string dir = installation_folder(context.config.medium_root, context.config.install_dir);
  look_for_setup_programs(dir, [](std::string_view line) { console_line(line); });
  would_delete(dir + "\\ERROR.LOG");
}

}  // namespace torvane::app
