#pragma once
// What the whole-program tests share besides running the program (run_torvane.h): the
// run log's fixed opening and closing, its lines, the bytes of the files a run leaves,
// and a private copy of the program (header only):
//
//   const std::string exe = torvane::testing::copy_program(dir.path("bin"));
//   ...
//   EXPECT_TRUE(run.log.starts_with(torvane::testing::kBanner));
//   for (const std::string& line : torvane::testing::crlf_lines(run.log)) ...
//   const auto files = torvane::testing::file_tree(dir.path("dvd"));  // path -> bytes

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_torvane.h"

namespace torvane::testing {

// The banner that opens every run log (Windows-1252), and the closing lines of a run
// that went through its phases.
inline const std::string kBanner =
    "\r\n"
    "***              TORVANE 3.10.800 (8AV1330)               ***\r\n"
    "***            f\xFCr LUMO-/DXP-Daten-Datentr\xE4ger            ***\r\n"
    "***                (c) TORVANE-Entwickler                 ***\r\n"
    "***               Alle Rechte vorbehalten.                ***\r\n"
    "\r\n"
    "\r\n";
inline const std::string kClosing = "\r\n=> Fertig!\r\n\r\n\r\n";

// The lines of a text with CR LF line ends; a final CR LF ends the last line and does
// not start another.
inline std::vector<std::string> crlf_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find("\r\n");
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 2);
  }
  return lines;
}

// The bytes of a file; "" when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Every file under a folder with its bytes, by relative path with "/".
inline std::map<std::string, std::string> file_tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), root).generic_string()] = read_file(entry.path());
    }
  }
  return files;
}

// A copy of the program ($TORVANE_EXE) in folder, which is made when missing: the run
// looks for its configuration and keeps the not-found table beside the executable, so
// a test that copies it owns both. Returns the copy's path.
inline std::string copy_program(const std::string& folder) {
  std::filesystem::create_directories(folder);
  const std::string exe = folder + "/torvane";
  std::filesystem::copy_file(torvane_executable(), exe, std::filesystem::copy_options::overwrite_existing);
  return exe;
}

}  // namespace torvane::testing
