#include "app/run_config.h"

#include "files/ini_file.h"
#include "files/paths.h"
#include "text/letter_case.h"
#include "text/value.h"

namespace torvane::app {
namespace {

// Exactly "0" switches a default-on switch off; exactly "1" a default-off one on.
bool on_unless_zero(std::string_view value) { return value != "0"; }
bool on_only_if_one(std::string_view value) { return value == "1"; }

}  // namespace

std::string config_file_for(std::string_view executable) {
  return files::I_FILENOEXT(executable) + ".INI";
}

std::string medium_root_from(std::string_view pfad) {
  pfad = text::trim(pfad);
  if (pfad.empty()) return "";
  if (pfad.size() == 1) return std::string(pfad) + ":\\";
  if (pfad.back() == '\\' || pfad.back() == '/') return std::string(pfad);
  return std::string(pfad) + "\\";
}

std::string first_line_of(std::string_view content) {
  constexpr std::size_t kColumns = 79;
  std::string_view line = content.substr(0, content.find_first_of("\r\n"));
  if (line.size() > kColumns) {
    std::string_view piece = line.substr(0, kColumns);
    // A word that would run past the last column moves to the next piece.
    const std::size_t blank = piece.rfind(' ');
    if (line[kColumns] != ' ' && blank != std::string_view::npos) piece = piece.substr(0, blank);
    line = piece;
  }
  return std::string(text::trim(line));
}

RunConfig read_config(const std::string& config_file) {
  const files::TIni ini(config_file);
  auto text = [&](const char* section, const char* key, const char* fallback) {
    return std::string(text::trim(ini.Get(section, key, fallback).text()));
  };
  RunConfig c;
  c.config_file = config_file;
  c.medium_root = medium_root_from(text("DVD", "Pfad", ""));
  c.medium_name = text("DVD", "Name", "");
  c.dxp_data = on_unless_zero(text("DVD", "DXPData", "1"));
  c.check = on_unless_zero(text("DVD", "Check", "1"));
  c.exclusive = on_unless_zero(text("DVD", "Exklusive", "1"));
  c.index_mode = on_unless_zero(text("DVD", "UseCDX", "1")) ? storage::Variant::cdx : storage::Variant::ntx;
  c.mab_filter_mode = text("MAB", "Filter", "1");
  c.pool_filter = text("MAB", "PoolFilter", "");
  c.field_exclusions = text("MAB", "MAB-Filter", "");
  c.cover = on_only_if_one(text("Download", "Cover", "0"));
  c.cover_to_pool = on_only_if_one(text("Download", "Cover2Pool", "0"));
  c.cover_dbf = text("Download", "CoverDBF", "");
  c.cover_import_dbf = text("Download", "CoverImportDBF", "");
  c.internet = on_only_if_one(text("Download", "Internet", "0"));
  c.start_isbn = text("Download", "Start", "");
  c.stop_percent = text::number_from_text(text("Download", "Stop", "")).whole_number();
  c.download_server = text("Download", "Server", "");
  const long timeout = text::number_from_text(text("Download", "Timeout", "20000")).whole_number();
  c.download_timeout_ms = timeout > 0 ? timeout : 20000;
  return c;
}

}  // namespace torvane::app
