#pragma once
// Path, directory and file helpers shared by every phase, and the value type that the
// INI reader and the text forms work with.
//
// Paths are texts in the form the program builds them ("D:\DVD\POOL\A.MAB"); "\" and
// "/" both count as separators. Every helper that cuts a name before its first point
// uses the first point of the file-name part (after the last separator), never a point
// in a directory name: "C:\TOOLS.V2\TORVANE.EXE" without extension is
// "C:\TOOLS.V2\TORVANE". File operations hand their paths to the platform layer, which
// normalises and resolves them. Texts are Windows-1252 byte strings.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::fileutil {

// A calendar date; all zero is the empty date.
struct Date {
  int year = 0, month = 0, day = 0;
  bool empty() const { return year == 0 && month == 0 && day == 0; }
  friend bool operator==(const Date&, const Date&) = default;
};

enum class Kind { nothing, text, number, date, logical, code, array, object };

// A value of one of the kinds the text forms know. Numbers keep their count of
// decimals, so that 12.5 with two decimals reads "12.50".
class Value {
 public:
  Value() = default;  // nothing
  Value(const char* text) : kind_(Kind::text), text_(text ? text : "") {}
  Value(std::string text) : kind_(Kind::text), text_(std::move(text)) {}
  Value(std::string_view text) : kind_(Kind::text), text_(text) {}
  Value(int number) : kind_(Kind::number), number_(number) {}
  Value(long number) : kind_(Kind::number), number_(static_cast<double>(number)) {}
  Value(long long number) : kind_(Kind::number), number_(static_cast<double>(number)) {}
  Value(bool logical) : kind_(Kind::logical), logical_(logical) {}
  Value(Date date) : kind_(Kind::date), date_(date) {}

  static Value number(double value, int decimals = 0);
  static Value code() { return Value(Kind::code); }      // a stored piece of code
  static Value array() { return Value(Kind::array); }    // an array of values
  static Value object() { return Value(Kind::object); }  // any other object

  Kind kind() const { return kind_; }
  bool is_nothing() const { return kind_ == Kind::nothing; }
  // The text of a text value; "" for every other kind.
  const std::string& text() const { return text_; }
  // The number of a number value; 0 for every other kind.
  double number() const { return number_; }
  long whole_number() const;  // number() cut toward zero, clamped to long
  int decimals() const { return decimals_; }
  bool logical() const { return logical_; }
  Date date() const { return date_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  explicit Value(Kind kind) : kind_(kind) {}
  Kind kind_ = Kind::nothing;
  std::string text_;
  double number_ = 0;
  int decimals_ = 0;
  bool logical_ = false;
  Date date_;
};

// ---- Text conversions --------------------------------------------------------------

// The decimal number at the start of a text after leading blanks: optional sign,
// digits, optional point and digits (its decimals). 0 when there is none.
Value number_from_text(std::string_view text);
// "dd.mm.yyyy" read as a date; the empty date when the text does not parse.
Date date_from_text(std::string_view text);
// A text read as a value of the given kind (text and nothing: the text unchanged;
// logical: true exactly for ".T." in any letter case).
Value value_from_text(std::string_view text, Kind kind);

// Windows-1252 letter case and blanks.
std::string upper(std::string_view text);
std::string lower(std::string_view text);
std::string_view trim(std::string_view text);  // leading and trailing blanks
bool equal_ignoring_case(std::string_view a, std::string_view b);

// ---- Text forms --------------------------------------------------------------------

// A text unchanged; a date "dd.mm.yyyy" ("" when empty); a logical ".t."/".f."; a
// number in decimal with its own decimals; code "{|| ... }"; an array "{ ... }"; an
// object "Object"; nothing "".
std::string I_VALTOCHAR(const Value& value);

// Replaces "%1%", "%2%", ... by the text forms of the arguments and "%n%" by "#".
// Placeholders without an argument stay as they are.
std::string XSPRINTF(std::string_view format, const std::vector<Value>& args);
std::string XSPRINTF(std::string_view format, const Value& arg);
std::string I_MAKESTR(std::string_view format, const std::vector<Value>& args);
std::string I_MAKESTR(std::string_view format, const Value& arg);

std::string CGETLANG();  // always "DE"

// ---- Paths -------------------------------------------------------------------------

std::string I_EXENAME();  // full path of the running executable

// The text before the first point of the file-name part, unless that point is the
// text's first character; otherwise the text unchanged. "C:\X.V2\B.DBF" -> "C:\X.V2\B".
std::string I_FILENOEXT(std::string_view path);
// The text after the last point of the file-name part; "" when there is none.
std::string I_FILEEXT(std::string_view path);
// The text before the last separator; "" when there is none. No trailing separator.
std::string I_FILEPATH(std::string_view path);
// The file-name part upper-cased: after the last separator when one is there and is not
// the last character; else after the first ":"; else the whole text.
std::string I_FILENAME(std::string_view path);
// The file-name part (as in I_FILENAME, not upper-cased), then I_FILENOEXT.
std::string I_FILEBASE(std::string_view path);
// The first two characters upper-cased when the first ":" is the second character.
std::string I_FILEDISC(std::string_view path);
// The text before the first ":"; "" when there is none.
std::string I_FILEDRIVE(std::string_view path);
// The path without one trailing separator.
std::string I_PATHNOSLASH(std::string_view path);

// ---- Files and directories ---------------------------------------------------------

bool I_ISFILE(std::string_view path);
bool I_ISDIR(std::string_view path);

// Creates every missing level of a directory path; true when it exists at the end.
// The flag has no effect.
bool I_DIRMAKE(std::string_view path, bool flag = false);
// One directory level; true when it exists afterwards. (The system's _DIRMAKE: a
// leading underscore and capital letter is reserved in C++.)
bool DIRMAKE(std::string_view path);
// Removes an empty directory; true when it is gone.
bool I_DIRREMOVE(std::string_view path);
// Deletes one file; true when it is gone afterwards. (The system's _DELFILE.)
bool DELFILE(std::string_view path, bool flag = false);
// Deletes every file of one directory that matches the mask's file-name part ("*" and
// "?"); the directory is the mask's path part, the current one when there is none.
// With force, hidden files are included and read-only files made writable first;
// without, read-only files are skipped. Returns the number of files deleted.
int I_DELETEFILE(std::string_view mask = "*.*", bool force = false, bool flag1 = false,
                 bool flag2 = false);
// Deletes the matching files of a directory and of its direct subdirectories; with the
// mask "*.*" also removes those subdirectories and the directory itself and returns
// whether the directory is gone; for other masks returns true.
bool I_DELDIR(std::string_view directory, std::string_view mask = "*.*", bool force = false);

// Appends the text form of value to a file (created empty first when missing); with
// erase_first the file is deleted before. The path is lower-cased. An open that fails
// loses the text silently.
void I_FILETRANS(std::string_view path, const Value& value, bool erase_first = false);

}  // namespace torvane::fileutil
