#include "platform/path.h"

#include <windows.h>

#include <algorithm>
#include <vector>

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

// Links are rare on a medium here: the system's own lexical resolution ("." and "..",
// the current folder for a relative path) is enough.
std::optional<std::string> real_location(std::string_view program_path) {
  const std::string path = native_path(program_path);
  if (path.empty()) return std::nullopt;
  std::vector<char> buffer(MAX_PATH);
  DWORD length = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  }
  if (length == 0 || length >= buffer.size()) return std::nullopt;
  return normalise_path(std::string_view(buffer.data(), length));
}

}  // namespace torvane::platform
