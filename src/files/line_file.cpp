#include "files/line_file.h"

#include <algorithm>

#include "platform/fs.h"

namespace torvane::files {

bool LGETTEXTLINE(TFile& file, std::string& line, std::int64_t nMax) {
  if (nMax <= 0) nMax = TTxtFile::kMaxLineLength;
  const std::string_view bytes = file.peek(static_cast<std::size_t>(nMax));
  if (bytes.empty()) {
    line.clear();
    return false;
  }
  const std::size_t end = bytes.find("\r\n");
  if (end == std::string_view::npos) {
    line.assign(bytes);
    file.Skip(static_cast<std::int64_t>(bytes.size()));
  } else {
    line.assign(bytes.substr(0, end));
    file.Skip(static_cast<std::int64_t>(end + 2));
  }
  return true;
}

TTxtFile& TTxtFile::New(std::string_view cName, int nMode, std::optional<std::string_view> cEndLine) {
  TFile::New(cName, nMode);
  cLine_.clear();
  nTLines_ = 0;
  counted_ = true;
  nLine_ = 1;
  nOffset_ = 0;
  if (hFile() < 0) return *this;
  cEndLine_ = cEndLine ? std::string(*cEndLine) : std::string("\r\n");
  nMaxLineLength_ = kMaxLineLength;
  counted_ = false;  // counted on first use
  ReadLine();
  return *this;
}

TTxtFile& TTxtFile::Create(std::string_view cName, int nMode, std::optional<std::string_view> cEndLine) {
  if (platform::file_exists(cName)) platform::delete_file(cName);
  return New(cName, nMode, cEndLine);
}

void TTxtFile::count_lines() {
  if (counted_) return;
  counted_ = true;
  nTLines_ = Count(cEndLine_);
}

std::int64_t TTxtFile::nTLines() {
  count_lines();
  return nTLines_;
}

const std::string& TTxtFile::ReadLine() {
  const std::int64_t at = nPos();
  LGETTEXTLINE(*this, cLine_, nMaxLineLength_);
  set_cursor(at);
  return cLine_;
}

// ---- Moving --------------------------------------------------------------------

bool TTxtFile::Advance() {
  if (lEoF()) return false;
  if (!Seek(cEndLine_)) {
    TFile::GoBottom();
    return false;
  }
  set_cursor(nPos() + static_cast<std::int64_t>(cEndLine_.size()));
  nOffset_ = nPos();
  ++nLine_;
  ReadLine();
  return true;
}

bool TTxtFile::Rewind() {
  const std::int64_t from = nPos();
  const auto terminator = static_cast<std::int64_t>(cEndLine_.size());
  // Start of the line the cursor stands in: after the last terminator before it.
  set_cursor(std::min(from, file_end()));
  const std::int64_t line_start = Seek(cEndLine_, 1) ? nPos() + terminator : 0;
  if (line_start == 0) {
    set_cursor(from);
    return false;
  }
  set_cursor(line_start - terminator);
  const std::int64_t previous = Seek(cEndLine_, 1) ? nPos() + terminator : 0;
  set_cursor(previous);
  nOffset_ = previous;
  nLine_ = std::max<std::int64_t>(1, nLine_ - 1);
  ReadLine();
  return true;
}

bool TTxtFile::Skip(std::int64_t n) {
  for (; n > 0 && Advance(); --n) {
  }
  for (; n < 0 && Rewind(); ++n) {
  }
  return true;
}

std::int64_t TTxtFile::GoTo(std::int64_t n) {
  // Each step either moves or fails, so the walk always ends.
  while (nLine_ < n && Advance()) {
  }
  while (nLine_ > n && Rewind()) {
  }
  return nLine_;
}

void TTxtFile::GoTop() {
  TFile::GoTop();
  nLine_ = 1;
  nOffset_ = 0;
  ReadLine();
}

void TTxtFile::GoBottom() {
  TFile::GoBottom();
  nLine_ = nTLines();
  ReadLine();
}

// ---- Changing ------------------------------------------------------------------

bool TTxtFile::Add(std::string_view cText) {
  count_lines();
  set_cursor(file_end());
  set_len(file_end());
  const bool first = nLen() == 0;
  const auto expected = static_cast<std::int64_t>(cText.size() + (first ? 0 : cEndLine_.size()));
  std::int64_t written = first ? 0 : PutStr(cEndLine_);
  written += PutStr(cText);
  set_len(nLen() + written);
  if (written != expected) return false;
  ++nTLines_;
  nLine_ = nTLines_;
  return true;
}

bool TTxtFile::at_line_start(std::int64_t pos) {
  if (pos == 0) return true;
  const auto terminator = static_cast<std::int64_t>(cEndLine_.size());
  if (terminator == 0 || pos < terminator) return false;
  const std::int64_t keep = nPos();
  set_cursor(pos - terminator);
  const bool after_terminator = peek(cEndLine_.size()) == cEndLine_;
  set_cursor(keep);
  return after_terminator;
}

// Every edit begins here: the line count known before the file changes, the current
// line read, the cursor on its start.
std::optional<std::int64_t> TTxtFile::edit_start() {
  count_lines();
  ReadLine();
  const std::int64_t start = nPos();
  if (!Open() || !at_line_start(start)) return std::nullopt;
  return start;
}

std::int64_t TTxtFile::line_end(std::int64_t pos, bool& terminated) {
  const std::int64_t keep = nPos();
  set_cursor(pos);
  terminated = Seek(cEndLine_);
  const std::int64_t end = terminated ? nPos() : std::max(pos, file_end());
  set_cursor(keep);
  return end;
}

bool TTxtFile::DelLine() {
  const std::optional<std::int64_t> at = edit_start();
  if (!at) return false;
  const std::int64_t start = *at;
  bool terminated = false;
  const std::int64_t end = line_end(start, terminated);
  const auto terminator = static_cast<std::int64_t>(cEndLine_.size());
  // A later line goes with the terminator before it, the first with the one after it.
  const std::int64_t from = start > 0 ? start - terminator : 0;
  const std::int64_t count = start > 0 ? end - from : end + (terminated ? terminator : 0);
  if (count == 0) return false;
  const std::int64_t old_len = nLen();
  if (!rewrite(from, count, {})) return false;
  set_len(file_end());
  if (start > 0) {
    set_cursor(from + 1 >= old_len ? file_end() : start);
  } else {
    set_cursor(0);
  }
  if (start > 0 || terminated) --nTLines_;
  nLine_ = std::max<std::int64_t>(1, nLine_ - 1);
  return true;
}

bool TTxtFile::InsLine(std::string_view cText) {
  const std::optional<std::int64_t> at = edit_start();
  if (!at) return false;
  const std::int64_t start = *at;
  const std::string line = std::string(cText) + cEndLine_;
  if (lEoF()) {
    const std::int64_t at = file_end();
    const std::int64_t before = nLen();
    AppStr(line);
    set_cursor(at);
    if (nLen() - before != static_cast<std::int64_t>(line.size())) return false;
  } else {
    const std::int64_t old_len = nLen();
    if (!rewrite(start, 0, line)) return false;
    set_cursor(start);
    set_len(old_len + static_cast<std::int64_t>(line.size()));
  }
  ++nTLines_;
  return true;
}

bool TTxtFile::RepLine(std::string_view cText) {
  const std::optional<std::int64_t> at = edit_start();
  if (!at) return false;
  const std::int64_t start = *at;
  bool terminated = false;
  const std::int64_t end = line_end(start, terminated);
  if (!rewrite(start, end - start, cText)) return false;
  set_len(file_end());
  set_cursor(start);
  // Counted as a deletion followed by an insertion: the terminators stay, the line
  // number steps back as after DelLine.
  nLine_ = std::max<std::int64_t>(1, nLine_ - 1);
  ReadLine();
  return true;
}

}  // namespace torvane::files
