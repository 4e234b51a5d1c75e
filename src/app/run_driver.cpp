#include "app/run_driver.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/covers/cover_flags.h"
#include "app/covers/cover_phase.h"
#include "app/medium/report_lines.h"
#include "app/medium_cleanup.h"
#include "app/phase.h"
#include "app/pools/permitted_fields.h"
#include "app/pools/pool_phase.h"
#include "app/run_config.h"
#include "app/verify/medium_verify.h"
#include "files/paths.h"
#include "platform/console.h"
#include "platform/failure.h"
#include "platform/fs.h"
#include "platform/keyboard.h"
#include "platform/medium_guard.h"
#include "storage/cdx_index.h"
#include "storage/ntx_index.h"

namespace torvane::app {
namespace {

// ---- The phase table ---------------------------------------------------------------
// The order is fixed; a row runs when its condition holds and is skipped silently
// otherwise. Every phase closes what it opened before the next row starts.

enum class When {
  always,
  check,                  // `Check` on
  check_and_install_dir,  // `Check` on and the installation directory known
  check_and_pool_ini,     // `Check` on and POOL.INI in the medium root
  cover_dbf,              // `CoverDBF` not empty
  cover_phase,            // `Cover` on, `CoverDBF` not empty, pool table present
  cover_to_pool,          // `Cover2Pool` on and POOL.INI in the medium root
};

struct PhaseRow {
  const char* name;
  PhaseFunction run;
  When when;
};

constexpr PhaseRow kPhases[] = {
    {"stale files of the medium root", &delete_stale_files, When::always},
    {"medium name into the start-up files", &stamp_startup_titles, When::check},
    {"titles of the documentation pages", &stamp_documentation_titles, When::check},
    {"set-up programs of the installation", &check_setup_programs, When::check_and_install_dir},
    {"pool index repair", &pool_index_repair, When::always},
    {"pool phase and pool table", &pool_phase, When::check_and_pool_ini},
    {"cover table index repair", &cover_index_repair, When::cover_dbf},
    {"pool table presence", &pool_table_check, When::always},
    {"cover phase", &cover_phase, When::cover_phase},
    {"cover flags of the pool table", &cover_flags, When::cover_to_pool},
};

// Registers the CDX and NTX table drivers before the configuration is read.
void register_table_drivers() {
  storage::register_cdx_driver();
  storage::register_ntx_driver();
}

bool pool_ini_present(const RunConfig& config) {
  return platform::file_exists(config.medium_root + "POOL.INI");
}

bool holds(When when, const PhaseContext& context) {
  const RunConfig& c = context.config;
  switch (when) {
    case When::always: return true;
    case When::check: return c.check;
    case When::check_and_install_dir: return c.check && !c.install_dir.empty();
    case When::check_and_pool_ini: return c.check && pool_ini_present(c);
    case When::cover_dbf: return !c.cover_dbf.empty();
    case When::cover_phase: return c.cover && !c.cover_dbf.empty() && context.pool_table_present;
    case When::cover_to_pool: return c.cover_to_pool && pool_ini_present(c);
  }
  return false;
}

// ---- Texts -------------------------------------------------------------------------

constexpr const char* kTitle = "TORVANE 3.10.800 (8AV1330)";
constexpr const char* kBanner[] = {
    kTitle,
    "f\xFCr LUMO-/DXP-Daten-Datentr\xE4ger",
    "(c) TORVANE-Entwickler",
    "Alle Rechte vorbehalten.",
};

constexpr const char* kUsage =
    "Aufruf: torvane [--config DATEI]\r\n"
    "\r\n"
    "Bereitet einen LUMO-/DXP-Datentr\xE4ger vor dem Mastern vor. Ohne Argumente liest\r\n"
    "das Programm die INI-Datei neben der Programmdatei.\r\n"
    "\r\n"
    "  --config DATEI  diese Konfigurationsdatei lesen\r\n"
    "  --help          diese Hilfe zeigen\r\n"
    "  --version       die Version zeigen\r\n"
    "\r\n"
    "Schl\xFCssel der INI-Datei (Vorgabe in Klammern; Schalter: nur genau 0 bzw. 1 z\xE4hlt):\r\n"
    "  [DVD]      Pfad=Ordner des Datentr\xE4gers (ein Buchstabe: Laufwerk)   Name=Datentr\xE4ger-Name\r\n"
    "             Check=1  DXPData=1  Exklusive=1 (0: geteilt)  UseCDX=1 (0: NTX-Indizes)\r\n"
    "  [MAB]      Filter=1 (0: keine Pr\xFC" "fung, 2: immer filtern)  PoolFilter=POOL1;POOL2\r\n"
    "             MAB-Filter=ausgenommene Feldkennungen (700*, 540a)\r\n"
    "  [Download] Cover=0  Cover2Pool=0  CoverDBF=Covertabelle  CoverImportDBF=Importtabelle\r\n"
    "             Internet=0  Start=ISBN  Stop=Prozent (0: kein Halt)\r\n"
    "             Server=Host[:Port] des Bildservers  Timeout=20000 (ms je Wartezeit)\r\n"
    "\r\n"
    "Exit-Status: 0 bei jedem geordneten Ende, 1 nach einem unerwarteten Fehler (error.log).\r\n"
    "Esc bricht lange Durchl\xE4ufe ab; ohne Terminal wartet das Programm nie auf eine Taste.\r\n";

// ---- The run -----------------------------------------------------------------------

void print_banner() {
  XOUT();
  for (const char* text : kBanner) XOUT(framed_line(text));
  XOUT();
  XOUT();
}

int fatal(std::string_view message) {
  XOUT(message);
  XOUT();
  key_prompt();
  return 0;
}

void print_summary(const RunConfig& c) {
  if (!c.medium_name.empty()) XOUT(summary_line("Datentr\xE4ger-Name", c.medium_name));
  XOUT(summary_line("Datentr\xE4ger-Pfad", c.medium_root));
  if (!c.medium_version.empty()) XOUT(summary_line("TAV-Version", c.medium_version));
  if (!c.install_dir.empty()) XOUT(summary_line("TAV-Verzeichnis", c.install_dir));
  if (c.check) XOUT(summary_line("Pool-Pr\xFC" "fung", c.pool_filter));
  XOUT(summary_line("Indexdatei", c.index_extension()));
  XOUT();
  if (c.check) XOUT("Beginne mit \xDC" "berp\xFC" "fung...");
}

std::string first_line_of_file(const std::string& path) {
  return first_line_of(platform::read_whole_file(path).value_or(""));
}

int run(const std::string& config_file) {
  const PermittedFields permitted_fields = PermittedFields::standard();  // before any output
  platform::set_failure_log([](const std::string& line) { append_run_log(line); });
  delete_run_log();
  print_banner();

  register_table_drivers();
  RunConfig config = read_config(config_file);

  if (config.medium_root.empty()) return fatal("Error: ORVA Media-CD kann nicht gefunden werden.");
  if (config.check && config.medium_name.empty()) {
    return fatal("Error: Kein Datentr\xE4ger-Name in " + config.config_file + ".");
  }
  if (config.check && config.dxp_data && !pool_ini_present(config)) {
    return fatal("Error: POOL.INI der LUMO-/DXP-Daten-DVD ist nicht in " + config.medium_root +
                 " vorhanden.");
  }
  // One run per medium, held to the end of the run (or of the process), before the
  // first change on the medium. Granted, it prints nothing.
  const platform::MediumGuard guard = platform::MediumGuard::take(config.medium_root);
  if (guard.state() == platform::MediumGuard::State::busy) {
    return fatal("Error: Auf dem Datentr\xE4ger " + config.medium_root + " arbeitet bereits ein anderer Lauf.");
  }
  config.medium_version = first_line_of_file(config.medium_root + "VERSION.TXT");
  config.install_dir = first_line_of_file(config.medium_root + "VERINST.TXT");
  print_summary(config);

  PhaseContext context{config, permitted_fields};
  for (const PhaseRow& row : kPhases) {
    if (holds(row.when, context)) row.run(context);
  }

  XOUT();
  XOUT("=> Fertig!");
  XOUT();
  XOUT();
  key_prompt();
  return 0;
}

void print(std::string_view text) { platform::console_write(text); }

// The check before mastering: the configuration, then the medium, read only. Status 0
// when everything holds, 5 when something does not.
int verify(const std::string& config_file) {
  register_table_drivers();
  const RunConfig config = read_config(config_file);
  const std::vector<VerifyFinding> findings = verify_medium(config, files::I_EXENAME());
  return findings.empty() ? 0 : 5;
}

}  // namespace

int run_program(int argc, char** argv) {
  const CommandLine line = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (!line.error.empty()) {
    std::fprintf(stderr, "torvane: %s (--help zeigt die Aufrufform)\n", line.error.c_str());
    return 2;
  }
  if (line.mode == RunMode::help) {
    print(kUsage);
    return 0;
  }
  if (line.mode == RunMode::version) {
    print(std::string(kTitle) + "\r\n");
    return 0;
  }
  const std::string config_file = line.config_file.empty() ? config_file_for(files::I_EXENAME()) : line.config_file;
  if (line.mode == RunMode::verify) return verify(config_file);
  platform::keyboard_start();
  const int status = run(config_file);
  print("\r\n");  // the shell's prompt on a line of its own
  platform::keyboard_restore();
  return status;
}

}  // namespace torvane::app
