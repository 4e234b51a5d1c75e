#include "app/path_helpers.h"

#include "app/console.h"
#include "platform/fs.h"

namespace torvane::app {

std::string CFILENOEXT(std::string_view name) {
  const std::size_t start = name.find_last_of("\\/");
  const std::size_t point = name.find('.', start == std::string_view::npos ? 0 : start + 1);
  if (point == std::string_view::npos) return std::string(name);
  return std::string(name.substr(0, point));
}

std::string CFILENOPATH(std::string_view path) { return fileutil::I_FILENAME(path); }

std::string CFILENAME(std::string_view path) { return CFILENOPATH(path); }

std::string CFILEBASE(std::string_view path) { return CFILENOEXT(CFILENAME(path)); }

std::string CFILEPATH(std::string_view path) { return fileutil::I_FILEPATH(path); }

std::string CVALTOCHAR(const fileutil::Value& value) { return fileutil::I_VALTOCHAR(value); }

void XDELETEFILE(std::string_view path) {
  if (!platform::file_exists(path)) return;
  platform::delete_file(path);
  const std::string shown(path);
  if (!platform::file_exists(path)) {
    XOUT("Datei " + shown + " wurde gel\xF6scht.");
  } else {
    XOUT("Error: Datei " + shown + " konnte nicht gel\xF6scht werden.");
  }
}

}  // namespace torvane::app
