#include "app/medium/table_builds.h"

#include <algorithm>

#include "app/console.h"
#include "app/medium/file_times.h"
#include "files/paths.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "text/file_name.h"
#include "text/letter_case.h"

namespace torvane::app {

namespace {

// Where the file-name part of a path starts, and its first point (or its end).
struct NameParts {
  std::size_t name = 0;
  std::size_t point = 0;
};
NameParts name_parts(std::string_view path) { return {text::file_name_start(path), text::first_name_point(path)}; }

// Whether the process number after "~" in a build name is that of another process that
// still runs: a cover table outside the medium may be shared by runs over other media,
// and their builds in progress are not leftovers.
bool built_by_other_live_process(std::string_view name, std::size_t stem_length) {
  unsigned long owner = 0;
  for (std::size_t i = stem_length + 1; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
    owner = owner * 10 + static_cast<unsigned long>(name[i] - '0');
  return owner != platform::process_id() && platform::process_running(owner);
}

}  // namespace

std::string build_name(std::string_view path) {
  const NameParts parts = name_parts(path);
  std::string name(path.substr(0, parts.point));
  name += '~';
  name += std::to_string(platform::process_id());
  name += path.substr(parts.point);
  return name;
}

bool is_build_leftover(std::string_view name, std::string_view path, std::span<const std::string_view> companions) {
  const NameParts parts = name_parts(path);
  const std::string_view stem = path.substr(parts.name, parts.point - parts.name);
  if (name.size() <= stem.size() + 1 || !text::equal_ignoring_case(name.substr(0, stem.size()), stem) ||
      name[stem.size()] != '~')
    return false;
  name.remove_prefix(stem.size() + 1);
  const std::size_t digits = name.find_first_not_of("0123456789");
  if (digits == 0) return false;
  const std::string_view rest = digits == std::string_view::npos ? std::string_view{} : name.substr(digits);
  if (text::equal_ignoring_case(rest, path.substr(parts.point))) return true;
  if (rest.empty() || rest.front() != '.') return false;
  return std::any_of(companions.begin(), companions.end(), [&](std::string_view extension) {
    return text::equal_ignoring_case(rest.substr(1), extension);
  });
}

void remove_build_leftovers(std::string_view path, std::span<const std::string_view> companions) {
  const NameParts parts = name_parts(path);
  const std::string folder(path.substr(0, parts.name));
  const std::string stem(path.substr(parts.name, parts.point - parts.name));
  for (const std::string& name : platform::list_files(folder, stem + "~*")) {
    if (is_build_leftover(name, path, companions) && !built_by_other_live_process(name, stem.size()))
      XDELETEFILE(folder + name);
  }
}

std::unique_ptr<storage::DbfTable> begin_build(const std::string& temporary, std::span<const storage::FieldSpec> schema,
                                               const storage::OpenOptions& options) {
  discard_build(temporary);
  if (!storage::DbfTable::create(temporary, schema, options.variant.value_or(storage::Variant::cdx))) return nullptr;
  auto table = storage::DbfTable::open(temporary, options);
  if (!table) discard_build(temporary);
  return table;
}

bool finish_build(std::unique_ptr<storage::DbfTable> table, const std::string& temporary, const std::string& path,
                  std::string_view older_than) {
  const bool closed = table->close();
  table.reset();
  const bool dated = older_than.empty() || make_older_than(temporary, older_than);
  if (closed && dated && platform::rename_file(temporary, path)) return true;
  discard_build(temporary);
  return false;
}

void discard_build(const std::string& temporary) {
  platform::delete_file(temporary);
  platform::delete_file(files::I_FILENOEXT(temporary) + ".cdx");
}

}  // namespace torvane::app
