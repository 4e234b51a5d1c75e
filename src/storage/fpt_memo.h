#pragma once
// The memo file of a table with 'M' fields (<table name>.fpt): values stored in
// consecutive blocks, referenced from the record by the number of their first block.
// Layout in fpt_format.h.
//
// Opened with its table's mode. Shared: reading the header takes a shared lock on
// byte 0 and every write of a value an exclusive one, both waiting until granted; the
// allocation state is read fresh under the lock and stored after every write.
// Exclusive: no locks, the allocation state is kept in memory and the header that
// stores it is written at flush or close (at once when a write makes a new free-space
// directory or cuts the file); the bytes are the same as if it were stored every time.
// Values stored one after the other wait in memory (up to 256 KiB) and are written
// together before any other access to the file, before the table writes records,
// at flush and at close.
// Blocks found beyond the next free block at open are not handed out again.
//
// Released blocks (a value replaced) go to the free-space directory of the extended
// form and are reused, smallest fitting area first; blocks that end at the next free
// block give it back instead. A reference that does not point at a stored value
// inside the file is never released, so a damaged record cannot free the header or
// another value's blocks.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "storage/storage_error.h"

namespace torvane::storage {

class FptMemo {
 public:
  // Creates (truncates) a memo file of 1,024 header bytes; false after raising 1005.
  static bool create(std::string_view memo_path, Variant variant);
  // nullptr after raising: 1002 when it cannot be opened, 1012 when the header is
  // shorter than 512 bytes or the block size is 0.
  static std::unique_ptr<FptMemo> open(std::string_view memo_path, Variant variant, bool shared,
                                       bool read_only);

  ~FptMemo();
  FptMemo(const FptMemo&) = delete;
  FptMemo& operator=(const FptMemo&) = delete;

  // The value starting at block; empty for block 0. nullopt after raising a read error
  // (a reference or a length beyond the file) or a data type error (not character data).
  std::optional<std::string> read(std::uint32_t block);
  // Stores bytes in place of the value at old_block (0: none) and returns the new first
  // block, 0 for an empty value. nullopt after raising.
  std::optional<std::uint32_t> write(std::uint32_t old_block, std::string_view bytes);

  // Writes the values that wait in memory, not the header: a table calls it before
  // records that refer to them reach its file, so a killed run never leaves a record
  // pointing at a value that is not there.
  bool flush_values();
  bool flush();
  bool close();

  std::uint32_t block_size() const;
  std::uint32_t next_free_block() const;  // as last read or stored
  const std::string& path() const;

 private:
  struct State;
  explicit FptMemo(std::unique_ptr<State> state);
  std::unique_ptr<State> s_;
};

}  // namespace torvane::storage
