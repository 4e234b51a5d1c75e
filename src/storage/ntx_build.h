#pragma once
// The bulk build of an NTX file from keys in order. The result depends only on the
// keys: one exact byte sequence for a given table, whatever the sort did.

#include <cstdint>
#include <string_view>

#include "platform/file.h"
#include "storage/key_sorter.h"
#include "storage/ntx_format.h"

namespace torvane::storage::ntx {

// Writes the pages from offset 1,024 on and then the header (`header` with its root
// filled in) into `out`, an empty file. False when a write failed or the keys could not
// be read; the failure has been raised. `path` names the index in messages.
bool write_index(platform::File& out, std::string_view path, Variant variant, SortedKeys& keys, Header header);

}  // namespace torvane::storage::ntx
