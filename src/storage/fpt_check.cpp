#include "storage/fpt_check.h"

#include <algorithm>
#include <array>

#include "storage/byte_order.h"
#include "storage/fpt_format.h"

namespace torvane::storage::fpt {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The header a new memo file gets; the next free block and the update counter change
// as values are stored and are judged on their own.
std::array<std::uint8_t, kHeaderSize> new_header() {
  std::array<std::uint8_t, kHeaderSize> h{};
  put_u16be(std::span(h).subspan(kBlockSize), kDefaultBlockSize);
  std::copy(kSignatureText.begin(), kSignatureText.end(), h.begin() + kSignature);
  std::copy(kExtensionText.begin(), kExtensionText.end(), h.begin() + kExtension);
  return h;
}

bool varies(std::size_t offset) {
  return offset < kNextFree + 4 || (offset >= kUpdateCounter && offset < kUpdateCounter + 4);
}

// The end of the used blocks in bytes; 0 when the header is not as written.
std::uint64_t check_header(MemoCheck& check) {
  const auto file = as_bytes(check.bytes);
  if (file.size() < kHeaderSize) {
    check.faults.add("file shorter than its header", std::to_string(file.size()) + " bytes");
    return 0;
  }
  const auto expected = new_header();
  for (std::size_t i = 0; i < kHeaderSize; ++i) {
    if (!varies(i) && file[i] != expected[i]) {
      check.faults.add("header not as the memo file is made", "byte " + std::to_string(i));
      return 0;
    }
  }
  check.block_size = kDefaultBlockSize;
  const std::uint64_t end = std::uint64_t{get_u32be(file)} * check.block_size;
  if (end < kHeaderSize || end != file.size()) {
    check.faults.add("header's next free block " + std::to_string(get_u32be(file)) + " does not end the file of " +
                     std::to_string(file.size()) + " bytes");
    return 0;
  }
  return end;
}

// One value: its block header, its place, and the bytes of its last block after it.
// The first byte after the value's blocks, or 0 when the value is damaged.
std::uint64_t check_value(MemoCheck& check, const MemoReference& ref, std::uint64_t end) {
  const std::string place = "record " + std::to_string(ref.record) + ", block " + std::to_string(ref.block);
  const std::uint64_t start = std::uint64_t{ref.block} * check.block_size;
  if (start < kHeaderSize || start + kBlockHeader > end) {
    check.faults.add("reference outside the memo file's used blocks", place);
    return 0;
  }
  const auto file = as_bytes(check.bytes);
  const std::uint32_t type = get_u32be(file.subspan(start));
  const std::uint64_t length = get_u32be(file.subspan(start + 4));
  const std::uint64_t after = start + blocks_for(length, check.block_size) * check.block_size;
  if (type != kTypeText && type != kTypeBinary) {
    check.faults.add("block header of a value has an unknown type", place);
    return 0;
  }
  if (after > end) {
    check.faults.add("value runs past the memo file's used blocks", place);
    return 0;
  }
  const std::uint64_t value_end = start + kBlockHeader + length;
  if (value_end != after) {
    const bool padded = std::all_of(file.begin() + static_cast<std::ptrdiff_t>(value_end),
                                    file.begin() + static_cast<std::ptrdiff_t>(after - 1),
                                    [](std::uint8_t b) { return b == 0; });
    if (!padded || file[after - 1] != kEndByte) check.faults.add("last block of a value not closed as written", place);
  }
  return after;
}

}  // namespace

std::uint32_t block_size_of(std::string_view header) {
  const auto h = as_bytes(header);
  if (h.size() < kMinimumHeader) return 0;
  std::uint32_t size = get_u16be(h.subspan(kBlockSize));
  if (h.size() >= kAlternativeBlockSize + 2 && std::equal(kExtensionText.begin(), kExtensionText.end() - 1,
                                                          header.begin() + kExtension)) {
    if (const std::uint16_t alternative = get_u16le(h.subspan(kAlternativeBlockSize)); alternative != 0)
      size = alternative;
  }
  return size;
}

std::optional<std::string_view> MemoCheck::value(std::uint32_t block) const {
  const auto file = as_bytes(bytes);
  const std::uint64_t start = std::uint64_t{block} * block_size;
  if (block_size == 0 || start + kBlockHeader > file.size()) return std::nullopt;
  const std::uint64_t length = get_u32be(file.subspan(start + 4));
  if (start + kBlockHeader + length > file.size()) return std::nullopt;
  return std::string_view(bytes).substr(start + kBlockHeader, length);
}

MemoCheck read_memo(std::string_view path) {
  MemoCheck memo;
  if (read_checked_file(path, memo)) memo.block_size = block_size_of(memo.bytes);
  return memo;
}

MemoCheck check_memo(std::string_view path, std::span<const MemoReference> references) {
  MemoCheck check;
  if (!read_checked_file(path, check)) return check;
  const std::uint64_t end = check_header(check);
  if (end == 0) return check;
  std::vector<MemoReference> in_order(references.begin(), references.end());
  std::ranges::sort(in_order, {}, &MemoReference::block);
  std::uint64_t previous_end = 0;
  for (const MemoReference& ref : in_order) {
    if (std::uint64_t{ref.block} * check.block_size < previous_end)
      check.faults.add("two records share memo blocks", "record " + std::to_string(ref.record));
    previous_end = std::max(previous_end, check_value(check, ref, end));
  }
  return check;
}

}  // namespace torvane::storage::fpt
