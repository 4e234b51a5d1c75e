// The sample-medium generator: what its summary and row list claim is in the files it
// wrote, judged by the program's own number checks and tag test, and its output
// depends on the seed alone.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/pools/permitted_fields.h"
#include "isbn/numbers.h"
#include "support/e2e_support.h"
#include "support/medium_builder.h"
#include "support/temp_dir.h"

namespace torvane::testing {

void PrintTo(const ManifestRow& row, std::ostream* os) {
  *os << row.pool << ";" << row.position << ";" << row.label << ";" << row.key;
}

namespace {

namespace fs = std::filesystem;

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string without(std::string_view s, std::string_view drop) {
  std::string out;
  for (char c : s)
    if (drop.find(c) == std::string_view::npos) out += c;
  return out;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::string_view first_word(std::string_view s) { return s.substr(0, s.find(' ')); }

// The number a line of field 540 to 542 or 551 hands to the position table, following
// the pool phase's rules; "" when the line offers none.
std::string offered_number(std::string_view t) {
  const std::string_view c = trim(t.size() > 4 ? t.substr(4) : std::string_view());
  std::string v;
  if (t.starts_with("551")) {
    v = without(c, " -");
    if (v.starts_with("EAN")) v = std::string(trim(std::string_view(v).substr(3)));
    v = std::string(trim(std::string_view(v).substr(0, 13)));
    return isbn::ISNUM(v) && isbn::ISEAN(v) && v.size() > 7 && v.size() <= 13 ? upper(v) : "";
  }
  if (c.starts_with("ISBN")) v = isbn::NORMISBN(first_word(trim(c.substr(4))), true);
  else if (c.starts_with("ISMN") || c.starts_with("ISSN")) v = without(first_word(trim(c.substr(4))), " -");
  else v = without(first_word(c), " -");
  return v.size() > 7 && v.size() <= 13 ? upper(v) : "";
}

// The key a record's number is stored under. An old-style ISMN keeps its form.
std::string key_of(const std::string& number) {
  if (!number.starts_with("M") && isbn::ISISBN10(number)) return upper(without(isbn::ISBN2EAN(number), "-"));
  return number;
}

bool is_number_line(std::string_view t) {
  return t.starts_with("540") || t.starts_with("541") || t.starts_with("542") || t.starts_with("551");
}

// The kind of a number line, named as the generator's summary names it.
std::string kind_of(std::string_view t) {
  const std::string_view c = trim(t.substr(4));
  if (t.starts_with("551")) {
    std::string v = without(c, " ");
    if (v.starts_with("EAN")) v.erase(0, 3);
    return isbn::ISEAN(v) ? "ean" : "ean-invalid";
  }
  if (c.starts_with("ISSN")) return "issn";
  if (c.starts_with("ISMN")) return "ismn";
  if (!c.starts_with("ISBN")) return "isbn10-bare";
  const std::string_view written = first_word(trim(c.substr(4)));
  const std::string compact = without(written, "-");
  if (compact.size() == 13) {
    if (!isbn::ISISBN13(compact)) return "isbn13-invalid";
    return compact.starts_with("978") ? "isbn13-978" : "isbn13-979";
  }
  if (!isbn::ISISBN10(compact)) return "isbn10-invalid";
  if (isbn::ISBN2EAN(compact).empty()) return "isbn10-without-key";
  return written.find('-') != std::string_view::npos ? "isbn10-hyphenated" : "isbn10-plain";
}

std::string label_of(std::string_view t) {
  std::string label(trim(t.substr(4)));
  if (label.size() == 6) label += "M2.01000024      h";
  label = label.substr(0, 24);
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label;
}

// What a scan of the written MAB2 files finds.
struct Scan {
  std::uint64_t records = 0, without_number = 0, lines = 0, filtered = 0, long_lines = 0, bytes = 0;
  std::map<std::string, std::uint64_t> kinds;
  std::vector<ManifestRow> rows;
};

void scan_pool(const std::string& path, int pool, Scan& scan) {
  const std::string bytes = read_file(path);
  const app::PermittedFields table = app::PermittedFields::standard();
  scan.bytes += bytes.size();
  std::string number, label;
  std::uint64_t position = 0, offset = 0;
  bool in_record = false, record_has_number_line = false;
  const auto end_record = [&] {
    if (!in_record) return;
    if (!record_has_number_line) ++scan.without_number;
    const std::string key = number.empty() ? "" : key_of(number);
    if (!key.empty()) scan.rows.push_back({pool, position, label, key});
    number.clear();
  };
  for (std::string_view line : crlf_lines(bytes)) {
    ++scan.lines;
    if (line.size() > 1024) ++scan.long_lines;
    if (!app::ISDXPFIELD(table, line.substr(0, 4), "")) ++scan.filtered;
    const std::string_view t = trim(line);
    if (t.starts_with("### ") || t.starts_with("*********M")) {
      end_record();
      ++scan.records;
      in_record = true;
      record_has_number_line = false;
      position = offset;
      label = label_of(t);
    } else if (is_number_line(t) && app::ISDXPFIELD(table, t.substr(0, 4), "")) {
      record_has_number_line = true;
      ++scan.kinds[kind_of(t)];
      if (const std::string offered = offered_number(t); !offered.empty()) number = offered;
    }
    offset += line.size() + 2;
  }
  end_record();
}

Scan scan_medium(const GeneratedMedium& medium, int pools) {
  Scan scan;
  for (int n = 1; n <= pools; ++n) {
    const std::string folder = "POOL" + std::to_string(n);
    scan_pool(medium.root + "/" + folder + "/" + folder + ".MAB", n, scan);
  }
  return scan;
}

class MakeMediumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new TempDir("medium-");
    MediumOptions options;
    options.seed = 11;
    options.pools = 3;
    options.records = 300;
    options.filter_lines = 0.01;
    options.long_lines = 0.02;
    options.covers = 12;
    options.manifest = true;
    medium_ = new GeneratedMedium(make_medium(scratch_->path("dvd"), options));
  }
  static void TearDownTestSuite() {
    delete medium_;
    delete scratch_;
  }
  void SetUp() override { ASSERT_TRUE(medium_->ok) << medium_->error; }

  static TempDir* scratch_;
  static GeneratedMedium* medium_;
};
TempDir* MakeMediumTest::scratch_ = nullptr;
GeneratedMedium* MakeMediumTest::medium_ = nullptr;

TEST_F(MakeMediumTest, SummaryCountsAreWhatTheFilesHold) {
  const GeneratedMedium& m = *medium_;
  Scan scan = scan_medium(m, 3);
  EXPECT_EQ(m.count("pools"), 3u);
  EXPECT_EQ(scan.records, 900u);
  EXPECT_EQ(m.count("records"), scan.records);
  EXPECT_EQ(m.count("records-without-number"), scan.without_number);
  EXPECT_EQ(m.count("lines"), scan.lines);
  EXPECT_EQ(m.count("filtered-lines"), scan.filtered);
  EXPECT_EQ(m.count("long-lines"), scan.long_lines);
  EXPECT_EQ(m.count("mab-bytes"), scan.bytes);
  for (const char* kind : {"isbn10-hyphenated", "isbn10-plain", "isbn10-bare", "isbn10-invalid",
                           "isbn10-without-key", "isbn13-978", "isbn13-979", "isbn13-invalid", "issn",
                           "ismn", "ean", "ean-invalid"}) {
    EXPECT_EQ(m.count(std::string("numbers.") + kind), scan.kinds[kind]) << kind;
    EXPECT_GT(scan.kinds[kind], 0u) << "no " << kind << " line in 900 records";
  }
  // The options asked for removable and long lines; with these rates every pool has some.
  EXPECT_GT(scan.filtered, 0u);
  EXPECT_GT(scan.long_lines, 0u);
  EXPECT_GT(scan.without_number, 0u);
  std::uint64_t pool_records = 0, pool_rows = 0, pool_bytes = 0;
  for (int n = 1; n <= 3; ++n) {
    const std::string prefix = "pool." + std::to_string(n) + ".";
    EXPECT_EQ(m.count(prefix + "records"), 300u);
    pool_records += m.count(prefix + "records");
    pool_rows += m.count(prefix + "rows");
    pool_bytes += m.count(prefix + "bytes");
  }
  EXPECT_EQ(pool_records, m.count("records"));
  EXPECT_EQ(pool_rows, m.count("rows"));
  EXPECT_EQ(pool_bytes, m.count("mab-bytes"));
}

TEST_F(MakeMediumTest, RowListMatchesTheNumberRules) {
  const Scan scan = scan_medium(*medium_, 3);
  const std::vector<ManifestRow> rows = read_manifest(medium_->manifest_path);
  EXPECT_EQ(rows.size(), medium_->count("rows"));
  ASSERT_EQ(rows.size(), scan.rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i], scan.rows[i]) << "row " << i;
  // Keys are what the position tables store: 13-digit EAN keys, 8-character ISSNs,
  // 10-character ISMNs.
  for (const ManifestRow& row : rows) {
    EXPECT_TRUE(row.key.size() == 13 || row.key.size() == 8 || (row.key.size() == 10 && row.key[0] == 'M')) << row.key;
  }
}

TEST_F(MakeMediumTest, MediumFilesAndConfiguration) {
  const std::string root = medium_->root;
  const std::string pool_ini = read_file(root + "/POOL.INI");
  for (int n = 1; n <= 3; ++n) {
    const std::string section = "Pool" + std::to_string(n);
    EXPECT_NE(pool_ini.find(std::to_string(n) + "=" + section + "\r\n"), std::string::npos);
    EXPECT_NE(pool_ini.find("[" + section + "]\r\nName="), std::string::npos);
    EXPECT_NE(pool_ini.find("File=" + medium_->value("pool." + std::to_string(n) + ".file") + "\r\n"), std::string::npos);
  }
  EXPECT_EQ(pool_ini.find("4="), std::string::npos);
  EXPECT_TRUE(read_file(root + "/VERSION.TXT").starts_with("TAV "));
  EXPECT_TRUE(read_file(root + "/VERINST.TXT").starts_with("C:\\TAV\r\n"));
  EXPECT_TRUE(fs::exists(root + "/TAV/SETUP.EXE"));
  EXPECT_TRUE(fs::exists(root + "/TAV/INSTALL.EXE"));
  EXPECT_TRUE(fs::exists(root + "/BIN/MEDIACD.GID"));
  EXPECT_NE(read_file(root + "/BIN/TAV.CDM").find("[Main]\r\nTitle="), std::string::npos);
  EXPECT_TRUE(read_file(root + "/DOKU/HTML/INDEX.HTM").starts_with("<HTML><HEAD></HEAD>\r\n"));
  EXPECT_TRUE(fs::exists(root + "/DOKU/EURO/INDEX.HTM"));

  const std::string config = read_file(medium_->config_path);
  EXPECT_NE(config.find("[DVD]\r\nPfad=" + root + "\r\nName=Beispiel-Datentr\xE4ger 2024\r\n"), std::string::npos);
  EXPECT_NE(config.find("PoolFilter=POOL1;POOL2;POOL3\r\n"), std::string::npos);
  EXPECT_NE(config.find("CoverDBF=" + root + "\\COVER\\COVER.DBF\r\n"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(root + "/COVER"));

  // Cover images: as many as claimed, each big enough to count as an image, each named
  // by a key of the pool data that the cover phase looks up (978 or 979).
  std::map<std::string, bool> keys;
  for (const ManifestRow& row : read_manifest(medium_->manifest_path)) keys[row.key] = true;
  std::uint64_t images = 0;
  for (const auto& entry : fs::directory_iterator(root + "/IMPORT")) {
    const std::string name = entry.path().filename().string();
    if (name == "README.TXT") continue;
    ++images;
    const std::string key = name.substr(0, name.find('.'));
    EXPECT_TRUE(keys.count(key)) << name;
    EXPECT_TRUE(key.starts_with("978") || key.starts_with("979")) << name;
    const std::string gif = read_file(entry.path());
    EXPECT_GT(gif.size(), 900u) << name;
    EXPECT_TRUE(gif.starts_with("GIF89a") && gif.ends_with(";")) << name;
  }
  EXPECT_EQ(images, medium_->count("covers"));
  EXPECT_EQ(images, 12u);
}

TEST(MakeMedium, SameSeedSameBytesOtherSeedOtherData) {
  TempDir scratch("medium-");
  MediumOptions options;
  options.seed = 5;
  options.pools = 2;
  options.records = 150;
  options.manifest = true;
  const GeneratedMedium a = make_medium(scratch.path("a"), options);
  const GeneratedMedium b = make_medium(scratch.path("b"), options);
  options.seed = 6;
  const GeneratedMedium c = make_medium(scratch.path("c"), options);
  ASSERT_TRUE(a.ok && b.ok && c.ok) << a.error << b.error << c.error;

  std::map<std::string, std::string> tree_a = file_tree(a.root), tree_b = file_tree(b.root);
  // The configuration names the folder; everything else is byte for byte the same.
  const auto strip_root = [](std::string text, const std::string& root) {
    for (std::size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), "<root>");
    return text;
  };
  tree_a["TORVANE.INI"] = strip_root(tree_a["TORVANE.INI"], a.root);
  tree_b["TORVANE.INI"] = strip_root(tree_b["TORVANE.INI"], b.root);
  EXPECT_EQ(tree_a, tree_b);
  EXPECT_EQ(read_file(a.manifest_path), read_file(b.manifest_path));
  EXPECT_EQ(a.count("rows"), b.count("rows"));

  EXPECT_NE(read_file(a.root + "/POOL1/POOL1.MAB"), read_file(c.root + "/POOL1/POOL1.MAB"));
  EXPECT_NE(read_file(a.root + "/POOL2/POOL2.MAB"), read_file(c.root + "/POOL2/POOL2.MAB"));
  EXPECT_NE(read_file(a.manifest_path), read_file(c.manifest_path));
}

TEST(MakeMedium, SizeGivesAboutThatMuchDataSplitOverThePools) {
  TempDir scratch("medium-");
  MediumOptions options;
  options.pools = 3;
  options.size = "300K";
  const GeneratedMedium m = make_medium(scratch.path("dvd"), options);
  ASSERT_TRUE(m.ok) << m.error;
  const std::uint64_t target = 300 * 1024;
  EXPECT_GE(m.count("mab-bytes"), target);
  EXPECT_LT(m.count("mab-bytes"), target + 3 * 8192);  // each pool overshoots by less than a record
  for (int n = 1; n <= 3; ++n) {
    const std::string folder = "POOL" + std::to_string(n);
    const std::uint64_t bytes = fs::file_size(m.root + "/" + folder + "/" + folder + ".MAB");
    EXPECT_EQ(bytes, m.count("pool." + std::to_string(n) + ".bytes"));
    EXPECT_GE(bytes, target / 3);
  }
}

TEST(MakeMedium, SwitchesReachTheConfiguration) {
  TempDir scratch("medium-");
  MediumOptions options;
  options.pools = 1;
  options.records = 10;
  options.ntx = true;
  options.shared = true;
  options.internet = true;
  options.server = "127.0.0.1:8088";
  options.stale = false;
  options.name = "Testdaten M\xC3\xBCnchen";  // UTF-8 on the command line
  const GeneratedMedium m = make_medium(scratch.path("dvd"), options);
  ASSERT_TRUE(m.ok) << m.error;
  const std::string config = read_file(m.config_path);
  EXPECT_NE(config.find("Name=Testdaten M\xFCnchen\r\n"), std::string::npos);  // Windows-1252 in the file
  EXPECT_NE(config.find("Exklusive=0\r\nUseCDX=0\r\n"), std::string::npos);
  EXPECT_NE(config.find("Internet=1\r\nServer=127.0.0.1:8088\r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(m.root + "/BIN/MEDIACD.GID"));
  EXPECT_FALSE(fs::exists(m.root + "/INSTALL.ERR"));
}

TEST(MakeMedium, RefusesAFolderInUseAndBadArguments) {
  TempDir scratch("medium-");
  fs::create_directories(scratch.path("used"));
  std::ofstream(scratch.path("used/keep.txt")) << "keep";
  const GeneratedMedium used = make_medium(scratch.path("used"));
  EXPECT_FALSE(used.ok);
  EXPECT_EQ(read_file(scratch.path("used/keep.txt")), "keep");
  EXPECT_FALSE(fs::exists(scratch.path("used/POOL.INI")));

  for (const std::vector<std::string>& args : {std::vector<std::string>{"--size", "12X"},
                                               {"--filter-lines", "1.5"}, {"--pools", "100"},
                                               {"--records", "5", "--size", "1M"}, {"--bogus"}}) {
    MediumOptions options;
    options.args = args;
    const GeneratedMedium bad = make_medium(scratch.path("bad"), options);
    EXPECT_FALSE(bad.ok) << args.front();
    EXPECT_FALSE(fs::exists(scratch.path("bad/POOL.INI"))) << args.front();
  }
}

}  // namespace
}  // namespace torvane::testing
