// Arbitrary bytes as a pool's MAB2 file, through what the pool phase does with it: the
// line reader (with a small buffer, so that long lines are streamed in pieces), the
// check pass, the filtered rewrite, and the record labels and numbers of every line.
// The lines put together give the file back; a rewritten file passes the check and
// rewrites to itself (but for a last empty line); a number is 8 to 13 characters
// without blanks or hyphens, and its key fits the 13 characters of the ISBN field.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/medium/mab_record.h"
#include "app/pools/field_filter.h"
#include "app/pools/mab_stream.h"
#include "app/pools/permitted_fields.h"
#include "fuzz/fuzz_support.h"
#include "text/letter_case.h"

namespace {

using namespace torvane;
using fuzz::require;

constexpr std::string_view kExclusions[] = {"", "700*", "540a;551 ", "*", "540"};

void check_numbers(std::string_view line) {
  const std::string_view trimmed = text::trim(line);
  if (app::is_header_line(trimmed)) {
    const std::string label = app::label_of(trimmed);
    require(label == text::trim(label));
    return;
  }
  const std::optional<std::string> number = app::number_of(trimmed);
  if (!number) return;
  require(number->size() >= 8 && number->size() <= 13);
  require(number->find_first_of(" -") == std::string::npos);
  for (char c : *number) require(c < 'a' || c > 'z');
  require(app::isbn_key_of(*number).size() <= 13);
}

// Reads the file line by line and checks that lines, offsets and line ends add up to it.
void check_lines(const std::string& path, std::string_view content) {
  app::MabLineScanner reader(path, 64);
  require(reader.is_open() && reader.size() == content.size());
  std::string joined;
  while (reader.next()) {
    require(reader.offset() == joined.size());
    const std::string head(reader.head());
    const bool whole = reader.whole();
    std::string line;
    require(reader.stream([&](std::string_view piece) { line += piece; }));
    require(line.starts_with(head) && (!whole || line == head));
    check_numbers(line);
    joined += line;
    if (joined.size() < content.size()) joined += "\r\n";
  }
  require(!reader.failed() && joined == content);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_failures();
  const std::string_view content = fuzz::as_text(data, size);
  const std::string_view exclusions = kExclusions[size % std::size(kExclusions)];
  static const app::PermittedFields table = app::PermittedFields::standard();
  const std::string mab = fuzz::scratch_path("p.mab");
  const std::string once = fuzz::scratch_path("once.mab");
  const std::string twice = fuzz::scratch_path("twice.mab");
  fuzz::put_file(mab, content);

  check_lines(mab, content);
  (void)app::needs_filtering(mab, table, exclusions);
  require(app::write_filtered(mab, once, table, exclusions));
  require(!app::needs_filtering(once, table, exclusions));
  require(app::write_filtered(once, twice, table, exclusions));
  // A rewrite ends in CR LF only when its last retained line was empty, and the reader
  // sees no empty line after a final CR LF: each rewrite may drop that one line end.
  const std::string first = fuzz::get_file(once), second = fuzz::get_file(twice);
  require(first == second || first == second + "\r\n");
  return 0;
}
