#pragma once
// The program's entry point: run-wide settings, banner, configuration, the three fatal
// checks, settings summary, the phase table, the closing lines and the key prompt.
// The process exit status is 0 at every orderly end, the fatal checks included; only
// the failure handler's Quit ends with 1.
//
// Command line: none is needed. "--config FILE" reads FILE instead of the
// configuration beside the executable; "--help" and "--version" print and exit 0.

#include <string>
#include <string_view>

#include "app/run_config.h"

namespace torvane::app {

// Returns the process exit status.
int run_program(int argc, char** argv);

// ---- The pieces of a run, free of side effects ------------------------------------

// The configuration file beside an executable: cut before the first point of its
// file-name part, + ".INI".
std::string config_file_for(std::string_view executable);
// `Pfad` (trimmed) as the medium root: one character is a drive ("E" -> "E:\"),
// otherwise "\" appended unless the value already ends in a separator. "" stays "".
std::string medium_root_from(std::string_view pfad);
// The first line of a text file's content (up to the first line end), wrapped at 79
// columns with only the first piece taken, trimmed.
std::string first_line_of(std::string_view content);
// Every key of the configuration file, trimmed, with the switches derived (a switch
// changes only for the exact text "0" or "1"). Version texts are not read here.
RunConfig read_config(const std::string& config_file);

}  // namespace torvane::app
