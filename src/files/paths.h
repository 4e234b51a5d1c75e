#pragma once
// Path helpers shared by every phase. Paths are texts in the form the program builds
// them ("D:\DVD\POOL\A.MAB"); "\" and "/" both count as separators. Every helper that
// cuts a name before its first point uses the first point of the file-name part, never
// a point in a folder name: "C:\TOOLS.V2\TORVANE.EXE" without extension is
// "C:\TOOLS.V2\TORVANE". File operations hand their paths to the platform layer, which
// normalises and resolves them. Texts are Windows-1252 byte strings.
//
// The I_ helpers are the general library's; the CFILE helpers are the main module's and
// differ in one detail the phases rely on: CFILENOEXT also cuts at a point that begins
// the name (".INI" gives ""), where I_FILENOEXT leaves such a name unchanged.

#include <string>
#include <string_view>

#include "text/value.h"

namespace torvane::files {

std::string I_EXENAME();  // full path of the running executable

// The text before the first point of the file-name part, unless that point is the
// text's first character; otherwise the text unchanged. "C:\X.V2\B.DBF" -> "C:\X.V2\B".
std::string I_FILENOEXT(std::string_view path);
// The text after the last point of the file-name part; "" when there is none.
std::string I_FILEEXT(std::string_view path);
// The text before the last separator; "" when there is none. No trailing separator.
std::string I_FILEPATH(std::string_view path);
// The file-name part upper-cased: after the last separator when one is there and is not
// the last character; else after the first ":"; else the whole text.
std::string I_FILENAME(std::string_view path);

// The text before the first point of the file-name part; unchanged when there is none.
std::string CFILENOEXT(std::string_view path);
// The main module's name for I_FILENAME.
inline std::string CFILENAME(std::string_view path) { return I_FILENAME(path); }
// CFILENOEXT(CFILENAME(path)): the upper-cased base name.
std::string CFILEBASE(std::string_view path);

// Appends the text form of value to a file (created empty first when missing); with
// erase_first the file is deleted before. The path is lower-cased. True when the whole
// text was appended; an open or write that fails loses it, and the caller decides
// whether to say so.
bool I_FILETRANS(std::string_view path, const text::Value& value, bool erase_first = false);

}  // namespace torvane::files
