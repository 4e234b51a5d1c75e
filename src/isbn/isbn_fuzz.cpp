// Arbitrary bytes through every function of the ISBN toolkit, checking what must hold
// for any input. Built only with -DTORVANE_FUZZ=ON and clang (libFuzzer).

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "isbn/hyphenation.h"
#include "isbn/numbers.h"

namespace {

using namespace torvane::isbn;

void require(bool condition) {
  if (!condition) std::abort();
}

std::string without(std::string_view text, char removed) {
  std::string out(text);
  std::erase(out, removed);
  return out;
}

std::string_view trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

void check_numbers(std::string_view text, std::uint8_t modulus) {
  require(ISNUM(text) == std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }));
  std::uint64_t value = number_value(text);
  require(CHECKSUM(value) <= 9);
  int weighted = CHECKSUM(value, modulus, text);
  require(weighted >= 0 && (modulus == 0 ? weighted == 0 : weighted < modulus));
  std::string check = GETISBNPZ(text);
  require(check.size() == 1 && (check[0] == 'X' || (check[0] >= '0' && check[0] <= '9')));
  require(isbn10_check_sum(text) >= 0 && isbn10_check_sum(text) <= 10);
  require(issn_check_sum(text) >= 0 && issn_check_sum(text) <= 10);
  for (int flags = 0; flags < 8; ++flags) {
    if (ISISBN(text, flags & 1, flags & 2, flags & 4)) require(ISISBN(text, true, true, true));
  }
  for (bool want13 : {false, true}) {
    std::string norm = NORMISBN(text, want13);
    require(norm.size() <= 13);
    require(norm.empty() || (ISISBN(norm, want13, true, false) && NORMISBN(norm, want13) == norm));
  }
}

void check_hyphenation(std::string_view text) {
  std::string hyphenated = MAKEISBN(text);
  bool is10 = ISISBN10(text);
  if (!is10 && !ISISBN13(text)) {
    require(hyphenated == text);
  } else {
    require(ISISBN(without(hyphenated, '-'), true, true, false));
  }

  std::string ean = ISBN2EAN(text);
  std::string kept = ISBN2EAN(text, true);
  require(kept == ean || (ean.empty() && kept == text));
  if (is10 && !ISEAN(trim(text))) {
    // The conversion is the hyphenation with the new prefix and check digit.
    std::string h = MAKEISBN(without(trim(text), '-'));
    std::string expected;
    if (!trim(text).empty() && h.size() == 13) {
      std::string key = "978" + without(h, '-').substr(0, 9);
      expected = "978-" + h.substr(0, 12) + static_cast<char>('0' + CHECKSUM(number_value(key)));
    }
    require(ean == expected);
    if (!ean.empty()) {
      require(ean.size() == 17 && ean.starts_with("978-"));
      require(ISISBN13(without(ean, '-')));
      require(EAN2ISBN(ean) == MAKEISBN(without(trim(text), '-')));
    }
  }

  std::string isbn10 = EAN2ISBN(text);
  require(isbn10 == text || isbn10.empty() || ISISBN10(isbn10));
  std::string kept10 = EAN2ISBN(text, true);
  require(kept10 == isbn10 || (isbn10.empty() && kept10 == text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::uint8_t modulus = size > 0 ? data[0] : 10;
  check_numbers(text, modulus);
  check_hyphenation(text);
  return 0;
}
