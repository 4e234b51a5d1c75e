#include "files/paths.h"

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "text/file_name.h"
#include "text/letter_case.h"

namespace torvane::files {
namespace {

// The file-name part as I_FILENAME takes it, before upper-casing.
std::string_view name_part(std::string_view path) {
  const std::size_t start = text::file_name_start(path);
  if (start > 0 && start < path.size()) return path.substr(start);
  const std::size_t colon = path.find(':');
  if (colon != std::string_view::npos) return path.substr(colon + 1);
  return path;
}

}  // namespace

std::string I_EXENAME() { return platform::executable_path(); }

std::string I_FILENOEXT(std::string_view path) {
  if (text::first_name_point(path) == 0) return std::string(path);
  return std::string(text::cut_at_first_point(path));
}

std::string I_FILEEXT(std::string_view path) {
  const std::size_t start = text::file_name_start(path);
  const std::size_t point = path.rfind('.');
  if (point == std::string_view::npos || point < start) return "";
  return std::string(path.substr(point + 1));
}

std::string I_FILEPATH(std::string_view path) {
  const std::size_t start = text::file_name_start(path);
  return start == 0 ? std::string() : std::string(path.substr(0, start - 1));
}

std::string I_FILENAME(std::string_view path) { return text::upper(name_part(path)); }

std::string CFILENOEXT(std::string_view path) { return std::string(text::cut_at_first_point(path)); }

std::string CFILEBASE(std::string_view path) { return CFILENOEXT(CFILENAME(path)); }

// The platform's name normalisation lower-cases the path (ASCII letters only, so that
// native folder names in UTF-8 reach the file system intact).
bool I_FILETRANS(std::string_view path, const text::Value& value, bool erase_first) {
  if (erase_first) platform::delete_file(path);
  const std::string line = text::I_VALTOCHAR(value);
  platform::File file = platform::File::open(path, platform::Access::read_write,
                                             platform::Share::compatibility,
                                             platform::Disposition::open_or_create);
  if (!file.is_open()) return false;
  const std::int64_t end = file.size();
  if (end < 0) return false;
  return file.write_at(static_cast<std::uint64_t>(end),
                       {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()}) ==
         static_cast<std::int64_t>(line.size());
}

}  // namespace torvane::files
