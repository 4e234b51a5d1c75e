#pragma once
// Tables for the cover tests: a medium folder with a pool table, cover tables and an
// import table written through the storage layer, the run's configuration for it, and
// a failure handler that records instead of ending the test.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "app/run_config.h"
#include "platform/failure.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "storage/ntx_index.h"
#include "support/console_capture.h"
#include "support/temp_dir.h"

namespace torvane::app::cover_test {

// The EAN-13 of twelve digits.
inline std::string ean(std::string twelve) {
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (twelve[i] - '0') * (i % 2 == 0 ? 1 : 3);
  return twelve + static_cast<char>('0' + (10 - sum % 10) % 10);
}

// Keys of titles in the German group whose registrant range is known, so that they
// have an ISBN-10 and back: 9783161484nn + check digit.
inline std::string title(int n) { return ean("9783161484" + std::to_string(n / 10) + std::to_string(n % 10)); }

class CoverMedium : public ::testing::Test {
 protected:
  void SetUp() override {
    storage::register_cdx_driver();
    storage::register_ntx_driver();
    previous_handler_ = platform::set_failure_handler([this](const platform::Failure& f) {
      failures.push_back(f.message);
      return platform::FailureChoice::fail;
    });
    dir.make_dir("dvd/cover");
    dir.make_dir("bin");
    config.medium_root = dir.path("dvd") + "/";
    config.cover = true;
    config.cover_dbf = dir.path("dvd/cover/cover.dbf");
  }
  void TearDown() override {
    platform::set_failure_handler(previous_handler_);
    EXPECT_TRUE(failures.empty()) << failures.front();
  }

  std::string executable() const { return dir.path("bin/torvane"); }
  std::string pool_path() const { return dir.path("dvd/pool.dbf"); }

  // pool.dbf with these ISBN values (and COVER values) and its index.
  void write_pool(const std::vector<std::string>& isbns, const std::vector<int>& flags = {},
                  storage::Variant variant = storage::Variant::cdx) {
    const std::array<storage::FieldSpec, 3> schema = {{{"ISBN", 'C', 13, 0}, {"POOL", 'N', 4, 0}, {"COVER", 'N', 2, 0}}};
    ASSERT_TRUE(storage::DbfTable::create(pool_path(), schema, variant));
    auto pool = storage::DbfTable::open(pool_path(), storage::OpenOptions().with_variant(variant));
    ASSERT_TRUE(pool);
    for (std::size_t i = 0; i < isbns.size(); ++i) {
      ASSERT_TRUE(pool->append());
      pool->assign("ISBN", isbns[i]);
      pool->assign_number("POOL", 1);
      if (i < flags.size()) pool->assign_number("COVER", flags[i]);
    }
    ASSERT_TRUE(pool->create_index(dir.path(variant == storage::Variant::cdx ? "dvd/pool.cdx" : "dvd/pool.ntx")));
    ASSERT_TRUE(pool->close());
  }

  // A cover table (or an import table) with these keys and images, indexed or not.
  void write_covers(const std::string& path, const std::vector<std::pair<std::string, std::string>>& rows,
                    bool index = true) {
    const std::array<storage::FieldSpec, 2> schema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
    ASSERT_TRUE(storage::DbfTable::create(path, schema, storage::Variant::cdx));
    auto table = storage::DbfTable::open(path, storage::OpenOptions().with_variant(storage::Variant::cdx));
    ASSERT_TRUE(table);
    for (const auto& [key, image] : rows) {
      ASSERT_TRUE(table->append());
      table->assign("ISBN", key);
      table->assign_memo("COVER", image);
    }
    if (index) {
      ASSERT_TRUE(table->create_index(path.substr(0, path.rfind('.')) + ".cdx"));
    }
    ASSERT_TRUE(table->close());
  }

  // The ISBN values of a table in record order (and the COVER memo when it has one).
  std::vector<std::pair<std::string, std::string>> rows_of(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> rows;
    auto table = storage::DbfTable::open(path, storage::OpenOptions().with_variant(storage::Variant::cdx).with_read_only());
    if (!table) return rows;
    table->set_order(0);
    const bool memo = table->field_index("COVER").has_value() && table->fields()[*table->field_index("COVER")].type == 'M';
    for (table->go_top(); !table->eof(); table->skip())
      rows.emplace_back(table->text("ISBN"), memo ? table->memo("COVER").value_or("?") : "");
    table->close();
    return rows;
  }

  std::vector<int> pool_flags() {
    std::vector<int> flags;
    auto pool = storage::DbfTable::open(pool_path(), storage::OpenOptions().with_read_only());
    if (!pool) return flags;
    pool->set_order(0);
    for (pool->go_top(); !pool->eof(); pool->skip()) flags.push_back(static_cast<int>(pool->number("COVER")));
    pool->close();
    return flags;
  }

  testing::TempDir dir{"covers."};
  testing::ConsoleCapture capture;
  RunConfig config;
  std::vector<std::string> failures;

 private:
  platform::FailureHandler previous_handler_;
};

}  // namespace torvane::app::cover_test
