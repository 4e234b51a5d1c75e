#include "text/file_name.h"

namespace torvane::text {

std::size_t file_name_start(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

std::string_view file_name_part(std::string_view path) { return path.substr(file_name_start(path)); }

std::size_t first_name_point(std::string_view path) {
  const std::size_t point = path.find('.', file_name_start(path));
  return point == std::string_view::npos ? path.size() : point;
}

std::string_view cut_at_first_point(std::string_view path) { return path.substr(0, first_name_point(path)); }

}  // namespace torvane::text
