// make_medium: writes a sample medium, deterministically from a seed.
//
//   make_medium --out DIR [--seed N] [--pools K] [--records N | --size 2G]
//               [--filter-lines F] [--long-lines F] [--covers N] [--name TEXT]
//               [--config FILE] [--manifest FILE] [--ntx] [--shared] [--internet]
//               [--server HOST[:PORT]] [--no-stale] [--import-table]
//
// The folder DIR becomes a medium root as the program expects it, with upper-case names
// as media copied from Windows carry them:
//
//   POOL.INI                 the pool catalogue: [Pool], one section per pool, [Cover]
//   POOLn\POOLn.MAB          MAB2 data of pool n (CR LF lines, Windows-1252)
//   VERSION.TXT, VERINST.TXT the application's version and installation directory
//   BIN\*.CDM                start-up definition files with [Main] Title= entries
//   DOKU\HTML\INDEX.HTM, DOKU\EURO\INDEX.HTM   documentation start pages, empty heads
//   TAV\SETUP.EXE, TAV\INSTALL.EXE, TAV\ERROR.LOG   the installation directory
//   INSTALL.ERR, ERROR.LOG, MEDIACD.GID, POOL.DBU, BIN\MEDIACD.GID   stale files
//   COVER\                   where the run creates the cover table
//   IMPORT\*.GIF, README.TXT cover images for the import table, named by ISBN key
//   COVER\IMPORT.DBF         with --import-table: the import table of every second of
//                            those images in key order (+ .fpt, .cdx), named in the
//                            configuration's CoverImportDBF; the others are left for an
//                            image server
//   TORVANE.INI              the program's configuration for this medium (or --config)
//
// A summary of "key: value" lines on standard output says what was written: records,
// the rows the ISBN position tables will get, number lines by kind, lines the field
// filter removes, long lines. --manifest writes the expected rows themselves
// ("pool;position;label;key"). Every byte depends on the options and the seed only.
//
// The generator writes with the standard library directly, not through the program's
// file layer: that layer lower-cases every name it creates, and the point here is a
// medium with the names a Windows copy has. The import table is the exception: it is
// written through the program's table layer (so its files are lower case, as the
// program's own tables are).

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "storage/cdx_index.h"
#include "storage/dbf_table.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Random numbers: xoshiro256** seeded through splitmix64, so a seed gives the same bytes
// on every machine and standard library.

class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : state_) {
      seed += 0x9E3779B97F4A7C15ull;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word = z ^ (z >> 31);
    }
  }
  std::uint64_t next() {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  int between(int low, int high) { return low + static_cast<int>(below(high - low + 1)); }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) { return items[below(N)]; }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> state_{};
};

void append_digits(std::string& out, std::uint64_t value, int width) {
  char digits[24];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, width);
}

// A number as text without a heap allocation.
class Decimal {
 public:
  explicit Decimal(std::uint64_t value) { end_ = std::to_chars(digits_, digits_ + sizeof digits_, value).ptr; }
  operator std::string_view() const { return {digits_, static_cast<std::size_t>(end_ - digits_)}; }

 private:
  char digits_[24];
  char* end_;
};

std::string random_digits(Rng& rng, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>('0' + rng.below(10));
  return s;
}

// ---------------------------------------------------------------------------------------
// Check characters of the numbers a record carries.

// ISBN-10 (nine digits) and ISSN (seven): weights from n + 1 down to 2, modulus 11, X for 10.
char mod11_check(std::string_view digits) {
  const int n = static_cast<int>(digits.size());
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += (n + 1 - i) * (digits[i] - '0');
  const int r = 11 - sum % 11;
  return r == 10 ? 'X' : r == 11 ? '0' : static_cast<char>('0' + r);
}
char isbn10_check(std::string_view nine) { return mod11_check(nine); }
char issn_check(std::string_view seven) { return mod11_check(seven); }

// EAN-13: weights 1 and 3 alternating from the left over the first twelve digits.
char ean_check(std::string_view twelve) {
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (i % 2 == 0 ? 1 : 3) * (twelve[i] - '0');
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

// Old ten-character ISMN: the check digit of its 13-digit form 979-0-...
char ismn_check(std::string_view eight) { return ean_check("9790" + std::string(eight)); }

// Any check character but the right one.
char wrong_check(Rng& rng, char right, bool allow_x) {
  for (;;) {
    const int v = static_cast<int>(rng.below(allow_x ? 11 : 10));
    const char c = v == 10 ? 'X' : static_cast<char>('0' + v);
    if (c != right) return c;
  }
}

// Registrant ranges of the registration groups the generator draws ISBN-10s from. Each
// group's ranges cover every registrant, so every valid number of these groups has a
// 13-digit key form. Group 9950 has no ranges at all: its numbers are valid but never
// get a key.
struct RegistrantRange {
  std::string_view low, high;
};
constexpr std::array<RegistrantRange, 10> kGroup3 = {{{"00", "02"}, {"030", "033"},
    {"0340", "0369"}, {"03700", "03999"}, {"04", "19"}, {"200", "699"}, {"7000", "8499"},
    {"85000", "89999"}, {"900000", "949999"}, {"9500000", "9999999"}}};
constexpr std::array<RegistrantRange, 6> kGroup0 = {{{"00", "19"}, {"200", "699"},
    {"7000", "8499"}, {"85000", "89999"}, {"900000", "949999"}, {"9500000", "9999999"}}};
constexpr std::array<RegistrantRange, 6> kGroup1 = {{{"00", "09"}, {"100", "399"},
    {"4000", "5499"}, {"55000", "86979"}, {"869800", "998999"}, {"9990000", "9999999"}}};

std::uint64_t digit_value(std::string_view s) {
  std::uint64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// An ISBN-10 as group, registrant and publication element (without check character).
struct Isbn10 {
  std::string group, registrant, publication;
  std::string nine() const { return group + registrant + publication; }
};

template <std::size_t N>
Isbn10 isbn10_in_group(Rng& rng, std::string_view group, const std::array<RegistrantRange, N>& ranges) {
  // Publishers with short registrants publish most titles: favour the early rows.
  const std::size_t first = rng.below(N);
  const std::size_t row = std::min<std::size_t>(first, rng.below(N));
  const RegistrantRange& range = ranges[row];
  const std::uint64_t low = digit_value(range.low), high = digit_value(range.high);
  Isbn10 isbn;
  isbn.group = std::string(group);
  append_digits(isbn.registrant, low + rng.below(high - low + 1), static_cast<int>(range.low.size()));
  isbn.publication = random_digits(rng, 9 - static_cast<int>(group.size() + range.low.size()));
  return isbn;
}

Isbn10 random_isbn10(Rng& rng) {
  const auto roll = rng.below(100);
  if (roll < 70) return isbn10_in_group(rng, "3", kGroup3);
  if (roll < 88) return isbn10_in_group(rng, "0", kGroup0);
  return isbn10_in_group(rng, "1", kGroup1);
}

std::string hyphenated10(const Isbn10& isbn, char check) {
  return isbn.group + "-" + isbn.registrant + "-" + isbn.publication + "-" + check;
}

std::string plain10(const Isbn10& isbn, char check) { return isbn.nine() + check; }

// The 13-digit key of a valid ISBN-10: 978, the first nine digits, a new check digit.
std::string key_of(const Isbn10& isbn) {
  std::string twelve = "978" + isbn.nine();
  return twelve + ean_check(twelve);
}

// ---------------------------------------------------------------------------------------
// Words of the records (Windows-1252; an escape is closed before a following hex letter).

constexpr std::array<std::string_view, 24> kSurnames = {"M\xFCller", "Schmidt", "Schneider",
    "Fischer", "Weber", "Meyer", "Wagner", "Becker", "Sch\xE4" "fer", "Koch", "Richter",
    "Klein", "Wolf", "Schr\xF6" "der", "Neumann", "Schwarz", "Zimmermann", "Braun",
    "Kr\xFCger", "Hofmann", "Hartmann", "Lange", "Schmitt", "Wei\xDF"};
constexpr std::array<std::string_view, 20> kForenames = {"Hans", "J\xFCrgen", "Anna",
    "Maria", "Peter", "Ursula", "Klaus", "Monika", "Wolfgang", "Petra", "Michael",
    "Sabine", "Thomas", "Renate", "Andreas", "Brigitte", "G\xFCnter", "Karin", "Stefan",
    "Helga"};
constexpr std::array<std::string_view, 12> kTitleStarts = {"Einf\xFChrung in die",
    "Handbuch der", "Grundlagen der", "Geschichte der", "Lehrbuch der", "Praxis der",
    "Kompendium der", "Beitr\xE4ge zur", "Studien zur", "Atlas der", "Methoden der",
    "W\xF6rterbuch der"};
constexpr std::array<std::string_view, 16> kSubjects = {"Informatik", "Physik",
    "Stadtplanung", "Kunstgeschichte", "Betriebswirtschaft", "Musiktheorie",
    "Rechtswissenschaft", "Medizin", "Chemie", "Philosophie", "P\xE4" "dagogik",
    "Soziologie", "Geologie", "Sprachwissenschaft", "Agrar\xF6konomie", "Astronomie"};
constexpr std::array<std::string_view, 8> kSubtitles = {
    "ein Lehrbuch f\xFCr Studium und Praxis", "mit 120 \xDC" "bungsaufgaben",
    "Theorie und Anwendung", "eine Einf\xFChrung", "Texte und Materialien",
    "Grundbegriffe, Methoden, Beispiele", "von den Anf\xE4ngen bis zur Gegenwart",
    "ein Leitfaden"};
constexpr std::array<std::string_view, 12> kPlaces = {"Berlin", "M\xFCnchen", "Stuttgart",
    "K\xF6ln", "Hamburg", "Frankfurt am Main", "Leipzig", "Wien", "Z\xFCrich", "G\xF6ttingen",
    "Heidelberg", "D\xFCsseldorf"};
constexpr std::array<std::string_view, 12> kPublishers = {"Springer", "Beck", "Kohlhammer",
    "Hanser", "Vandenhoeck & Ruprecht", "de Gruyter", "Westermann", "Klett", "Reclam",
    "Suhrkamp", "Teubner", "Vieweg"};
constexpr std::array<std::string_view, 8> kEditions = {"2. Aufl.", "3., \xFC" "berarb. Aufl.",
    "1. Aufl.", "Neuausg.", "4., erw. Aufl.", "Sonderausg.", "5. Aufl.", "Nachdr."};
constexpr std::array<std::string_view, 6> kIllustrations = {"Ill.", "graph. Darst.",
    "Ill., graph. Darst.", "Kt.", "zahlr. Ill.", "Notenbeisp."};
constexpr std::array<std::string_view, 10> kWords = {"Die", "Untersuchung", "zeigt",
    "anhand", "zahlreicher", "Beispiele", "den", "Wandel", "der", "\xDC" "berlieferung"};
constexpr std::array<std::string_view, 6> kBindings = {"kart.", "Gb.", "Pp.", "brosch.",
    "Lw.", "geh."};

// Lines of fields outside the permitted table (or with an indicator the field does not
// allow): the field filter removes them. None starts like a number or header line.
constexpr std::array<std::string_view, 14> kForbiddenTags = {"001 ", "002a", "003 ", "025a",
    "026 ", "030 ", "036a", "076 ", "078e", "089a", "112 ", "700a", "902s", "999 "};

// ---------------------------------------------------------------------------------------
// Options and counters.

struct Options {
  std::uint64_t seed = 1;
  int pools = 3;
  std::uint64_t records = 1000;      // per pool, when no size is given
  std::uint64_t size = 0;            // target bytes of MAB2 data over all pools; 0 = by records
  double filter_lines = 0.002;       // chance of a removable line after each field line
  double long_lines = 0.003;         // chance of a record carrying a line over 1,024 bytes
  std::size_t covers = 40;           // cover images for the import table
  std::string name = "Beispiel-Datentr\xE4ger 2024";
  fs::path out, config, manifest;
  bool ntx = false, shared = false, internet = false, stale = true;
  bool import_table = false;         // COVER\IMPORT.DBF from the cover images
  std::string server;
};

// The kinds of number lines, in the order the summary lists them.
enum Kind : int {
  isbn10_hyphenated, isbn10_plain, isbn10_bare, isbn10_invalid, isbn10_without_key,
  isbn13_978, isbn13_979, isbn13_invalid, issn, ismn, ean, ean_invalid, kind_count
};
constexpr std::array<std::string_view, kind_count> kKindNames = {"isbn10-hyphenated",
    "isbn10-plain", "isbn10-bare", "isbn10-invalid", "isbn10-without-key", "isbn13-978",
    "isbn13-979", "isbn13-invalid", "issn", "ismn", "ean", "ean-invalid"};

struct Counts {
  std::uint64_t records = 0, records_without_number = 0, rows = 0, lines = 0;
  std::uint64_t filtered_lines = 0, long_lines = 0, bytes = 0;
  std::array<std::uint64_t, kind_count> numbers{};
  void add(const Counts& o) {
    records += o.records; records_without_number += o.records_without_number;
    rows += o.rows; lines += o.lines; filtered_lines += o.filtered_lines;
    long_lines += o.long_lines; bytes += o.bytes;
    for (int k = 0; k < kind_count; ++k) numbers[k] += o.numbers[k];
  }
};

// A uniform sample of the keys the cover phase can look up (978 and 979 keys), for the
// import images. Its own random stream, so the sample never changes the data.
class CoverSample {
 public:
  CoverSample(std::uint64_t seed, std::size_t capacity) : rng_(seed ^ 0xC0FE12345678ull), capacity_(capacity) {}
  void offer(const std::string& key) {
    if (capacity_ == 0 || chosen_.count(key)) return;
    ++seen_;
    if (keys_.size() < capacity_) {
      keys_.push_back(key);
      chosen_.insert(key);
      return;
    }
    const std::uint64_t j = rng_.below(seen_);
    if (j < capacity_) {
      chosen_.erase(keys_[j]);
      keys_[j] = key;
      chosen_.insert(key);
    }
  }
  std::vector<std::string> sorted() const {
    std::vector<std::string> keys = keys_;
    std::sort(keys.begin(), keys.end());
    return keys;
  }

 private:
  Rng rng_;
  std::size_t capacity_;
  std::uint64_t seen_ = 0;
  std::vector<std::string> keys_;
  std::set<std::string> chosen_;
};

// ---------------------------------------------------------------------------------------
// Output files.

class OutFile {
 public:
  explicit OutFile(const fs::path& path) : path_(path), file_(std::fopen(path.string().c_str(), "wb")) {}
  ~OutFile() { close(); }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  bool ok() const { return file_ != nullptr && good_; }
  void write(std::string_view bytes) {
    if (file_ != nullptr && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) good_ = false;
  }
  bool close() {
    if (file_ != nullptr) {
      if (std::fclose(file_) != 0) good_ = false;
      file_ = nullptr;
    } else {
      good_ = false;
    }
    return good_;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::FILE* file_;
  bool good_ = true;
};

bool write_file(const fs::path& path, std::string_view bytes) {
  OutFile file(path);
  file.write(bytes);
  if (file.close()) return true;
  std::fprintf(stderr, "make_medium: cannot write %s\n", path.string().c_str());
  return false;
}

// Text lines joined by CR LF, with CR LF after the last one.
std::string crlf_lines(std::initializer_list<std::string_view> lines) {
  std::string s;
  for (auto line : lines) (s += line) += "\r\n";
  return s;
}

// ---------------------------------------------------------------------------------------
// One pool's MAB2 file.

class PoolWriter {
 public:
  static constexpr std::size_t kFlushAt = 8u << 20;

  PoolWriter(const Options& options, int pool, OutFile& file, CoverSample& covers, OutFile* manifest)
      : options_(options), pool_(pool), rng_(options.seed * 1000003u + static_cast<std::uint64_t>(pool)),
        file_(file), covers_(covers), manifest_(manifest) {
    buffer_.reserve(kFlushAt + 64 * 1024);
    writing_.reserve(kFlushAt + 64 * 1024);
  }

  Counts write(std::uint64_t records, std::uint64_t bytes) {
    while (bytes > 0 ? counts_.bytes + buffer_.size() < bytes : counts_.records < records) record();
    flush();
    if (pending_.valid()) pending_.get();
    return counts_;
  }

 private:
  // A field line of a tag and its content pieces, and now and then a line the field
  // filter removes after it.
  template <typename... Pieces>
  void field(std::string_view tag, const Pieces&... content) {
    buffer_ += tag;
    (buffer_.append(std::string_view(content)), ...);
    buffer_ += "\r\n";
    ++counts_.lines;
    if (options_.filter_lines > 0 && rng_.chance(options_.filter_lines)) forbidden_line();
  }

  void forbidden_line() {
    buffer_ += rng_.pick(kForbiddenTags);
    buffer_ += "Lokaldaten ";
    append_digits(buffer_, rng_.below(100000000), 8);
    buffer_ += "\r\n";
    ++counts_.lines;
    ++counts_.filtered_lines;
  }

  void header() {
    const std::uint64_t id = (serial_++ * 7919 + static_cast<std::uint64_t>(pool_) * 104729) % 1000000;
    label_.clear();
    const auto roll = rng_.below(100);
    if (roll < 2) {
      // The other header form: nine asterisks and a capital M.
      buffer_ += "*********MAB2 ";
      label_ = "*****MAB2 ";
      append_digits(label_, id, 6);
      append_digits(buffer_, id, 6);
    } else if (roll < 14) {
      // A full 24-character label.
      buffer_ += "### ";
      append_digits(label_, id, 6);
      label_ += "M2.01200024      ";
      label_ += "achn"[rng_.below(4)];
      buffer_ += label_;
    } else {
      // A six-character label; the position table completes it.
      buffer_ += "### ";
      append_digits(buffer_, id, 6);
      append_digits(label_, id, 6);
      label_ += "M2.01000024      h";
    }
    buffer_ += "\r\n";
    ++counts_.lines;
  }

  void person(std::string_view tag) {
    const std::string_view surname = rng_.pick(kSurnames);
    field(tag, surname, ", ", rng_.pick(kForenames));
  }

  // A number line of the given kind. A line the position table takes a number from
  // makes that number's key the record's key (a later one replaces an earlier one).
  void number(Kind kind) {
    ++counts_.numbers[kind];
    // The only random draw among a field's pieces, so the order of draws (and with it
    // every byte) does not depend on the order in which a compiler evaluates arguments.
    const auto binding = [&] { return std::string(" ") + std::string(rng_.pick(kBindings)); };
    switch (kind) {
      case isbn10_hyphenated:
      case isbn10_plain:
      case isbn10_bare: {
        Isbn10 isbn = reuse_ && rng_.chance(0.02) ? *reuse_ : random_isbn10(rng_);
        reuse_ = isbn;
        const char check = isbn10_check(isbn.nine());
        const std::string text = kind == isbn10_plain ? plain10(isbn, check) : hyphenated10(isbn, check);
        const std::string_view tag = rng_.chance(0.8) ? "540a" : "540 ";
        field(tag, kind == isbn10_bare ? "" : "ISBN ", text, binding());
        set_key(key_of(isbn), true);
        if (rng_.chance(0.1)) {  // the same book's ISBN-13 in a second line
          ++counts_.numbers[isbn13_978];
          const std::string key = key_of(isbn);
          field("540a", "ISBN 978-" + hyphenated10(isbn, key.back()));
          set_key(key, true);
        }
        break;
      }
      case isbn10_invalid: {
        const Isbn10 isbn = random_isbn10(rng_);
        const char check = wrong_check(rng_, isbn10_check(isbn.nine()), true);
        const std::string_view tag = rng_.chance(0.5) ? "540z" : "540a";
        const std::string text = rng_.chance(0.5) ? hyphenated10(isbn, check) : plain10(isbn, check);
        field(tag, "ISBN ", text, binding());
        break;
      }
      case isbn10_without_key: {
        // Braced initialisers run left to right: the registrant's digits are drawn first.
        const Isbn10 isbn{"9950", random_digits(rng_, 2), random_digits(rng_, 3)};
        field("540a", "ISBN " + hyphenated10(isbn, isbn10_check(isbn.nine())), binding());
        has_key_ = false;  // the line replaces any earlier number, and yields no key
        break;
      }
      case isbn13_978:
      case isbn13_979:
      case isbn13_invalid: {
        std::string twelve, shown;
        if (kind == isbn13_979) {
          const int registrant = rng_.between(2, 5);
          const std::string group = rng_.chance(0.5) ? "10" : "8";
          const std::string rest = random_digits(rng_, 12 - 3 - static_cast<int>(group.size()));
          twelve = "979" + group + rest;
          shown = "979-" + group + "-" + rest.substr(0, registrant) + "-" + rest.substr(registrant) + "-";
        } else {
          const Isbn10 isbn = random_isbn10(rng_);
          twelve = "978" + isbn.nine();
          shown = "978-" + isbn.group + "-" + isbn.registrant + "-" + isbn.publication + "-";
        }
        const char right = ean_check(twelve);
        const char check = kind == isbn13_invalid ? wrong_check(rng_, right, false) : right;
        const bool hyphens = rng_.chance(0.6);
        field("540a", "ISBN ", (hyphens ? shown : twelve) + check, binding());
        if (kind != isbn13_invalid) set_key(twelve + check, true);
        break;
      }
      case issn: {
        const std::string seven = random_digits(rng_, 7);
        const std::string text = seven.substr(0, 4) + "-" + seven.substr(4) + issn_check(seven);
        field("542a", "ISSN " + text);
        set_key(seven + issn_check(seven), false);
        break;
      }
      case ismn: {
        const std::string eight = "0" + random_digits(rng_, 7);
        const char check = ismn_check(eight);
        field("541a", "ISMN M-" + eight.substr(0, 4) + "-" + eight.substr(4) + "-" + check);
        set_key("M" + eight + check, false);
        break;
      }
      case ean:
      case ean_invalid: {
        const std::string prefix = std::to_string(rng_.between(400, 440));
        const std::string twelve = prefix + random_digits(rng_, 9);
        const char right = ean_check(twelve);
        const char check = kind == ean_invalid ? wrong_check(rng_, right, false) : right;
        const std::string digits = twelve + check;
        const auto form = rng_.below(3);
        field("551 ", form == 0 ? digits
                      : form == 1 ? "EAN " + digits
                                  : "EAN " + digits.substr(0, 1) + " " + digits.substr(1, 6) + " " + digits.substr(7));
        if (kind == ean) set_key(digits, false);
        break;
      }
      case kind_count:
        break;
    }
  }

  void set_key(const std::string& key, bool coverable) {
    key_ = key;
    has_key_ = true;
    coverable_ = coverable;
  }

  Kind number_kind() {
    // Shares of a German union catalogue: mostly ISBN-10, a good part ISBN-13.
    static constexpr std::array<std::pair<int, Kind>, 12> kShares = {{{22, isbn10_hyphenated},
        {13, isbn10_plain}, {2, isbn10_bare}, {5, isbn10_invalid}, {1, isbn10_without_key},
        {20, isbn13_978}, {4, isbn13_979}, {2, isbn13_invalid}, {5, issn}, {3, ismn},
        {5, ean}, {1, ean_invalid}}};
    int roll = static_cast<int>(rng_.below(83));
    for (const auto& [share, kind] : kShares) {
      if (roll < share) return kind;
      roll -= share;
    }
    return isbn10_hyphenated;
  }

  void long_line() {
    // An abstract of more than 1,024 bytes; its text never starts another line's form.
    const std::size_t target = static_cast<std::size_t>(rng_.between(1025, 4000)) - 4;
    std::string text = "Zusammenfassung:";
    while (text.size() < target) (text += ' ') += rng_.pick(kWords);
    text.resize(target);
    if (text.back() == ' ') text.back() = '.';
    field("750c", text);
    ++counts_.long_lines;
  }

  void record() {
    const std::uint64_t position = counts_.bytes + buffer_.size();
    header();
    has_key_ = false;
    coverable_ = false;
    field("050 ", "a|||||||||||");
    person("100 ");
    if (rng_.chance(0.3)) person("104 ");
    if (rng_.chance(0.1)) person("108 ");
    const std::string_view title = rng_.pick(kTitleStarts);
    field("331 ", title, " ", rng_.pick(kSubjects));
    if (rng_.chance(0.4)) field("335 ", rng_.pick(kSubtitles));
    if (rng_.chance(0.6)) {
      const std::string_view forename = rng_.pick(kForenames);
      field("359 ", "hrsg. von ", forename, " ", rng_.pick(kSurnames));
    }
    if (rng_.chance(0.3)) field("403 ", rng_.pick(kEditions));
    field("410 ", rng_.pick(kPlaces));
    field("412 ", rng_.pick(kPublishers));
    field("425 ", Decimal(rng_.between(1950, 2024)));
    field("433 ", Decimal(rng_.between(48, 980)), " S.");
    if (rng_.chance(0.3)) field("434 ", rng_.pick(kIllustrations));
    field("435 ", Decimal(rng_.between(17, 30)), " cm");
    if (rng_.chance(0.15)) {
      const std::string_view series = rng_.pick(kSubjects);
      field("451 ", "Reihe ", series, " ; ", Decimal(rng_.between(1, 120)));
    }
    if (rng_.below(100) < 88) number(number_kind());
    else ++counts_.records_without_number;
    field("700 ", "ST ", Decimal(rng_.between(100, 999)));
    field("710 ", rng_.pick(kSubjects));
    if (options_.long_lines > 0 && rng_.chance(options_.long_lines)) long_line();
    ++counts_.records;
    if (has_key_) emit(position);
    if (buffer_.size() >= kFlushAt) flush();
  }

  void emit(std::uint64_t position) {
    ++counts_.rows;
    if (coverable_) covers_.offer(key_);
    if (manifest_ != nullptr) {
      std::string row = std::to_string(pool_) + ";" + std::to_string(position) + ";" + label_.substr(0, 24);
      while (!row.empty() && row.back() == ' ') row.pop_back();
      row += ";" + key_ + "\n";
      manifest_->write(row);
    }
  }

  // The full buffer is written by a second thread while the next one fills.
  void flush() {
    if (pending_.valid()) pending_.get();
    counts_.bytes += buffer_.size();
    buffer_.swap(writing_);
    buffer_.clear();
    pending_ = std::async(std::launch::async, [this] { file_.write(writing_); });
  }

  const Options& options_;
  int pool_;
  Rng rng_;
  OutFile& file_;
  CoverSample& covers_;
  OutFile* manifest_;
  std::string buffer_, writing_;
  std::future<void> pending_;
  Counts counts_;
  std::uint64_t serial_ = 1;
  std::string label_, key_;
  bool has_key_ = false, coverable_ = false;
  std::optional<Isbn10> reuse_;
};

// ---------------------------------------------------------------------------------------
// Cover images: small GIFs, each a plain cover drawing coloured after its key. The
// picture data is written with 8-bit codes and a clear code every 100 pixels, so no
// compression is needed and every decoder reads it.

std::string cover_gif(const std::string& key) {
  std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a: the same on every library
  for (char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  Rng rng(hash);
  const int width = rng.between(60, 100), height = rng.between(90, 150);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
  const std::uint8_t background = static_cast<std::uint8_t>(2 + rng.below(6));
  const std::uint8_t band = static_cast<std::uint8_t>(8 + rng.below(4));
  const int band_top = height / 8, band_bottom = height * 3 / 8;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t c = background;
      if (x < 2 || y < 2 || x >= width - 2 || y >= height - 2) c = 0;
      else if (y >= band_top && y < band_bottom) c = band;
      else if (y > height / 2 && y < height * 7 / 8 && x > width / 5 && x < width * 4 / 5) c = static_cast<std::uint8_t>(12 + (x + y) / 7 % 4);
      pixels[static_cast<std::size_t>(y) * width + x] = c;
    }
  }
  for (int line = 0; line < 3; ++line) {  // title lettering as short strokes
    const int y = band_top + 3 + line * 5;
    for (int x = 5; x < width - 5 && y + 2 < band_bottom; ++x)
      if (rng.below(5) != 0) for (int dy = 0; dy < 2; ++dy) pixels[static_cast<std::size_t>(y + dy) * width + x] = 1;
  }

  static constexpr std::array<std::uint32_t, 16> kPalette = {0x101010, 0xF8F8F0, 0x2A4F8C,
      0x8C2A2A, 0x2A8C4F, 0xC8A040, 0x6A3C8C, 0x3C8C8C, 0xE8E0D0, 0xF0C8A0, 0xD0E8F0,
      0xE8D0E8, 0x505050, 0x707070, 0x909090, 0xB0B0B0};
  std::string gif = "GIF89a";
  const auto u16 = [&](int v) { gif += static_cast<char>(v & 0xFF); gif += static_cast<char>(v >> 8); };
  u16(width);
  u16(height);
  gif += '\xF6';  // global colour table of 128 entries, 8 bits per primary
  gif += '\0';
  gif += '\0';
  for (int i = 0; i < 128; ++i) {
    const std::uint32_t rgb = i < 16 ? kPalette[i] : 0;
    gif += static_cast<char>(rgb >> 16);
    gif += static_cast<char>(rgb >> 8 & 0xFF);
    gif += static_cast<char>(rgb & 0xFF);
  }
  gif += ',';
  u16(0);
  u16(0);
  u16(width);
  u16(height);
  gif += '\0';
  constexpr std::uint8_t kMinCodeSize = 7, kClear = 128, kEnd = 129;
  gif += static_cast<char>(kMinCodeSize);
  std::string codes;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (i % 100 == 0) codes += static_cast<char>(kClear);
    codes += static_cast<char>(pixels[i]);
  }
  codes += static_cast<char>(kEnd);
  for (std::size_t at = 0; at < codes.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, codes.size() - at);
    gif += static_cast<char>(n);
    gif.append(codes, at, n);
  }
  gif += '\0';
  gif += ';';
  return gif;
}

// ---------------------------------------------------------------------------------------
// The medium's other files.

std::string section_name(int pool) { return "Pool" + std::to_string(pool); }
std::string pool_folder(int pool) { return "POOL" + std::to_string(pool); }
std::string mab_file(int pool) { return pool_folder(pool) + "\\" + pool_folder(pool) + ".MAB"; }

// Odd pools name their table and index files; even pools leave them to be derived from
// the MAB2 file's name.
std::string pool_ini(int pools) {
  std::string s = "; Pool-Katalog des Datentr\xE4gers\r\n[Pool]\r\n";
  for (int n = 1; n <= pools; ++n) s += std::to_string(n) + "=" + section_name(n) + "\r\n";
  for (int n = 1; n <= pools; ++n) {
    const std::string base = pool_folder(n) + "\\" + pool_folder(n);
    s += "\r\n[" + section_name(n) + "]\r\n";
    s += "Name=Verbundpool " + std::to_string(n) + " (Titeldaten)\r\n";
    s += "File=" + mab_file(n) + "\r\n";
    if (n % 2 == 1) {
      s += "DBFFile=" + base + ".DBF\r\n";
      s += "CDXFile=" + base + ".CDX\r\n";
      s += "NTXFile=" + base + ".NTX\r\n";
    }
  }
  s += "\r\n[Cover]\r\n1=COVER\\COVER.DBF\r\n";
  return s;
}

// A stub that starts like a Windows program; nothing runs it.
std::string program_stub(std::string_view name, std::size_t size) {
  std::string s = "MZ";
  s.resize(0x40, '\0');
  s += "This program cannot be run in DOS mode.\r\n$";
  s += name;
  Rng rng(size);
  while (s.size() < size) s += static_cast<char>(rng.below(256));
  return s;
}

std::string configuration(const Options& o, const std::string& root) {
  std::string s = "; Konfiguration f\xFCr den Beispiel-Datentr\xE4ger\r\n";
  s += "[DVD]\r\nPfad=" + root + "\r\nName=" + o.name + "\r\n";
  s += "Check=1\r\nDXPData=1\r\n";
  s += std::string("Exklusive=") + (o.shared ? "0" : "1") + "\r\n";
  s += std::string("UseCDX=") + (o.ntx ? "0" : "1") + "\r\n";
  s += "\r\n[MAB]\r\nFilter=1\r\nPoolFilter=";
  for (int n = 1; n <= o.pools; ++n) {
    if (n > 1) s += ';';
    s += pool_folder(n);
  }
  s += "\r\nMAB-Filter=\r\n";
  s += "\r\n[Download]\r\nCover=1\r\nCover2Pool=1\r\n";
  s += "CoverDBF=" + root + "\\COVER\\COVER.DBF\r\n";
  s += "CoverImportDBF=" + (o.import_table ? root + "\\COVER\\IMPORT.DBF" : std::string()) + "\r\n";
  s += std::string("Internet=") + (o.internet ? "1" : "0") + "\r\n";
  if (!o.server.empty()) s += "Server=" + o.server + "\r\n";
  s += "Start=\r\nStop=\r\n";
  return s;
}

bool write_other_files(const Options& o, const fs::path& out) {
  const auto mkdir = [&](const char* name) {
    std::error_code ec;
    fs::create_directories(out / name, ec);
    return !ec;
  };
  if (!mkdir("BIN") || !mkdir("DOKU/HTML") || !mkdir("DOKU/EURO") || !mkdir("TAV") || !mkdir("COVER")) {
    std::fprintf(stderr, "make_medium: cannot create the folders of %s\n", out.string().c_str());
    return false;
  }
  bool ok = true;
  ok &= write_file(out / "POOL.INI", pool_ini(o.pools));
  ok &= write_file(out / "VERSION.TXT", crlf_lines({"TAV 7.20.1503 (Ausgabe 2024/2)", "Build 4711, 14.06.2024"}));
  ok &= write_file(out / "VERINST.TXT", crlf_lines({"C:\\TAV"}));
  // Start-up definition files: one with an old title, one already carrying the medium's
  // name, one with its key in lower case and indented; each with a title elsewhere.
  ok &= write_file(out / "BIN/TAV.CDM", crlf_lines({"[Main]", "Title=LUMO-/DXP-Daten (alte Ausgabe)",
      "Program=TAV.EXE", "Icon=TAV.ICO", "", "[Options]", "Title=Bitte nicht \xE4ndern", "Language=DE"}));
  ok &= write_file(out / "BIN/DXP.CDM", crlf_lines({"[Main]", "Title=" + o.name, "Program=DXP.EXE"}));
  ok &= write_file(out / "BIN/LUMO.CDM", crlf_lines({"; Startdefinition", "[Main]", "  title=Vorl\xE4ufiger Titel",
      "Program=LUMO.EXE", "[Help]", "Title=Hilfe"}));
  const auto page = [](std::string_view head, std::string_view heading) {
    return crlf_lines({head, "<BODY>", std::string("<H1>") + std::string(heading) + "</H1>",
        "<P>Willkommen auf dem Datentr\xE4ger. Die Dokumentation beschreibt Installation und Bedienung.</P>",
        "<P><A HREF=\"inhalt.htm\">Inhaltsverzeichnis</A></P>", "</BODY>", "</HTML>"});
  };
  ok &= write_file(out / "DOKU/HTML/INDEX.HTM", page("<HTML><HEAD></HEAD>", "Dokumentation"));
  ok &= write_file(out / "DOKU/EURO/INDEX.HTM", page("  <html><head></head>  ", "Euro-Umstellung"));
  ok &= write_file(out / "TAV/SETUP.EXE", program_stub("SETUP", 3072));
  ok &= write_file(out / "TAV/INSTALL.EXE", program_stub("INSTALL", 2048));
  ok &= write_file(out / "TAV/ERROR.LOG", crlf_lines({"Installationsfehler 0x0002 in Schritt 4"}));
  if (o.stale) {
    ok &= write_file(out / "INSTALL.ERR", crlf_lines({"Fehler bei der Installation"}));
    ok &= write_file(out / "ERROR.LOG", crlf_lines({"Fehlerprotokoll"}));
    ok &= write_file(out / "MEDIACD.GID", std::string("\x3F\x5F\x03\x00", 4) + "Hilfeindex");
    ok &= write_file(out / "POOL.DBU", "Zwischenstand");
    ok &= write_file(out / "BIN/MEDIACD.GID", std::string("\x3F\x5F\x03\x00", 4) + "Hilfeindex");
  }
  return ok;
}

bool write_covers(const fs::path& out, const std::vector<std::string>& keys) {
  std::error_code ec;
  fs::create_directories(out / "IMPORT", ec);
  if (ec) return false;
  bool ok = true;
  for (const auto& key : keys) ok &= write_file(out / "IMPORT" / (key + ".GIF"), cover_gif(key));
  ok &= write_file(out / "IMPORT/README.TXT", crlf_lines({
      "Cover images for the import table, one GIF per title, named by the title's",
      "13-digit ISBN key as the pool table holds it. The import table has the fields",
      "ISBN (character, 13) and COVER (memo) and an index on ISBN; each image's bytes",
      "go unchanged into COVER. Name the table in the configuration's CoverImportDBF."}));
  return ok;
}

// The import table: ISBN (character, 13) and COVER (memo) with one record for every
// second image in key order (the first, the third, ...), and its CDX index on ISBN.
std::size_t import_count(std::size_t covers) { return (covers + 1) / 2; }

bool write_import_table(const fs::path& out, const std::vector<std::string>& keys) {
  using torvane::storage::DbfTable;
  torvane::storage::register_cdx_driver();
  const std::string path = (out / "COVER" / "IMPORT.DBF").string();
  const std::array<torvane::storage::FieldSpec, 2> schema = {{{"ISBN", 'C', 13, 0}, {"COVER", 'M', 10, 0}}};
  if (!DbfTable::create(path, schema, torvane::storage::Variant::cdx)) return false;
  const auto options = torvane::storage::OpenOptions().with_variant(torvane::storage::Variant::cdx).with_shared(false);
  auto table = DbfTable::open(path, options);
  bool ok = table != nullptr;
  for (std::size_t i = 0; ok && i < keys.size(); i += 2) {
    ok = table->append() && table->assign("ISBN", keys[i]) && table->assign_memo("COVER", cover_gif(keys[i]));
  }
  ok = ok && table->create_index((out / "COVER" / "IMPORT.CDX").string());
  ok = table != nullptr && table->close() && ok;
  if (!ok) std::fprintf(stderr, "make_medium: cannot write the import table %s\n", path.c_str());
  return ok;
}

// ---------------------------------------------------------------------------------------
// Command line.

std::optional<std::uint64_t> parse_size(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  const std::string_view unit(end, text.data() + text.size() - end);
  std::uint64_t factor = 1;
  if (unit == "K" || unit == "k") factor = 1ull << 10;
  else if (unit == "M" || unit == "m") factor = 1ull << 20;
  else if (unit == "G" || unit == "g") factor = 1ull << 30;
  else if (!unit.empty()) return std::nullopt;
  return value * factor;
}

std::optional<double> parse_fraction(std::string_view text) {
  char* end = nullptr;
  const std::string s(text);
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !(v >= 0 && v <= 1)) return std::nullopt;
  return v;
}

// Arguments are UTF-8; the medium's texts are Windows-1252. Characters beyond Latin-1
// become "?".
std::string to_windows1252(std::string_view utf8) {
  std::string s;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      s += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else if (c >= 0xC0) {
      s += '?';
      while (i + 1 < utf8.size() && (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) ++i;
    }
  }
  return s;
}

constexpr const char* kUsage =
    "usage: make_medium --out DIR [options]\n"
    "  --seed N            seed of every random choice (default 1)\n"
    "  --pools K           pools in POOL.INI, 1 to 99 (default 3)\n"
    "  --records N         records per pool (default 1000)\n"
    "  --size BYTES        MAB2 data over all pools instead, e.g. 64K, 500M, 2G\n"
    "  --filter-lines F    chance of a line the field filter removes after each field line (0.002)\n"
    "  --long-lines F      chance of a record with a line over 1,024 bytes (0.003)\n"
    "  --covers N          cover images for the import table (default 40)\n"
    "  --name TEXT         the medium's name\n"
    "  --config FILE       where the program's configuration goes (default DIR/TORVANE.INI)\n"
    "  --manifest FILE     also write the expected position-table rows\n"
    "  --ntx, --shared, --internet, --server HOST[:PORT]   configuration switches\n"
    "  --no-stale          leave out the stale files the run deletes\n"
    "  --import-table      also write COVER\\IMPORT.DBF from every second cover image and\n"
    "                      name it in CoverImportDBF\n";

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  bool records_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string_view(argv[++i]);
    };
    const auto number = [&](std::uint64_t low, std::uint64_t high) -> std::optional<std::uint64_t> {
      const auto v = value();
      std::uint64_t n = 0;
      if (!v || std::from_chars(v->data(), v->data() + v->size(), n).ptr != v->data() + v->size() || n < low || n > high) return std::nullopt;
      return n;
    };
    std::optional<std::string_view> text;
    std::optional<std::uint64_t> n;
    std::optional<double> f;
    if (arg == "--ntx") o.ntx = true;
    else if (arg == "--shared") o.shared = true;
    else if (arg == "--internet") o.internet = true;
    else if (arg == "--no-stale") o.stale = false;
    else if (arg == "--import-table") o.import_table = true;
    else if (arg == "--seed" && (n = number(0, UINT64_MAX))) o.seed = *n;
    else if (arg == "--pools" && (n = number(1, 99))) o.pools = static_cast<int>(*n);
    else if (arg == "--records" && (n = number(0, 1ull << 40))) { o.records = *n; records_given = true; }
    else if (arg == "--covers" && (n = number(0, 1000000))) o.covers = *n;
    else if (arg == "--size" && (text = value()) && (n = parse_size(*text)) && *n > 0) o.size = *n;
    else if (arg == "--filter-lines" && (text = value()) && (f = parse_fraction(*text))) o.filter_lines = *f;
    else if (arg == "--long-lines" && (text = value()) && (f = parse_fraction(*text))) o.long_lines = *f;
    else if (arg == "--name" && (text = value()) && !text->empty()) o.name = to_windows1252(*text);
    else if (arg == "--server" && (text = value())) o.server = std::string(*text);
    else if (arg == "--out" && (text = value())) o.out = fs::path(*text);
    else if (arg == "--config" && (text = value())) o.config = fs::path(*text);
    else if (arg == "--manifest" && (text = value())) o.manifest = fs::path(*text);
    else {
      std::fprintf(stderr, "make_medium: bad or incomplete argument %s\n%s", argv[i], kUsage);
      return std::nullopt;
    }
  }
  if (o.out.empty()) {
    std::fprintf(stderr, "make_medium: --out is required\n%s", kUsage);
    return std::nullopt;
  }
  if (o.size > 0 && records_given) {
    std::fprintf(stderr, "make_medium: give --records or --size, not both\n");
    return std::nullopt;
  }
  return o;
}

void print_summary(const Options& o, const fs::path& out, const fs::path& config,
                   const std::vector<Counts>& pools, std::size_t covers) {
  Counts total;
  for (const auto& c : pools) total.add(c);
  const auto line = [](const std::string& key, const std::string& value) {
    std::printf("%s: %s\n", key.c_str(), value.c_str());
  };
  const auto count = [&](const std::string& key, std::uint64_t value) { line(key, std::to_string(value)); };
  line("medium", out.string());
  line("configuration", config.string());
  line("seed", std::to_string(o.seed));
  count("pools", pools.size());
  count("records", total.records);
  count("records-without-number", total.records_without_number);
  count("rows", total.rows);
  for (int k = 0; k < kind_count; ++k) count("numbers." + std::string(kKindNames[k]), total.numbers[k]);
  count("lines", total.lines);
  count("filtered-lines", total.filtered_lines);
  count("long-lines", total.long_lines);
  count("mab-bytes", total.bytes);
  count("covers", covers);
  count("import-covers", o.import_table ? import_count(covers) : 0);
  for (std::size_t i = 0; i < pools.size(); ++i) {
    const int n = static_cast<int>(i) + 1;
    const std::string prefix = "pool." + std::to_string(n) + ".";
    line(prefix + "section", section_name(n));
    line(prefix + "file", mab_file(n));
    count(prefix + "records", pools[i].records);
    count(prefix + "rows", pools[i].rows);
    count(prefix + "filtered-lines", pools[i].filtered_lines);
    count(prefix + "long-lines", pools[i].long_lines);
    count(prefix + "bytes", pools[i].bytes);
  }
}

int run(const Options& options) {
  std::error_code ec;
  const fs::path out = fs::absolute(options.out, ec).lexically_normal();
  if (ec || (fs::exists(out) && !fs::is_empty(out, ec))) {
    std::fprintf(stderr, "make_medium: %s is not an empty or new folder\n", options.out.c_str());
    return 2;
  }
  fs::create_directories(out, ec);
  if (ec) {
    std::fprintf(stderr, "make_medium: cannot create %s\n", options.out.c_str());
    return 1;
  }
  // The medium root as the configuration names it: the folder without a final "/".
  std::string root = out.string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  std::optional<OutFile> manifest;
  if (!options.manifest.empty()) {
    manifest.emplace(options.manifest);
    if (!manifest->ok()) {
      std::fprintf(stderr, "make_medium: cannot write %s\n", options.manifest.c_str());
      return 1;
    }
  }
  CoverSample covers(options.seed, options.covers);
  std::vector<Counts> pools;
  for (int n = 1; n <= options.pools; ++n) {
    fs::create_directories(out / pool_folder(n), ec);
    OutFile file(out / pool_folder(n) / (pool_folder(n) + ".MAB"));
    if (ec || !file.ok()) {
      std::fprintf(stderr, "make_medium: cannot write %s\n", file.path().string().c_str());
      return 1;
    }
    PoolWriter writer(options, n, file, covers, manifest ? &*manifest : nullptr);
    std::uint64_t bytes = 0;
    if (options.size > 0) bytes = options.size / options.pools + (n == options.pools ? options.size % options.pools : 0);
    pools.push_back(writer.write(options.records, bytes));
    if (!file.close()) {
      std::fprintf(stderr, "make_medium: cannot write %s\n", file.path().string().c_str());
      return 1;
    }
  }
  if (manifest && !manifest->close()) {
    std::fprintf(stderr, "make_medium: cannot write %s\n", options.manifest.c_str());
    return 1;
  }
  const std::vector<std::string> cover_keys = covers.sorted();
  const fs::path config = options.config.empty() ? out / "TORVANE.INI" : options.config;
  if (!write_other_files(options, out) || !write_covers(out, cover_keys) ||
      (options.import_table && !write_import_table(out, cover_keys)) ||
      !write_file(config, configuration(options, root))) {
    return 1;
  }
  print_summary(options, out, config, pools, cover_keys.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  const auto options = parse_options(argc, argv);
  if (!options) return 2;
  return run(*options);
}
