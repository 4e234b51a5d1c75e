#pragma once
// File-system services on program paths (see path.h): existence, deletion, renaming,
// copying, listings, directories, sizes and last-write times. Every call normalises
// its path; none throws. Last-write times come in two forms: local time to the second
// (LocalTime, for what is shown and for dates given by hand) and the file system's own
// instant at full precision (FileTime), on which staleness is decided.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::platform {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  friend bool operator==(const LocalTime&, const LocalTime&) = default;
  friend auto operator<=>(const LocalTime&, const LocalTime&) = default;
};

bool file_exists(std::string_view path);       // an ordinary file (not a directory)
bool directory_exists(std::string_view path);
bool delete_file(std::string_view path);       // true when the file is gone afterwards
bool rename_file(std::string_view from, std::string_view to);  // replaces `to`
// Copies a file, keeping its last-write time; true when the copy is complete.
bool copy_file(std::string_view from, std::string_view to);
bool make_directory(std::string_view path);    // one level; true when it exists afterwards
bool remove_directory(std::string_view path);  // an empty one; true when it is gone
bool is_read_only(std::string_view path);
bool set_read_only(std::string_view path, bool read_only);
std::optional<std::uint64_t> file_size(std::string_view path);
std::optional<LocalTime> last_write_time(std::string_view path);
bool set_last_write_time(std::string_view path, const LocalTime& time);
// The last-write instant as the file system keeps it: nanoseconds on Linux, 100 ns
// steps on Windows. Two files written within one second still compare in order.
using FileTime = std::chrono::sys_time<std::chrono::nanoseconds>;
std::optional<FileTime> last_write_instant(std::string_view path);
bool set_last_write_instant(std::string_view path, FileTime time);
std::optional<std::string> read_whole_file(std::string_view path);

// What identifies a file's current content for a cache: it changes when the file is
// written, replaced or cut. Nothing for a missing file or a directory.
struct FileStamp {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modified_ns = 0, changed_ns = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
std::optional<FileStamp> file_stamp(std::string_view path);
// The same for a path that native_path() has already resolved: no normalisation and no
// directory scan, one system call.
std::optional<FileStamp> native_file_stamp(const std::string& native);

// Names (file-name part only, as they are on disk) of the ordinary, non-hidden files of
// a directory that match mask ("*" and "?", compared without regard to letter case),
// sorted by byte order. Hidden files are names beginning with "."; with
// include_hidden they are listed too.
std::vector<std::string> list_files(std::string_view directory, std::string_view mask,
                                    bool include_hidden = false);
// Names of the subdirectories of a directory ("." and ".." left out).
std::vector<std::string> list_directories(std::string_view directory);

bool wildcard_match(std::string_view mask, std::string_view name);  // case-insensitive

}  // namespace torvane::platform
