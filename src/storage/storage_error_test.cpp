#include "storage/storage_error.h"

#include <gtest/gtest.h>

namespace torvane::storage {
namespace {

TEST(StorageError, MessageCarriesSubsystemSubcodeDescriptionFileAndOsCode) {
  EXPECT_EQ((StorageError{kCorruption, Variant::cdx, "pool.dbf", 0}).message(),
            "Error DBFCDX/1012  Corruption detected: pool.dbf");
  EXPECT_EQ((StorageError{kOpenError, Variant::ntx, "D:\\DVD\\POOL.DBF", 32}).message(),
            "Error DBFNTX/1001  Open error: D:\\DVD\\POOL.DBF (DOS Error 32)");
}

TEST(StorageError, UnknownSubcodeIsOperationNotSupported) {
  EXPECT_EQ(error_kind(1999).general_code, 30);
  EXPECT_EQ(error_kind(1999).description, "Operation not supported");
  EXPECT_EQ(error_kind(kAppendLockFailed).general_code, 40);
}

}  // namespace
}  // namespace torvane::storage
