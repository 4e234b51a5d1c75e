#pragma once
// One table the program builds, checked with its index (and memo file) from their
// bytes alone: the table (storage/dbf_check.h), the index page by page
// (storage/cdx_check.h, storage/ntx_check.h), and between the two: one key per record,
// each equal to its record's ISBN, every record reached once.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/verify/verify_findings.h"
#include "storage/dbf_check.h"
#include "storage/dbf_table.h"

namespace torvane::app {

// The schemas of the tables the program builds.
extern const std::vector<storage::FieldSpec> kPositionSchema;  // ISBN C13, HEADER C24, POSITION N9
extern const std::vector<storage::FieldSpec> kPoolSchema;      // ISBN C13, POOL N4, COVER N2
extern const std::vector<storage::FieldSpec> kCoverSchema;     // ISBN C13, COVER M10
extern const std::vector<storage::FieldSpec> kNotFoundSchema;  // ISBN C13

struct CheckedTable {
  storage::dbf::TableCheck table;
  bool index_sound = false;  // the index holds exactly the records' keys
};

// Checks the table at `path` and its index at `index` (of `variant`), adding findings
// with `remedy` for the table and `index_remedy` for the index. The index must exist.
CheckedTable verify_table(std::string_view path, std::span<const storage::FieldSpec> schema, std::string_view index,
                          storage::Variant variant, std::string_view remedy, std::string_view index_remedy,
                          VerifyFindings& findings);

// The block a memo field refers to; 0 for none.
std::uint32_t memo_block(std::string_view field);
// Whether a character field holds `text` as the table stores it: cut to the field's
// width, padded with blanks.
bool holds_text(std::string_view field, std::string_view text);

}  // namespace torvane::app
