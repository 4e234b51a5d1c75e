#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it
// when the object goes. Files are written and read as raw bytes (Windows-1252 texts
// stay bytes):
//
//   torvane::testing::TempDir dir;                  // e.g. /tmp/torvane-test-Ab12Cd
//   dir.write("DVD/POOL.INI", "[Pool]\r\n");         // folders are made as needed
//   std::string log = dir.read("torvane.log");       // "" when missing
//   std::string medium = dir.path("DVD") + "/";      // a native path for the program
//
// An optional name part goes into the folder name (a point in it tests that no
// helper cuts a name at a point inside a folder name).

#include <filesystem>
#include <string>
#include <string_view>

namespace torvane::testing {

class TempDir {
 public:
  explicit TempDir(std::string_view name_part = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder itself, or a path inside it (relative path with "/").
  std::string path(std::string_view relative = "") const;
  // Writes bytes to a file inside, making folders; replaces what was there.
  void write(std::string_view relative, std::string_view bytes) const;
  // The bytes of a file inside; "" when it does not exist.
  std::string read(std::string_view relative) const;
  bool exists(std::string_view relative) const;
  void make_dir(std::string_view relative) const;

 private:
  std::filesystem::path root_;
};

}  // namespace torvane::testing
