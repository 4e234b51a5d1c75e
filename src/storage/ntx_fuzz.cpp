// Arbitrary bytes as an NTX file: opening and using the index must end in a result
// (the corruption error at worst), never a crash, a hang or a sanitizer report.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/failure.h"
#include "storage/ntx_check.h"
#include "storage/ntx_index.h"

namespace {

using namespace torvane;

const std::string& scratch_path() {
  static const std::string path = [] {
    std::random_device seed;
    return (std::filesystem::temp_directory_path() / ("torvane-ntx-fuzz-" + std::to_string(seed()) + ".ntx"))
        .string();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    platform::set_failure_handler([](const platform::Failure&) { return platform::FailureChoice::fail; });
    return true;
  }();
  (void)quiet;
  const std::string& path = scratch_path();
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                 static_cast<std::streamsize>(size));
  storage::ntx::check_file(path, false);

  storage::KeySource source;
  source.key_length = 13;
  storage::IndexOptions options;
  options.variant = storage::Variant::ntx;
  auto index = storage::open_ntx_index(path, source, options);
  if (!index) return 0;
  int steps = 0;
  for (auto record = index->go_top(); record && *record != 0 && steps < 100000; record = index->skip()) ++steps;
  index->key_count();
  index->seek("9783");
  index->key_number();
  for (std::uint32_t i = 0; i < 60; ++i) index->insert("97831614841" + std::to_string(10 + i % 50), 1 + i);
  index->remove("9783161484110", 1);
  index->seek("97831614841");
  index->key_number();
  index->close();
  return 0;
}
