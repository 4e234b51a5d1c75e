#pragma once
// Helpers shared by the CDX and NTX index tests (header only):
//
//   index_testing::TempDir dir;                       // dir.file("pool.dbf")
//   index_testing::IsbnTable table(dir.file("pool.dbf"), {{"ISBN", 'C', 13}}, {{"9783161484100"}});
//   create_index(dir.file("pool.cdx"), table.source, {});
//   index_testing::RecordFailures failures;           // failures.saw("Corruption detected")
//
// The tables are written byte by byte, so the index tests do not depend on the table
// layer. Their first field is the ISBN, the key of every index.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/order_index.h"
#include "support/temp_dir.h"

namespace torvane::index_testing {

// A temporary folder; file() names a file inside it.
class TempDir : public torvane::testing::TempDir {
 public:
  std::string file(const std::string& name) const { return path() + "/" + name; }
};

// Records every failure raised while it lives and lets the operation fail.
class RecordFailures {
 public:
  RecordFailures() {
    previous_ = platform::set_failure_handler([this](const platform::Failure& failure) {
      messages.push_back(failure.message);
      return platform::FailureChoice::fail;
    });
  }
  ~RecordFailures() { platform::set_failure_handler(previous_); }
  RecordFailures(const RecordFailures&) = delete;
  RecordFailures& operator=(const RecordFailures&) = delete;

  bool saw(const std::string& text) const {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }
  std::vector<std::string> messages;

 private:
  platform::FailureHandler previous_;
};

inline bool write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  // An empty vector's data() may be null, which fwrite must not be given.
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The bytes of a file; empty when it cannot be read.
inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  std::uint8_t buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

struct Field {
  const char* name;
  char type;
  std::uint8_t length;
};

struct Row {
  std::string isbn;
  bool deleted = false;
};

// The bytes of a table of the fields, ending in 0x1A: a header of 32 bytes, 32 per field
// and 0x0D 0x00; per row the deletion flag, the ISBN in the first field, then `rest`
// and blanks.
inline std::vector<std::uint8_t> table_bytes(const std::vector<Field>& fields, const std::vector<Row>& rows,
                                             std::string_view rest = "") {
  const auto header_length = static_cast<std::uint16_t>(32 + 32 * fields.size() + 2);
  std::uint16_t record_length = 1;
  for (const Field& field : fields) record_length += field.length;
  std::vector<std::uint8_t> bytes(header_length, 0);
  bytes[0] = 0x03;
  bytes[1] = 108;
  bytes[2] = 1;
  bytes[3] = 1;
  storage::put_u32le(std::span(bytes).subspan(4), static_cast<std::uint32_t>(rows.size()));
  storage::put_u16le(std::span(bytes).subspan(8), header_length);
  storage::put_u16le(std::span(bytes).subspan(10), record_length);
  for (std::size_t f = 0; f < fields.size(); ++f) {
    std::uint8_t* d = bytes.data() + 32 + 32 * f;
    for (int i = 0; fields[f].name[i] != 0; ++i) d[i] = static_cast<std::uint8_t>(fields[f].name[i]);
    d[11] = static_cast<std::uint8_t>(fields[f].type);
    d[16] = fields[f].length;
  }
  bytes[header_length - 2] = 0x0D;
  for (const Row& row : rows) {
    std::string record(record_length, ' ');
    record[0] = row.deleted ? '*' : ' ';
    record.replace(1, std::min<std::size_t>(13, row.isbn.size()), row.isbn.substr(0, 13));
    record.replace(14, rest.size(), rest);
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  bytes.push_back(0x1A);
  return bytes;
}

// A table written as table_bytes() makes it and open for reading, with the key source
// of its ISBN field. The key source points at the file: the table stays where it is.
struct IsbnTable {
  platform::File file;
  storage::KeySource source;

  IsbnTable(const std::string& path, const std::vector<Field>& fields, const std::vector<Row>& rows,
            std::string_view rest = "") {
    const std::vector<std::uint8_t> bytes = table_bytes(fields, rows, rest);
    write_bytes(path, bytes);
    file = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                platform::Disposition::open_existing);
    source.table = &file;
    source.table_path = path;
    source.header_length = storage::get_u16le(std::span(bytes).subspan(8));
    source.record_length = storage::get_u16le(std::span(bytes).subspan(10));
    source.record_count = static_cast<std::uint32_t>(rows.size());
    source.key_offset = 1;
    source.key_length = 13;
    source.key_type = 'C';
    source.key_field = "ISBN";
  }
  IsbnTable(const IsbnTable&) = delete;
  IsbnTable& operator=(const IsbnTable&) = delete;
};

}  // namespace torvane::index_testing
