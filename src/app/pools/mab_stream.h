#pragma once
// Streaming access to MAB2 files of any size: a line reader that yields each line with
// the byte offset of its first byte, and a buffered writer for the filtered rewrite.
// Memory stays at one buffer whatever the size of the file or of its lines.
//
// A line ends at the pair CR LF only; a lone CR or LF belongs to the line. A file that
// ends with CR LF has no empty line after it; a last line without terminator is a line.
// A line longer than the buffer is seen through its first bytes (head) and can be
// streamed whole in pieces.
//
// The scanner is not the editable text line file (files::TTxtFile) on purpose: it only
// moves forward, never changes the file and hands out views into its buffer with byte
// offsets, which keeps a scan of gigabytes at disk speed; the line file serves the small
// start-up files that are changed line by line.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace torvane::app {

class MabLineScanner {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  explicit MabLineScanner(std::string_view path, std::size_t buffer_size = kBufferSize);

  bool is_open() const { return file_.is_open(); }
  bool failed() const { return failed_; }  // a read failed: the lines seen so far are all
  std::uint64_t size() const { return size_; }  // the file's size when it was opened

  // Moves to the next line, the first one on the first call. False at the end of the
  // file or after a failed read.
  bool next();
  std::uint64_t offset() const { return offset_; }  // the current line's first byte
  // The current line's bytes as far as the buffer holds them: the whole line when
  // whole(), else at least the buffer size less one byte.
  std::string_view head() const { return {buf_.data() + start_, head_end_ - start_}; }
  bool whole() const { return whole_; }
  // Hands the whole current line to sink in pieces, head first, and steps over it.
  // Call at most once per line, right after next().
  bool stream(const std::function<void(std::string_view)>& sink);

 private:
  bool fill();     // more bytes after the valid ones; false at the end or on failure
  void compact();  // moves the bytes from start_ on to the front of the buffer
  bool pass_rest(const std::function<void(std::string_view)>* sink);

  platform::File file_;
  std::vector<char> buf_;
  std::uint64_t size_ = 0;
  std::uint64_t base_ = 0;      // file offset of buf_[0]
  std::uint64_t read_at_ = 0;   // file offset of the next read
  std::size_t len_ = 0;         // valid bytes in buf_
  std::size_t start_ = 0;       // current line's first byte in buf_
  std::size_t head_end_ = 0;    // end of the head in buf_
  std::size_t next_ = 0;        // where the next line starts (whole lines)
  std::uint64_t offset_ = 0;
  bool whole_ = true;
  bool started_ = false;
  bool streamed_ = false;
  bool at_end_ = false;         // every byte of the file is in the buffer or passed
  bool failed_ = false;
};

// Whether a file's lines end otherwise than with CR LF, as after a conversion by a tool
// of another system: its first LF has no CR before it, or it has a CR and no LF at all.
// A file whose first LF follows a CR is a CR LF file whatever stray CRs or LFs its
// lines hold, and one without CR or LF is a single line. Reads up to the first LF.
// False when the file cannot be read.
bool foreign_line_ends(std::string_view path);

// Appends bytes to a new file through a large buffer; can take back what was written
// since a position. The file is created (or truncated) at open.
class BufferedWriter {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  explicit BufferedWriter(std::string_view path);

  bool is_open() const { return file_.is_open(); }
  bool failed() const { return failed_; }
  std::uint64_t position() const { return flushed_ + buffer_.size(); }
  void write(std::string_view bytes);
  // Forgets everything written from position p on (p <= position()).
  void rewind_to(std::uint64_t p);
  // Writes the rest, flushes to disk and closes. False when any write failed.
  bool finish();

 private:
  bool write_out();

  platform::File file_;
  std::string buffer_;
  std::uint64_t flushed_ = 0;  // bytes on disk
  bool cut_needed_ = false;    // a rewind went below what is on disk
  bool failed_ = false;
};

}  // namespace torvane::app
