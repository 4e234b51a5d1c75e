#include "app/command_line.h"

#include <string_view>

namespace torvane::app {
namespace {

// "--name=value" or "--name value": the value, and whether the next argument was taken.
struct Valued {
  bool matched = false;
  bool took_next = false;
  std::string value;
};

Valued valued(std::string_view name, const std::vector<std::string>& arguments, std::size_t i) {
  const std::string_view arg = arguments[i];
  if (arg == name) {
    if (i + 1 >= arguments.size()) return {true, false, ""};
    return {true, true, arguments[i + 1]};
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=')
    return {true, false, std::string(arg.substr(name.size() + 1))};
  return {};
}

bool set_mode(CommandLine& line, RunMode mode, std::string_view arg) {
  if (line.mode != RunMode::prepare && line.mode != mode) {
    line.error = std::string(arg) + " passt nicht zu einer anderen Betriebsart";
    return false;
  }
  line.mode = mode;
  return true;
}

CommandLine only(RunMode mode) {
  CommandLine line;
  line.mode = mode;
  return line;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (std::size_t i = 0; i < arguments.size() && line.error.empty(); ++i) {
    const std::string_view arg = arguments[i];
    if (arg == "--help" || arg == "-h") return only(RunMode::help);
    if (arg == "--version") return only(RunMode::version);
    if (arg == "--strict") {
      line.strict = true;
    } else if (arg == "--verify") {
      set_mode(line, RunMode::verify, arg);
    } else if (arg == "--dry-run") {
      set_mode(line, RunMode::dry_run, arg);
    } else if (const Valued config = valued("--config", arguments, i); config.matched) {
      if (config.value.empty()) line.error = "--config ohne Datei";
      line.config_file = config.value;
      if (config.took_next) ++i;
    } else if (const Valued report = valued("--report", arguments, i); report.matched) {
      if (report.value.empty()) line.error = "--report ohne Datei";
      line.report_file = report.value;
      if (report.took_next) ++i;
    } else {
      line.error = "unbekanntes Argument: " + std::string(arg);
    }
  }
  return line;
}

}  // namespace torvane::app
