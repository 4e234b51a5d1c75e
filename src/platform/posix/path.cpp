#include "platform/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace torvane::platform {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_all(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

bool exists(const std::string& native) {
  struct stat st;
  return ::lstat(native.c_str(), &st) == 0;
}

// The entry of `directory` whose lower-cased name is `wanted`; the first in byte order
// when several are.
std::optional<std::string> find_folded(const std::string& directory, const std::string& wanted) {
  DIR* dir = ::opendir(directory.empty() ? "/" : directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (lower_all(name) != wanted) continue;
    if (!best || name < *best) best = name;
  }
  ::closedir(dir);
  return best;
}

}  // namespace

std::string translate_path(std::string_view program_path) {
  std::string path = normalise_path(program_path);
  if (path.size() >= 2 && path[1] == ':' && path[0] >= 'a' && path[0] <= 'z') {
    std::string rest = path.substr(2);
    if (rest.empty() || rest.front() != '\\') rest.insert(rest.begin(), '\\');
    path = std::string("/mnt/") + path[0] + rest;
  }
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string native_path(std::string_view program_path) {
  const std::string translated = translate_path(program_path);
  if (translated.empty()) return translated;
  std::string resolved;
  bool first = translated.front() != '/';  // a relative path's first component
  std::size_t pos = first ? 0 : 1;
  while (pos <= translated.size()) {
    std::size_t next = translated.find('/', pos);
    if (next == std::string::npos) next = translated.size();
    std::string component = translated.substr(pos, next - pos);
    const std::string parent = first ? "." : (resolved.empty() ? "/" : resolved);
    std::string prefix = first ? "" : resolved + "/";
    if (!component.empty() && component != "." && component != "..") {
      std::string candidate = prefix + component;
      if (!exists(first ? component : candidate)) {
        if (auto found = find_folded(parent, component)) candidate = prefix + *found;
      }
      resolved = candidate;
    } else {
      resolved = prefix + component;
    }
    first = false;
    pos = next + 1;
  }
  return resolved;
}

}  // namespace torvane::platform
