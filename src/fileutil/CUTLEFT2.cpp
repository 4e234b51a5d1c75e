#include "fileutil/CUTLEFT2.h"

namespace torvane::fileutil {

std::string CUTLEFT(std::string_view text, long n) {
  if (n <= 0) return std::string(text);
  if (static_cast<unsigned long>(n) >= text.size()) return "";
  return std::string(text.substr(static_cast<std::size_t>(n)));
}

}  // namespace torvane::fileutil
