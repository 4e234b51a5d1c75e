#pragma once
// The configuration of one run, read once at start and handed to the phases, and how
// it is read. Texts are
// Windows-1252 and trimmed; paths are as the program builds them (Windows form).

#include <string>
#include <string_view>

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
  std::string start_isbn;       // `Start`
  long stop_percent = 0;        // `Stop`; 0 = no stop
  std::string download_server;  // `Download` `Server`: host or host:port
  long download_timeout_ms = 20000;  // `Download` `Timeout`
  std::string medium_version;   // first line of VERSION.TXT
  std::string install_dir;      // first line of VERINST.TXT

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
RunConfig read_config(const std::string& config_file);

}  // namespace torvane::app
