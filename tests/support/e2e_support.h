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
//
// and the numbers and tables the cover tests start from: an EAN-13 key, its ISBN-10,
// and a pool table with its index.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "isbn/numbers.h"
#include "storage/dbf_table.h"
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

// The EAN-13 of twelve digits.
inline std::string ean13(const std::string& twelve) {
  return twelve + static_cast<char>('0' + isbn::CHECKSUM(std::stoull(twelve)));
}

// The ISBN-10 of a 978 key without hyphens, as the image server is asked for it.
inline std::string isbn10_of(const std::string& key) {
  std::string isbn = isbn::EAN2ISBN(key);
  std::erase(isbn, '-');
  return isbn;
}

// A pool table (ISBN C13, POOL N4, COVER N2) with one row of pool 1 per key, and its
// CDX index; table and index are named by the caller.
inline void write_pool_table(const std::string& table, const std::string& index, const std::vector<std::string>& keys) {
  const std::array<storage::FieldSpec, 3> schema = {{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}}};
  ASSERT_TRUE(storage::DbfTable::create(table, schema, storage::Variant::cdx));
  auto pool = storage::DbfTable::open(table);
  ASSERT_TRUE(pool);
  for (const std::string& key : keys) {
    ASSERT_TRUE(pool->append());
    pool->assign("ISBN", key);
    pool->assign_number("POOL", 1);
  }
  ASSERT_TRUE(pool->create_index(index));
  ASSERT_TRUE(pool->close());
}

}  // namespace torvane::testing
