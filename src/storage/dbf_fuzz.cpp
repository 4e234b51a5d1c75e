// Opens arbitrary bytes as a table (and, when the input says so, a memo file beside it)
// and walks it: every field of every record read as text and number, every memo
// value fetched, then one append and change. Failures must come back as results.
//
// Input: 2 bytes little-endian n, then n bytes of table, then the memo file's bytes.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/failure.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table.h"

namespace {

using namespace torvane::storage;

const std::string& folder() {
  static const std::string path = [] {
    const auto p = std::filesystem::temp_directory_path() / ("dbf_fuzz_" + std::to_string(std::rand()));
    std::filesystem::create_directories(p);
    return p.string();
  }();
  return path;
}

void put(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                static_cast<std::streamsize>(size));
}

void walk(DbfTable& table) {
  int steps = 0;
  for (table.go_top(); !table.eof() && steps < 5000; table.skip(), ++steps) {
    for (const Field& f : table.fields()) {
      (void)table.text(f.name);
      (void)table.number(f.name);
      if (dbf::memo_reference_type(f.type)) (void)table.memo(f.name);
    }
  }
  (void)table.record_count();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool once = [] {
    torvane::platform::set_failure_handler(
        [](const torvane::platform::Failure&) { return torvane::platform::FailureChoice::fail; });
    return true;
  }();
  (void)once;
  if (size < 2) return 0;
  const std::size_t table_size = std::min<std::size_t>(size - 2, data[0] | data[1] << 8);
  const std::string table_path = folder() + "/t.dbf";
  const std::string memo_path = folder() + "/t.fpt";
  put(table_path, data + 2, table_size);
  std::filesystem::remove(memo_path);
  if (size - 2 > table_size) put(memo_path, data + 2 + table_size, size - 2 - table_size);

  if (auto table = DbfTable::open(table_path, OpenOptions().with_variant(Variant::ntx).with_read_only())) walk(*table);
  if (auto table = DbfTable::open(table_path, OpenOptions().with_variant(Variant::ntx).with_shared(false))) {
    walk(*table);
    if (table->append() && !table->fields().empty()) {
      const Field& f = table->fields().front();
      if (f.type == 'C') table->assign(f.name, "fuzz");
      if (f.type == 'N') table->assign_number(f.name, 42);
      if (f.type == 'M') table->assign_memo(f.name, std::string(100, 'x'));
    }
    table->close();
  }
  return 0;
}
