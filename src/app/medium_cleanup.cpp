#include "app/medium_cleanup.h"

#include <string>

#include "app/console.h"
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
  XOUT("Titel-Eintrag in " + std::string(path) + " ge\xE4ndert.");
}

// Replaces the current line and reports it. A rewrite that fails leaves the file as
// it was and claims nothing.
void replace_line(files::TTxtFile& file, std::string_view text, std::string_view path) {
  if (file.RepLine(text)) report_changed(path);
}

void stamp_startup_file(const std::string& path, std::string_view medium_name) {
  const files::TIni ini(path);
  const std::string title = ini.Get("Main", "Title", "").text();
  if (without_trailing_blanks(title) == without_trailing_blanks(medium_name)) return;

  // A file that cannot be opened for reading and writing reads as empty: left alone.
  files::TTxtFile file(path, 2);
  const std::string new_line = "Title=" + std::string(medium_name);
  bool in_main = false;
  while (!file.lEoF()) {
    const std::string line = folded(file.ReadLn());
    // Any "[" ends or starts a section, so "Title=[Alt]" leaves [Main] before the test.
    if (line.find('[') != std::string::npos) in_main = line == "[MAIN]";
    if (in_main && line.compare(0, 6, "TITLE=") == 0) replace_line(file, new_line, path);
    file.Skip(1);
  }
  file.End();
}

void stamp_start_page(const std::string& path) {
  if (!platform::file_exists(path)) return;
  files::TTxtFile file(path, 2);
  while (!file.lEoF()) {
    if (folded(file.ReadLn()) == kEmptyHead) replace_line(file, kTitledHead, path);
    file.Skip(1);
  }
  file.End();
}

}  // namespace

void delete_stale_files(std::string_view medium_root) {
  for (const char* name : kStaleFiles) XDELETEFILE(std::string(medium_root) + name);
}

void stamp_startup_titles(std::string_view medium_root, std::string_view medium_name) {
  const std::string root(medium_root);
  for (const std::string& name : platform::list_files(root + "bin", "*.cdm")) {
    stamp_startup_file(root + "BIN\\" + name, medium_name);
  }
}

void stamp_documentation_titles(std::string_view medium_root) {
  for (const char* page : kStartPages) stamp_start_page(std::string(medium_root) + page);
}

void check_setup_programs(std::string_view medium_root, std::string_view install_dir) {
  // Without its drive: C:\TAV gives the medium root + "\TAV" (the doubled separator is
  // shown as built; the file system reads it as one).
  const std::string dir = std::string(medium_root) + text::CUTLEFT(install_dir, 2);
  for (const char* program : {"\\SETUP.EXE", "\\INSTALL.EXE"}) {
    const std::string path = dir + program;
    if (!platform::file_exists(path)) XOUT("Error: Datei " + path + " ist nicht vorhanden.");
  }
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

}  // namespace torvane::app
