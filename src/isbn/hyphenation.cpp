#include "isbn/hyphenation.h"

#include "isbn/compact_form.h"
#include "isbn/numbers.h"
#include "isbn/range_table.h"
#include "text/letter_case.h"

namespace torvane::isbn {

namespace {

std::string without(std::string_view text, char removed) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != removed) out += c;
  }
  return out;
}

}  // namespace

std::string hyphenate_number(std::string_view cleaned, bool is13) {
  std::size_t prefix = is13 ? 3 : 0;
  if (cleaned.size() < prefix) return std::string(cleaned);
  auto lengths = range_table().find(cleaned.substr(prefix));
  if (!lengths) return std::string(cleaned);

  std::size_t registrant = prefix + lengths->group;
  std::size_t publication = registrant + lengths->registrant;
  std::string out;
  out.reserve(cleaned.size() + 4);
  if (is13) out.append(cleaned.substr(0, prefix)).push_back('-');
  out.append(cleaned.substr(prefix, lengths->group)).push_back('-');
  out.append(cleaned.substr(registrant, lengths->registrant)).push_back('-');
  if (is13) {
    out.append(cleaned.substr(publication));
  } else {
    out.append(cleaned.substr(publication, cleaned.size() - 1 - publication)).push_back('-');
    out.push_back(cleaned.back());
  }
  return out;
}

std::string MAKEISBN(std::string_view text) {
  detail::CompactForm form = detail::compact_form(text);
  bool is10 = detail::accepts(form, false, true, false);
  bool is13 = detail::accepts(form, true, false, false);
  if (!is10 && !is13) return std::string(text);

  std::string dehyphenated = without(text::trim(text), '-');
  std::string cleaned = without(text::trim(dehyphenated), ' ');
  // A number that passes both tests (the empty one, an "M" number) is read as ISBN-10.
  return hyphenate_number(NORMISBN(cleaned, is13), !is10);
}

}  // namespace torvane::isbn
