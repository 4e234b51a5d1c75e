#include "fileutil/library.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace torvane::fileutil {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Index of the first character of the file-name part (after the last separator).
std::size_t name_start(std::string_view path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (is_separator(path[i - 1])) return i;
  }
  return 0;
}

// The file-name part as I_FILENAME takes it, before upper-casing.
std::string_view name_part(std::string_view path) {
  const std::size_t start = name_start(path);
  if (start > 0 && start < path.size()) return path.substr(start);
  const std::size_t colon = path.find(':');
  if (colon != std::string_view::npos) return path.substr(colon + 1);
  return path;
}

unsigned char upper_byte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  switch (c) {
    case 0x9A: return 0x8A;  // s with caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z with caron
    case 0xFF: return 0x9F;  // y with diaeresis
    default: return c;
  }
}

unsigned char lower_byte(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string number_text(double value, int decimals) {
  if (!std::isfinite(value)) return "";
  if (decimals < 0) decimals = 0;
  if (decimals > 15) decimals = 15;
  char out[400];
  std::snprintf(out, sizeof out, "%.*f", decimals, value);
  std::string text = out;
  // "-0" and "-0.00" read as zero.
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

}  // namespace

// ---- Value -------------------------------------------------------------------------

Value Value::number(double value, int decimals) {
  Value v(Kind::number);
  v.number_ = value;
  v.decimals_ = decimals < 0 ? 0 : decimals;
  return v;
}

long Value::whole_number() const {
  if (!std::isfinite(number_)) return 0;
  if (number_ >= static_cast<double>(std::numeric_limits<long>::max())) return std::numeric_limits<long>::max();
  if (number_ <= static_cast<double>(std::numeric_limits<long>::min())) return std::numeric_limits<long>::min();
  return static_cast<long>(number_);
}

// ---- Text conversions --------------------------------------------------------------

Value number_from_text(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  double value = 0;
  bool any = false;
  while (i < text.size() && is_digit(text[i])) {
    value = value * 10 + (text[i++] - '0');
    any = true;
  }
  int decimals = 0;
  if (i < text.size() && text[i] == '.') {
    double scale = 0.1;
    for (++i; i < text.size() && is_digit(text[i]); ++i, scale /= 10) {
      value += (text[i] - '0') * scale;
      ++decimals;
      any = true;
    }
  }
  if (!any) return Value(0);
  return Value::number(negative ? -value : value, decimals);
}

Date date_from_text(std::string_view text) {
  text = trim(text);
  if (text.size() != 10 || text[2] != '.' || text[5] != '.') return {};
  auto field = [&](std::size_t at, std::size_t width, int& out) {
    out = 0;
    for (std::size_t i = at; i < at + width; ++i) {
      if (!is_digit(text[i])) return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  Date date;
  if (!field(0, 2, date.day) || !field(3, 2, date.month) || !field(6, 4, date.year)) return {};
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (date.year < 1 || date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > kDays[date.month - 1]) {
    return {};
  }
  const bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
  if (date.month == 2 && date.day == 29 && !leap) return {};
  return date;
}

Value value_from_text(std::string_view text, Kind kind) {
  switch (kind) {
    case Kind::number: return number_from_text(text);
    case Kind::date: return Value(date_from_text(text));
    case Kind::logical: return Value(upper(text) == ".T.");
    default: return Value(text);
  }
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(upper_byte(static_cast<unsigned char>(c)));
  return out;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(lower_byte(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper_byte(static_cast<unsigned char>(a[i])) != upper_byte(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// ---- Text forms --------------------------------------------------------------------

std::string I_VALTOCHAR(const Value& value) {
  switch (value.kind()) {
    case Kind::text: return value.text();
    case Kind::number: return number_text(value.number(), value.decimals());
    case Kind::date: {
      const Date d = value.date();
      if (d.empty()) return "";
      char out[32];
      std::snprintf(out, sizeof out, "%02d.%02d.%04d", d.day, d.month, d.year);
      return out;
    }
    case Kind::logical: return value.logical() ? ".t." : ".f.";
    case Kind::code: return "{|| ... }";
    case Kind::array: return "{ ... }";
    case Kind::object: return "Object";
    case Kind::nothing: break;
  }
  return "";
}

std::string XSPRINTF(std::string_view format, const std::vector<Value>& args) {
  std::string out;
  out.reserve(format.size());
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] == '%') {
      std::size_t j = i + 1;
      while (j < format.size() && is_digit(format[j])) ++j;
      if (j < format.size() && format[j] == '%' && j > i + 1 && j - i <= 10) {
        const std::size_t n = std::stoul(std::string(format.substr(i + 1, j - i - 1)));
        if (n >= 1 && n <= args.size()) {
          out += I_VALTOCHAR(args[n - 1]);
          i = j + 1;
          continue;
        }
      } else if (format.substr(i, 3) == "%n%") {
        out += '#';
        i += 3;
        continue;
      }
    }
    out += format[i++];
  }
  return out;
}

std::string XSPRINTF(std::string_view format, const Value& arg) {
  return XSPRINTF(format, std::vector<Value>{arg});
}

std::string I_MAKESTR(std::string_view format, const std::vector<Value>& args) {
  return XSPRINTF(format, args);
}

std::string I_MAKESTR(std::string_view format, const Value& arg) { return XSPRINTF(format, arg); }

std::string CGETLANG() { return "DE"; }

// ---- Paths -------------------------------------------------------------------------

std::string I_EXENAME() { return platform::executable_path(); }

std::string I_FILENOEXT(std::string_view path) {
  const std::size_t point = path.find('.', name_start(path));
  if (point == std::string_view::npos || point == 0) return std::string(path);
  return std::string(path.substr(0, point));
}

std::string I_FILEEXT(std::string_view path) {
  const std::size_t start = name_start(path);
  const std::size_t point = path.rfind('.');
  if (point == std::string_view::npos || point < start) return "";
  return std::string(path.substr(point + 1));
}

std::string I_FILEPATH(std::string_view path) {
  const std::size_t start = name_start(path);
  return start == 0 ? std::string() : std::string(path.substr(0, start - 1));
}

std::string I_FILENAME(std::string_view path) { return upper(name_part(path)); }

std::string I_FILEBASE(std::string_view path) { return I_FILENOEXT(name_part(path)); }

std::string I_FILEDISC(std::string_view path) {
  if (path.find(':') != 1) return "";
  return upper(path.substr(0, 2));
}

std::string I_FILEDRIVE(std::string_view path) {
  const std::size_t colon = path.find(':');
  return colon == std::string_view::npos ? std::string() : std::string(path.substr(0, colon));
}

std::string I_PATHNOSLASH(std::string_view path) {
  if (!path.empty() && is_separator(path.back())) path.remove_suffix(1);
  return std::string(path);
}

// ---- Files and directories ---------------------------------------------------------

bool I_ISFILE(std::string_view path) { return platform::file_exists(path); }

bool I_ISDIR(std::string_view path) { return platform::directory_exists(path); }

bool DIRMAKE(std::string_view path) { return platform::make_directory(path); }

bool I_DIRMAKE(std::string_view path, bool) {
  const std::string whole = I_PATHNOSLASH(trim(path));
  if (whole.empty()) return false;
  // Make each level in turn: "C:\A\B" makes "C:\A", then "C:\A\B". A drive ("C:") or
  // the root ("/") is never made.
  for (std::size_t i = 1; i <= whole.size(); ++i) {
    if (i < whole.size() && !is_separator(whole[i])) continue;
    const std::string level = whole.substr(0, i);
    if (level.size() == 2 && level[1] == ':') continue;
    if (!I_ISDIR(level)) DIRMAKE(level);
  }
  return I_ISDIR(whole);
}

bool I_DIRREMOVE(std::string_view path) { return platform::remove_directory(path); }

bool DELFILE(std::string_view path, bool) { return platform::delete_file(path); }

int I_DELETEFILE(std::string_view mask, bool force, bool, bool) {
  const std::size_t start = name_start(mask);
  const std::string directory = start == 0 ? std::string() : std::string(mask.substr(0, start));
  std::string_view pattern = mask.substr(start);
  if (pattern.empty()) pattern = "*.*";
  int deleted = 0;
  for (const std::string& name : platform::list_files(directory.empty() ? "." : directory, pattern, force)) {
    const std::string path = directory + name;
    if (platform::is_read_only(path)) {
      if (!force) continue;
      platform::set_read_only(path, false);
    }
    if (DELFILE(path)) ++deleted;
  }
  return deleted;
}

bool I_DELDIR(std::string_view directory, std::string_view mask, bool force) {
  const std::string dir = I_PATHNOSLASH(directory);
  const std::string prefix = dir + "\\";
  I_DELETEFILE(prefix + std::string(mask), force);
  const bool everything = mask == "*.*";
  for (const std::string& sub : platform::list_directories(dir)) {
    I_DELETEFILE(prefix + sub + "\\" + std::string(mask), force);
    if (everything) I_DIRREMOVE(prefix + sub);
  }
  if (!everything) return true;
  return I_DIRREMOVE(dir);
}

// The platform's name normalisation lower-cases the path (ASCII letters only, so that
// native folder names in UTF-8 reach the file system intact).
void I_FILETRANS(std::string_view path, const Value& value, bool erase_first) {
  if (erase_first) platform::delete_file(path);
  const std::string text = I_VALTOCHAR(value);
  platform::File file = platform::File::open(path, platform::Access::read_write,
                                             platform::Share::compatibility,
                                             platform::Disposition::open_or_create);
  if (!file.is_open()) return;
  const std::int64_t end = file.size();
  if (end < 0) return;
  file.write_at(static_cast<std::uint64_t>(end),
                {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace torvane::fileutil
