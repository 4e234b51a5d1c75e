// Arbitrary bytes as a compound index file: opening, walking, seeking and changing it
// must end in a result (the corruption error at worst), never a crash, a hang or a
// sanitizer report.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/failure.h"
#include "storage/cdx_index.h"

namespace {

using namespace torvane;

const std::string& scratch_path() {
  static const std::string path = [] {
    std::random_device seed;
    return (std::filesystem::temp_directory_path() / ("torvane-cdx-fuzz-" + std::to_string(seed()) + ".cdx"))
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
  {
    std::ofstream out(scratch_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  storage::KeySource source;
  source.key_length = 13;
  source.key_field = "ISBN";
  std::unique_ptr<storage::OrderIndex> order = storage::cdx::open_index(scratch_path(), source, {});
  if (!order) return 0;
  std::optional<std::uint32_t> record = order->go_top();
  // Every key takes at least one byte of the file, so a walk longer than the file is a
  // walk in a circle.
  for (std::size_t steps = 0; record && *record != 0; ++steps) {
    if (steps > size) __builtin_trap();
    record = order->skip();
  }
  order->seek("978");
  order->key_number();
  order->key_count();
  order->seek("9783161484100");
  order->insert("9783161484100", 7);
  order->remove("9783161484100", 7);
  order->close();
  return 0;
}
