#include "platform/fault_injection.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace torvane::platform::fault {
namespace detail {

// Set once, by arm(), and only by the test program torvane_faults; the program itself
// never arms the layer.
bool g_armed = false;

}  // namespace detail
namespace {

struct State {
  Plan plan;
  std::string report_path;
  std::FILE* report = nullptr;  // count mode: the list, written as it grows
  std::uint64_t operations = 0;
  std::uint64_t writes = 0;
};

State& state() {
  static State s;
  return s;
}

void report_line(std::FILE* out, std::uint64_t k, Operation op, std::string_view name) {
  const std::string_view op_name = operation_name(op);
  std::fprintf(out, "%llu %.*s %.*s\n", static_cast<unsigned long long>(k), static_cast<int>(op_name.size()),
               op_name.data(), static_cast<int>(name.size()), name.data());
}

// The line of the struck operation, written at once: a kill follows.
void report_struck(Operation op, std::string_view name) {
  const State& s = state();
  if (s.report_path.empty()) return;
  if (std::FILE* out = std::fopen(s.report_path.c_str(), "wb")) {
    report_line(out, s.operations, op, name);
    std::fclose(out);
  }
}

}  // namespace

std::optional<Plan> parse_plan(std::string_view text) {
  if (text == "count") return Plan{Mode::count, 0};
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view mode = text.substr(0, colon);
  const std::string_view number = text.substr(colon + 1);
  std::uint64_t at = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), at);
  if (error != std::errc() || end != number.data() + number.size() || at == 0) return std::nullopt;
  if (mode == "kill") return Plan{Mode::kill, at};
  if (mode == "full") return Plan{Mode::disk_full, at};
  return std::nullopt;
}

std::string_view operation_name(Operation op) {
  switch (op) {
    case Operation::create: return "create";
    case Operation::open_for_writing: return "open-for-writing";
    case Operation::write: return "write";
    case Operation::truncate: return "truncate";
    case Operation::flush: return "flush";
    case Operation::rename: return "rename";
    case Operation::remove: return "delete";
    case Operation::set_time: return "set-time";
    case Operation::set_attributes: return "set-attributes";
    case Operation::make_directory: return "make-directory";
    case Operation::remove_directory: return "remove-directory";
  }
  return "?";
}

void arm(const Plan& plan, std::string report_path) {
  State& s = state();
  s.plan = plan;
  s.report_path = std::move(report_path);
  s.operations = s.writes = 0;
  if (plan.mode == Mode::count && !s.report_path.empty()) s.report = std::fopen(s.report_path.c_str(), "wb");
  detail::g_armed = true;
}

void disarm() {
  write_report();
  detail::g_armed = false;
}

Outcome strike(Operation op, std::string_view name) {
  State& s = state();
  ++s.operations;
  const bool write = op == Operation::write;
  if (write) ++s.writes;
  switch (s.plan.mode) {
    case Mode::count:
      if (s.report != nullptr) report_line(s.report, s.operations, op, name);
      return Outcome::proceed;
    case Mode::kill:
      if (s.operations != s.plan.at) return Outcome::proceed;
      report_struck(op, name);
      std::_Exit(kKilledStatus);  // as a kill: no destructors, no buffers flushed
    case Mode::disk_full:
      if (!write || s.writes < s.plan.at) return Outcome::proceed;
      if (s.writes > s.plan.at) return Outcome::disk_full;
      report_struck(op, name);
      return Outcome::disk_full_half;
  }
  return Outcome::proceed;
}

std::size_t bytes_stored(Outcome outcome, std::size_t size) {
  switch (outcome) {
    case Outcome::proceed: return size;
    case Outcome::disk_full_half: return size / 2;
    case Outcome::disk_full: return 0;
  }
  return 0;
}

std::uint64_t operations() { return state().operations; }
std::uint64_t writes() { return state().writes; }

void write_report() {
  State& s = state();
  if (s.report != nullptr) std::fclose(s.report);
  s.report = nullptr;
}

}  // namespace torvane::platform::fault
