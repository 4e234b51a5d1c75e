#pragma once
// The file-name part of a path text and its cut at the first point. Paths are texts in
// the form the program builds them ("D:\DVD\POOL\A.MAB"); "\" and "/" both separate.
// The cut is always at the first point of the file-name part (after the last
// separator), never at a point in a folder name: a point in a folder name would
// otherwise send derived files (tables, indexes, backups, edit copies) into another
// folder and make different pools collide on one file.

#include <cstddef>
#include <string_view>

namespace torvane::text {

// Index of the first character of the file-name part: just after the last separator,
// 0 when there is none.
std::size_t file_name_start(std::string_view path);
// The file-name part: the text after the last separator.
std::string_view file_name_part(std::string_view path);
// Index of the first point of the file-name part; the text's length when it has none.
std::size_t first_name_point(std::string_view path);
// The path cut before the first point of its file-name part ("C:\X.V2\B.DBF" ->
// "C:\X.V2\B"); unchanged when the name has no point.
std::string_view cut_at_first_point(std::string_view path);

}  // namespace torvane::text
