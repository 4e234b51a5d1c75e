#include "support/temp_dir.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace torvane::testing {
namespace {

std::string random_suffix() {
  static std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 10; ++i) suffix += kChars[generator() % (sizeof kChars - 1)];
  return suffix;
}

}  // namespace

TempDir::TempDir(std::string_view name_part) {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("torvane-test-" + std::string(name_part) + random_suffix());
    if (std::filesystem::create_directory(candidate)) {
      root_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Files made read-only by a test must not keep the folder alive.
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::path(std::string_view relative) const {
  if (relative.empty()) return root_.string();
  return (root_ / std::string(relative)).string();
}

void TempDir::write(std::string_view relative, std::string_view bytes) const {
  const std::filesystem::path file = root_ / std::string(relative);
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::read(std::string_view relative) const {
  std::ifstream in(root_ / std::string(relative), std::ios::binary);
  if (!in) return "";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::exists(std::string_view relative) const {
  return std::filesystem::exists(root_ / std::string(relative));
}

void TempDir::make_dir(std::string_view relative) const {
  std::filesystem::create_directories(root_ / std::string(relative));
}

}  // namespace torvane::testing
