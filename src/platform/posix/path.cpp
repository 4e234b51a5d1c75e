#include "platform/path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Pushes the components of a "/"-separated path so that the first one is at the back.
void push_components(std::vector<std::string>& pending, std::string_view path) {
  std::size_t end = path.size();
  while (true) {
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (begin < end) pending.emplace_back(path.substr(begin, end - begin));
    if (slash == std::string_view::npos || slash == 0) return;
    end = slash;
  }
}

std::optional<std::string> link_target(const std::string& native) {
  std::vector<char> buffer(256);
  while (true) {
    const ssize_t got = ::readlink(native.c_str(), buffer.data(), buffer.size());
    if (got < 0) return std::nullopt;
    if (static_cast<std::size_t>(got) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(got));
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::string> current_directory() {
  std::vector<char> buffer(256);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

// As the kernel allows before it reports a loop.
constexpr int kMaxLinks = 40;

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

// Component by component rather than realpath(): the end of the path may not exist
// yet (a file about to be created), and a link there that points nowhere is exactly
// what makes a create land somewhere else.
std::optional<std::string> real_location(std::string_view program_path) {
  std::string path = native_path(program_path);
  if (path.empty()) return std::nullopt;
  if (path.front() != '/') {
    const auto cwd = current_directory();
    if (!cwd) return std::nullopt;
    path = *cwd + "/" + path;
  }
  std::vector<std::string> pending;
  push_components(pending, path);
  std::string done;  // "" is the root
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      done.erase(std::min(done.size(), done.rfind('/')));
      continue;
    }
    std::string next = done + "/" + part;
    struct stat st;
    if (::lstat(next.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      const auto target = link_target(next);
      if (++links > kMaxLinks || !target || target->empty()) return std::nullopt;
      if (target->front() == '/') done.clear();
      push_components(pending, *target);
      continue;
    }
    done = std::move(next);
  }
  return done.empty() ? "/" : done;
}

}  // namespace torvane::platform
