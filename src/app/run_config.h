#pragma once
// The configuration of one run, read once at start and handed to the phases, and how
// it is read. Texts are
// Windows-1252 and trimmed; paths are as the program builds them (Windows form).

#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_error.h"

namespace torvane::app {

struct RunConfig {
  std::string config_file;      // the configuration file name
  std::string medium_root;      // `Pfad`, normalised: always ends in "\"
  std::string medium_name;      // `Name`
  bool check = true;            // `Check`
  bool dxp_data = true;         // `DXPData`
  bool exclusive = true;        // `Exklusive`: tables opened exclusively, else shared
  storage::Variant index_mode = storage::Variant::cdx;  // `UseCDX`
  std::string mab_filter_mode = "1";  // `Filter`
  std::string pool_filter;      // `PoolFilter`
  std::string field_exclusions; // `MAB-Filter`
  bool cover = false;           // `Cover`
  bool cover_to_pool = false;   // `Cover2Pool`
  bool internet = false;        // `Internet`
  std::string cover_dbf;        // `CoverDBF`
  std::string cover_import_dbf; // `CoverImportDBF`
  std::string not_found_dbf;    // `NotFoundDBF`: the not-found table; empty: beside the cover table or the executable
  std::string start_isbn;       // `Start`
  long stop_percent = 0;        // `Stop`; 0 = no stop
  std::string download_server;  // `Download` `Server`: [http:// | https://]host[:port]
  std::string ca_file;          // `Download` `CAFile`: PEM file of roots trusted besides the system's
  long download_timeout_ms = 20000;  // `Download` `Timeout`
  long connections = 1;         // [Download] Connections: exchanges in flight, 1..16
  std::string medium_version;   // first line of VERSION.TXT
  std::string install_dir;      // first line of VERINST.TXT
  // "Warnung: " lines about the configuration file (missing, unknown keys, values no
  // switch knows, characters without a Windows-1252 byte), printed after the banner.
  std::vector<std::string> warnings;

  // ".cdx" or ".ntx"
  const char* index_extension() const { return index_mode == storage::Variant::cdx ? ".cdx" : ".ntx"; }
};

// The configuration file beside an executable: cut before the first point of its
// file-name part, + ".INI".
std::string config_file_for(std::string_view executable);
// `Pfad` (trimmed) as the medium root: one character is a drive ("E" -> "E:\"),
// otherwise "\" appended unless the value already ends in a separator. "" stays "".
std::string medium_root_from(std::string_view pfad);
// The first line of a text file's content (up to the first line end), wrapped at 79
// columns with only the first piece taken, trimmed.
std::string first_line_of(std::string_view content);
// Every key of the configuration file, trimmed, with the switches derived (a switch
// changes only for the exact text "0" or "1"). Version texts are not read here.
// A file in UTF-8 (with a byte-order mark, or valid UTF-8 with multi-byte characters)
// has its texts converted to Windows-1252; paths are kept as written, since they name
// files of this system. What looks like a mistake is left in `warnings`: the run goes
// on as the keys are read. `Internet` without a `Server` is switched off, since the
// built-in server name never answers.
RunConfig read_config(const std::string& config_file);

// The warning for a medium folder that is not there, naming the folder it was looked
// for as this system sees it when that differs (a drive "D:\DVD\" is "/mnt/d/dvd");
// "" when the folder exists.
std::string missing_medium_folder_warning(std::string_view medium_root);

}  // namespace torvane::app
