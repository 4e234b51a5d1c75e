#pragma once
// UTF-8 text turned into the program's single-byte code page. Editors on newer systems
// save the configuration in UTF-8, with or without a byte-order mark; the program works
// in Windows-1252, so such a file is recognised and its texts converted when read.
//
// The code page itself is handed in as a function from a character to its byte, so
// that the one table of the code page (kept by the console, which converts the other
// way) serves both directions.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::text {

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Whether bytes are UTF-8 text: they start with the byte-order mark, or they are valid
// UTF-8 holding at least one multi-byte sequence. Plain ASCII is not: any single-byte
// code page reads it the same.
bool is_utf8_text(std::string_view bytes);

// A code page's byte for a character above U+007F, or -1 when the code page has none.
using CodePageByte = int (*)(std::uint32_t code_point);

struct CodePageText {
  std::string text;                     // the converted bytes
  std::vector<std::uint32_t> unmapped;  // characters the code page lacks, in order; "?" in text
};

// UTF-8 to the code page. Characters below U+0080 pass unchanged; a byte that starts no
// valid sequence (a line typed in the code page itself) is kept as it is, so nothing is
// lost. A leading byte-order mark is not part of the text and is dropped.
CodePageText from_utf8(std::string_view utf8, CodePageByte to_byte);

// "U+0100": how a character is named in messages.
std::string code_point_name(std::uint32_t code_point);

}  // namespace torvane::text
