#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/path.h"

namespace torvane::platform {
namespace {

void strike(fault::Operation op, const std::string& native) {
  if (fault::armed()) fault::strike(op, native);
}

bool stat_of(std::string_view path, struct stat& st) {
  return ::stat(native_path(path).c_str(), &st) == 0;
}


std::vector<std::string> list_entries(std::string_view directory, bool want_dirs) {
  std::vector<std::string> names;
  const std::string native = native_path(directory);
  DIR* dir = ::opendir(native.empty() ? "." : native.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    std::string full = native + (native.empty() || native.back() == '/' ? "" : "/") + name;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (want_dirs ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool file_exists(std::string_view path) {
  struct stat st;
  return stat_of(path, st) && S_ISREG(st.st_mode);
}

bool directory_exists(std::string_view path) {
  struct stat st;
  return stat_of(path, st) && S_ISDIR(st.st_mode);
}

bool delete_file(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::remove, native);
  ::unlink(native.c_str());
  struct stat st;
  return ::lstat(native.c_str(), &st) != 0;
}

bool rename_file(std::string_view from, std::string_view to) {
  const std::string target = native_path(to);
  strike(fault::Operation::rename, target);
  return ::rename(native_path(from).c_str(), target.c_str()) == 0;
}

bool copy_file(std::string_view from, std::string_view to) {
  const std::string source = native_path(from);
  const std::string target = native_path(to);
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  strike(fault::Operation::create, target);
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    ::close(in);
    return false;
  }
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (fault::armed()) {
      const fault::Outcome outcome = fault::strike(fault::Operation::write, target);
      if (outcome != fault::Outcome::proceed) {
        n = static_cast<ssize_t>(fault::bytes_stored(outcome, static_cast<std::size_t>(n)));
        ok = false;
      }
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  if (ok && ::fsync(out) != 0) ok = false;
  if (::close(out) != 0) ok = false;
  if (ok) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ::utimensat(AT_FDCWD, target.c_str(), times, 0) == 0;
  }
  if (!ok) {
    strike(fault::Operation::remove, target);
    ::unlink(target.c_str());
  }
  return ok;
}

bool make_directory(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::make_directory, native);
  ::mkdir(native.c_str(), 0777);
  return directory_exists(path);
}

bool remove_directory(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::remove_directory, native);
  ::rmdir(native.c_str());
  return !directory_exists(path);
}

bool is_read_only(std::string_view path) {
  struct stat st;
  return stat_of(path, st) && (st.st_mode & 0222) == 0;
}

bool set_read_only(std::string_view path, bool read_only) {
  const std::string native = native_path(path);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = read_only ? (mode & ~0222) : (mode | 0200);
  strike(fault::Operation::set_attributes, native);
  return ::chmod(native.c_str(), mode) == 0;
}

std::optional<std::uint64_t> file_size(std::string_view path) {
  struct stat st;
  if (!stat_of(path, st) || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<LocalTime> last_write_time(std::string_view path) {
  struct stat st;
  if (!stat_of(path, st)) return std::nullopt;
  struct tm local {};
  time_t seconds = st.st_mtim.tv_sec;
  if (::localtime_r(&seconds, &local) == nullptr) return std::nullopt;
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour, local.tm_min, local.tm_sec};
}

bool set_last_write_time(std::string_view path, const LocalTime& time) {
  struct tm local {};
  local.tm_year = time.year - 1900;
  local.tm_mon = time.month - 1;
  local.tm_mday = time.day;
  local.tm_hour = time.hour;
  local.tm_min = time.minute;
  local.tm_sec = time.second;
  local.tm_isdst = -1;
  time_t seconds = ::mktime(&local);
  if (seconds == static_cast<time_t>(-1)) return false;
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  const std::string native = native_path(path);
  strike(fault::Operation::set_time, native);
  return ::utimensat(AT_FDCWD, native.c_str(), times, 0) == 0;
}

std::optional<FileTime> last_write_instant(std::string_view path) {
  struct stat st;
  if (!stat_of(path, st)) return std::nullopt;
  return FileTime(std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec));
}

// The access time is left as it is.
bool set_last_write_instant(std::string_view path, FileTime time) {
  const auto since_epoch = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds.count());
  times[1].tv_nsec = static_cast<long>((since_epoch - seconds).count());
  const std::string native = native_path(path);
  strike(fault::Operation::set_time, native);
  return ::utimensat(AT_FDCWD, native.c_str(), times, 0) == 0;
}

std::optional<std::string> read_whole_file(std::string_view path) {
  const std::string native = native_path(path);
  int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  // Read straight into a string of the file's size, growing it only when the file grew
  // meanwhile; a read that fails gives nothing rather than a part.
  std::string content(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() + 65536);
    const ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  content.resize(filled);
  return content;
}

std::optional<FileStamp> file_stamp(std::string_view path) { return native_file_stamp(native_path(path)); }

std::optional<FileStamp> native_file_stamp(const std::string& native) {
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  auto ns = [](const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  };
  return FileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

std::vector<std::string> list_files(std::string_view directory, std::string_view mask,
                                    bool include_hidden) {
  std::vector<std::string> names;
  for (std::string& name : list_entries(directory, false)) {
    if (!include_hidden && name.front() == '.') continue;
    if (wildcard_match(mask, name)) names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> list_directories(std::string_view directory) {
  return list_entries(directory, true);
}


}  // namespace torvane::platform
