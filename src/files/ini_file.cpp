#include "files/ini_file.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "text/letter_case.h"

namespace torvane::files {
namespace {

struct Section {
  std::string name;                                  // as written
  std::vector<std::string> key_order;                // key names as written, in order
  std::unordered_map<std::string, std::string> values;  // upper-cased key -> first value
};

struct ParsedIni {
  std::vector<Section> sections;                      // in file order, duplicates kept
  std::unordered_map<std::string, std::size_t> first; // upper-cased name -> first section
};

std::string_view trim_space(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

// Splits at CR LF, lone CR or lone LF; a last line without an end counts.
template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      fn(text.substr(start));
      return;
    }
    fn(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
}

ParsedIni parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  ParsedIni ini;
  Section* current = nullptr;
  for_each_line(text, [&](std::string_view raw) {
    std::string_view line = trim_space(raw.substr(0, raw.find('\0')));
    if (line.empty()) return;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) return;
      Section section;
      section.name = std::string(trim_space(line.substr(1, close - 1)));
      ini.first.try_emplace(text::upper(section.name), ini.sections.size());
      ini.sections.push_back(std::move(section));
      current = &ini.sections.back();
      return;
    }
    const std::size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) return;
    std::string_view name = trim_space(line.substr(0, equals));
    std::string_view value = unquote(trim_space(line.substr(equals + 1)));
    if (current->values.try_emplace(text::upper(name), value).second) current->key_order.emplace_back(name);
  });
  return ini;
}

struct CacheEntry {
  std::string native;  // the file the path resolved to
  platform::FileStamp stamp;
  std::shared_ptr<const ParsedIni> parsed;
};

constexpr std::size_t kCacheLimit = 64;
// A file written this recently may be written again within the file system's time
// stamp granularity without its stamp changing: it is read anew at every lookup.
constexpr std::int64_t kSettledNs = 2'000'000'000;

std::map<std::string, CacheEntry>& cache() {
  static std::map<std::string, CacheEntry> entries;
  return entries;
}

// The parsed file, from the cache while the file is unchanged. A missing or unreadable
// file parses as an empty one.
std::shared_ptr<const ParsedIni> load(std::string_view file) {
  static const auto empty = std::make_shared<const ParsedIni>();
  const std::string key(file);
  auto& entries = cache();
  // A hit costs one stat of the file found last time, not a new resolution of the path.
  if (auto found = entries.find(key); found != entries.end() &&
                                      platform::native_file_stamp(found->second.native) == found->second.stamp) {
    return found->second.parsed;
  }
  const std::string native = platform::native_path(file);
  const std::optional<platform::FileStamp> stamp = platform::native_file_stamp(native);
  if (!stamp) return empty;
  const std::optional<std::string> content = platform::read_whole_file(file);
  if (!content) return empty;
  auto parsed = std::make_shared<const ParsedIni>(parse(*content));
  const std::int64_t newest = std::max(stamp->modified_ns, stamp->changed_ns);
  if (platform::wall_clock_nanoseconds() - newest < kSettledNs) {
    entries.erase(key);
    return parsed;
  }
  if (entries.size() >= kCacheLimit) entries.clear();
  entries[key] = CacheEntry{native, *stamp, parsed};
  return parsed;
}

std::string name_list(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list += '\0';
  }
  if (!list.empty()) list += '\0';
  return list;
}

}  // namespace

std::string GETPRIVATEPROFILESTRING(std::optional<std::string_view> cSection,
                                    std::optional<std::string_view> cEntry,
                                    std::string_view cDefault, std::string_view cFile) {
  const std::shared_ptr<const ParsedIni> ini = load(cFile);
  std::string result;
  if (!cSection) {
    std::vector<std::string> names;
    for (const Section& section : ini->sections) names.push_back(section.name);
    result = name_list(names);
  } else if (auto found = ini->first.find(text::upper(*cSection)); found != ini->first.end()) {
    const Section& section = ini->sections[found->second];
    if (!cEntry) {
      result = name_list(section.key_order);
    } else if (auto value = section.values.find(text::upper(*cEntry)); value != section.values.end()) {
      result = value->second;
    }
  }
  return result.empty() ? std::string(cDefault) : result;
}

text::Value TIni::Get(std::string_view cSection, std::string_view cEntry,
                      const text::Value& uDefault, const text::Value& uVar) const {
  const text::Kind kind = uDefault.is_nothing() ? uVar.kind() : uDefault.kind();
  if (cFileName.empty()) {
    return uVar.kind() == kind ? uVar : text::value_from_text(text::I_VALTOCHAR(uVar), kind);
  }
  return text::value_from_text(
      GETPRIVATEPROFILESTRING(cSection, cEntry, text::I_VALTOCHAR(uDefault), cFileName), kind);
}

void clear_ini_cache() { cache().clear(); }

}  // namespace torvane::files
