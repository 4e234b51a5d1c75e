#include "app/medium/cover_table_files.h"

#include "files/paths.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "text/file_name.h"

namespace torvane::app {

namespace {

// `NotFoundDBF`: the table itself, or a folder for it (written with a separator at its
// end, or one that exists), which then holds notfound.dbf.
std::string configured_not_found(const std::string& configured) {
  if (configured.back() == '\\' || configured.back() == '/') return configured + "notfound.dbf";
  if (!platform::directory_exists(configured)) return configured;
  const char separator = configured.find('/') != std::string::npos ? '/' : '\\';
  return configured + separator + "notfound.dbf";
}

}  // namespace

std::string cover_index_path(std::string_view table) { return files::I_FILENOEXT(table) + ".cdx"; }
std::string cover_memo_path(std::string_view table) { return files::I_FILENOEXT(table) + ".fpt"; }

std::string beside(std::string_view path, std::string_view file_name) {
  return std::string(path.substr(0, text::file_name_start(path))) + std::string(file_name);
}

bool folder_writable(std::string_view folder) {
  const std::string dir = folder.empty() ? std::string(".") : std::string(folder);
  if (!platform::directory_exists(dir) || platform::is_read_only(dir)) return false;
  // A probe that a killed run could not remove any more goes now.
  for (const std::string& name : platform::list_files(dir, "~probe*.tmp", true)) platform::delete_file(dir + "/" + name);
  const std::string probe = dir + "/~probe" + std::to_string(platform::wall_clock_nanoseconds()) + ".tmp";
  platform::File file = platform::File::open(probe, platform::Access::read_write, platform::Share::compatibility,
                                             platform::Disposition::create_always);
  if (!file.is_open()) return false;
  file.close();
  platform::delete_file(probe);
  return true;
}

std::optional<std::string> existing_not_found_table(const RunConfig& config, std::string_view executable) {
  if (!config.not_found_dbf.empty()) {
    std::string configured = configured_not_found(config.not_found_dbf);
    if (!platform::file_exists(configured)) return std::nullopt;
    return configured;
  }
  for (std::string path : {beside(config.cover_dbf, "notfound.dbf"), beside(executable, "notfound.dbf")}) {
    if (platform::file_exists(path)) return path;
  }
  return std::nullopt;
}

NotFoundPlace not_found_place(const RunConfig& config, std::string_view executable) {
  if (!config.not_found_dbf.empty()) return {configured_not_found(config.not_found_dbf), false};
  if (auto existing = existing_not_found_table(config, executable)) return {std::move(*existing), false};
  const std::string exe_side = beside(executable, "notfound.dbf");
  if (folder_writable(files::I_FILEPATH(executable))) return {exe_side, false};
  return {beside(config.cover_dbf, "notfound.dbf"), true};
}

}  // namespace torvane::app
