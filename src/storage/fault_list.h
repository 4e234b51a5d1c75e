#pragma once
// What a check of a file found, one entry per kind of fault: the first place where it
// was seen and how often it was seen in all. A damaged table may hold the same fault in
// a million records; the reader wants one line that says what and where it starts.
//
//   FaultList faults;
//   faults.add("record marked deleted", "record 17");
//   faults.add("record marked deleted", "record 18");
//   faults.lines();  // {"record marked deleted (record 17, and 1 more)"}

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"

namespace torvane::storage {

class FaultList {
 public:
  void add(std::string_view kind, std::string_view first_place = {}) {
    for (Entry& entry : entries_) {
      if (entry.kind == kind) {
        ++entry.count;
        return;
      }
    }
    entries_.push_back({std::string(kind), std::string(first_place), 1});
  }

  bool empty() const { return entries_.empty(); }
  std::size_t kinds() const { return entries_.size(); }

  // One text per kind: "kind (first place, and n more)".
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const Entry& entry : entries_) {
      std::string line = entry.kind;
      const std::string more = entry.count > 1 ? "and " + std::to_string(entry.count - 1) + " more" : "";
      if (!entry.place.empty() || !more.empty()) {
        line += " (";
        line += entry.place;
        if (!entry.place.empty() && !more.empty()) line += ", ";
        line += more;
        line += ")";
      }
      out.push_back(std::move(line));
    }
    return out;
  }

 private:
  struct Entry {
    std::string kind;
    std::string place;
    std::uint64_t count = 0;
  };
  std::vector<Entry> entries_;
};

// Reads the whole file at path into a check's `bytes` and marks it `readable`; notes the
// fault "file cannot be read" and gives false when it cannot be read.
template <typename Check>
bool read_checked_file(std::string_view path, Check& check) {
  std::optional<std::string> bytes = platform::read_whole_file(path);
  if (!bytes) {
    check.faults.add("file cannot be read");
    return false;
  }
  check.readable = true;
  check.bytes = std::move(*bytes);
  return true;
}

}  // namespace torvane::storage
