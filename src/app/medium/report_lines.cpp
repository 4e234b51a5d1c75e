#include "app/medium/report_lines.h"

#include <cstdio>

#include "text/letter_case.h"

namespace torvane::app {

std::string framed_line(std::string_view text) {
  constexpr std::size_t kWidth = 55;
  const std::size_t before = text.size() < kWidth ? (kWidth - text.size()) / 2 : 0;
  const std::size_t after = text.size() < kWidth ? kWidth - text.size() - before : 0;
  return "***" + std::string(before, ' ') + std::string(text) + std::string(after, ' ') + "***";
}

std::string summary_line(std::string_view label, std::string_view value) {
  std::string line(label);
  if (line.size() < 35) line.append(35 - line.size(), '.');
  line += ": ";
  line += text::trim(value);
  return line;
}

std::string time_left(std::uint64_t done, std::uint64_t total, double seconds) {
  if (done == 0 || seconds <= 0 || done > total) return "-:--:--";
  const auto left = static_cast<std::uint64_t>(static_cast<double>(total - done) * seconds / static_cast<double>(done) + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(left / 3600),
                static_cast<unsigned>(left / 60 % 60), static_cast<unsigned>(left % 60));
  return text;
}

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
