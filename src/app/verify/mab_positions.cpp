#include "app/verify/mab_positions.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/medium/mab_record.h"
#include "app/verify/table_verify.h"
#include "platform/file.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

constexpr std::size_t kWindow = std::size_t{1} << 20;
constexpr std::size_t kLineLook = 1024;  // what the scan looks at of a line
constexpr std::size_t kHeader = 1, kPosition = 2;

// A forward-moving window over a file: the bytes from a position on, at least `need`
// of them when the file has them.
class Window {
 public:
  explicit Window(std::string_view path)
      : file_(platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                   platform::Disposition::open_existing)) {}
  bool is_open() const { return file_.is_open(); }
  std::int64_t size() { return file_.size(); }

  // The bytes [at, at + need), fewer at the end of the file; nothing on a failed read.
  std::string_view bytes(std::uint64_t at, std::size_t need) {
    const std::uint64_t end = start_ + buffer_.size();
    const bool inside = at >= start_ && (at + need <= end || (at_end_ && at <= end));
    if (!inside && !load(at)) return {};
    return std::string_view(buffer_.data(), buffer_.size()).substr(at - start_, need);
  }

 private:
  bool load(std::uint64_t at) {
    buffer_.resize(kWindow);
    const std::int64_t got = file_.read_at(at, std::span(reinterpret_cast<std::uint8_t*>(buffer_.data()), kWindow));
    buffer_.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    start_ = at;
    at_end_ = got >= 0 && static_cast<std::size_t>(got) < kWindow;
    return got >= 0;
  }

  platform::File file_;
  std::vector<char> buffer_;
  std::uint64_t start_ = 0;
  bool at_end_ = false;
};

std::uint64_t position_of(std::string_view field) {
  std::uint64_t value = 0;
  for (char c : field)
    if (c >= '0' && c <= '9') value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

}  // namespace

void check_positions(std::string_view mab_path, const storage::dbf::TableCheck& table, storage::FaultList& faults) {
  Window window(mab_path);
  const std::int64_t size = window.is_open() ? window.size() : -1;
  if (size < 0) {
    faults.add("its MAB2 file cannot be read", std::string(mab_path));
    return;
  }
  std::string label;
  for (std::uint32_t n = 1; n <= table.records; ++n) {
    const std::uint64_t position = position_of(table.field(n, kPosition));
    const auto place = [&] { return "record " + std::to_string(n) + ", POSITION " + std::to_string(position); };
    if (position >= static_cast<std::uint64_t>(size)) {
      faults.add("POSITION beyond the end of " + std::string(mab_path), place());
      continue;
    }
    const std::uint64_t from = position < 2 ? 0 : position - 2;
    const std::string_view bytes = window.bytes(from, position - from + kLineLook);
    if (bytes.size() <= position - from) {
      faults.add("its MAB2 file cannot be read", std::string(mab_path));
      return;
    }
    const std::string_view before = bytes.substr(0, position - from);
    std::string_view line = bytes.substr(position - from);
    line = line.substr(0, line.find("\r\n"));
    const std::string_view trimmed = text::trim(line);
    if ((position != 0 && before != "\r\n") || !is_header_line(trimmed)) {
      faults.add("POSITION is not the start of a record in " + std::string(mab_path), place());
      continue;
    }
    assign_label(label, trimmed);
    if (!holds_text(table.field(n, kHeader), label))
      faults.add("HEADER differs from the label of the record at its POSITION", place());
  }
}

}  // namespace torvane::app
