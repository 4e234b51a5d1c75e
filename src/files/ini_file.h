#pragma once
// The INI reader: a small class bound to one file name whose Get returns a key's value
// or a default, converted to the default's kind. It never writes.
//
// Format as the lookup sees it: lines end in CR LF (a lone CR or LF ends a line too); a
// UTF-8 byte-order mark at the very start is skipped; "[name]" starts a section that
// runs to the next one, lines before the first section belong to none; "name=value" is
// a key line, name and value taken without surrounding blanks and the value without one
// enclosing pair of matching quotes; section and key names compare without regard to
// letter case and the first match wins; every other line is ignored (so ";" lines are
// comments in practice). A missing section or key, an empty value and a missing or
// unreadable file all give the default.
//
// Each file is parsed once and kept, keyed by its path, size and last-write time: a
// catalogue asked thousands of times is read once, and a change on disk is seen at the
// next lookup. Prefix key: c text, u a value of any kind.

#include <optional>
#include <string>
#include <string_view>

#include "text/value.h"

namespace torvane::files {

class TIni {
 public:
  explicit TIni(std::string file_name = "") : cFileName(std::move(file_name)) {}
  static TIni New(std::string file_name) { return TIni(std::move(file_name)); }

  // The value of cEntry in cSection, of the kind of uDefault (of uVar when uDefault is
  // nothing). Without a file name the result is uVar, converted.
  text::Value Get(std::string_view cSection, std::string_view cEntry,
                  const text::Value& uDefault = {}, const text::Value& uVar = {}) const;
  void End() {}

  std::string cFileName;
};

// The profile-string lookup behind TIni::Get. The value of the key, or cDefault when
// there is none or it is empty. Without an entry: the key names of the section; without
// a section: the section names; each name followed by NUL and the list by one more NUL.
std::string GETPRIVATEPROFILESTRING(std::optional<std::string_view> cSection,
                                    std::optional<std::string_view> cEntry,
                                    std::string_view cDefault, std::string_view cFile);

// Forgets every parsed file (tests; a long-lived process that wants its memory back).
void clear_ini_cache();

}  // namespace torvane::files
