#include "app/run_driver.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/covers/cover_flags.h"
#include "app/covers/cover_plan.h"
#include "app/covers/cover_phase.h"
#include "app/medium/report_lines.h"
#include "app/medium_cleanup.h"
#include "app/phase.h"
#include "app/pools/permitted_fields.h"
#include "app/pools/pool_phase.h"
#include "app/run_config.h"
#include "app/run_record.h"
#include "app/run_report.h"
#include "app/verify/medium_verify.h"
#include "files/paths.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/failure.h"
#include "platform/fs.h"
#include "platform/keyboard.h"
#include "platform/medium_guard.h"
#include "platform/path.h"
#include "storage/cdx_index.h"
#include "storage/ntx_index.h"
#include "text/letter_case.h"

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

// A dry run calls each row's plan instead, which says what the row would do and
// changes nothing; a row without a plan says nothing.
struct PhaseRow {
  const char* name;
  PhaseFunction run;
  PhaseFunction plan;
  When when;
};

constexpr PhaseRow kPhases[] = {
    {"stale files of the medium root", &delete_stale_files, &plan_stale_files, When::always},
    {"medium name into the start-up files", &stamp_startup_titles, &plan_startup_titles, When::check},
    {"titles of the documentation pages", &stamp_documentation_titles, &plan_documentation_titles, When::check},
    {"set-up programs of the installation", &check_setup_programs, &plan_setup_programs, When::check_and_install_dir},
    {"pool index repair", &pool_index_repair, &plan_pool_index_repair, When::always},
    {"pool phase and pool table", &pool_phase, &plan_pool_phase, When::check_and_pool_ini},
    {"cover table index repair", &cover_index_repair, nullptr, When::cover_dbf},
    {"pool table presence", &pool_table_check, &plan_pool_table_check, When::always},
    {"cover phase", &cover_phase, &plan_cover_phase, When::cover_phase},
    {"cover flags of the pool table", &cover_flags, &plan_cover_flags, When::cover_to_pool},
};

// Registers the CDX and NTX table drivers before the configuration is read.
void register_table_drivers() {
  storage::register_cdx_driver();
  storage::register_ntx_driver();
}

bool pool_ini_present(const RunConfig& config) {
  return platform::file_exists(config.medium_root + "POOL.INI");
}

// Why a row is skipped; nothing when it runs.
std::optional<std::string> skip_reason(When when, const PhaseContext& context) {
  const RunConfig& c = context.config;
  const auto unless = [](bool runs, const char* reason) { return runs ? std::nullopt : std::optional<std::string>(reason); };
  switch (when) {
    case When::always: return std::nullopt;
    case When::check: return unless(c.check, "Check is off");
    case When::check_and_install_dir:
      if (!c.check) return "Check is off";
      return unless(!c.install_dir.empty(), "no installation directory in VERINST.TXT");
    case When::check_and_pool_ini:
      if (!c.check) return "Check is off";
      return unless(pool_ini_present(c), "no POOL.INI in the medium root");
    case When::cover_dbf: return unless(!c.cover_dbf.empty(), "CoverDBF is empty");
    case When::cover_phase:
      if (!c.cover) return "Cover is off";
      if (c.cover_dbf.empty()) return "CoverDBF is empty";
      return unless(context.pool_table_present, "no pool table");
    case When::cover_to_pool:
      if (!c.cover_to_pool) return "Cover2Pool is off";
      return unless(pool_ini_present(c), "no POOL.INI in the medium root");
  }
  return std::nullopt;
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
    "Aufruf: torvane [--config DATEI] [--strict] [--report DATEI] [--verify | --dry-run]\r\n"
    "\r\n"
    "Bereitet einen LUMO-/DXP-Datentr\xE4ger vor dem Mastern vor. Ohne Argumente liest\r\n"
    "das Programm die INI-Datei neben der Programmdatei.\r\n"
    "\r\n"
    "  --config DATEI  diese Konfigurationsdatei lesen\r\n"
    "  --strict        der Exit-Status sagt, wie der Lauf ausging; Fehlerzeilen auch auf stderr\r\n"
    "  --report DATEI  einen Laufbericht (JSON) in DATEI schreiben\r\n"
    "  --verify        den vorbereiteten Datentr\xE4ger nur lesend pr\xFC" "fen\r\n"
    "  --dry-run       zeigen, was ein Lauf t\xE4te, ohne etwas zu \xE4ndern\r\n"
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
    "             Server=[http://|https://]Host[:Port] des Bildservers  Timeout=20000 (ms je Wartezeit)\r\n"
    "             CAFile=PEM-Datei mit weiteren Stammzertifikaten f\xFCr https://\r\n"
    "             Connections=1 (1 bis 16 Abrufe zugleich)  NotFoundDBF=Tabelle oder Ordner\r\n"
    "\r\n"
    "Exit-Status: 0 bei jedem geordneten Ende, 1 nach einem unerwarteten Fehler (error.log),\r\n"
    "  2 bei falschem Aufruf. Mit --strict: 0 ohne Fehler, 3 Abbruch bei einer Startpr\xFC" "fung,\r\n"
    "  4 fertig, aber mit Fehlern, 1 unerwarteter Fehler. --verify: 0 alles stimmt, 5 sonst.\r\n"
    "Esc bricht lange Durchl\xE4ufe ab; ohne Terminal wartet das Programm nie auf eine Taste.\r\n";

// ---- The report ----------------------------------------------------------------------
// Every way out of a run ends here: the orderly end, a fatal check, and an unexpected
// failure (through the failure handler's quit hook).

struct Reporting {
  std::string file;  // --report; empty: none
  bool strict = false;
  ReportHeader header;
  std::vector<ReportFinding> findings;
};

Reporting& reporting() {
  static Reporting r;
  return r;
}

void note_configuration(const RunConfig& config) {
  ReportHeader& h = reporting().header;
  h.config_file = config.config_file;
  h.medium_given = config.medium_root;
  if (!config.medium_root.empty() && platform::directory_exists(config.medium_root))
    h.medium_resolved = platform::real_location(config.medium_root).value_or("");
}

// Writes the report when one was asked for; returns the exit status: under --strict the
// outcome's, else `status`.
int finish(Outcome outcome, int status) {
  Reporting& r = reporting();
  const int exit_status = r.strict && r.header.mode == "prepare" ? strict_status(outcome) : status;
  if (r.file.empty()) return exit_status;
  r.header.end_ns = platform::wall_clock_nanoseconds();
  r.header.outcome = outcome;
  r.header.exit_status = exit_status;
  if (!write_report(r.file, report_document(r.header, run_record(), r.findings)))
    std::fprintf(stderr, "torvane: Bericht %s konnte nicht geschrieben werden\n", r.file.c_str());
  return exit_status;
}

// What mends a damaged index that stopped the run: the next run builds a missing index
// anew. Nothing for any other failure.
std::optional<std::string> remedy_for(const platform::Failure& failure) {
  const std::string lower = text::lower(failure.damaged_file);
  if (!lower.ends_with(".cdx") && !lower.ends_with(".ntx")) return std::nullopt;
  return "Hinweis: Datei " + failure.damaged_file + " ist besch\xE4" "digt; wird sie gel\xF6scht, legt der n\xE4" "chste Lauf sie neu an.";
}

void start_reporting(const CommandLine& line, const std::string& config_file) {
  Reporting& r = reporting();
  r.file = line.report_file;
  r.strict = line.strict;
  run_record().strict = line.strict;
  r.header.mode = line.mode == RunMode::verify ? "verify" : line.mode == RunMode::dry_run ? "dry-run" : "prepare";
  r.header.version = kTitle;
  r.header.config_file = config_file;
  r.header.start_ns = platform::wall_clock_nanoseconds();
  platform::set_quit_hook([](const platform::Failure& failure) {
    record_line(failure.message);
    if (const auto hint = remedy_for(failure)) {
      console_line(*hint);
      append_run_log(*hint);
    }
    finish(Outcome::failed, 1);
  });
}

// ---- The run -----------------------------------------------------------------------

void print_banner() {
  XOUT();
  for (const char* text : kBanner) XOUT(framed_line(text));
  XOUT();
  XOUT();
}

int fatal(std::string_view message) {
  run_record().fatal = true;
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

int run(const std::string& config_file, bool dry) {
  const PermittedFields permitted_fields = PermittedFields::standard();  // before any output
  if (dry) set_run_log("");  // a dry run leaves no trace on disk, not even its log
  platform::set_failure_log([](const std::string& line) { append_run_log(line); });
  delete_run_log();
  print_banner();

  register_table_drivers();
  RunConfig config = read_config(config_file);
  note_configuration(config);
  for (const std::string& warning : config.warnings) XOUT(warning);

  if (config.medium_root.empty()) return fatal("Error: ORVA Media-CD kann nicht gefunden werden.");
  if (config.check && config.medium_name.empty()) {
    return fatal("Error: Kein Datentr\xE4ger-Name in " + config.config_file + ".");
  }
  if (const std::string warning = missing_medium_folder_warning(config.medium_root); !warning.empty()) XOUT(warning);
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
  if (dry) console_line("Probelauf: es wird nichts ge\xE4ndert, nur gezeigt, was ein Lauf t\xE4te.");
  RunRecord& record = run_record();
  for (const PhaseRow& row : kPhases) {
    const std::optional<std::string> skipped = skip_reason(row.when, context);
    record.phases.push_back({row.name, !skipped, skipped.value_or("")});
    if (skipped) continue;
    record.phase = row.name;
    if (!dry) {
      row.run(context);
    } else if (row.plan != nullptr) {
      row.plan(context);
    }
  }
  record.phase = "end";

  XOUT();
  XOUT(dry ? "=> Probelauf beendet." : "=> Fertig!");
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
  note_configuration(config);
  for (const std::string& warning : config.warnings) {
    console_line(warning);  // the check writes no run log
    record_line(warning);
  }
  const std::vector<VerifyFinding> findings = verify_medium(config, files::I_EXENAME());
  for (const VerifyFinding& f : findings) reporting().findings.push_back({f.file, f.problem, f.remedy});
  finish(findings.empty() ? Outcome::ok : Outcome::errors, findings.empty() ? 0 : 5);
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
  start_reporting(line, config_file);
  if (line.mode == RunMode::verify) return verify(config_file);
  platform::keyboard_start();
  const int status = run(config_file, line.mode == RunMode::dry_run);
  print("\r\n");  // the shell's prompt on a line of its own
  platform::keyboard_restore();
  return finish(outcome_of(run_record()), status);
}

}  // namespace torvane::app
