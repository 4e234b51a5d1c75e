#include "storage/order_index.h"

namespace torvane::storage {
namespace {

IndexDriver& slot(Variant variant) {
  static IndexDriver drivers[2];
  return drivers[variant == Variant::cdx ? 0 : 1];
}

}  // namespace

void register_index_driver(Variant variant, const IndexDriver& driver) { slot(variant) = driver; }

const IndexDriver* index_driver(Variant variant) {
  const IndexDriver& driver = slot(variant);
  return driver.create != nullptr ? &driver : nullptr;
}

}  // namespace torvane::storage
