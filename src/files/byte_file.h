#pragma once
// TFile: one open file as a byte stream with a cursor. Reads and writes bytes, 16-bit
// little-endian words and strings at the cursor, appends at the end, searches for a
// byte string, counts its occurrences, and deletes or inserts bytes in the middle of
// the file by rewriting it through a temporary edit file.
//
// Name prefixes (kept as the system knows them): n number, c text, l flag, h handle.
//
// Handle states, as `hFile` reports them:
//     -1  the open or create in New failed; reads return nothing, writes write nothing
//      0  closed (Close/End), or never opened
//     >0  open; a new number after every edit that rewrote the file
//
// The cursor is a byte offset from 0; `nPos` returns it. The text line file keeps it on
// the first byte of its current line, so `nPos` right after reading a line is the byte
// offset of that line.
//
// Open modes: access 0 read, 1 write, 2 read and write; plus sharing 16 exclusive,
// 32 deny write, 48 deny read, 64 deny none, 0 compatibility (no share lock). A file
// with the read-only attribute (no write permission) is never opened for writing, even
// for a privileged user: the attribute protects the file whoever runs the program.
//
// Buffering. Reads go through a read-ahead buffer and appends at the end of the file
// through a write-behind buffer, so scanning a file line by line costs no system call
// per line. Every observable result (cursor, `nLen`, what a read returns, the bytes of
// the file once closed) is the same as with direct reads and writes, provided this
// object is the only writer of the file while it is open. An append whose deferred
// write later fails is reported by `Flush` and `Close` returning false.
//
// Edits (DelBytes, InsBytes) copy the file to the temporary edit file (the name cut
// before the first point of its file-name part, then "." + the process number +
// ".#$#") and rename the complete copy over the original; the file is then reopened
// exclusively (mode 18). If the copy cannot be made or renamed, the file is left as it
// was, the object keeps a usable handle and the edit returns false. The number keeps
// two processes editing one file apart; an edit first deletes the edit files of the
// same file that a process no longer running left behind (a killed run).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace torvane::files {

// The temporary edit file of a path for a process: D:\DVD\BIN\A.CDM and process 42
// give D:\DVD\BIN\A.42.#$#. The cut is at the first point of the file-name part only,
// so a point in a folder name never sends the copy into another folder.
std::string edit_file_name(std::string_view path, unsigned long process);
// When `name` (a file-name part) is an edit file of a file whose name cut before its
// first point is `stem` ("A.42.#$#", letter case aside), the process number in it; 0
// for the form without a number ("A.#$#") that earlier versions wrote. Nothing for
// any other name.
std::optional<unsigned long> edit_file_owner(std::string_view name, std::string_view stem);

class TFile {
 public:
  static constexpr int kDefaultMode = -1;     // an absent mode argument
  static constexpr int kEditMode = 18;        // read and write, exclusive
  static constexpr std::int64_t kBufferLen = 2048;

  TFile() = default;
  explicit TFile(std::string_view cName, int nMode = kDefaultMode) { New(cName, nMode); }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  virtual ~TFile();

  // An existing file is opened with nMode (default 2); a missing one is created empty
  // with nMode as its attribute (default 0; 1 makes it read-only) and opened for
  // reading and writing. Check Open() or hFile() afterwards.
  TFile& New(std::string_view cName, int nMode = kDefaultMode);
  // Deletes the file if it exists, then New: the file is created empty.
  TFile& Create(std::string_view cName, int nMode = kDefaultMode);

  bool Open() const { return handle_ > 0; }
  // Commits buffered appends and closes; false when a write since the open failed.
  bool Close();
  bool End() { return Close(); }
  // Commits buffered appends; false when a write since the open failed.
  bool Flush();

  // Cursor moves. A move before offset 0 leaves the cursor where it was.
  std::int64_t Skip(std::int64_t n);
  std::int64_t GoTo(std::int64_t n);
  void GoTop() { pos_ = 0; }
  void GoBottom();  // cursor to the end of the file, nLen := its size
  bool lEoF() const { return pos_ >= len_; }
  bool lBoF() const { return pos_ == 0; }
  std::int64_t nPos() const { return pos_; }

  int nGetByte();   // 0..255, or -1
  int nGetWord();   // signed 16-bit little-endian, or -1 when fewer than two bytes
  std::string cGetStr(std::int64_t n);

  int PutByte(int n);
  int PutWord(int n);
  std::int64_t PutStr(std::string_view s);
  std::int64_t AppByte(int n);   // each App* returns the new nLen
  std::int64_t AppWord(int n);
  std::int64_t AppStr(std::string_view s);

  // Occurrences of cStr, counted in consecutive chunks of nBufferLen bytes from offset
  // 0, left to right without overlap; an occurrence split across two chunks is not
  // counted. The cursor is unchanged.
  std::int64_t Count(std::string_view cStr = "\r\n");
  // Forward (nDirection 0): the first occurrence at or after the cursor. Backward (1):
  // the last occurrence that ends at or before the cursor. nCase 1 upper-cases, 2
  // lower-cases the file's bytes (ASCII letters) before comparing; cStr is taken as
  // it is. Found: cursor on the first byte of the match, true. Otherwise the cursor
  // stays, false.
  bool Seek(std::string_view cStr, int nDirection = 0, int nCase = 0);

  // Removes n bytes at the cursor p. Afterwards the cursor is at the end of the new
  // file when p + 1 reached the old nLen, else at p + 2 (the text line file relies on
  // landing after a CR LF it kept); nLen is the new size.
  bool DelBytes(std::int64_t n);
  // Inserts n blanks at the cursor, which then stands on the first of them.
  bool InsBytes(std::int64_t n);

  const std::string& cName() const { return name_; }
  int hFile() const { return handle_; }
  std::int64_t nLen() const { return len_; }
  std::int64_t nBufferLen() const { return kBufferLen; }
  int nMode() const { return mode_; }

  // Up to n bytes at the cursor without moving it; valid until the next call on this
  // object.
  std::string_view peek(std::size_t n);

 protected:
  // Called before anything changes the file's bytes.
  virtual void before_change() {}

  void set_cursor(std::int64_t pos) { pos_ = pos; }
  void set_len(std::int64_t len) { len_ = len; }
  // The physical size of the file as this object knows it (buffered appends included).
  std::int64_t file_end() const { return end_; }
  // The file's bytes from pos on, as many as the read-ahead buffer holds: at least
  // `need` of them unless the file ends sooner. Valid until the next call.
  std::string_view window(std::int64_t pos, std::size_t need);
  // Rewrites the file with `remove` bytes at p replaced by `insert` followed by
  // `blanks` blanks, through the temporary edit file. Needs a handle open for reading
  // and writing. Leaves cursor and nLen to the caller.
  bool rewrite(std::int64_t p, std::int64_t remove, std::string_view insert, std::int64_t blanks = 0);

 private:
  std::int64_t write_bytes(std::int64_t pos, std::string_view bytes);
  std::int64_t read_bytes(std::int64_t pos, char* out, std::int64_t n);
  bool flush_writes();
  void drop_read_ahead() { rbuf_len_ = 0; rbuf_eof_ = false; }
  void forget_read_ahead_at(std::int64_t first, std::int64_t last);
  bool open_existing(int nMode);
  void reset_state();
  bool copy_range(platform::File& to, std::int64_t& to_offset, std::int64_t from, std::int64_t count);
  void remove_dead_edit_files();

  platform::File file_;
  std::string name_;
  int handle_ = 0;
  int mode_ = 0;
  bool writable_ = false;
  bool readable_ = false;
  bool write_failed_ = false;
  std::int64_t len_ = 0;   // nLen
  std::int64_t pos_ = 0;   // the cursor
  std::int64_t end_ = 0;   // physical size, pending appends included

  std::vector<char> rbuf_;  // read-ahead: bytes rbuf_off_ .. rbuf_off_ + rbuf_len_
  std::int64_t rbuf_off_ = 0;
  std::size_t rbuf_len_ = 0;
  bool rbuf_eof_ = false;   // the file ended where the buffered bytes end

  std::string wbuf_;        // write-behind: bytes for wbuf_off_ .. end_
  std::int64_t wbuf_off_ = 0;
};

}  // namespace torvane::files
