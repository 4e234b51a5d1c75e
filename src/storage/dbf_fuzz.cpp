// Opens arbitrary bytes as a table (and, when the input says so, a memo file beside it)
// and walks it: every field of every record read as text and number, every memo value
// fetched, then one record appended and filled. Failures must come back as results;
// a field never reads longer than it is declared, a memo value never longer than its
// file, and a record reported written reads back the same after reopening.
//
// Input: 2 bytes little-endian n, then n bytes of table, then the memo file's bytes.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storage/dbf_check.h"
#include "storage/dbf_format.h"
#include "storage/dbf_table.h"
#include "storage/fpt_check.h"

namespace {

using namespace torvane::storage;
using torvane::fuzz::require;

constexpr int kMaxSteps = 5000;
const std::string kMemoValue(100, 'x');

void walk(DbfTable& table, std::size_t memo_size) {
  int steps = 0;
  std::uint32_t last = 0;
  for (table.go_top(); !table.eof() && steps < kMaxSteps; table.skip(), ++steps) {
    require(table.record_number() > last);
    last = table.record_number();
    for (const Field& named : table.fields()) {
      // A name means the first field of that name, also where a table repeats it.
      const Field& f = table.fields()[table.field_index(named.name).value_or(0)];
      require(table.text(f.name).size() <= f.length);
      (void)table.number(f.name);
      if (!dbf::memo_reference_type(f.type)) continue;
      if (const std::optional<std::string> value = table.memo(f.name)) require(value->size() <= memo_size);
    }
  }
  (void)table.record_count();
}

// What the appended record's first field was given, when the table said it stored it.
struct Written {
  std::uint32_t record = 0;
  Field field;
  std::string text;
};

std::optional<Written> append_one(DbfTable& table) {
  if (!table.append() || table.fields().empty()) return std::nullopt;
  Written w{table.record_number(), table.fields().front(), {}};
  bool stored = false;
  if (w.field.type == 'C') stored = table.assign(w.field.name, "fuzz");
  if (w.field.type == 'N') stored = table.assign_number(w.field.name, 42);
  if (w.field.type == 'M') stored = table.assign_memo(w.field.name, kMemoValue);
  if (!stored || !table.flush()) return std::nullopt;
  w.text = table.text(w.field.name);
  if (w.field.type == 'C') {
    std::string expected = std::string("fuzz").substr(0, w.field.length);
    expected.resize(w.field.length, ' ');
    require(w.text == expected);
  }
  if (w.field.type == 'M') require(table.memo(w.field.name) == kMemoValue);
  return w;
}

void require_read_back(const std::string& path, const Written& w) {
  auto table = DbfTable::open(path, OpenOptions().with_variant(Variant::ntx).with_read_only());
  require(table != nullptr);
  require(table->go_to(w.record) && !table->eof());
  require(table->text(w.field.name) == w.text);
  if (w.field.type == 'M') require(table->memo(w.field.name) == kMemoValue);
  table->close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  torvane::fuzz::quiet_failures();
  if (size < 2) return 0;
  const std::size_t table_size = std::min<std::size_t>(size - 2, data[0] | data[1] << 8);
  const std::size_t memo_size = size - 2 - table_size;
  const std::string table_path = torvane::fuzz::scratch_path("t.dbf");
  const std::string memo_path = torvane::fuzz::scratch_path("t.fpt");
  torvane::fuzz::put_file(table_path, torvane::fuzz::as_text(data + 2, table_size));
  std::filesystem::remove(memo_path);
  if (memo_size > 0) torvane::fuzz::put_file(memo_path, torvane::fuzz::as_text(data + 2 + table_size, memo_size));

  // The checks of a finished medium read any bytes without harm.
  const std::array<FieldSpec, 2> cover_schema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
  const torvane::storage::dbf::TableCheck check = torvane::storage::dbf::check_table(table_path, cover_schema, false);
  torvane::fuzz::require(check.readable);
  const std::array<torvane::storage::fpt::MemoReference, 2> references = {{{1, 1}, {2, 8}}};
  if (memo_size > 0) torvane::storage::fpt::check_memo(memo_path, references);

  if (auto table = DbfTable::open(table_path, OpenOptions().with_variant(Variant::ntx).with_read_only())) {
    walk(*table, memo_size);
  }
  std::optional<Written> written;
  if (auto table = DbfTable::open(table_path, OpenOptions().with_variant(Variant::ntx).with_shared(false))) {
    walk(*table, memo_size);
    written = append_one(*table);
    if (!table->close()) written.reset();
  }
  if (written) require_read_back(table_path, *written);
  return 0;
}
