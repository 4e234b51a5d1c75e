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

platform::File open_index_file(std::string_view path, const IndexOptions& options, Variant variant) {
  for (;;) {
    platform::File file =
        platform::File::open(path, options.read_only ? platform::Access::read : platform::Access::read_write,
                             options.shared ? platform::Share::shared : platform::Share::exclusive,
                             platform::Disposition::open_existing);
    if (file.is_open()) return file;
    if (!raise(StorageError{kIndexOpenError, variant, std::string(path), file.os_error()})) return file;
  }
}

}  // namespace torvane::storage
