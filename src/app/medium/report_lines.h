#pragma once
// The lines and figures a run reports, shared by the run driver and the phases:
//
//   "***              TORVANE 3.10.800 (8AV1330)               ***"   framed line
//   "Indexdatei.........................: .cdx"                       summary line
//   "Gefundene ISBN-Cover...............:        123"                 statistics line
//   "Vorhandene Cover...................:         42 (7%)"
//
// A summary line is the label padded with "." to 35 characters, ": " and the value; a
// statistics line has the number right-aligned in 10 characters instead. Percentages
// are rounded to whole numbers (halves up) and a division by zero gives 0.

#include <cstdint>
#include <string>
#include <string_view>

namespace torvane::app {

// "***" + text centred in 55 columns (the odd blank after it) + "***": 61 characters.
std::string framed_line(std::string_view text);
// Label padded with "." to 35 characters, ": ", value.
std::string summary_line(std::string_view label, std::string_view value);

std::string statistics_line(std::string_view label, std::uint64_t number);

// The time a task still needs at the pace so far, "H:MM:SS": what is left of total
// after done, in the seconds done took. "-:--:--" before anything is done.
std::string time_left(std::uint64_t done, std::uint64_t total, double seconds);
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
