#pragma once
// A full check of a memo file against the references its table holds, read as bytes
// (nothing is opened for writing, no lock is taken):
//
//   - the header as the program writes it: block size 64, its signature, the extended
//     form without a free-space directory, zeros elsewhere; the next free block after
//     the header, and the file ending exactly there;
//   - for each reference: a block after the header and before the next free block,
//     holding a block header of type 1 (or 0) and a length that ends before the next
//     free block; when the value does not fill its last block, that block's last byte
//     is 0xAF and the bytes between are zero; no two values share a block.
//
// The bytes of a value are what a reader gets; value() hands them out.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/fault_list.h"

namespace torvane::storage::fpt {

struct MemoReference {
  std::uint32_t record = 0;  // of the table, for the message
  std::uint32_t block = 0;   // first block of the value
};

struct MemoCheck {
  bool readable = false;
  FaultList faults;
  std::string bytes;
  std::uint32_t block_size = 0;  // 0 when the header gives none

  // The bytes of the value at `block`, or nothing when its block header does not lead
  // to a value inside the file.
  std::optional<std::string_view> value(std::uint32_t block) const;
};

MemoCheck check_memo(std::string_view path, std::span<const MemoReference> references);

// A memo file made elsewhere (an import table's), read without judging it: value()
// finds values by the block size its header gives.
MemoCheck read_memo(std::string_view path);

// The block size a memo file's header gives (the extended form's alternative when it is
// set); 0 when the header is shorter than its first part.
std::uint32_t block_size_of(std::string_view header);

}  // namespace torvane::storage::fpt
