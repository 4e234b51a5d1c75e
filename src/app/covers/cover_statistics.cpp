#include "app/covers/cover_statistics.h"

#include "app/run_driver.h"

namespace torvane::app {

std::string statistics_line(std::string_view label, std::uint64_t number) {
  constexpr std::size_t kNumber = 10;
  std::string line = summary_line(label, "");
  const std::string digits = std::to_string(number);
  if (digits.size() < kNumber) line.append(kNumber - digits.size(), ' ');
  return line + digits;
}

std::uint64_t whole_percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return 0;
  return (part * 200 + whole) / (2 * whole);
}

std::string percent_suffix(std::uint64_t part, std::uint64_t whole) {
  return " (" + std::to_string(whole_percent(part, whole)) + "%)";
}

std::uint64_t progress_tenths(std::uint64_t position, std::uint64_t count) {
  if (count == 0) return 0;
  return (position * 2000 + count) / (2 * count);
}

std::string tenths_figure(std::uint64_t tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace torvane::app
