#pragma once
// The figures the cover phases print: statistics lines and the progress figures.
//
//   "Gefundene ISBN-Cover...............:        123"
//   "Vorhandene Cover...................:         42 (7%)"
//
// A statistics line is the label padded with "." to 35 characters, ": " and the number
// right-aligned in 10 characters. Percentages are rounded to whole numbers (halves
// up) and a division by zero gives 0.

#include <cstdint>
#include <string>
#include <string_view>

namespace torvane::app {

std::string statistics_line(std::string_view label, std::uint64_t number);
// part ÷ whole × 100, rounded; 0 when whole is 0.
std::uint64_t whole_percent(std::uint64_t part, std::uint64_t whole);
// " (" + whole_percent + "%)"
std::string percent_suffix(std::uint64_t part, std::uint64_t whole);

// The progress through an index in tenths of a percent: position ÷ count × 1000,
// rounded; 0 when count is 0.
std::uint64_t progress_tenths(std::uint64_t position, std::uint64_t count);
// Tenths as a figure with one decimal and no leading blanks: 375 -> "37.5".
std::string tenths_figure(std::uint64_t tenths);

}  // namespace torvane::app
