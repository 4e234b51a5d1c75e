#include "app/run_config.h"

#include <optional>

#include "files/ini_file.h"
#include "files/paths.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "text/encoding.h"
#include "text/letter_case.h"
#include "text/value.h"

namespace torvane::app {
namespace {

// Exactly "0" switches a default-on switch off; exactly "1" a default-off one on.
bool on_unless_zero(std::string_view value) { return value != "0"; }
bool on_only_if_one(std::string_view value) { return value == "1"; }

// The program's sections and their keys. Any other key there is a typing mistake or
// belongs to another program; the reader would pass it over without a word.
struct KnownKey {
  std::string_view section, key;
};
constexpr KnownKey kKnownKeys[] = {
    {"DVD", "Pfad"},       {"DVD", "Name"},          {"DVD", "DXPData"},
    {"DVD", "Check"},      {"DVD", "Exklusive"},     {"DVD", "UseCDX"},
    {"MAB", "Filter"},     {"MAB", "PoolFilter"},    {"MAB", "MAB-Filter"},
    {"Download", "Cover"}, {"Download", "Cover2Pool"}, {"Download", "CoverDBF"},
    {"Download", "CoverImportDBF"}, {"Download", "NotFoundDBF"}, {"Download", "Internet"},
    {"Download", "Start"}, {"Download", "Stop"},     {"Download", "Server"},
    {"Download", "Timeout"}, {"Download", "Connections"}, {"Download", "CAFile"},
};
constexpr std::string_view kSections[] = {"DVD", "MAB", "Download"};

// The values a switch knows (single digits) and what any other value means: the switch
// keeps its default, so `Cover=yes` leaves the cover phase off.
struct SwitchRule {
  std::string_view section, key;
  std::string_view values;  // as shown: "0, 1"
  std::string_view otherwise;
};
constexpr SwitchRule kSwitches[] = {
    {"DVD", "DXPData", "0, 1", "bleibt eingeschaltet"},
    {"DVD", "Check", "0, 1", "bleibt eingeschaltet"},
    {"DVD", "Exklusive", "0, 1", "bleibt eingeschaltet"},
    {"DVD", "UseCDX", "0, 1", "bleibt eingeschaltet"},
    {"MAB", "Filter", "0, 1, 2", "wirkt wie 1"},
    {"Download", "Cover", "0, 1", "bleibt ausgeschaltet"},
    {"Download", "Cover2Pool", "0, 1", "bleibt ausgeschaltet"},
    {"Download", "Internet", "0, 1", "bleibt ausgeschaltet"},
};

bool known_value(const SwitchRule& rule, std::string_view value) {
  return value.size() == 1 && value[0] >= '0' && value[0] <= '9' && rule.values.find(value[0]) != std::string_view::npos;
}

bool known_key(std::string_view section, std::string_view key) {
  for (const KnownKey& known : kKnownKeys) {
    if (text::equal_ignoring_case(known.section, section) && text::equal_ignoring_case(known.key, key)) return true;
  }
  return false;
}

// The names of a profile-string list: each followed by NUL, the list by one more.
std::vector<std::string> split_names(std::string_view list) {
  std::vector<std::string> names;
  while (!list.empty() && list.front() != '\0') {
    const std::size_t end = list.find('\0');
    names.emplace_back(list.substr(0, end));
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return names;
}

// The configuration file as it is read: its lookups, its encoding, and the warnings
// about what it holds.
class ConfigReader {
 public:
  explicit ConfigReader(const std::string& file) : ini_(file), file_(file) {
    const std::optional<std::string> bytes = platform::read_whole_file(file);
    if (!bytes) {
      warn("Die Konfigurationsdatei " + file_ +
           (platform::file_exists(file) ? " kann nicht gelesen werden." : " ist nicht vorhanden."));
      return;
    }
    utf8_ = text::is_utf8_text(*bytes);
    check_sections();
    check_switches();
  }

  // A value as written, trimmed: a path names a file of this system and keeps its bytes.
  std::string as_written(std::string_view section, std::string_view key) const {
    return std::string(text::trim(ini_.Get(section, key, "").text()));
  }
  // A text value, trimmed, in Windows-1252.
  std::string text(std::string_view section, std::string_view key, std::string_view fallback) {
    const std::string value(text::trim(ini_.Get(section, key, std::string(fallback)).text()));
    if (!utf8_) return value;
    text::CodePageText converted = text::from_utf8(value, &platform::cp1252_from_code_point);
    if (!converted.unmapped.empty()) {
      std::string names;
      for (std::uint32_t c : converted.unmapped) names += (names.empty() ? "" : ", ") + text::code_point_name(c);
      warn(std::string(key) + in_section(section) + " enth\xE4lt Zeichen ohne Windows-1252-Entsprechung (" + names +
           "); sie werden als ? gelesen.");
    }
    return std::move(converted.text);
  }
  void warn(std::string text) { warnings_.push_back("Warnung: " + std::move(text)); }
  std::vector<std::string> take_warnings() { return std::move(warnings_); }

 private:
  // Converted for a message, without warnings of its own.
  std::string shown(std::string_view value) const {
    return utf8_ ? text::from_utf8(value, &platform::cp1252_from_code_point).text : std::string(value);
  }
  std::string in_section(std::string_view section) const {
    return " in Sektion [" + std::string(section) + "] von " + file_;
  }

  // Unknown keys of the program's sections, and a section written twice (only the
  // first counts).
  void check_sections() {
    const std::vector<std::string> sections =
        split_names(files::GETPRIVATEPROFILESTRING(std::nullopt, std::nullopt, "", file_));
    for (std::string_view section : kSections) {
      int count = 0;
      for (const std::string& name : sections) count += text::equal_ignoring_case(name, section) ? 1 : 0;
      if (count > 1) warn("Sektion [" + std::string(section) + "] steht mehrfach in " + file_ + "; nur die erste gilt.");
      for (const std::string& key : split_names(files::GETPRIVATEPROFILESTRING(section, std::nullopt, "", file_))) {
        // A line beginning with ';' is a comment to a person, whatever it holds.
        if (key.starts_with(';') || known_key(section, key)) continue;
        warn("Unbekannter Schl\xFCssel " + shown(key) + in_section(section) + " wird nicht beachtet.");
      }
    }
  }

  void check_switches() {
    for (const SwitchRule& rule : kSwitches) {
      const std::string value = as_written(rule.section, rule.key);
      if (value.empty() || known_value(rule, value)) continue;
      warn(std::string(rule.key) + "=" + shown(value) + in_section(rule.section) + " ist keiner der Werte " +
           std::string(rule.values) + "; " + std::string(rule.key) + " " + std::string(rule.otherwise) + ".");
    }
  }

  files::TIni ini_;
  std::string file_;
  bool utf8_ = false;
  std::vector<std::string> warnings_;
};

}  // namespace

std::string config_file_for(std::string_view executable) {
  return files::I_FILENOEXT(executable) + ".INI";
}

std::string medium_root_from(std::string_view pfad) {
  pfad = text::trim(pfad);
  if (pfad.empty()) return "";
  if (pfad.size() == 1) return std::string(pfad) + ":\\";
  if (pfad.back() == '\\' || pfad.back() == '/') return std::string(pfad);
  return std::string(pfad) + "\\";
}

std::string first_line_of(std::string_view content) {
  constexpr std::size_t kColumns = 79;
  std::string_view line = content.substr(0, content.find_first_of("\r\n"));
  if (line.size() > kColumns) {
    std::string_view piece = line.substr(0, kColumns);
    // A word that would run past the last column moves to the next piece.
    const std::size_t blank = piece.rfind(' ');
    if (line[kColumns] != ' ' && blank != std::string_view::npos) piece = piece.substr(0, blank);
    line = piece;
  }
  return std::string(text::trim(line));
}

RunConfig read_config(const std::string& config_file) {
  ConfigReader reader(config_file);
  auto text = [&](const char* section, const char* key, const char* fallback) {
    return reader.text(section, key, fallback);
  };
  auto path = [&](const char* section, const char* key) { return reader.as_written(section, key); };
  RunConfig c;
  c.config_file = config_file;
  c.medium_root = medium_root_from(path("DVD", "Pfad"));
  c.medium_name = text("DVD", "Name", "");
  c.dxp_data = on_unless_zero(text("DVD", "DXPData", "1"));
  c.check = on_unless_zero(text("DVD", "Check", "1"));
  c.exclusive = on_unless_zero(text("DVD", "Exklusive", "1"));
  c.index_mode = on_unless_zero(text("DVD", "UseCDX", "1")) ? storage::Variant::cdx : storage::Variant::ntx;
  c.mab_filter_mode = text("MAB", "Filter", "1");
  c.pool_filter = text("MAB", "PoolFilter", "");
  c.field_exclusions = text("MAB", "MAB-Filter", "");
  c.cover = on_only_if_one(text("Download", "Cover", "0"));
  c.cover_to_pool = on_only_if_one(text("Download", "Cover2Pool", "0"));
  c.cover_dbf = path("Download", "CoverDBF");
  c.cover_import_dbf = path("Download", "CoverImportDBF");
  c.not_found_dbf = path("Download", "NotFoundDBF");
  c.internet = on_only_if_one(text("Download", "Internet", "0"));
  c.start_isbn = text("Download", "Start", "");
  c.stop_percent = text::number_from_text(text("Download", "Stop", "")).whole_number();
  c.download_server = text("Download", "Server", "");
  c.ca_file = path("Download", "CAFile");
  const long timeout = text::number_from_text(text("Download", "Timeout", "20000")).whole_number();
  c.download_timeout_ms = timeout > 0 ? timeout : 20000;
  const long connections = text::number_from_text(text("Download", "Connections", "1")).whole_number();
  c.connections = connections >= 1 && connections <= 16 ? connections : 1;
  if (c.internet && c.download_server.empty()) {
    reader.warn("Internet=1 ohne Server in Sektion [Download] von " + config_file +
                "; Cover werden nicht im Internet gesucht.");
    c.internet = false;
  }
  c.warnings = reader.take_warnings();
  return c;
}

std::string missing_medium_folder_warning(std::string_view medium_root) {
  if (medium_root.empty() || platform::directory_exists(medium_root)) return "";
  std::string line = "Warnung: Der Ordner des Datentr\xE4gers " + std::string(medium_root) + " ist nicht vorhanden";
  // Where it was looked for, when that reads differently: a drive, a relative path,
  // capitals that the program lower-cases.
  const std::string native = platform::real_location(medium_root).value_or(platform::translate_path(medium_root));
  const auto comparable = [](std::string_view path) {
    std::string out(path);
    for (char& ch : out) ch = ch == '\\' ? '/' : ch;
    if (out.ends_with('/')) out.pop_back();
    return out;
  };
  if (comparable(medium_root) != comparable(native)) line += " (auf diesem System " + native + ")";
  return line + ".";
}

}  // namespace torvane::app
