#pragma once
// Where the cover phases' tables and their companions lie. The cover table is
// `CoverDBF`; its memo and index files share its name before the first point of its
// file name. The not-found table is `NotFoundDBF` when that is set (a folder there
// holds notfound.dbf); otherwise it lies beside the cover table when it is there, else
// beside the executable; when the executable's folder cannot be written, a new one goes
// beside the cover table instead.

#include <optional>
#include <string>
#include <string_view>

#include "app/run_config.h"

namespace torvane::app {

// <path before the first point of the file name>.cdx / .fpt
std::string cover_index_path(std::string_view table);
std::string cover_memo_path(std::string_view table);

// The folder part of a path joined with a file name, with the separator the path uses.
std::string beside(std::string_view path, std::string_view file_name);

// Whether a new file can be made in folder: it has write permission and a probe file
// can be created (and is removed again).
bool folder_writable(std::string_view folder);

struct NotFoundPlace {
  std::string path;
  bool moved = false;  // beside the cover table because the executable's folder is not writable
};
// The not-found table as it stands, found without writing anything: `NotFoundDBF`
// when it is set, else beside the cover table, else beside the executable. Nothing
// when there is none.
std::optional<std::string> existing_not_found_table(const RunConfig& config, std::string_view executable);
// Where the not-found table is, or where a new one goes (which may probe the
// executable's folder with a file).
NotFoundPlace not_found_place(const RunConfig& config, std::string_view executable);

}  // namespace torvane::app
