#include "platform/path.h"

#include <algorithm>

namespace torvane::platform {

// Windows takes the program's paths as they are: only the run-wide name normalisation
// (trim, lower-case in full) applies. "/" becomes "\" so that two spellings of one path
// compare equal, and a drive without a folder ("E:", "e:dvd") means its root, as it
// does everywhere else in the program.
std::string translate_path(std::string_view program_path) {
  std::string path = normalise_path(program_path);
  std::replace(path.begin(), path.end(), '/', '\\');
  const bool drive = path.size() >= 2 && path[1] == ':' && path[0] >= 'a' && path[0] <= 'z';
  if (drive && (path.size() == 2 || path[2] != '\\')) path.insert(2, 1, '\\');
  return path;
}

// The file system matches names without regard to letter case itself.
std::string native_path(std::string_view program_path) { return translate_path(program_path); }

}  // namespace torvane::platform
