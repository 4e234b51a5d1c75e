// NTX index files two ways. Arbitrary bytes as an index file: the structure check,
// opening and using the index end in a result (the corruption error at worst), never a
// crash, a hang or a sanitizer report. An input that starts with 0xA5 is instead a
// series of inserts, removes, seeks and reopenings of an index the code built itself,
// checked against a model of what it must hold (fuzz/index_model.h).

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/index_model.h"
#include "storage/ntx_check.h"
#include "storage/ntx_index.h"

namespace {

using namespace torvane;
using fuzz::require;

constexpr std::uint8_t kModelInput = 0xA5;

void use_file(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::scratch_path("t.ntx");
  fuzz::put_file(path, fuzz::as_text(data, size));
  storage::ntx::check_file(path, false);

  storage::KeySource source;
  source.key_length = 13;
  storage::IndexOptions options;
  options.variant = storage::Variant::ntx;
  auto index = storage::open_ntx_index(path, source, options);
  if (!index) return;
  std::size_t steps = 0;
  for (auto record = index->go_top(); record && *record != 0; record = index->skip()) {
    // Every key takes at least one byte of the file: more steps is a walk in a circle.
    require(++steps <= size);
  }
  index->key_count();
  index->seek("9783");
  index->key_number();
  for (std::uint32_t i = 0; i < 60; ++i) index->insert("97831614841" + std::to_string(10 + i % 50), 1 + i);
  index->remove("9783161484110", 1);
  index->seek("97831614841");
  index->key_number();
  index->close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_failures();
  if (size > 0 && data[0] == kModelInput) {
    fuzz::run_index_model(storage::create_ntx_index, storage::open_ntx_index, storage::Variant::ntx, data + 1,
                          size - 1);
  } else {
    use_file(data, size);
  }
  return 0;
}
