#pragma once
// The compound index driver: one ".cdx" file per table, holding a tag directory and
// one tag (named after the file) over the key field. The table reaches it through
// index_driver(Variant::cdx) once register_cdx_driver() ran at start.
//
// Walking the order costs O(1) per step (the leaves are linked). Key numbers come
// from a table of the leaves in order with their key counts, made by one pass over
// the leaf chain when first needed and kept while the tree keeps its shape; the key
// count is kept the same way, so neither is recounted per call.

#include <memory>
#include <string_view>

#include "storage/order_index.h"

namespace torvane::storage {

void register_cdx_driver();

namespace cdx {

std::unique_ptr<OrderIndex> create_index(std::string_view path, const KeySource& source,
                                         const IndexOptions& options);
std::unique_ptr<OrderIndex> open_index(std::string_view path, const KeySource& source,
                                       const IndexOptions& options);

}  // namespace cdx
}  // namespace torvane::storage
