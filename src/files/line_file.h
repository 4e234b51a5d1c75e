#pragma once
// TTxtFile: a text file read and changed line by line, lines ending in CR LF, on top of
// the byte-level TFile.
//
// A line is the bytes from a line start up to, not including, the next CR LF, or up to
// the end of the file for a last line without terminator; only the pair CR LF ends a
// line (a lone CR or LF belongs to the line). A file that ends with CR LF has no line
// after it: moving past its last terminator reaches the empty line at the end, where
// `lEoF` is true.
//
// Reading a line never moves the cursor, and returns at most `nMaxLineLength` (1,024)
// bytes: the first 1,024 bytes of a longer line, and for a line of exactly 1,023 bytes
// those bytes followed by its CR. Moving (`Skip`) searches the next terminator in the
// file itself, so lines of any length are stepped over correctly.
//
// Between operations the cursor stands on the first byte of the current line (or at
// the end of the file), so TFile::nPos() right after `ReadLn` is the byte offset of
// that line; `nLine` is its line number, `nTLines` the number of lines.
//
// The reading loop of the phases:
//     while (!file.lEoF()) { const std::string& line = file.ReadLn(); ...; file.Skip(1); }
//
// Editing (`DelLine`, `InsLine`, `RepLine`) rewrites the file through TFile's temporary
// edit file and works on the whole current line, whatever its length. Each edit needs
// the cursor on a line start; otherwise it changes nothing and returns false.
//
// `nTLines` is the number of terminators counted at open, then kept up to date by the
// edits and `Add`. It is counted on first use (at the latest before the first change
// to the file), so a scan that never asks for it reads the file only once.
//
// This is the editable text file of the clean-up and stamping (a few small files, read
// and changed in place). The MAB2 files are scanned by a different reader,
// app::MabLineScanner: a forward-only scanner over one large buffer that yields each
// line with its byte offset and never edits, so that a scan of gigabytes runs at disk
// speed; a line file would count lines and keep edit state the scan never needs.
//
// Name prefixes: n number, c text, l flag, h handle.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "files/byte_file.h"

namespace torvane::files {

// Reads the line at the file's cursor: at most nMax bytes (1,024 when nMax is 0), cut
// at the first CR LF inside them; the cursor then stands after that CR LF, or after
// the bytes read when there is none. False, with an empty line, when nothing could be
// read.
bool LGETTEXTLINE(TFile& file, std::string& line, std::int64_t nMax = 0);

class TTxtFile : public TFile {
 public:
  static constexpr std::int64_t kMaxLineLength = 1024;

  TTxtFile() = default;
  explicit TTxtFile(std::string_view cName, int nMode = kDefaultMode,
                    std::optional<std::string_view> cEndLine = std::nullopt) {
    New(cName, nMode, cEndLine);
  }

  // Opens or creates the file as TFile::New does, then stands on the first line.
  TTxtFile& New(std::string_view cName, int nMode = kDefaultMode,
                std::optional<std::string_view> cEndLine = std::nullopt);
  // Deletes the file if it exists, then New: an empty text file.
  TTxtFile& Create(std::string_view cName, int nMode = kDefaultMode,
                   std::optional<std::string_view> cEndLine = std::nullopt);

  const std::string& ReadLine();
  const std::string& ReadLn() { return ReadLine(); }

  // n > 0: n times Advance, stopping at the end; n < 0: -n times Rewind, stopping at
  // the first line. Returns true.
  bool Skip(std::int64_t n = 1);
  bool Advance();  // to the next line; false at the end of the file
  bool Rewind();   // to the previous line; false on the first line
  std::int64_t GoTo(std::int64_t n);  // returns the line number reached
  void GoTop();
  void GoBottom();

  // Appends a line: the text alone to an empty file, else CR LF + text. The cursor
  // stays at the end. False when not every byte could be written.
  bool Add(std::string_view cText);
  bool AppendLn(std::string_view cText) { return Add(cText); }
  // Deletes the current line: a line other than the first together with the
  // terminator before it, the first line together with the terminator after it.
  bool DelLine();
  // Inserts cText as a line before the current one; the new line becomes current.
  bool InsLine(std::string_view cText);
  // Replaces the current line's text, keeping the terminators around it as they are;
  // the cursor stands on the new line, so Skip(1) continues with the line after it.
  bool RepLine(std::string_view cText);

  const std::string& cLine() const { return cLine_; }
  std::int64_t nTLines();
  std::int64_t nLine() const { return nLine_; }
  std::int64_t nMaxLineLength() const { return nMaxLineLength_; }
  std::int64_t nOffset() const { return nOffset_; }
  const std::string& cEndLine() const { return cEndLine_; }

 protected:
  void before_change() override { count_lines(); }

 private:
  void count_lines();
  bool at_line_start(std::int64_t pos);
  // The start of the current line when an edit may work on it.
  std::optional<std::int64_t> edit_start();
  // End of the line's text that starts at pos; `terminated` tells whether a
  // terminator follows it.
  std::int64_t line_end(std::int64_t pos, bool& terminated);

  std::string cLine_;
  std::string cEndLine_ = "\r\n";
  std::int64_t nTLines_ = 0;
  bool counted_ = true;
  std::int64_t nLine_ = 1;
  std::int64_t nMaxLineLength_ = kMaxLineLength;
  std::int64_t nOffset_ = 0;
};

}  // namespace torvane::files
