#pragma once
#include <string>
#include <string_view>

namespace torvane::fileutil {

// The text without its first n characters; "" when n is at least its length.
std::string CUTLEFT(std::string_view text, long n);

}  // namespace torvane::fileutil
