#include "support/medium_state.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/failure.h"
#include "storage/cdx_index.h"
#include "storage/dbf_table.h"
#include "storage/ntx_index.h"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string bytes_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// FNV-1a: enough to tell two byte strings apart in a report.
std::string checksum(std::string_view bytes) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ULL;
  }
  std::ostringstream out;
  out << std::hex << h << " (" << std::dec << bytes.size() << " bytes)";
  return out.str();
}

std::uint32_t le(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Header facts read from the bytes themselves, as another program would see them.
std::string header_facts(std::string_view bytes) {
  if (bytes.size() < 32) return "header: short file";
  const std::uint32_t header_length = le(bytes, 8, 2);
  const std::uint32_t record_length = le(bytes, 10, 2);
  std::ostringstream out;
  out << "version " << static_cast<int>(static_cast<unsigned char>(bytes[0])) << ", header count " << le(bytes, 4, 4);
  if (record_length > 0 && bytes.size() >= header_length) {
    out << ", size count " << (bytes.size() - header_length) / record_length;
  }
  out << ", structural flag " << (static_cast<unsigned char>(bytes[28]) & 1);
  return out.str();
}

std::string record_text(storage::DbfTable& table) {
  std::string text = table.deleted() ? "*" : " ";
  for (const storage::Field& field : table.fields()) {
    text += '|';
    if (field.type == 'M') {
      const std::optional<std::string> memo = table.memo(field.name);
      text += memo ? "memo " + checksum(*memo) : "memo unreadable";
    } else {
      text += table.text(field.name);
    }
  }
  return text;
}

// The keys read in key order against the table's own keys, sorted.
std::string key_check(storage::DbfTable& table, const std::vector<std::string>& table_keys) {
  if (!table.set_order(1)) return "keys: no index";
  std::vector<std::string> index_keys;
  const std::string field = table.order_key_field();
  for (table.go_top(); !table.eof(); table.skip()) index_keys.push_back(table.text(field));
  std::vector<std::string> sorted = table_keys;
  std::sort(sorted.begin(), sorted.end());
  if (index_keys == sorted) return "keys: index equals table";
  std::ostringstream out;
  out << "keys: index has " << index_keys.size() << ", table " << sorted.size();
  const auto [a, b] = std::mismatch(index_keys.begin(), index_keys.end(), sorted.begin(), sorted.end());
  if (a != index_keys.end()) out << ", index [" << *a << "]";
  if (b != sorted.end()) out << " where the table has [" << *b << "]";
  return out.str();
}

std::string table_contents(const std::string& path) {
  const fs::path native(path);
  fs::path index = native;
  const bool cdx = fs::exists(index.replace_extension(".cdx"));
  const bool ntx = !cdx && fs::exists(index.replace_extension(".ntx"));
  std::vector<std::string> failures;
  const platform::FailureHandler previous = platform::set_failure_handler([&](const platform::Failure& failure) {
    failures.push_back(failure.message);
    return platform::FailureChoice::fail;
  });
  std::ostringstream out;
  const auto options = storage::OpenOptions().with_variant(ntx ? storage::Variant::ntx : storage::Variant::cdx)
                           .with_read_only()
                           .with_shared(true)
                           .with_alias("STATE");
  if (auto table = storage::DbfTable::open(path, options)) {
    if (ntx) table->add_index(index.string());
    std::vector<std::string> records, keys;
    table->set_order(0);
    for (table->go_top(); !table->eof(); table->skip()) keys.push_back(table->text("ISBN"));
    for (std::uint32_t n = 1; table->go_to(n) && !table->eof(); ++n) records.push_back(record_text(*table));
    std::sort(records.begin(), records.end());
    out << (cdx || ntx ? key_check(*table, keys) : "keys: no index file") << "\n";
    for (const std::string& record : records) out << record << "\n";
    table->close();
  } else {
    out << "not opened\n";
  }
  platform::set_failure_handler(previous);
  for (const std::string& failure : failures) out << "failure: " << failure << "\n";
  return out.str();
}

bool left_out(const fs::path& path) {
  const std::string name = lower(path.filename().string());
  return name.ends_with(".log") || name == "torvane" || name == "torvane.exe" || name == "torvane_faults";
}

}  // namespace

std::string describe_table(const std::string& path) {
  storage::register_cdx_driver();
  storage::register_ntx_driver();
  return header_facts(bytes_of(path)) + "\n" + table_contents(path);
}

MediumState medium_state(const std::vector<std::string>& folders) {
  MediumState state;
  for (const std::string& folder : folders) {
    const fs::path root(folder);
    if (!fs::is_directory(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file() || left_out(entry.path())) continue;
      const std::string key = lower((root.filename() / fs::relative(entry.path(), root)).generic_string());
      const std::string extension = lower(entry.path().extension().string());
      if (extension == ".dbf") {
        state[key] = describe_table(entry.path().string());
      } else if (extension == ".cdx" || extension == ".ntx" || extension == ".fpt") {
        state[key] = "present (judged through its table)";
      } else {
        state[key] = checksum(bytes_of(entry.path()));
      }
    }
  }
  return state;
}

std::vector<std::string> compare_states(const MediumState& expected, const MediumState& actual) {
  std::vector<std::string> differences;
  for (const auto& [name, description] : expected) {
    const auto it = actual.find(name);
    if (it == actual.end()) {
      differences.push_back("missing: " + name);
    } else if (it->second != description) {
      // The first differing line of the two descriptions says enough.
      std::istringstream want(description), got(it->second);
      std::string a, b;
      for (;;) {
        const bool more_a = static_cast<bool>(std::getline(want, a));
        const bool more_b = static_cast<bool>(std::getline(got, b));
        if (!more_a) a = "(end)";
        if (!more_b) b = "(end)";
        if (a != b || (!more_a && !more_b)) break;
      }
      differences.push_back("differs: " + name + ": expected [" + a + "], found [" + b + "]");
    }
  }
  for (const auto& [name, description] : actual) {
    if (!expected.contains(name)) differences.push_back("extra: " + name);
  }
  return differences;
}

}  // namespace torvane::testing
