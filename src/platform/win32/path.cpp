#include "platform/path.h"

#include <algorithm>

namespace torvane::platform {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

// Windows takes the program's paths as they are: only the run-wide name normalisation
// (trim, lower-case in full) applies. "/" becomes "\" so that two spellings of one path
// compare equal, and a drive without a folder ("E:", "e:dvd") means its root, as it
// does everywhere else in the program.
std::string translate_path(std::string_view program_path) {
  std::string path(trim_blanks(program_path));
  std::transform(path.begin(), path.end(), path.begin(), lower);
  std::replace(path.begin(), path.end(), '/', '\\');
  const bool drive = path.size() >= 2 && path[1] == ':' && path[0] >= 'a' && path[0] <= 'z';
  if (drive && (path.size() == 2 || path[2] != '\\')) path.insert(2, 1, '\\');
  return path;
}

// The file system matches names without regard to letter case itself.
std::string native_path(std::string_view program_path) { return translate_path(program_path); }

}  // namespace torvane::platform
