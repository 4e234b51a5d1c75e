// Arbitrary bytes as a memo file: opened, every block read as the start of a value,
// then a value written, replaced and read back, before and after reopening. A value
// read never reaches beyond the file, a value written reads back as written and never
// lands in the header.

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storage/fpt_check.h"
#include "storage/fpt_format.h"
#include "storage/fpt_memo.h"

namespace {

using namespace torvane;
using fuzz::require;

constexpr std::uint32_t kMaxBlocksRead = 4096;

// Reads the value at every block; returns the first block that held one (0: none).
std::uint32_t read_every_block(storage::FptMemo& memo, std::uint64_t file_size) {
  std::uint32_t first_value = 0;
  const std::uint64_t blocks = file_size / memo.block_size();
  for (std::uint32_t block = 1; block <= std::min<std::uint64_t>(blocks, kMaxBlocksRead); ++block) {
    std::optional<std::string> value = memo.read(block);
    if (!value) continue;
    require(value->size() <= file_size);
    if (first_value == 0 && !value->empty()) first_value = block;
  }
  return first_value;
}

// Writes bytes in place of old_block and checks that the value reads back.
std::uint32_t write_and_check(storage::FptMemo& memo, std::uint32_t old_block, const std::string& bytes) {
  std::optional<std::uint32_t> block = memo.write(old_block, bytes);
  if (!block) return 0;
  require(std::uint64_t{*block} * memo.block_size() >= storage::fpt::kMinimumHeader);
  std::optional<std::string> back = memo.read(*block);
  require(back && *back == bytes);
  return *block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_failures();
  const std::string path = fuzz::scratch_path("m.fpt");
  fuzz::put_file(path, fuzz::as_text(data, size));
  // The check of a finished medium's memo file, and values found through its header.
  const std::array<storage::fpt::MemoReference, 3> references = {{{1, 1}, {2, 8}, {3, 0xFFFFFFFF}}};
  storage::fpt::check_memo(path, references);
  const storage::fpt::MemoCheck read = storage::fpt::read_memo(path);
  for (std::uint32_t block = 0; block < 16; ++block) {
    if (const auto value = read.value(block)) require(value->size() <= size);
  }

  if (auto memo = storage::FptMemo::open(path, storage::Variant::cdx, false, true)) {
    read_every_block(*memo, size);
    memo->close();
  }
  std::uint32_t written = 0;
  const std::string value(size % 200 + 1, 'v');
  if (auto memo = storage::FptMemo::open(path, storage::Variant::cdx, size % 2 == 0, false)) {
    const std::uint32_t old_block = read_every_block(*memo, size);
    written = write_and_check(*memo, 0, value);
    if (old_block != 0) write_and_check(*memo, old_block, std::string(300, 'r'));
    if (written != 0) written = write_and_check(*memo, written, value + value);
    memo->close();
  }
  if (written == 0) return 0;
  if (auto memo = storage::FptMemo::open(path, storage::Variant::cdx, false, true)) {
    std::optional<std::string> back = memo->read(written);
    require(back && *back == value + value);
    memo->close();
  }
  return 0;
}
