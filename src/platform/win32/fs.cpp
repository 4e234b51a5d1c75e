#include "platform/fs.h"

#include <windows.h>

#include <algorithm>

#include "platform/fault_injection.h"
#include "platform/path.h"

namespace torvane::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 100-nanosecond intervals between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr std::int64_t kUnixEpochIn100ns = 116'444'736'000'000'000LL;


void strike(fault::Operation op, const std::string& native) {
  if (fault::armed()) fault::strike(op, native);
}

bool attributes_of(std::string_view path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return ::GetFileAttributesExA(native_path(path).c_str(), GetFileExInfoStandard, &data) != 0;
}

bool is_directory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

std::int64_t file_time_ns(const LARGE_INTEGER& t) { return (t.QuadPart - kUnixEpochIn100ns) * 100; }

struct Entry {
  std::string name;
  DWORD attributes;
};

// Every entry of a directory but "." and "..", as the system lists them.
std::vector<Entry> list_entries(std::string_view directory) {
  std::vector<Entry> entries;
  std::string pattern = native_path(directory);
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != ':') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found{};
  const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") entries.push_back({name, found.dwFileAttributes});
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return entries;
}

HANDLE open_native_for_attributes(const std::string& native, DWORD access) {
  return ::CreateFileA(native.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

HANDLE open_for_attributes(std::string_view path, DWORD access) {
  return open_native_for_attributes(native_path(path), access);
}

}  // namespace

bool file_exists(std::string_view path) {
  const DWORD attributes = ::GetFileAttributesA(native_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !is_directory(attributes);
}

bool directory_exists(std::string_view path) {
  const DWORD attributes = ::GetFileAttributesA(native_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && is_directory(attributes);
}

bool delete_file(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::remove, native);
  ::DeleteFileA(native.c_str());
  return ::GetFileAttributesA(native.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool rename_file(std::string_view from, std::string_view to) {
  const std::string target = native_path(to);
  strike(fault::Operation::rename, target);
  return ::MoveFileExA(native_path(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

// CopyFileA keeps the last-write time. The copy is an ordinary writable file even when
// the source is read-only, as a copy made by reading and writing would be.
bool copy_file(std::string_view from, std::string_view to) {
  const std::string source = native_path(from);
  const std::string target = native_path(to);
  const DWORD attributes = ::GetFileAttributesA(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || is_directory(attributes)) return false;
  // The copy is one system call: a creation and one write for the fault layer.
  if (fault::armed()) {
    fault::strike(fault::Operation::create, target);
    if (fault::strike(fault::Operation::write, target) != fault::Outcome::proceed) return false;
  }
  if (!::CopyFileA(source.c_str(), target.c_str(), FALSE)) {
    ::DeleteFileA(target.c_str());
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesA(target.c_str(), (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL);
  }
  return true;
}

bool make_directory(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::make_directory, native);
  ::CreateDirectoryA(native.c_str(), nullptr);
  return directory_exists(path);
}

bool remove_directory(std::string_view path) {
  const std::string native = native_path(path);
  strike(fault::Operation::remove_directory, native);
  ::RemoveDirectoryA(native.c_str());
  return !directory_exists(path);
}

bool is_read_only(std::string_view path) {
  const DWORD attributes = ::GetFileAttributesA(native_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool set_read_only(std::string_view path, bool read_only) {
  const std::string native = native_path(path);
  DWORD attributes = ::GetFileAttributesA(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  attributes = read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  strike(fault::Operation::set_attributes, native);
  return ::SetFileAttributesA(native.c_str(), attributes) != 0;
}

std::optional<std::uint64_t> file_size(std::string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!attributes_of(path, data) || is_directory(data.dwFileAttributes)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The last-write time in the local time that was in force on that date.
std::optional<LocalTime> last_write_time(std::string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!attributes_of(path, data)) return std::nullopt;
  SYSTEMTIME utc{}, local{};
  if (!::FileTimeToSystemTime(&data.ftLastWriteTime, &utc) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return LocalTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

bool set_last_write_time(std::string_view path, const LocalTime& time) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(time.year);
  local.wMonth = static_cast<WORD>(time.month);
  local.wDay = static_cast<WORD>(time.day);
  local.wHour = static_cast<WORD>(time.hour);
  local.wMinute = static_cast<WORD>(time.minute);
  local.wSecond = static_cast<WORD>(time.second);
  SYSTEMTIME utc{};
  FILETIME stamp{};
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&utc, &stamp)) {
    return false;
  }
  strike(fault::Operation::set_time, native_path(path));
  const HANDLE h = open_for_attributes(path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::SetFileTime(h, nullptr, &stamp, &stamp) != 0;
  ::CloseHandle(h);
  return ok;
}

// FILETIME counts 100 ns steps from 1601; the instant counts nanoseconds from 1970.
std::optional<FileTime> last_write_instant(std::string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!attributes_of(path, data)) return std::nullopt;
  LARGE_INTEGER ticks{};
  ticks.LowPart = data.ftLastWriteTime.dwLowDateTime;
  ticks.HighPart = static_cast<LONG>(data.ftLastWriteTime.dwHighDateTime);
  return FileTime(std::chrono::nanoseconds(file_time_ns(ticks)));
}

// Only the last-write time changes; the other times are left as they are.
bool set_last_write_instant(std::string_view path, FileTime time) {
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  const std::int64_t ticks = std::chrono::floor<Ticks>(time.time_since_epoch()).count() + kUnixEpochIn100ns;
  if (ticks < 0) return false;
  FILETIME stamp{};
  stamp.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  stamp.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  strike(fault::Operation::set_time, native_path(path));
  const HANDLE h = open_for_attributes(path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::SetFileTime(h, nullptr, nullptr, &stamp) != 0;
  ::CloseHandle(h);
  return ok;
}

std::optional<std::string> read_whole_file(std::string_view path) {
  const HANDLE h = ::CreateFileA(native_path(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  // Read straight into a string of the file's size, growing it only when the file grew
  // meanwhile; a read that fails gives nothing rather than a part.
  LARGE_INTEGER size{};
  std::string content(::GetFileSizeEx(h, &size) ? static_cast<std::size_t>(size.QuadPart) : 0, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() + 65536);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size() - filled, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(h, content.data() + filled, want, &got, nullptr)) {
      ::CloseHandle(h);
      return std::nullopt;
    }
    if (got == 0) break;
    filled += got;
  }
  ::CloseHandle(h);
  content.resize(filled);
  return content;
}

// Volume and file index stand for device and inode; the change time is the system's
// own "changed" stamp (content or attributes).
std::optional<FileStamp> file_stamp(std::string_view path) { return native_file_stamp(native_path(path)); }

std::optional<FileStamp> native_file_stamp(const std::string& native) {
  const HANDLE h = open_native_for_attributes(native, FILE_READ_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  const bool ok = ::GetFileInformationByHandle(h, &info) &&
                  ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
  ::CloseHandle(h);
  if (!ok || is_directory(info.dwFileAttributes)) return std::nullopt;
  return FileStamp{info.dwVolumeSerialNumber,
                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                   (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                   file_time_ns(basic.LastWriteTime), file_time_ns(basic.ChangeTime)};
}

// Hidden files are those with the hidden attribute.
std::vector<std::string> list_files(std::string_view directory, std::string_view mask, bool include_hidden) {
  std::vector<std::string> names;
  for (Entry& entry : list_entries(directory)) {
    if (is_directory(entry.attributes)) continue;
    if (!include_hidden && (entry.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) continue;
    if (wildcard_match(mask, entry.name)) names.push_back(std::move(entry.name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> list_directories(std::string_view directory) {
  std::vector<std::string> names;
  for (Entry& entry : list_entries(directory)) {
    if (is_directory(entry.attributes)) names.push_back(std::move(entry.name));
  }
  std::sort(names.begin(), names.end());
  return names;
}


}  // namespace torvane::platform
