#include "support/medium_builder.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace torvane::testing {
namespace {

std::string fraction_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

std::uint64_t to_number(std::string_view text) {
  std::uint64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

std::uint64_t GeneratedMedium::count(const std::string& key) const { return to_number(value(key)); }

std::string GeneratedMedium::value(const std::string& key) const {
  const auto it = summary.find(key);
  return it == summary.end() ? "" : it->second;
}

std::string make_medium_tool() {
  const char* exe = std::getenv("TORVANE_EXE");
  const std::filesystem::path folder = exe == nullptr ? std::filesystem::path(".") : std::filesystem::path(exe).parent_path();
  return (folder / "tools" / "make_medium").string();
}

std::vector<std::string> make_medium_args(const std::string& folder, const MediumOptions& options) {
  std::vector<std::string> args = {"--out", folder, "--seed", std::to_string(options.seed),
                                   "--pools", std::to_string(options.pools)};
  if (options.size.empty()) {
    args.insert(args.end(), {"--records", std::to_string(options.records)});
  } else {
    args.insert(args.end(), {"--size", options.size});
  }
  if (options.filter_lines >= 0) args.insert(args.end(), {"--filter-lines", fraction_text(options.filter_lines)});
  if (options.long_lines >= 0) args.insert(args.end(), {"--long-lines", fraction_text(options.long_lines)});
  if (options.covers >= 0) args.insert(args.end(), {"--covers", std::to_string(options.covers)});
  if (!options.name.empty()) args.insert(args.end(), {"--name", options.name});
  if (!options.server.empty()) args.insert(args.end(), {"--server", options.server});
  if (options.ntx) args.push_back("--ntx");
  if (options.shared) args.push_back("--shared");
  if (options.internet) args.push_back("--internet");
  if (!options.stale) args.push_back("--no-stale");
  if (options.manifest) args.insert(args.end(), {"--manifest", folder + "-rows.csv"});
  args.insert(args.end(), options.args.begin(), options.args.end());
  return args;
}

std::map<std::string, std::string> parse_summary(std::string_view text) {
  std::map<std::string, std::string> summary;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // text-mode output on Windows
    const std::size_t colon = line.find(": ");
    if (colon != std::string_view::npos) summary[std::string(line.substr(0, colon))] = std::string(line.substr(colon + 2));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return summary;
}

std::vector<ManifestRow> read_manifest(const std::string& path) {
  std::vector<ManifestRow> rows;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t a = line.find(';'), b = line.find(';', a + 1), c = line.rfind(';');
    if (a == std::string::npos || b == std::string::npos || c <= b) break;
    rows.push_back({static_cast<int>(to_number(line.substr(0, a))), to_number(line.substr(a + 1, b - a - 1)),
                    line.substr(b + 1, c - b - 1), line.substr(c + 1)});
  }
  return rows;
}

}  // namespace torvane::testing
