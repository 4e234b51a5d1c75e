#pragma once
// The NTX index driver ("DBFNTX" variant): one order per ".ntx" file over one key
// field. The table layer reaches it through index_driver(Variant::ntx) once
// register_ntx_driver() has run.
//
// Shared use: every read of the tree happens under a shared lock and every change under
// an exclusive lock of one byte at kLockOffset of the index file, both waited for. After
// taking a lock the reader compares the header's first 12 bytes (flags, update counter,
// root, free list) with those it saw last and forgets its cached pages when they
// differ; a writer writes its pages, increments the counter and saves those 12 bytes
// before it lets the lock go. Used exclusively, changes stay in the cache until close.

#include <memory>
#include <string_view>

#include "storage/order_index.h"

namespace torvane::storage {

void register_ntx_driver();

std::unique_ptr<OrderIndex> create_ntx_index(std::string_view path, const KeySource& source,
                                             const IndexOptions& options);
std::unique_ptr<OrderIndex> open_ntx_index(std::string_view path, const KeySource& source,
                                           const IndexOptions& options);

}  // namespace torvane::storage
