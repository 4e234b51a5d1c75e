// Arbitrary bytes as an INI file, read as the program reads its configuration and the
// medium's catalogue POOL.INI. Every section and key the reader lists is looked up; a
// file written back from what was read gives the same answers; the configuration's
// rules hold (a medium root ends in a separator, a time-out is positive); the
// catalogue's pools are numbered 1, 2, ... without a gap.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/medium/pool_catalogue.h"
#include "app/run_config.h"
#include "files/ini_file.h"
#include "fuzz/fuzz_support.h"
#include "text/letter_case.h"

namespace {

using namespace torvane;
using fuzz::require;

// Lookups re-read the file while it is fresh; a bound keeps a large input fast.
constexpr std::size_t kMaxNames = 16;
// A default no file can hold as a value: values never contain a line end.
constexpr std::string_view kAbsent = "\n";
constexpr std::string_view kRoot = "d:\\dvd\\";

std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < list.size() && names.size() < kMaxNames) {
    const std::size_t end = list.find('\0', start);
    if (end == std::string::npos) break;
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string lookup(const std::string& file, const std::string& section, const std::string& key) {
  return files::GETPRIVATEPROFILESTRING(section, key, kAbsent, file);
}

// Writes every key of every listed section with its value, quoted so that the quotes
// the reader takes off come back off the same way, and checks that the copy answers
// every lookup as the file it was written from does.
void check_written_back(const std::string& file, std::size_t input_size) {
  const std::vector<std::string> sections =
      split_names(files::GETPRIVATEPROFILESTRING(std::nullopt, std::nullopt, "", file));
  std::string copy;
  std::vector<std::pair<std::string, std::string>> keys;
  for (const std::string& section : sections) {
    require(section.find_first_of("]\r\n") == std::string::npos);
    copy += "[" + section + "]\r\n";
    for (const std::string& key : split_names(files::GETPRIVATEPROFILESTRING(section, std::nullopt, "", file))) {
      const std::string value = lookup(file, section, key);
      require(value.size() <= input_size);
      if (value == kAbsent) continue;  // listed with an empty value
      require(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
      copy += key + "=\"" + value + "\"\r\n";
      keys.emplace_back(section, key);
    }
  }
  const std::string copy_file = fuzz::scratch_path("copy.ini");
  fuzz::put_file(copy_file, copy);
  for (const auto& [section, key] : keys) require(lookup(copy_file, section, key) == lookup(file, section, key));
}

void check_configuration(const std::string& file) {
  const app::RunConfig config = app::read_config(file);
  require(config.medium_root.empty() || config.medium_root.back() == '\\' || config.medium_root.back() == '/');
  require(config.download_timeout_ms > 0);
}

void check_catalogue(const std::string& file) {
  int expected = 1;
  app::for_each_pool(file, app::kPoolStepLimit, [&](int number, const std::string& section) {
    require(number == expected++ && !section.empty());
    const app::PoolEntry pool = app::resolve_pool(file, number, section, kRoot, storage::Variant::ntx);
    require(pool.number == number);
    if (pool.status == app::PoolEntry::Status::ok) {
      require(pool.mab_path.starts_with(kRoot) && pool.table_path.starts_with(kRoot));
      require(pool.index_path.starts_with(kRoot) && text::lower(pool.index_path).ends_with(".ntx"));
    }
    const app::PoolImport import = app::pool_import(file, number, section, kRoot, storage::Variant::ntx);
    require(import.path.empty() || import.path.starts_with(kRoot));
  });
  require(expected <= app::kPoolStepLimit + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  files::clear_ini_cache();
  const std::string file = fuzz::scratch_path("t.ini");
  fuzz::put_file(file, fuzz::as_text(data, size));
  check_written_back(file, size);
  check_configuration(file);
  check_catalogue(file);
  return 0;
}
