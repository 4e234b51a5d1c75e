#pragma once
// The cover download: asks the image server for the cover of one title by its ISBN-10
// and records the outcome.
//
// Four resource paths are tried in order, each over a fresh connection, until one
// answer is a usable image:
//   /images/P/<ISBN-10>.03.MZZZZZZZ.jpg
//   /images/P/<ISBN-10>.03.MZZZZZZZ.gif
//   /images/P/<ISBN-10>.03.TZZZZZZZ.jpg
//   /images/P/<ISBN-10>.03.TZZZZZZZ.gif
// An answer is an image only when the whole response arrived with a 2xx status and its
// body is longer than 900 bytes (a final 0x1A not counted) and begins with the signature
// of a JPEG, GIF, PNG or WebP file. The title is written to the not-found table only
// when every answer was a definite "no" (a complete 2xx answer without an image, or 404
// or 410); a server that cannot be reached, times out, hangs up early or answers with
// any other status records nothing, so the title is asked for again in a later run.
//
// The tables and the ISBN conversions are reached through CoverSteps, so the cover
// phase binds them to the real tables and the ISBN toolkit.

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/covers/http_exchange.h"

namespace torvane::app {

// The image server asked when the `Server` setting is empty. The name lies in a
// reserved top-level domain and never resolves: an installation names its server.
inline constexpr std::string_view kImageHost = "covers.torvane.invalid";
inline constexpr std::uint16_t kImagePort = 80;
inline constexpr long kDefaultWaitMs = 20000;

// A body must be longer than this (after dropping a final 0x1A) to be an image.
inline constexpr std::size_t kCoverThreshold = 900;

// The target of the `Server` ("host" or "host:port", empty for the program's own
// host) and `Timeout` (milliseconds per wait; 0 or less for the default) settings.
// No value when the setting is not a usable host and port.
std::optional<HttpTarget> download_target(std::string_view server, long timeout_ms);

// The four request paths for an upper-cased ISBN-10, in the order they are tried.
std::array<std::string, 4> cover_request_paths(std::string_view isbn10);

bool has_image_signature(std::string_view body);

enum class Answer {
  image,        // a usable cover
  no_image,     // a definite "no": a complete 2xx answer without an image, 404 or 410
  inconclusive  // no connection, time-out, cut short, unreadable, or any other status
};
Answer judge_answer(const HttpResponse& response);

struct CoverSteps {
  std::function<bool(std::string_view)> is_isbn10;          // ISISBN10
  std::function<std::string(std::string_view)> isbn2ean;     // ISBN2EAN (with hyphens)
  std::function<void(const std::string& key, const std::string& image)> store_cover;
  std::function<void(const std::string& key)> store_not_found;
};

// The key a title is stored under: ISBN2EAN of a valid ISBN-10 without hyphens (empty
// when the number has no known registrant range), else the text itself; upper case.
std::string cover_storage_key(std::string_view isbn10, const CoverSteps& steps);

// One exchange for one request path.
using CoverFetch = std::function<HttpResponse(std::string_view path)>;
CoverFetch server_fetch(HttpTarget target);

enum class CoverOutcome {
  image,       // an image arrived (and was offered to the cover table)
  not_found,   // no image; the title was entered in the not-found table if it has a key
  unreachable  // no image and no definite answer: nothing recorded
};

// The download for one title (the system's __GETCOVER; names with a double underscore
// belong to the compiler in C++). An empty text, an old-style ISMN (beginning with
// "M") and a text that is not a plain number are never sent: not_found, nothing stored.
CoverOutcome GETCOVER(std::string_view isbn10, const CoverFetch& fetch, const CoverSteps& steps);

// Counts unreachable titles in a row; note() is true once, when the limit is reached,
// after which the cover phase asks the server nothing more.
class UnreachableRun {
 public:
  explicit UnreachableRun(int limit = 3) : limit_(limit) {}
  bool note(CoverOutcome outcome);
  bool given_up() const { return given_up_; }

 private:
  int limit_;
  int in_a_row_ = 0;
  bool given_up_ = false;
};

}  // namespace torvane::app
