#pragma once
// Sample media for the tests, written by the generator tool (tools/make_medium.cpp):
//
//   torvane::testing::TempDir dir;
//   torvane::testing::MediumOptions options;
//   options.pools = 2;
//   options.records = 50;
//   torvane::testing::GeneratedMedium medium = torvane::testing::make_medium(dir.path("dvd"), options);
//   ASSERT_TRUE(medium.ok) << medium.error;
//   medium.count("rows");            // the rows the ISBN position tables will get
//   medium.config_path;              // the program's configuration for this medium
//
// The summary holds "key: value" lines: medium, configuration, seed, pools, records,
// records-without-number, rows, numbers.<kind>, lines, filtered-lines, long-lines,
// mab-bytes, covers, and per pool pool.<n>.section, .file, .records, .rows,
// .filtered-lines, .long-lines, .bytes. With options.manifest the expected rows of the
// position tables are read back by read_manifest (pool, position, label, key).
//
// The runner is header-only, like run_torvane.h: it needs the platform layer, which a
// test brings by linking any torvane module.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_process.h"

namespace torvane::testing {

struct MediumOptions {
  std::uint64_t seed = 1;
  int pools = 3;
  std::uint64_t records = 200;  // per pool; ignored when size is set
  std::string size;             // total MAB2 bytes, e.g. "256K"; "" = by records
  double filter_lines = -1;     // < 0: the generator's default
  double long_lines = -1;       // < 0: the generator's default
  int covers = -1;              // < 0: the generator's default
  std::string name;             // "" = the generator's default (UTF-8 here)
  bool ntx = false, shared = false, internet = false, stale = true;
  std::string server;
  bool manifest = false;
  std::vector<std::string> args;  // anything else, passed through
};

struct GeneratedMedium {
  bool ok = false;
  int exit_status = -1;
  std::string error;          // the generator's standard error
  std::string root;           // the medium folder (native path)
  std::string config_path;    // the program's configuration written for it
  std::string manifest_path;  // "" without options.manifest
  std::map<std::string, std::string> summary;

  // A number of the summary; 0 when the key is missing.
  std::uint64_t count(const std::string& key) const;
  std::string value(const std::string& key) const;
};

struct ManifestRow {
  int pool = 0;
  std::uint64_t position = 0;
  std::string label, key;
  friend bool operator==(const ManifestRow&, const ManifestRow&) = default;
};

// The built generator: the folder of $TORVANE_EXE + "/tools/make_medium".
std::string make_medium_tool();
// The generator's arguments for these options and this folder.
std::vector<std::string> make_medium_args(const std::string& folder, const MediumOptions& options);
// "key: value" lines into a map.
std::map<std::string, std::string> parse_summary(std::string_view text);
// "pool;position;label;key" lines; an unreadable line ends the list.
std::vector<ManifestRow> read_manifest(const std::string& path);

// Writes a medium into folder (new or empty) and reads the generator's summary.
inline GeneratedMedium make_medium(const std::string& folder, const MediumOptions& options = {}) {
  GeneratedMedium medium;
  testing::ProcessOptions process;
  process.args = make_medium_args(folder, options);
  process.time_limit_seconds = 600;
  const testing::ProcessResult ran = testing::run_process(make_medium_tool(), process);
  medium.exit_status = ran.exit_status;
  medium.error = ran.started ? ran.err : "make_medium could not be started: " + make_medium_tool();
  medium.summary = parse_summary(ran.out);
  medium.ok = ran.started && !ran.timed_out && ran.exit_status == 0;
  medium.root = medium.value("medium");
  medium.config_path = medium.value("configuration");
  if (options.manifest) medium.manifest_path = folder + "-rows.csv";
  return medium;
}

}  // namespace torvane::testing
