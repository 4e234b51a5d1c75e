#include "app/pools/mab_stream.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace torvane::app {

// ---- Reader ------------------------------------------------------------------------

MabLineScanner::MabLineScanner(std::string_view path, std::size_t buffer_size)
    : file_(platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                 platform::Disposition::open_existing)),
      buf_(std::max<std::size_t>(buffer_size, 16)) {
  if (!file_.is_open()) return;
  const std::int64_t size = file_.size();
  size_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

bool MabLineScanner::fill() {
  if (at_end_ || failed_ || len_ == buf_.size()) return false;
  const std::int64_t n =
      file_.read_at(read_at_, std::span(reinterpret_cast<std::uint8_t*>(buf_.data()) + len_, buf_.size() - len_));
  if (n < 0) {
    failed_ = true;
    return false;
  }
  if (n == 0) {
    at_end_ = true;
    return false;
  }
  read_at_ += static_cast<std::uint64_t>(n);
  len_ += static_cast<std::size_t>(n);
  return true;
}

void MabLineScanner::compact() {
  if (start_ == 0) return;
  std::memmove(buf_.data(), buf_.data() + start_, len_ - start_);
  base_ += start_;
  len_ -= start_;
  start_ = 0;
}

bool MabLineScanner::next() {
  if (!file_.is_open() || failed_) return false;
  if (started_ && !streamed_) {
    if (whole_) {
      start_ = next_;
    } else if (!pass_rest(nullptr)) {
      return false;
    }
  }
  started_ = true;
  streamed_ = false;
  if (start_ == len_) {
    compact();
    if (!fill()) return false;
  }
  std::size_t scan = start_;
  for (;;) {
    const void* hit = std::memchr(buf_.data() + scan, '\n', len_ - scan);
    if (hit != nullptr) {
      const auto i = static_cast<std::size_t>(static_cast<const char*>(hit) - buf_.data());
      if (i > start_ && buf_[i - 1] == '\r') {
        head_end_ = i - 1;
        next_ = i + 1;
        whole_ = true;
        break;
      }
      scan = i + 1;
      continue;
    }
    if (at_end_) {  // a last line without terminator
      head_end_ = next_ = len_;
      whole_ = true;
      break;
    }
    if (start_ == 0 && len_ == buf_.size()) {
      // A line longer than the buffer. Its last byte here may be the CR of its
      // terminator, so it stays out of the head.
      head_end_ = len_ - 1;
      whole_ = false;
      break;
    }
    scan -= start_;
    compact();
    if (!fill() && failed_) return false;
  }
  offset_ = base_ + start_;
  return true;
}

bool MabLineScanner::stream(const std::function<void(std::string_view)>& sink) {
  if (!started_ || streamed_) return false;
  return pass_rest(&sink);
}

// Steps over the current line, handing its bytes to sink when there is one.
bool MabLineScanner::pass_rest(const std::function<void(std::string_view)>* sink) {
  streamed_ = true;
  if (sink != nullptr) (*sink)(head());
  if (whole_) {
    start_ = next_;
    return true;
  }
  std::size_t from = head_end_;  // first byte not handed on yet
  for (;;) {
    start_ = from;
    compact();
    from = 0;
    if (!fill() && failed_) return false;
    std::size_t scan = from;
    while (const void* hit = std::memchr(buf_.data() + scan, '\n', len_ - scan)) {
      const auto i = static_cast<std::size_t>(static_cast<const char*>(hit) - buf_.data());
      if (i > from && buf_[i - 1] == '\r') {
        if (sink != nullptr) (*sink)(std::string_view(buf_.data() + from, i - 1 - from));
        start_ = next_ = i + 1;
        whole_ = true;
        return true;
      }
      scan = i + 1;
    }
    if (at_end_) {
      if (sink != nullptr) (*sink)(std::string_view(buf_.data() + from, len_ - from));
      start_ = next_ = len_;
      whole_ = true;
      return true;
    }
    // Hand on all but the last byte, which may be the CR of the terminator.
    if (len_ - from > 1) {
      if (sink != nullptr) (*sink)(std::string_view(buf_.data() + from, len_ - 1 - from));
      from = len_ - 1;
    }
  }
}

bool foreign_line_ends(std::string_view path) {
  platform::File file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                             platform::Disposition::open_existing);
  if (!file.is_open()) return false;
  std::vector<std::uint8_t> buffer(std::size_t{1} << 16);
  bool cr_seen = false;
  bool cr_last = false;  // the byte before the current chunk
  for (std::uint64_t at = 0;;) {
    const std::int64_t n = file.read_at(at, buffer);
    if (n <= 0) return cr_seen;  // no LF at all
    const auto* bytes = buffer.data();
    const auto* lf = static_cast<const std::uint8_t*>(std::memchr(bytes, '\n', static_cast<std::size_t>(n)));
    if (lf != nullptr) return !(lf == bytes ? cr_last : lf[-1] == '\r');
    cr_seen = cr_seen || std::memchr(bytes, '\r', static_cast<std::size_t>(n)) != nullptr;
    cr_last = bytes[n - 1] == '\r';
    at += static_cast<std::uint64_t>(n);
  }
}

// ---- Writer ------------------------------------------------------------------------

BufferedWriter::BufferedWriter(std::string_view path)
    : file_(platform::File::open(path, platform::Access::read_write, platform::Share::exclusive,
                                 platform::Disposition::create_always)) {
  failed_ = !file_.is_open();
  buffer_.reserve(kBufferSize);
}

bool BufferedWriter::write_out() {
  if (buffer_.empty() || failed_) return !failed_;
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(buffer_.data()), buffer_.size());
  if (file_.write_at(flushed_, bytes) != static_cast<std::int64_t>(bytes.size())) failed_ = true;
  flushed_ += buffer_.size();
  buffer_.clear();
  return !failed_;
}

void BufferedWriter::write(std::string_view bytes) {
  if (failed_) return;
  buffer_.append(bytes);
  if (buffer_.size() >= kBufferSize) write_out();
}

void BufferedWriter::rewind_to(std::uint64_t p) {
  if (p >= flushed_) {
    buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(p - flushed_, buffer_.size())));
    return;
  }
  buffer_.clear();
  flushed_ = p;
  cut_needed_ = true;
}

bool BufferedWriter::finish() {
  if (!file_.is_open()) return false;
  bool ok = write_out();
  if (ok && cut_needed_) ok = file_.truncate(flushed_);
  ok = ok && file_.flush();
  file_.close();
  return ok;
}

}  // namespace torvane::app
