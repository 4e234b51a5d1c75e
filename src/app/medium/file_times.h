#pragma once
// Which of two files is newer, at the file system's full precision, and the dating
// that keeps a file built from another from passing for current (or for stale) by the
// time grain of the file system.

#include <string_view>

namespace torvane::app {

// Newer(A, B): A's last-write instant is later, at the file system's full precision,
// so that a source changed in the same second as the file built from it still counts
// as newer. False when either time cannot be read.
bool newer(std::string_view a, std::string_view b);

// Gives `path` a last-write time one second before that of `reference`, so that the
// reference counts as newer on any file system's time grain. False when a time cannot
// be read or set.
bool make_older_than(std::string_view path, std::string_view reference);

// After an index build: an index that is older than its table by the table's own
// header write (the structural-index flag) gets the table's time, so that the next
// run does not take it as stale.
void keep_index_current(std::string_view table, std::string_view index);

}  // namespace torvane::app
