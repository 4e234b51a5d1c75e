#include "files/byte_file.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <span>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/process.h"
#include "text/file_name.h"
#include "text/letter_case.h"

namespace torvane::files {
namespace {

constexpr std::size_t kReadAhead = 256 * 1024;   // bytes read per refill
constexpr std::size_t kWriteBehind = 256 * 1024;  // appended bytes held before writing
constexpr std::size_t kCopyChunk = 256 * 1024;    // chunk of an edit's copy

int next_handle() {
  static std::atomic<int> counter{0};
  int current = counter.load();
  int next;
  do {
    next = current == INT_MAX ? 1 : current + 1;
  } while (!counter.compare_exchange_weak(current, next));
  return next;
}

bool wants_write(int mode) { return (mode & 3) != 0; }
bool wants_read(int mode) { return (mode & 3) != 1; }

platform::Share share_of(int mode) {
  switch (mode & 0x70) {
    case 16:  // exclusive
    case 48:  // deny read
      return platform::Share::exclusive;
    case 32:  // deny write
    case 64:  // deny none
      return platform::Share::shared;
    default:
      return platform::Share::compatibility;
  }
}

char fold(char c, int nCase) {
  if (nCase == 1 && c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (nCase == 2 && c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

bool matches_at(std::string_view hay, std::size_t at, std::string_view needle, int nCase) {
  for (std::size_t k = 0; k < needle.size(); ++k) {
    if (fold(hay[at + k], nCase) != needle[k]) return false;
  }
  return true;
}

// First (or last) start of needle inside hay, with the hay's letters folded by nCase.
std::size_t find_in(std::string_view hay, std::string_view needle, int nCase, bool last) {
  if (nCase != 1 && nCase != 2) return last ? hay.rfind(needle) : hay.find(needle);
  if (hay.size() < needle.size()) return std::string_view::npos;
  const std::size_t final_start = hay.size() - needle.size();
  if (last) {
    for (std::size_t i = final_start + 1; i-- > 0;) {
      if (matches_at(hay, i, needle, nCase)) return i;
    }
  } else {
    for (std::size_t i = 0; i <= final_start; ++i) {
      if (matches_at(hay, i, needle, nCase)) return i;
    }
  }
  return std::string_view::npos;
}

std::int64_t count_in(std::string_view chunk, std::string_view needle) {
  std::int64_t count = 0;
  for (std::size_t at = chunk.find(needle); at != std::string_view::npos;
       at = chunk.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool append_to(platform::File& to, std::int64_t& to_offset, std::string_view bytes) {
  if (bytes.empty()) return true;
  if (to.write_at(static_cast<std::uint64_t>(to_offset), bytes_of(bytes)) !=
      static_cast<std::int64_t>(bytes.size())) {
    return false;
  }
  to_offset += static_cast<std::int64_t>(bytes.size());
  return true;
}

}  // namespace

std::string edit_file_name(std::string_view path, unsigned long process) {
  return std::string(text::trim(text::cut_at_first_point(path))) + "." + std::to_string(process) + ".#$#";
}

std::optional<unsigned long> edit_file_owner(std::string_view name, std::string_view stem) {
  constexpr std::string_view kEnding = ".#$#";
  if (name.size() < stem.size() + kEnding.size() || !name.ends_with(kEnding)) return std::nullopt;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (fold(name[i], 2) != fold(stem[i], 2)) return std::nullopt;
  }
  std::string_view middle = name.substr(stem.size(), name.size() - stem.size() - kEnding.size());
  if (middle.empty()) return 0UL;
  if (middle.front() != '.' || middle.size() < 2 || middle.size() > 11) return std::nullopt;
  unsigned long process = 0;
  for (const char c : middle.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    process = process * 10 + static_cast<unsigned long>(c - '0');
  }
  return process;
}

TFile::~TFile() { Close(); }

void TFile::reset_state() {
  handle_ = 0;
  mode_ = 0;
  writable_ = false;
  readable_ = false;
  write_failed_ = false;
  len_ = pos_ = end_ = 0;
  drop_read_ahead();
  wbuf_.clear();
  wbuf_off_ = 0;
}

bool TFile::open_existing(int nMode) {
  const bool write = wants_write(nMode);
  // The read-only attribute forbids writing whoever asks.
  if (write && platform::is_read_only(name_)) return false;
  file_ = platform::File::open(name_, write ? platform::Access::read_write : platform::Access::read,
                               share_of(nMode), platform::Disposition::open_existing);
  if (!file_.is_open()) return false;
  writable_ = write;
  readable_ = wants_read(nMode);
  end_ = std::max<std::int64_t>(0, file_.size());
  len_ = end_;
  return true;
}

TFile& TFile::New(std::string_view cName, int nMode) {
  Close();
  reset_state();
  name_ = std::string(cName);
  bool opened;
  if (platform::file_exists(name_)) {
    mode_ = nMode < 0 ? 2 : nMode;
    opened = open_existing(mode_);
  } else {
    mode_ = nMode < 0 ? 0 : nMode;
    file_ = platform::File::open(name_, platform::Access::read_write, platform::Share::compatibility,
                                 platform::Disposition::create_always);
    opened = file_.is_open();
    if (opened) {
      writable_ = readable_ = true;
      if (mode_ & 1) platform::set_read_only(name_, true);  // the read-only attribute
    }
  }
  handle_ = opened ? next_handle() : -1;
  return *this;
}

TFile& TFile::Create(std::string_view cName, int nMode) {
  if (platform::file_exists(cName)) platform::delete_file(cName);
  return New(cName, nMode);
}

bool TFile::Flush() {
  flush_writes();
  return !write_failed_;
}

bool TFile::Close() {
  const bool ok = Flush();
  file_.close();
  handle_ = 0;
  drop_read_ahead();
  return ok;
}

std::int64_t TFile::Skip(std::int64_t n) {
  if (pos_ + n >= 0) pos_ += n;
  return pos_;
}

std::int64_t TFile::GoTo(std::int64_t n) {
  if (n >= 0) pos_ = n;
  return pos_;
}

void TFile::GoBottom() {
  flush_writes();
  if (handle_ > 0) {
    const std::int64_t size = file_.size();
    if (size >= 0) end_ = size;
  }
  pos_ = len_ = end_;
}

// ---- Reading -------------------------------------------------------------------

std::string_view TFile::window(std::int64_t pos, std::size_t need) {
  if (handle_ <= 0 || !readable_ || pos < 0) return {};
  flush_writes();
  const std::int64_t buffered_end = rbuf_off_ + static_cast<std::int64_t>(rbuf_len_);
  if (pos >= rbuf_off_ && pos <= buffered_end) {
    const std::size_t available = static_cast<std::size_t>(buffered_end - pos);
    if (available >= need || rbuf_eof_) {
      return {rbuf_.data() + (pos - rbuf_off_), available};
    }
  }
  const std::size_t capacity = std::max(kReadAhead, 2 * need);
  if (rbuf_.size() < capacity) rbuf_.resize(capacity);
  const std::int64_t got = file_.read_at(
      static_cast<std::uint64_t>(pos),
      std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(rbuf_.data()), rbuf_.size()));
  if (got < 0) {
    drop_read_ahead();
    return {};
  }
  rbuf_off_ = pos;
  rbuf_len_ = static_cast<std::size_t>(got);
  rbuf_eof_ = rbuf_len_ < rbuf_.size();
  return {rbuf_.data(), rbuf_len_};
}

std::string_view TFile::peek(std::size_t n) { return window(pos_, n).substr(0, n); }

std::int64_t TFile::read_bytes(std::int64_t pos, char* out, std::int64_t n) {
  if (n <= 0) return 0;
  if (static_cast<std::size_t>(n) >= kReadAhead) {
    if (handle_ <= 0 || !readable_) return 0;
    flush_writes();
    const std::int64_t got = file_.read_at(
        static_cast<std::uint64_t>(pos),
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out), static_cast<std::size_t>(n)));
    return std::max<std::int64_t>(0, got);
  }
  const std::string_view bytes = window(pos, static_cast<std::size_t>(n)).substr(0, static_cast<std::size_t>(n));
  std::copy(bytes.begin(), bytes.end(), out);
  return static_cast<std::int64_t>(bytes.size());
}

int TFile::nGetByte() {
  char byte;
  if (read_bytes(pos_, &byte, 1) != 1) return -1;
  ++pos_;
  return static_cast<unsigned char>(byte);
}

int TFile::nGetWord() {
  char bytes[2];
  const std::int64_t got = read_bytes(pos_, bytes, 2);
  pos_ += got;
  if (got < 2) return -1;
  const auto low = static_cast<unsigned char>(bytes[0]);
  const auto high = static_cast<unsigned char>(bytes[1]);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
}

std::string TFile::cGetStr(std::int64_t n) {
  std::string out;
  // Read in pieces so that a huge n costs only what the file holds.
  while (n > 0 && static_cast<std::int64_t>(out.size()) < n) {
    const std::size_t old = out.size();
    const auto piece = static_cast<std::size_t>(
        std::min<std::int64_t>(n - static_cast<std::int64_t>(old), static_cast<std::int64_t>(kCopyChunk)));
    out.resize(old + piece);
    const std::int64_t got = read_bytes(pos_ + static_cast<std::int64_t>(old), out.data() + old,
                                        static_cast<std::int64_t>(piece));
    out.resize(old + static_cast<std::size_t>(got));
    if (static_cast<std::size_t>(got) < piece) break;
  }
  pos_ += static_cast<std::int64_t>(out.size());
  return out;
}

// ---- Writing -------------------------------------------------------------------

void TFile::forget_read_ahead_at(std::int64_t first, std::int64_t last) {
  const std::int64_t buffered_end = rbuf_off_ + static_cast<std::int64_t>(rbuf_len_);
  // Touching the end counts: the buffer also records where the file ended.
  if (first <= buffered_end && last >= rbuf_off_) drop_read_ahead();
}

bool TFile::flush_writes() {
  if (wbuf_.empty()) return true;
  const std::int64_t got = file_.write_at(static_cast<std::uint64_t>(wbuf_off_), bytes_of(wbuf_));
  const bool ok = got == static_cast<std::int64_t>(wbuf_.size());
  if (!ok) {
    write_failed_ = true;
    end_ = wbuf_off_ + std::max<std::int64_t>(0, got);
  }
  forget_read_ahead_at(wbuf_off_, wbuf_off_ + static_cast<std::int64_t>(wbuf_.size()));
  wbuf_.clear();
  return ok;
}

std::int64_t TFile::write_bytes(std::int64_t pos, std::string_view bytes) {
  if (handle_ <= 0 || !writable_ || bytes.empty() || pos < 0) return 0;
  before_change();
  const auto size = static_cast<std::int64_t>(bytes.size());
  if (pos == end_) {  // an append: held back and written in large pieces
    if (wbuf_.empty()) wbuf_off_ = pos;
    forget_read_ahead_at(pos, pos);
    wbuf_.append(bytes);
    end_ += size;
    if (wbuf_.size() >= kWriteBehind) flush_writes();
    return size;
  }
  flush_writes();
  const std::int64_t got = file_.write_at(static_cast<std::uint64_t>(pos), bytes_of(bytes));
  if (got < size) write_failed_ = true;
  if (got <= 0) return 0;
  forget_read_ahead_at(pos, pos + got);
  end_ = std::max(end_, pos + got);
  return got;
}

int TFile::PutByte(int n) {
  const char byte = static_cast<char>(n & 0xFF);
  const auto written = write_bytes(pos_, std::string_view(&byte, 1));
  pos_ += written;
  return static_cast<int>(written);
}

int TFile::PutWord(int n) {
  const char bytes[2] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF)};
  const auto written = write_bytes(pos_, std::string_view(bytes, 2));
  pos_ += written;
  return static_cast<int>(written);
}

std::int64_t TFile::PutStr(std::string_view s) {
  const auto written = write_bytes(pos_, s);
  pos_ += written;
  return written;
}

std::int64_t TFile::AppByte(int n) {
  pos_ = end_;
  len_ += PutByte(n);
  return len_;
}

std::int64_t TFile::AppWord(int n) {
  pos_ = end_;
  len_ += PutWord(n);
  return len_;
}

std::int64_t TFile::AppStr(std::string_view s) {
  pos_ = end_;
  len_ += PutStr(s);
  return len_;
}

// ---- Searching -----------------------------------------------------------------

std::int64_t TFile::Count(std::string_view cStr) {
  if (cStr.empty() || len_ == 0) return 0;
  std::int64_t count = 0;
  for (std::int64_t offset = 0; offset < len_;) {
    const std::string_view chunk = window(offset, kBufferLen).substr(0, kBufferLen);
    if (chunk.empty()) break;
    count += count_in(chunk, cStr);
    offset += static_cast<std::int64_t>(chunk.size());
  }
  return count;
}

bool TFile::Seek(std::string_view cStr, int nDirection, int nCase) {
  if (cStr.empty() || handle_ <= 0) return false;
  const std::size_t length = cStr.size();
  if (nDirection == 1) {
    // Windows ending at `high`, read towards the start, overlapping by length - 1.
    const std::int64_t span = static_cast<std::int64_t>(std::max(kReadAhead / 2, 2 * length));
    flush_writes();
    std::int64_t high = std::min(pos_, end_);
    while (high >= static_cast<std::int64_t>(length)) {
      const std::int64_t low = std::max<std::int64_t>(0, high - span);
      const std::string_view bytes =
          window(low, static_cast<std::size_t>(high - low)).substr(0, static_cast<std::size_t>(high - low));
      const std::size_t at = find_in(bytes, cStr, nCase, true);
      if (at != std::string_view::npos) {
        pos_ = low + static_cast<std::int64_t>(at);
        return true;
      }
      if (low == 0 || bytes.size() < length) return false;
      high = low + static_cast<std::int64_t>(length) - 1;
    }
    return false;
  }
  // Forward: each window overlaps the previous one by length - 1 bytes, so a match
  // across a refill is found, and the first match is the first in the file.
  for (std::int64_t start = pos_;;) {
    const std::string_view bytes = window(start, length);
    if (bytes.size() < length) return false;
    const std::size_t at = find_in(bytes, cStr, nCase, false);
    if (at != std::string_view::npos) {
      pos_ = start + static_cast<std::int64_t>(at);
      return true;
    }
    start += static_cast<std::int64_t>(bytes.size() - (length - 1));
  }
}

// ---- Editing -------------------------------------------------------------------

bool TFile::copy_range(platform::File& to, std::int64_t& to_offset, std::int64_t from,
                       std::int64_t count) {
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::int64_t>(
      std::max<std::int64_t>(count, 1), static_cast<std::int64_t>(kCopyChunk))));
  while (count > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(count, static_cast<std::int64_t>(chunk.size())));
    const std::int64_t got = file_.read_at(static_cast<std::uint64_t>(from), std::span(chunk.data(), want));
    if (got != static_cast<std::int64_t>(want)) return false;
    if (to.write_at(static_cast<std::uint64_t>(to_offset), std::span<const std::uint8_t>(chunk.data(), want)) !=
        got) {
      return false;
    }
    from += got;
    to_offset += got;
    count -= got;
  }
  return true;
}

// Edit files of this file left by processes that no longer run (a killed run) would be
// mastered with the medium; they are never anyone's only copy of the file.
void TFile::remove_dead_edit_files() {
  const std::string own = edit_file_name(name_, 0);  // <folder><stem>.0.#$#
  const std::string folder = own.substr(0, text::file_name_start(own));
  const std::string stem = own.substr(folder.size(), own.size() - folder.size() - std::string_view(".0.#$#").size());
  for (const std::string& entry : platform::list_files(folder, "*.#$#", true)) {
    const std::optional<unsigned long> owner = edit_file_owner(entry, stem);
    if (owner && *owner != platform::process_id() && !platform::process_running(*owner)) {
      platform::delete_file(folder + entry);
    }
  }
}

bool TFile::rewrite(std::int64_t p, std::int64_t remove, std::string_view insert,
                    std::int64_t blanks) {
  if (handle_ <= 0 || !writable_ || !readable_ || p < 0 || remove < 0 || blanks < 0) return false;
  before_change();
  if (!flush_writes()) return false;
  const std::string temp = edit_file_name(name_, platform::process_id());
  if (platform::native_path(temp) == platform::native_path(name_)) return false;
  remove_dead_edit_files();
  const std::int64_t size = file_.size();
  if (size < 0) return false;

  platform::File copy = platform::File::open(temp, platform::Access::read_write, platform::Share::exclusive,
                                             platform::Disposition::create_always);
  if (!copy.is_open()) return false;
  const std::int64_t head = std::min(p, size);
  const std::int64_t tail_start = std::min(p + remove, size);
  std::int64_t written = 0;
  bool ok = copy_range(copy, written, 0, head) && append_to(copy, written, insert);
  const std::string spaces(static_cast<std::size_t>(std::min<std::int64_t>(blanks, kCopyChunk)), ' ');
  for (std::int64_t left = blanks; ok && left > 0; left -= static_cast<std::int64_t>(spaces.size())) {
    ok = append_to(copy, written, std::string_view(spaces).substr(0, static_cast<std::size_t>(
                                                                         std::min<std::int64_t>(left, spaces.size()))));
  }
  ok = ok && copy_range(copy, written, tail_start, size - tail_start) && copy.flush();
  copy.close();
  drop_read_ahead();
  if (!ok) {
    platform::delete_file(temp);
    return false;
  }

  // The complete copy replaces the file in one rename; until then the file is untouched.
  file_.close();
  if (!platform::rename_file(temp, name_)) {
    platform::delete_file(temp);
    if (!open_existing(mode_)) handle_ = -1;
    return false;
  }
  if (!open_existing(kEditMode)) {
    handle_ = -1;
    return false;
  }
  mode_ = kEditMode;
  handle_ = next_handle();
  return true;
}

bool TFile::DelBytes(std::int64_t n) {
  if (n <= 0) return false;
  const std::int64_t p = pos_;
  const std::int64_t old_len = len_;
  if (!rewrite(p, n, {}, 0)) return false;
  len_ = end_;
  pos_ = p + 1 >= old_len ? end_ : p + 2;
  return true;
}

bool TFile::InsBytes(std::int64_t n) {
  if (n <= 0 || handle_ <= 0) return false;
  if (lEoF()) {
    const std::int64_t start = end_;
    const std::string spaces(static_cast<std::size_t>(std::min<std::int64_t>(n, kCopyChunk)), ' ');
    std::int64_t written = 0;
    for (std::int64_t left = n; left > 0;) {
      const std::int64_t piece = std::min<std::int64_t>(left, static_cast<std::int64_t>(spaces.size()));
      const std::int64_t before = len_;
      AppStr(std::string_view(spaces).substr(0, static_cast<std::size_t>(piece)));
      if (len_ - before != piece) break;
      written += piece;
      left -= piece;
    }
    pos_ = start;
    return written == n;
  }
  const std::int64_t p = pos_;
  const std::int64_t old_len = len_;
  if (!rewrite(p, 0, {}, n)) return false;
  pos_ = p;
  len_ = old_len + n;
  return true;
}

}  // namespace torvane::files
