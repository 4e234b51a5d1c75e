#pragma once
#include <string>
#include <string_view>

namespace torvane::fileutil {

// The text without its last n characters; "" when n is at least its length.
std::string CUTRIGHT(std::string_view text, long n);

}  // namespace torvane::fileutil
