#pragma once
// Fault injection in the file functions of the platform layer, for the whole-program
// fault tests. Every operation that changes something on disk (creating a file or
// opening one for writing, a write, cutting, flushing, renaming, deleting, setting a
// time or an attribute, making or removing a directory; a copy is a creation and its
// writes) calls strike() first, but only while the layer is armed:
//
//   if (fault::armed()) {
//     const fault::Outcome outcome = fault::strike(fault::Operation::write, name);
//     ...
//   }
//
// Unarmed, the cost is that one test of a flag that never changes.
//
// Plans:
//   count      number every operation and list them in the report file
//   kill:K     end the process at once before the K-th operation, as a kill would:
//              no destructors, no buffers flushed, exit status kKilledStatus
//   full:K     the disk is full from the K-th write on: that write stores only the
//              first half of its bytes, every later write stores nothing; both fail
//              with the "disk full" code. Other operations are only counted.
//
// Only the test program torvane_faults arms the layer (from its environment); the
// program itself never does, so no user of the program can set it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torvane::platform::fault {

enum class Operation : std::uint8_t {
  create,            // a file opened with creation, or a scratch file
  open_for_writing,  // an existing file opened for writing
  write,
  truncate,
  flush,
  rename,
  remove,            // a file deleted
  set_time,
  set_attributes,
  make_directory,
  remove_directory,
};

enum class Mode : std::uint8_t { count, kill, disk_full };

struct Plan {
  Mode mode = Mode::count;
  std::uint64_t at = 0;  // the K of kill:K and full:K, from 1
  friend bool operator==(const Plan&, const Plan&) = default;
};

// The exit status of a process ended by a kill plan.
constexpr int kKilledStatus = 86;

// "count", "kill:K" or "full:K" with K >= 1; nothing for any other text.
std::optional<Plan> parse_plan(std::string_view text);
// The name of an operation in the report ("write", "rename", ...).
std::string_view operation_name(Operation op);

namespace detail {
extern bool g_armed;
}

inline bool armed() { return detail::g_armed; }

// Arms the layer for the rest of the process. The report file (when not empty) gets one
// line per operation in count mode, "<k> <operation> <name>", written when the process
// ends, and in the other modes the line of the operation that was struck.
void arm(const Plan& plan, std::string report_path);
// What becomes of a struck operation.
enum class Outcome : std::uint8_t {
  proceed,         // carry it out
  disk_full_half,  // store the first half of the bytes, then fail with "disk full"
  disk_full,       // store nothing, fail with "disk full"
};
// Back to unarmed, for the layer's own tests.
void disarm();
// Counts one operation and carries out the plan; called only while armed. A
// "disk full" outcome comes for writes only. Does not return when the plan ends the
// process here.
Outcome strike(Operation op, std::string_view name);
// How many of a write's bytes are stored under an outcome.
std::size_t bytes_stored(Outcome outcome, std::size_t size);
// Operations and writes counted since the layer was armed.
std::uint64_t operations();
std::uint64_t writes();
// Completes the count report; the test program calls it when the process ends,
// whatever way it ends.
void write_report();

}  // namespace torvane::platform::fault
