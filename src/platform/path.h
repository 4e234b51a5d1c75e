#pragma once
// Paths as the program builds them (Windows form, "D:\DVD\POOL\A.MAB") turned into
// native paths just before a file-system call:
//   1. trimmed of blanks and lower-cased in full (the run-wide name normalisation);
//   2. "\" becomes "/"; a leading drive "X:" maps to "/mnt/x"; a path that already
//      uses "/" passes through;
//   3. every component is resolved case-insensitively against what exists: the exact
//      name if present, else the one entry whose lower-cased name matches (the first in
//      byte order when several do), else the lower-case name (what a create makes).
// So media copied from Windows with upper-case names and user folders with capitals
// both work, and everything the program creates is lower case.

#include <optional>
#include <string>
#include <string_view>

namespace torvane::platform {

// Step 1 only, the same on every system: " D:\DVD\A.MAB " gives "d:\dvd\a.mab".
std::string normalise_path(std::string_view program_path);

// Steps 1 and 2 only: no file-system access. "E:\DVD\" gives "/mnt/e/dvd/".
std::string translate_path(std::string_view program_path);

// All three steps: the native path to hand to the operating system.
std::string native_path(std::string_view program_path);

// Where a program path leads: the absolute native path with every "." and ".." taken
// out and every symbolic link on the way followed, so that two paths reaching the same
// place give the same text. Components that do not exist yet are kept as written
// (after the normalisation above). Nothing when links loop or the path cannot be
// followed. On Windows, where links on a medium are rare, the path is made absolute
// and "."/".." are resolved by text alone.
std::optional<std::string> real_location(std::string_view program_path);

}  // namespace torvane::platform
