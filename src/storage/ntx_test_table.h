#pragma once
// Test helpers for the index code: small DBF tables written byte by byte (so the index
// tests do not depend on the table layer), a temporary folder and a failure handler that
// records what was raised and lets the operation fail.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "support/posix_shims.h"
#include "platform/file.h"
#include "storage/byte_order.h"
#include "storage/order_index.h"

namespace torvane::storage::testing {

// A row of the pool table: ISBN C13, POOL N4, COVER N2 (record length 20).
struct Row {
  std::string isbn;
  bool deleted = false;
};

constexpr std::uint32_t kPoolHeaderLength = 130;
constexpr std::uint32_t kPoolRecordLength = 20;

// The bytes of a pool table holding `rows`, ending in 0x1A.
inline std::vector<std::uint8_t> pool_table_bytes(const std::vector<Row>& rows) {
  std::vector<std::uint8_t> bytes(kPoolHeaderLength, 0);
  bytes[0] = 0x03;
  bytes[1] = 108;
  bytes[2] = 1;
  bytes[3] = 1;
  put_u32le(std::span(bytes).subspan(4, 4), static_cast<std::uint32_t>(rows.size()));
  put_u16le(std::span(bytes).subspan(8, 2), kPoolHeaderLength);
  put_u16le(std::span(bytes).subspan(10, 2), kPoolRecordLength);
  const struct {
    const char* name;
    char type;
    std::uint8_t length;
  } fields[] = {{"ISBN", 'C', 13}, {"POOL", 'N', 4}, {"COVER", 'N', 2}};
  for (int f = 0; f < 3; ++f) {
    std::uint8_t* d = bytes.data() + 32 + 32 * f;
    for (int i = 0; fields[f].name[i] != 0; ++i) d[i] = static_cast<std::uint8_t>(fields[f].name[i]);
    d[11] = static_cast<std::uint8_t>(fields[f].type);
    d[16] = fields[f].length;
  }
  bytes[128] = 0x0D;
  bytes[129] = 0x00;
  for (const Row& row : rows) {
    std::string record(kPoolRecordLength, ' ');
    record[0] = row.deleted ? '*' : ' ';
    record.replace(1, std::min<std::size_t>(13, row.isbn.size()), row.isbn.substr(0, 13));
    record.replace(14, 4, "   1");
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  bytes.push_back(0x1A);
  return bytes;
}

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torvane-ntx-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  std::uint8_t buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

// A pool table on disk, open for reading, with the key source of its ISBN field.
class PoolTable {
 public:
  PoolTable(const std::string& path, const std::vector<Row>& rows) : path_(path) {
    write_bytes(path, pool_table_bytes(rows));
    file_ = platform::File::open(path, platform::Access::read, platform::Share::compatibility,
                                 platform::Disposition::open_existing);
    source_.table = &file_;
    source_.table_path = path;
    source_.header_length = kPoolHeaderLength;
    source_.record_length = kPoolRecordLength;
    source_.record_count = static_cast<std::uint32_t>(rows.size());
    source_.key_offset = 1;
    source_.key_length = 13;
    source_.key_type = 'C';
    source_.key_field = "ISBN";
  }
  const KeySource& source() const { return source_; }
  KeySource& source() { return source_; }

 private:
  std::string path_;
  platform::File file_;
  KeySource source_;
};

// Records every failure message and answers "let it fail".
class RecordingHandler {
 public:
  RecordingHandler() {
    previous_ = platform::set_failure_handler([this](const platform::Failure& failure) {
      messages.push_back(failure.message);
      return platform::FailureChoice::fail;
    });
  }
  ~RecordingHandler() { platform::set_failure_handler(previous_); }
  std::vector<std::string> messages;

 private:
  platform::FailureHandler previous_;
};

}  // namespace torvane::storage::testing
