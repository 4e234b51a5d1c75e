#include "fileutil/CUTRIGH2.h"

namespace torvane::fileutil {

std::string CUTRIGHT(std::string_view text, long n) {
  if (n <= 0) return std::string(text);
  if (static_cast<unsigned long>(n) >= text.size()) return "";
  return std::string(text.substr(0, text.size() - static_cast<std::size_t>(n)));
}

}  // namespace torvane::fileutil
