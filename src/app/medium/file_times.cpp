#include "app/medium/file_times.h"

#include <chrono>
#include "platform/fs.h"

namespace torvane::app {

bool newer(std::string_view a, std::string_view b) {
  const auto time_a = platform::last_write_instant(a);
  const auto time_b = platform::last_write_instant(b);
  return time_a && time_b && *time_a > *time_b;
}

bool make_older_than(std::string_view path, std::string_view reference) {
  const auto time = platform::last_write_instant(reference);
  return time && platform::set_last_write_instant(path, *time - std::chrono::seconds(1));
}

void keep_index_current(std::string_view table, std::string_view index) {
  if (!newer(table, index)) return;
  if (const auto time = platform::last_write_instant(table)) platform::set_last_write_instant(index, *time);
}

}  // namespace torvane::app
