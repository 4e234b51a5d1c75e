// Whole runs with NTX indexes (UseCDX=0) over generated media, held against the same
// run with CDX indexes: the run log differs only in the index extension, the tables
// only in header byte 28 (no structural index) and the date of the last change, and
// every ".ntx" file is a sound tree with one key per record. A later run rebuilds
// nothing, also after the cover flags have changed the pool table.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "storage/ntx_check.h"
#include "support/e2e_support.h"
#include "support/medium_builder.h"
#include "support/run_torvane.h"
#include "support/temp_dir.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;

// The tables of a generated medium with three pools (odd pools name their files in
// POOL.INI, even ones derive them) and the index each gets in NTX mode.
const std::vector<std::pair<std::string, std::string>> kTables = {
    {"POOL1/pool1.dbf", "POOL1/pool1.ntx"},
    {"POOL2/pool2.dbf", "POOL2/pool2.ntx"},
    {"POOL3/pool3.dbf", "POOL3/pool3.ntx"},
    {"pool.dbf", "pool.ntx"},
};

std::uint32_t u16_at(const std::string& b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 1])) << 8;
}
std::uint32_t u32_at(const std::string& b, std::size_t at) { return u16_at(b, at) | u16_at(b, at + 2) << 16; }

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// (ISBN field, record number) of every record of a table file whose first field is the
// 13-byte ISBN, in key order: what its index must hold.
std::vector<std::pair<std::string, std::uint32_t>> keys_of_table(const std::string& table) {
  std::vector<std::pair<std::string, std::uint32_t>> keys;
  if (table.size() < 32) return keys;
  const std::uint32_t count = u32_at(table, 4), header = u16_at(table, 8), length = u16_at(table, 10);
  for (std::uint32_t r = 0; r < count && header + (r + 1) * std::uint64_t{length} <= table.size(); ++r)
    keys.emplace_back(table.substr(header + r * length + 1, 13), r + 1);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The COVER values of the pool table (ISBN C13, POOL N4, COVER N2) in record order.
std::vector<std::string> cover_flags_of(const std::string& table) {
  std::vector<std::string> flags;
  const std::uint32_t count = u32_at(table, 4), header = u16_at(table, 8), length = u16_at(table, 10);
  for (std::uint32_t r = 0; r < count && header + (r + 1) * std::uint64_t{length} <= table.size(); ++r)
    flags.push_back(table.substr(header + r * length + 1 + 13 + 4, 2));
  return flags;
}

// Every file of the medium gets a last-write time two hours earlier, order kept: as if
// the run had been long ago.
void age_medium(const std::string& root) {
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) fs::last_write_time(entry.path(), entry.last_write_time() - std::chrono::hours(2));
}

// The pool phase's lines: from "Beginne mit Überpüfung..." to the cover phase.
std::vector<std::string> pool_phase_lines(const std::string& log) {
  const std::string begin = "Beginne mit \xDC" "berp\xFC" "fung...\r\n";
  const std::size_t from = log.find(begin);
  const std::size_t to = log.find("Datentr\xE4ger-Coverdatei");
  std::vector<std::string> lines;
  if (from == std::string::npos || to == std::string::npos || to < from) return {"<no pool phase in the log>"};
  std::istringstream in(log.substr(from + begin.size(), to - from - begin.size()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool builds_or_deletes(const std::vector<std::string>& lines) {
  return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("anlegen") != std::string::npos || line.find("gel\xF6scht") != std::string::npos ||
           line.find("Error") != std::string::npos;
  });
}

class NtxRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (torvane_executable().empty()) GTEST_SKIP() << "TORVANE_EXE is not set";
  }

  // A medium in folder `name` with its own copy of the program (the not-found table is
  // made beside the executable).
  GeneratedMedium make(const std::string& name, bool ntx, bool shared) {
    MediumOptions options;
    options.seed = 9;
    options.pools = 3;
    options.records = 70;
    options.covers = 12;
    options.ntx = ntx;
    options.shared = shared;
    options.args = {"--import-table"};
    GeneratedMedium medium = make_medium(dir.path(name + "/dvd"), options);
    copy_program(dir.path(name + "/bin"));
    return medium;
  }

  RunResult run(const std::string& name, const std::string& config) {
    RunOptions options;
    options.working_directory = dir.path(name);
    options.executable = dir.path(name + "/bin/torvane");
    options.config = config;
    RunResult result = run_torvane(options);
    EXPECT_EQ(result.exit_status, 0) << result.err << result.log;
    return result;
  }

  // The log of a run in folder `ntx` as the run in folder `cdx` with CDX indexes wrote it.
  std::string as_cdx_log(std::string log, const std::string& ntx, const std::string& cdx) const {
    replace_all(log, dir.path(ntx), dir.path(cdx));
    replace_all(log, ".ntx", ".cdx");
    replace_all(log, ".NTX", ".CDX");
    return log;
  }

  // The NTX file is a sound tree holding exactly the table's keys, one per record.
  void expect_index_matches(const std::string& index, const std::string& table) {
    const storage::ntx::CheckResult check = storage::ntx::check_file(index, true);
    ASSERT_TRUE(check.ok) << index << ": " << check.problem;
    const std::string header = read_file(index);
    ASSERT_GE(header.size(), 1024u);
    EXPECT_EQ(header.substr(0, 2), std::string("\x06\x00", 2)) << index;
    EXPECT_EQ(header.substr(12, 10), std::string("\x15\x00\x0D\x00\x00\x00\x2A\x00\x15\x00", 10)) << index;
    EXPECT_EQ(header.substr(22, 5), std::string("ISBN\0", 5)) << index;
    const auto keys = keys_of_table(read_file(table));
    EXPECT_FALSE(keys.empty()) << table;
    EXPECT_EQ(check.entries, keys) << index;
  }

  TempDir dir{"e2e.modes."};  // no ".ntx" in the folder name
};

TEST_F(NtxRun, SameRunAsWithCdxIndexesInBothOpenModes) {
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "exclusive");
    const std::string cdx = shared ? "cdx-shared" : "cdx", ntx = shared ? "ntx-shared" : "ntx";
    const GeneratedMedium cdx_medium = make(cdx, false, shared);
    const GeneratedMedium ntx_medium = make(ntx, true, shared);
    ASSERT_TRUE(cdx_medium.ok) << cdx_medium.error;
    ASSERT_TRUE(ntx_medium.ok) << ntx_medium.error;
    const RunResult cdx_run = run(cdx, read_file(cdx_medium.config_path));
    const RunResult ntx_run = run(ntx, read_file(ntx_medium.config_path));

    EXPECT_NE(ntx_run.log.find("Indexdatei.........................: .ntx\r\n"), std::string::npos) << ntx_run.log;
    EXPECT_NE(ntx_run.log.find("\\POOL1\\POOL1.NTX wurde angelegt.\r\n"), std::string::npos) << ntx_run.log;
    EXPECT_NE(ntx_run.log.find("\\POOL2\\POOL2.ntx wurde angelegt.\r\n"), std::string::npos) << ntx_run.log;
    EXPECT_NE(ntx_run.log.find("\\pool.ntx wurde angelegt.\r\n"), std::string::npos) << ntx_run.log;
    EXPECT_EQ(as_cdx_log(ntx_run.log, ntx, cdx), cdx_run.log);

    for (const auto& [table, index] : kTables) {
      SCOPED_TRACE(table);
      std::string a = read_file(dir.path(cdx + "/dvd/" + table));
      const std::string b = read_file(dir.path(ntx + "/dvd/" + table));
      ASSERT_EQ(a.size(), b.size());
      ASSERT_GT(b.size(), 32u);
      EXPECT_EQ(b[28], '\0');  // no structural index
      for (const std::size_t at : {1, 2, 3, 28}) a[at] = b[at];
      EXPECT_TRUE(a == b) << "the tables differ beyond the header's date and byte 28";
      expect_index_matches(dir.path(ntx + "/dvd/" + index), dir.path(ntx + "/dvd/" + table));
    }
    // No index of the other kind beside the pool tables; CDXFile is not used.
    for (const auto& [name, bytes] : file_tree(dir.path(ntx + "/dvd"))) {
      if (!name.starts_with("COVER/")) {
        EXPECT_FALSE(name.ends_with(".cdx") || name.ends_with(".CDX")) << name;
      }
    }

    const auto flags = cover_flags_of(read_file(dir.path(ntx + "/dvd/pool.dbf")));
    EXPECT_EQ(flags, cover_flags_of(read_file(dir.path(cdx + "/dvd/pool.dbf"))));
    EXPECT_GT(std::count(flags.begin(), flags.end(), " 1"), 0) << "no cover flag was set";

    // A cover pass that starts at a key prefix and stops half-way: the seek, the key
    // number and the key count of the pool index decide where it starts and ends.
    const auto keys = keys_of_table(read_file(dir.path(ntx + "/dvd/pool.dbf")));
    ASSERT_GT(keys.size(), 8u);
    std::string partial = read_file(ntx_medium.config_path);
    replace_all(partial, "Start=\r\nStop=", "Start=" + keys[keys.size() / 4].first.substr(0, 7) + "\r\nStop=60");
    const RunResult ntx_partial = run(ntx, partial);
    std::string cdx_partial_config = partial;
    replace_all(cdx_partial_config, dir.path(ntx), dir.path(cdx));
    replace_all(cdx_partial_config, "UseCDX=0", "UseCDX=1");
    const RunResult cdx_partial = run(cdx, cdx_partial_config);
    EXPECT_NE(ntx_partial.log.find("Bearbeitete ISBN"), std::string::npos) << ntx_partial.log;
    EXPECT_EQ(as_cdx_log(ntx_partial.log, ntx, cdx), cdx_partial.log);
  }
}

// Odd pools name an index with another extension and a CDX file beside it: in NTX mode
// the index gets the ".ntx" extension under the NTX name, the CDX name is not used. The
// second run rebuilds nothing; after the cover flags change the pool table, neither
// does the third.
TEST_F(NtxRun, LaterRunsRebuildNothing) {
  const GeneratedMedium medium = make("ntx", true, false);
  ASSERT_TRUE(medium.ok) << medium.error;
  const std::string root = dir.path("ntx/dvd");
  std::string catalogue = read_file(root + "/POOL.INI");
  replace_all(catalogue, "NTXFile=POOL1\\POOL1.NTX", "NTXFile=POOL1\\ISBN.IDX");
  std::ofstream(root + "/POOL.INI", std::ios::binary | std::ios::trunc) << catalogue;
  const std::string with_flags = read_file(medium.config_path);
  std::string without_flags = with_flags;
  replace_all(without_flags, "Cover2Pool=1", "Cover2Pool=0");

  const RunResult first = run("ntx", without_flags);
  EXPECT_NE(first.log.find("\\POOL1\\ISBN.ntx wurde angelegt.\r\n"), std::string::npos) << first.log;
  EXPECT_TRUE(fs::exists(root + "/POOL1/isbn.ntx"));
  EXPECT_FALSE(fs::exists(root + "/POOL1/pool1.ntx"));
  EXPECT_FALSE(fs::exists(root + "/POOL1/pool1.cdx"));
  expect_index_matches(root + "/POOL1/isbn.ntx", root + "/POOL1/pool1.dbf");

  age_medium(root);
  const auto before = file_tree(root);
  const RunResult second = run("ntx", with_flags);
  EXPECT_FALSE(builds_or_deletes(pool_phase_lines(second.log))) << second.log;
  const auto after_flags = file_tree(root);
  for (const auto& [name, bytes] : before) {
    if (name.ends_with(".ntx")) {
      EXPECT_EQ(after_flags.at(name), bytes) << name;
    }
  }
  EXPECT_NE(after_flags.at("pool.dbf"), before.at("pool.dbf")) << "the cover flags changed nothing";

  const RunResult third = run("ntx", with_flags);
  EXPECT_FALSE(builds_or_deletes(pool_phase_lines(third.log))) << third.log;
  const auto after = file_tree(root);
  for (const auto& [table, index] : kTables) {
    const std::string ntx = table == "POOL1/pool1.dbf" ? "POOL1/isbn.ntx" : index;
    EXPECT_EQ(after.at(ntx), after_flags.at(ntx)) << ntx;
    EXPECT_EQ(after.at(table), after_flags.at(table)) << table;
    expect_index_matches(root + "/" + ntx, root + "/" + table);
  }
}

}  // namespace
}  // namespace torvane::testing
