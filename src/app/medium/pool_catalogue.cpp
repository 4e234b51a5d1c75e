#include "app/medium/pool_catalogue.h"

#include <vector>

#include "app/medium/pool_entry_check.h"
#include "files/ini_file.h"
#include "files/paths.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

std::string value_of(const files::TIni& ini, std::string_view section, std::string_view key) {
  return std::string(text::trim(ini.Get(section, key, "").text()));
}

// The files the catalogue names for a pool, whether or not it has a `Name`: its MAB2
// file (`File`, else `MABFile`), its table (`DBFFile`, else derived from the MAB2 file)
// and its index (the index mode's entry, else derived from the table; in the index
// mode's extension either way). A pool without a MAB2 file entry has only what
// `DBFFile` names.
PoolFiles files_of(const files::TIni& ini, int number, const std::string& section, std::string_view medium_root,
                   storage::Variant index_mode) {
  const std::string root(medium_root);
  PoolFiles files;
  files.number = number;
  files.section = section;
  for (const char* key : {"File", "MABFile"}) {
    const std::string value = value_of(ini, section, key);
    if (value.empty()) continue;
    files.mab = {root + value, key, value};
    break;
  }
  if (const std::string dbf_file = value_of(ini, section, "DBFFile"); !dbf_file.empty()) {
    files.table = {root + dbf_file, "DBFFile", dbf_file};
  } else if (!files.mab.path.empty()) {
    files.table = {files::I_FILENOEXT(files.mab.path) + ".dbf", files.mab.key, ""};
  }
  if (files.mab.path.empty()) return files;

  const std::string ext(index_extension(index_mode));
  const char* index_key = index_mode == storage::Variant::cdx ? "CDXFile" : "NTXFile";
  if (const std::string index_file = value_of(ini, section, index_key); !index_file.empty()) {
    files.index = {root + index_file, index_key, index_file};
  } else {
    files.index = {files::I_FILENOEXT(files.table.path) + "." + ext, files.table.key, ""};
  }
  // An index named with another extension gets the one of the index mode.
  if (text::lower(files::I_FILEEXT(files.index.path)) != ext)
    files.index.path = files::I_FILENOEXT(files.index.path) + "." + ext;
  return files;
}

}  // namespace

std::string_view index_extension(storage::Variant index_mode) {
  return index_mode == storage::Variant::cdx ? "cdx" : "ntx";
}

std::string pool_ini_path(std::string_view medium_root) { return std::string(medium_root) + "POOL.INI"; }

void for_each_pool(std::string_view ini_path, int limit,
                   const std::function<void(int number, const std::string& section)>& visit) {
  const files::TIni ini{std::string(ini_path)};
  for (int n = 1; n <= limit; ++n) {
    const std::string section = value_of(ini, "Pool", std::to_string(n));
    if (section.empty()) return;
    visit(n, section);
  }
}

PoolEntry resolve_pool(std::string_view ini_path, int number, const std::string& section,
                       std::string_view medium_root, storage::Variant index_mode) {
  const files::TIni ini{std::string(ini_path)};
  PoolEntry entry;
  entry.number = number;
  entry.section = section;
  if (value_of(ini, section, "Name").empty()) {
    entry.status = PoolEntry::Status::no_name;
    return entry;
  }
  const PoolFiles files = files_of(ini, number, section, medium_root, index_mode);
  if (files.mab.path.empty()) {
    entry.status = PoolEntry::Status::no_mab_file;
    return entry;
  }
  entry.mab_path = files.mab.path;
  entry.table_path = files.table.path;
  entry.index_path = files.index.path;

  std::vector<PoolFiles> catalogue;
  for_each_pool(ini_path, kPoolImportLimit, [&](int n, const std::string& name) {
    catalogue.push_back(files_of(ini, n, name, medium_root, index_mode));
  });
  entry.problem = pool_files_problem({std::string(ini_path), std::string(medium_root)}, files, catalogue, index_mode);
  if (!entry.problem.empty()) entry.status = PoolEntry::Status::rejected;
  return entry;
}

PoolImport pool_import(std::string_view ini_path, int number, const std::string& section,
                         std::string_view medium_root, storage::Variant index_mode) {
  if (number <= kPoolStepLimit &&
      resolve_pool(ini_path, number, section, medium_root, index_mode).status == PoolEntry::Status::rejected)
    return {};
  const files::TIni ini{std::string(ini_path)};
  const std::string dbf_file = value_of(ini, section, "DBFFile");
  const std::string file = value_of(ini, section, "File");
  const std::string base = files::I_FILENOEXT(file);
  if (dbf_file.empty() && base.empty()) return {};
  const std::string path = std::string(medium_root) + (!dbf_file.empty() ? dbf_file : base + ".dbf");
  // The table is only read, with the structural index an open attaches.
  const std::vector<std::string> touched{path, files::CFILENOEXT(path) + ".cdx"};
  std::string problem = outside_problem({std::string(ini_path), std::string(medium_root)}, section,
                                        !dbf_file.empty() ? "DBFFile" : "File", !dbf_file.empty() ? dbf_file : file,
                                        touched);
  if (!problem.empty()) return {"", std::move(problem)};
  return {path, ""};
}

namespace {

// ";" + the text upper-cased + ";", appended piece by piece: prepending to a
// temporary string makes the compiler warn of an overlapping copy.
std::string between_semicolons(std::string_view text) {
  std::string out(1, ';');
  out += text::upper(text);
  out += ';';
  return out;
}

}  // namespace

bool pool_selected(std::string_view section, std::string_view pool_filter) {
  return between_semicolons(pool_filter).find(between_semicolons(section)) != std::string::npos;
}

}  // namespace torvane::app
