#pragma once
// Building a file under a temporary name beside its final one and renaming it into
// place when complete, and the removal of what a killed run left under such names.

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "storage/dbf_table.h"

namespace torvane::app {

// The name a file is built under beside its final name: "~" and the process number
// before the first point of the file-name part ("D:\DVD\POOL1.DBF" gives
// "D:\DVD\POOL1~4711.DBF"), so a table built there never meets the index files of the
// final name, and two processes never build under one name.
std::string build_name(std::string_view path);

// Whether `name`, a file-name part, is a build name of the file `path` in any process
// (its part before the first point, "~", one or more digits, then the rest of its
// name) or such a build name with one of `companions` ("cdx") as its extension.
// Letter case is ignored.
bool is_build_leftover(std::string_view name, std::string_view path, std::span<const std::string_view> companions);
// Deletes, with XDELETEFILE's lines, every file beside `path` that is_build_leftover
// names: what a killed run left. Nothing else is touched, and a build of another
// process that still runs is left alone.
void remove_build_leftovers(std::string_view path, std::span<const std::string_view> companions);
// The index and memo files a table build may leave beside its build name.
inline constexpr std::string_view kTableCompanions[] = {"cdx", "ntx", "fpt"};

// A table is built under its build name and renamed into place when complete, so a
// crash leaves the old table or the new one.
//
// begin_build creates and opens the table under `temporary` (with the options' index
// variant, alias and open mode), after removing what an earlier build left there; nullptr when that
// fails. finish_build closes it and renames it over `path`; when either fails, the
// build is removed and the result is false. With `older_than`, the build is dated
// before that file first (make_older_than), so that an incomplete build never passes
// for current, even when the run ends right after the rename. discard_build removes a
// build and the index a crash may have left beside it.
std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const storage::OpenOptions& options);
bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path,
                  std::string_view older_than = {});
void discard_build(const std::string& temporary);

}  // namespace torvane::app
