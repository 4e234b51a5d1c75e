#include "storage/ntx_index.h"

#include <utility>

#include "platform/fs.h"
#include "storage/key_sorter.h"
#include "storage/ntx_build.h"
#include "storage/ntx_format.h"
#include "storage/ntx_tree.h"

namespace torvane::storage {
namespace {

using ntx::Header;
using ntx::TreeFailure;

// A walk over a large index must not keep every page it passed: beyond this many the
// cache is written out and emptied before the next operation.
constexpr std::size_t kCachedPagesLimit = 4096;

class NtxIndex final : public OrderIndex {
 public:
  NtxIndex(platform::File file, std::string path, const IndexOptions& options, const Header& header,
           std::uint64_t file_size)
      : file_(std::move(file)), path_(std::move(path)), options_(options),
        tree_(file_, path_, Variant::ntx, header, file_size) {}
  ~NtxIndex() override { close(); }

  std::string_view key_field() const override { return tree_.header().expression; }
  std::uint32_t key_length() const override { return tree_.header().geometry.key_length; }
  std::string tag_name() const override { return ""; }

  std::optional<std::uint32_t> go_top() override {
    return run<std::uint32_t>(false, [&] { return tree_.go_top() ? tree_.record() : 0; });
  }
  std::optional<std::uint32_t> skip() override {
    return run<std::uint32_t>(false, [&] { return tree_.skip() ? tree_.record() : 0; });
  }
  std::optional<std::uint32_t> seek(std::string_view value) override {
    return run<std::uint32_t>(false, [&] { return tree_.seek(value) ? tree_.record() : 0; });
  }
  std::string current_key() const override { return tree_.key(); }
  std::optional<std::uint64_t> key_number() override {
    return run<std::uint64_t>(false, [&] { return tree_.key_number(); });
  }
  std::optional<std::uint64_t> key_count() override {
    return run<std::uint64_t>(false, [&] { return tree_.key_count(); });
  }

  bool insert(std::string_view key, std::uint32_t record) override {
    return run<bool>(true, [&] {
             tree_.insert(key, record);
             return true;
           }).value_or(false);
  }
  bool remove(std::string_view key, std::uint32_t record) override {
    return run<bool>(true, [&] {
             tree_.remove(key, record);
             return true;
           }).value_or(false);
  }

  bool close() override {
    if (!file_.is_open()) return true;
    bool ok = true;
    if (!broken_ && !options_.read_only && tree_.changed()) {
      try {
        tree_.write_pages(true);
        save_header();
        if (!file_.flush()) throw TreeFailure{{kWriteError, Variant::ntx, path_, file_.os_error()}};
      } catch (const TreeFailure& failure) {
        raise(failure.error);
        ok = false;
      }
    }
    file_.close();
    return ok;
  }

 private:
  // Runs one operation under the index lock (shared use), turning damage into a raised
  // failure and a nullopt result. A damaged index stays failed until it is closed.
  template <class T, class Body>
  std::optional<T> run(bool write, Body&& body) {
    if (!file_.is_open()) broken_error_ = {kReadError, Variant::ntx, path_ + " (closed)", 0};
    if (!file_.is_open() || broken_) {
      raise(broken_error_);
      return std::nullopt;
    }
    if (write && options_.read_only) {
      raise({kWriteNotAllowed, Variant::ntx, path_, 0});
      return std::nullopt;
    }
    try {
      if (tree_.cached_pages() > kCachedPagesLimit) tree_.write_pages(true);
      if (options_.shared) {
        lock(write ? platform::LockKind::exclusive : platform::LockKind::shared);
        refresh();
      }
      T result = body();
      if (write && options_.shared && tree_.changed()) {
        tree_.write_pages(false);
        save_header();
      }
      unlock();
      return result;
    } catch (const TreeFailure& failure) {
      tree_.discard();
      unlock();
      broken_ = true;
      broken_error_ = failure.error;
      raise(failure.error);
      return std::nullopt;
    }
  }

  void lock(platform::LockKind kind) {
    if (!file_.lock_range(ntx::kLockOffset, 1, kind, true))
      throw TreeFailure{{kLockFailure, Variant::ntx, path_, file_.os_error()}};
    locked_ = true;
  }
  void unlock() {
    if (locked_) file_.unlock_range(ntx::kLockOffset, 1);
    locked_ = false;
  }

  // Another process may have changed the file since the last look.
  void refresh() {
    std::array<std::uint8_t, ntx::kHeaderPrefix> seen{};
    const std::int64_t got = file_.read_at(0, seen);
    if (got < 0) throw TreeFailure{{kReadError, Variant::ntx, path_, file_.os_error()}};
    if (got != static_cast<std::int64_t>(seen.size())) throw TreeFailure{{kCorruption, Variant::ntx, path_, 0}};
    if (seen == ntx::encode_header_prefix(tree_.header())) return;
    Header header = tree_.header();
    ntx::decode_header_prefix(seen, header);
    const std::int64_t size = file_.size();
    if (size < 0) throw TreeFailure{{kReadError, Variant::ntx, path_, file_.os_error()}};
    if (ntx::header_problem(header, static_cast<std::uint64_t>(size)))
      throw TreeFailure{{kCorruption, Variant::ntx, path_, 0}};
    tree_.reload(header, static_cast<std::uint64_t>(size));
  }

  // Only the first bytes change after the build: flags, counter, root, free list.
  void save_header() {
    Header& header = tree_.header();
    ++header.counter;
    const auto prefix = ntx::encode_header_prefix(header);
    if (file_.write_at(0, prefix) != static_cast<std::int64_t>(prefix.size()))
      throw TreeFailure{{kWriteError, Variant::ntx, path_, file_.os_error()}};
    tree_.mark_saved();
  }

  platform::File file_;
  std::string path_;
  IndexOptions options_;
  ntx::Tree tree_;
  bool locked_ = false;
  bool broken_ = false;
  StorageError broken_error_;
};

bool key_is_indexable(const KeySource& source) {
  const bool known_type = source.key_type == 'C' || source.key_type == 'N' || source.key_type == 'D' ||
                          source.key_type == 'L';
  return known_type && source.key_length >= 1 && source.key_length <= ntx::kMaxKeyLength;
}

// The name the build writes to before the finished file replaces the old one.
std::string temporary_name(std::string_view path) { return std::string(path) + ".tmp"; }

}  // namespace

std::unique_ptr<OrderIndex> open_ntx_index(std::string_view path, const KeySource& source,
                                           const IndexOptions& options) {
  const std::string name(path);
  platform::File file = open_index_file(path, options, Variant::ntx);
  if (!file.is_open()) return nullptr;
  if (options.shared && !file.lock_range(ntx::kLockOffset, 1, platform::LockKind::shared, true)) {
    raise({kLockFailure, Variant::ntx, name, file.os_error()});
    return nullptr;
  }
  ntx::PageBytes bytes{};
  const std::int64_t got = file.read_at(0, bytes);
  const std::int64_t size = file.size();
  if (options.shared) file.unlock_range(ntx::kLockOffset, 1);
  if (got < 0 || size < 0) {
    raise({kReadError, Variant::ntx, name, file.os_error()});
    return nullptr;
  }
  const Header header = ntx::decode_header(bytes);
  const bool usable = got == static_cast<std::int64_t>(bytes.size()) &&
                      !ntx::header_problem(header, static_cast<std::uint64_t>(size)) &&
                      (source.key_length == 0 || source.key_length == header.geometry.key_length);
  if (!usable) {
    raise({kCorruption, Variant::ntx, name, 0});
    return nullptr;
  }
  return std::make_unique<NtxIndex>(std::move(file), name, options, header, static_cast<std::uint64_t>(size));
}

std::unique_ptr<OrderIndex> create_ntx_index(std::string_view path, const KeySource& source,
                                             const IndexOptions& options) {
  const std::string name(path);
  if (!key_is_indexable(source)) {
    raise({kIndexKeyTypeError, Variant::ntx, name, 0});
    return nullptr;
  }
  const std::string temporary = temporary_name(path);
  platform::File file;
  for (;;) {
    file = platform::File::open(temporary, platform::Access::read_write, platform::Share::exclusive,
                                platform::Disposition::create_always);
    if (file.is_open()) break;
    if (!raise({kIndexCreateError, Variant::ntx, name, file.os_error()})) return nullptr;
  }
  Header header;
  header.geometry = ntx::Geometry::for_key(source.key_length);
  header.expression = source.key_field;
  IndexOptions sort_options = options;
  sort_options.variant = Variant::ntx;
  std::unique_ptr<SortedKeys> keys = sort_keys(source, sort_options);
  bool built = keys != nullptr && ntx::write_index(file, name, Variant::ntx, *keys, header);
  keys.reset();
  if (built && !file.flush()) {
    raise({kWriteError, Variant::ntx, name, file.os_error()});
    built = false;
  }
  file.close();
  if (built && !platform::rename_file(temporary, path)) {
    raise({kIndexCreateError, Variant::ntx, name, 0});
    built = false;
  }
  if (!built) {
    platform::delete_file(temporary);
    return nullptr;
  }
  return open_ntx_index(path, source, options);
}

void register_ntx_driver() {
  register_index_driver(Variant::ntx, IndexDriver{"ntx", &create_ntx_index, &open_ntx_index});
}

}  // namespace torvane::storage
