#include "app/pools/pool_catalogue.h"

#include "fileutil/library.h"
#include "fileutil/tinifile.h"

namespace torvane::app {
namespace {

std::string value_of(const fileutil::TIni& ini, std::string_view section, std::string_view key) {
  return std::string(fileutil::trim(ini.Get(section, key, "").text()));
}

}  // namespace

std::string pool_ini_path(std::string_view medium_root) { return std::string(medium_root) + "POOL.INI"; }

void for_each_pool(std::string_view ini_path, int limit,
                   const std::function<void(int number, const std::string& section)>& visit) {
  const fileutil::TIni ini{std::string(ini_path)};
  for (int n = 1; n <= limit; ++n) {
    const std::string section = value_of(ini, "Pool", std::to_string(n));
    if (section.empty()) return;
    visit(n, section);
  }
}

std::string_view index_extension(storage::Variant index_mode) {
  return index_mode == storage::Variant::cdx ? "cdx" : "ntx";
}

PoolEntry resolve_pool(std::string_view ini_path, int number, const std::string& section,
                       std::string_view medium_root, storage::Variant index_mode) {
  const fileutil::TIni ini{std::string(ini_path)};
  const std::string root(medium_root);
  PoolEntry entry;
  entry.number = number;
  entry.section = section;
  if (value_of(ini, section, "Name").empty()) {
    entry.status = PoolEntry::Status::no_name;
    return entry;
  }
  const std::string file = value_of(ini, section, "File");
  const std::string mab_file = value_of(ini, section, "MABFile");
  if (!file.empty()) {
    entry.mab_path = root + file;
  } else if (!mab_file.empty()) {
    entry.mab_path = root + mab_file;
  } else {
    entry.status = PoolEntry::Status::no_mab_file;
    return entry;
  }

  const std::string dbf_file = value_of(ini, section, "DBFFile");
  entry.table_path = !dbf_file.empty() ? root + dbf_file : fileutil::I_FILENOEXT(entry.mab_path) + ".dbf";

  const std::string ext(index_extension(index_mode));
  const std::string index_file = value_of(ini, section, index_mode == storage::Variant::cdx ? "CDXFile" : "NTXFile");
  entry.index_path = !index_file.empty() ? root + index_file : fileutil::I_FILENOEXT(entry.table_path) + "." + ext;
  // An index named with another extension gets the one of the index mode.
  if (fileutil::lower(fileutil::I_FILEEXT(entry.index_path)) != ext)
    entry.index_path = fileutil::I_FILENOEXT(entry.index_path) + "." + ext;
  return entry;
}

std::string import_table_path(std::string_view ini_path, const std::string& section, std::string_view medium_root) {
  const fileutil::TIni ini{std::string(ini_path)};
  const std::string dbf_file = value_of(ini, section, "DBFFile");
  if (!dbf_file.empty()) return std::string(medium_root) + dbf_file;
  const std::string base = fileutil::I_FILENOEXT(value_of(ini, section, "File"));
  if (!base.empty()) return std::string(medium_root) + base + ".dbf";
  return "";
}

bool pool_selected(std::string_view section, std::string_view pool_filter) {
  const std::string list = ";" + fileutil::upper(pool_filter) + ";";
  return list.find(";" + fileutil::upper(section) + ";") != std::string::npos;
}

}  // namespace torvane::app
