#pragma once
// The main module's path helpers (names beginning with C) and XDELETEFILE. They differ
// from the library's I_ helpers in details the phases rely on: CFILENOEXT cuts at a
// point at any position (a name beginning with "." gives ""), and CFILENAME upper-cases.
// As everywhere, the cut is at the first point of the file-name part, never in a
// directory name; "\" and "/" both separate.

#include <string>
#include <string_view>

#include "fileutil/library.h"

namespace torvane::app {

// The text before the first point of the file-name part; unchanged when there is none.
std::string CFILENOEXT(std::string_view name);
// The file-name part, upper-cased: after the last separator when one is there and is
// not the last character; else after the first ":"; else the whole text.
std::string CFILENOPATH(std::string_view path);
std::string CFILENAME(std::string_view path);  // same as CFILENOPATH
// CFILENOEXT(CFILENAME(path)): the upper-cased base name.
std::string CFILEBASE(std::string_view path);
// The text before the last separator; "" when there is none.
std::string CFILEPATH(std::string_view path);
// Same as I_VALTOCHAR.
std::string CVALTOCHAR(const fileutil::Value& value);

// Deletes a file when it exists and reports it: "Datei <path> wurde gelöscht." or
// "Error: Datei <path> konnte nicht gelöscht werden."; nothing when there was no file.
// The path is shown as the caller passed it.
void XDELETEFILE(std::string_view path);

}  // namespace torvane::app
