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
// body begins with the signature of a JPEG, GIF, PNG or WebP file and is longer than 900
// bytes (a final 0x1A not counted). The title is written to the not-found table only
// when every answer was a definite "no": 404, 410, or a complete 2xx image of at most
// 900 bytes (the server's placeholder). Anything else records nothing, so the title is
// asked for again in a later run: a server that cannot be reached, whose certificate
// the check refuses (over HTTPS), that times out, hangs up early, answers with another
// status (a redirect too: it is never followed), or answers 2xx with a body that is no
// image at all (a log-in page of a captive portal, a proxy's notice, a text).
//
// Budgets, from the `Timeout` setting T (milliseconds per wait, 20000 by default):
//   each wait        T, cut to what is left of the exchange
//   one exchange     min(3 T, 15 s): connecting, sending and the whole answer
//   one title        4 exchanges' worth (at most 60 s) shared by its four attempts: an
//                    attempt gets what is left, and none starts once it is spent (this
//                    also bounds a name resolution that takes longer than its exchange)
//   a slow answer    a definite "no" that took longer than min(T / 10, 2 s)
// The breaker (ServerBreaker) counts every attempt that failed, ran out of time, was
// not a usable answer or was a slow "no"; it stops all further look-ups of the run after
// 4 such attempts in a row or 12 in all. So a server that never answers, drips, sends
// header lines or interim answers without end, or answers 2xx pages that are no images
// costs at most about a minute per run (4 attempts of at most 15 s); one that fails or
// is slow only now and then loses at most 12 attempts of at most 15 s, three minutes.
//
// The tables and the ISBN conversions are reached through CoverSteps, so the cover
// phase binds them to the real tables and the ISBN toolkit.

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/covers/http_exchange.h"

namespace torvane::app {

// The image server asked when the `Server` setting is empty. The name lies in a
// reserved top-level domain and never resolves: an installation names its server.
inline constexpr std::string_view kImageHost = "covers.torvane.invalid";
inline constexpr std::uint16_t kImagePort = 80;
inline constexpr long kDefaultWaitMs = 20000;

// A body must be longer than this (after dropping a final 0x1A) to be an image.
inline constexpr std::size_t kCoverThreshold = 900;

// The budgets of the look-ups for a `Timeout` of timeout_ms (0 or less: the default).
struct LookupLimits {
  std::chrono::milliseconds wait, exchange, title, slow;
};
LookupLimits lookup_limits(long timeout_ms);

// The target of the `Server` ("host[:port]", "http://host[:port]" or
// "https://host[:port]", empty for the program's own host; the port defaults to 80, or
// 443 for https) and `Timeout` (milliseconds per wait; 0 or less for the default)
// settings; its whole exchange is bounded by the exchange budget. No value when the
// setting is not a usable host and port.
std::optional<HttpTarget> download_target(std::string_view server, long timeout_ms);

// The four request paths for an upper-cased ISBN-10, in the order they are tried.
std::array<std::string, 4> cover_request_paths(std::string_view isbn10);

bool has_image_signature(std::string_view body);

enum class Answer {
  image,        // a usable cover
  no_image,     // a definite "no": 404, 410, or a complete 2xx image of at most 900 bytes
  inconclusive  // no connection, time-out, cut short, unreadable, any other status, or
                // a 2xx body that is no image
};
Answer judge_answer(const HttpResponse& response);

// What an attempt tells about the server, for the breaker.
enum class Trouble {
  none,          // a usable answer in good time
  no_answer,     // no connection, the request could not be sent, or no status line
                 // came in time
  too_slow,      // the exchange ran out of time during the answer, or a definite "no"
                 // came slowly
  not_an_image,  // a complete 2xx answer whose body is no image
  unusable,      // cut short, unreadable, too large, or a status that is no answer
  untrusted,     // HTTPS: the server's certificate failed the check
};
Trouble trouble_of(const HttpResponse& response, Answer answer, const LookupLimits& limits);

// Stops the look-ups of a run once the server has proved useless: after kInARow
// troubled attempts in a row or kInAll in all.
class ServerBreaker {
 public:
  static constexpr int kInARow = 4;
  static constexpr int kInAll = 12;

  // Notes one attempt; true once, for the attempt that trips the breaker.
  bool note(Trouble trouble);
  bool tripped() const { return tripped_; }
  // The trouble of the attempt that tripped it.
  Trouble reason() const { return reason_; }

 private:
  int in_a_row_ = 0;
  int in_all_ = 0;
  bool tripped_ = false;
  Trouble reason_ = Trouble::none;
};

// The "Warnung: " line written when the breaker trips for this reason.
std::string breaker_warning(Trouble reason);

struct Attempt;

struct CoverSteps {
  std::function<bool(std::string_view)> is_isbn10;          // ISISBN10
  std::function<std::string(std::string_view)> isbn2ean;     // ISBN2EAN (with hyphens)
  std::function<void(const std::string& key, const std::string& image)> store_cover;
  std::function<void(const std::string& key)> store_not_found;
  // Told of each attempt the breaker notes, in that order; may be empty.
  std::function<void(const Attempt& attempt)> noted;
};

// The key a title is stored under: ISBN2EAN of a valid ISBN-10 without hyphens (empty
// when the number has no known registrant range), else the text itself; upper case.
std::string cover_storage_key(std::string_view isbn10, const CoverSteps& steps);

// One exchange for one request path, allowed to take at most `allowed` in all.
using CoverFetch = std::function<HttpResponse(std::string_view path, std::chrono::milliseconds allowed)>;
// Exchanges with target over the channels open makes (TLS ones for an https target).
CoverFetch server_fetch(HttpTarget target, ChannelOpener open = open_plain_channel);

// The image server as the look-ups of one run see it.
struct CoverServer {
  CoverFetch fetch;
  LookupLimits limits;
  ServerBreaker breaker;
};

enum class CoverOutcome {
  image,       // an image arrived (and was offered to the cover table)
  not_found,   // no image; the title was entered in the not-found table if it has a key
  unreachable  // no image and no definite answer (or not asked: the breaker had
               // tripped, the title's budget was spent): nothing recorded
};

// Whether a title is sent to the server at all: an empty text, an old-style ISMN
// (beginning with "M") and a text that is not a plain number are not.
bool is_askable(std::string_view isbn10);

// One attempt as the look-up judged it. Only an image keeps its body.
struct Attempt {
  Answer answer = Answer::inconclusive;
  Trouble trouble = Trouble::no_answer;
  std::chrono::milliseconds elapsed{0};
  std::string image;
  std::string redirect;  // where a redirect answer (301, 302, 307, 308) points
  platform::CertificateProblem certificate = platform::CertificateProblem::none;
};
Attempt judge_attempt(HttpResponse response, const LookupLimits& limits);

// The "Warnung: " lines the attempts of a run may call for, each once per run: the
// server's certificate was refused (naming the host and why), and a plain-HTTP server
// sends the look-ups on to HTTPS on the same host (suggesting the setting that asks
// there; the redirect itself is never followed, the request paths stay fixed).
class ServerNotices {
 public:
  explicit ServerNotices(HttpTarget target) : target_(std::move(target)) {}
  // The line this attempt calls for; "" when none, or when it was given already.
  std::string note(const Attempt& attempt);

 private:
  HttpTarget target_;
  bool certificate_told_ = false;
  bool redirect_told_ = false;
};

// The `Server` setting that asks on HTTPS where location points, when it is an https
// URL on the host of a plain-HTTP target; "" otherwise.
std::string https_server_setting(const HttpTarget& target, std::string_view location);

// The attempts made for one title, in the order of the request paths.
using TitleAnswers = std::vector<Attempt>;

// Asks the server about one upper-cased title: the request paths in order, each only
// after the one before brought no image, each given what is left of the title's
// budget; none starts once the budget is spent or go_on, asked before each attempt
// with the answers so far, says no.
TitleAnswers ask_title(std::string_view isbn10, const CoverFetch& fetch, const LookupLimits& limits,
                       const std::function<bool(const TitleAnswers&)>& go_on);

// Records what the answers about one title mean, as though they were coming in now:
// the breaker notes each attempt in order, and an attempt it would have stopped (or
// one not made) counts as no definite answer. Stores the cover or the not-found key.
// So answers asked ahead, on another thread, leave the tables, counters and breaker
// exactly as asking at this point would have, given the same answers.
CoverOutcome settle_title(std::string_view isbn10, const TitleAnswers& answers, ServerBreaker& breaker,
                          const CoverSteps& steps);

// The download for one title (the system's __GETCOVER; names with a double underscore
// belong to the compiler in C++): asks now, stopping when the breaker trips, and
// settles the answers. A title that is not askable is never sent: not_found, nothing
// stored.
CoverOutcome GETCOVER(std::string_view isbn10, CoverServer& server, const CoverSteps& steps);

}  // namespace torvane::app
