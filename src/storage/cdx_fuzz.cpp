// Compound index files two ways. Arbitrary bytes as an index file: opening, walking,
// seeking and changing it end in a result (the corruption error at worst), never a
// crash, a hang or a sanitizer report. An input that starts with 0xA5 is instead a
// series of inserts, removes, seeks and reopenings of an index the code built itself,
// checked against a model of what it must hold (fuzz/index_model.h).

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/index_model.h"
#include "storage/cdx_check.h"
#include "storage/cdx_index.h"

namespace {

using namespace torvane;
using fuzz::require;

constexpr std::uint8_t kModelInput = 0xA5;

void use_file(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_path("t.cdx");
  fuzz::put_file(path, fuzz::as_text(data, size));
  // The whole-file check reads every page once, whatever the file holds.
  const storage::cdx::CheckResult check = storage::cdx::check_file(path);
  require(check.ok == check.problem.empty());
  require(check.entries.size() <= size);
  storage::KeySource source;
  source.key_length = 13;
  source.key_field = "ISBN";
  std::unique_ptr<storage::OrderIndex> order = storage::cdx::open_index(path, source, {});
  if (!order) return;
  std::optional<std::uint32_t> record = order->go_top();
  // Every key takes at least one byte of the file, so a walk longer than the file is a
  // walk in a circle.
  for (std::size_t steps = 0; record && *record != 0; ++steps) {
    require(steps <= size);
    require(order->current_key().size() == 13);
    record = order->skip();
  }
  order->seek("978");
  order->key_number();
  order->key_count();
  order->seek("9783161484100");
  order->insert("9783161484100", 7);
  order->remove("9783161484100", 7);
  order->close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_failures();
  if (size > 0 && data[0] == kModelInput) {
    fuzz::run_index_model(storage::cdx::create_index, storage::cdx::open_index, storage::Variant::cdx, data + 1,
                          size - 1);
  } else {
    use_file(data, size);
  }
  return 0;
}
