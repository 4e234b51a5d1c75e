#include "app/covers/cover_download.h"

#include <algorithm>
#include <climits>

#include "text/letter_case.h"

namespace torvane::app {
namespace {

using text::upper;

bool is_plain_number(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '-';
  });
}

// Letters, digits and the few marks a host name or address literal uses: nothing that
// could end the Host line or the request line.
bool is_host_text(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-' ||
           c == '_' || c == ':';
  });
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Takes a scheme ("http://" or "https://", in any case) off the front of text; true
// when it was "https://".
bool take_scheme(std::string_view& text) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (text.size() >= scheme.size() && text::equal_ignoring_case(text.substr(0, scheme.size()), scheme)) {
      text.remove_prefix(scheme.size());
      return scheme.size() == 8;
    }
  }
  return false;
}

constexpr std::uint16_t kHttpsPort = 443;

// "host" and "host:port" (an address with colons in brackets) of an authority, the
// port defaulting to default_port; no value when it is no usable host and port.
struct Authority {
  std::string host;
  std::uint16_t port;
  bool bracketed;
};
std::optional<Authority> parse_authority(std::string_view text, std::uint16_t default_port) {
  Authority a{"", default_port, false};
  if (!text.empty() && text.front() == '[') {  // [address]:port
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      auto p = rest.front() == ':' ? parse_port(rest.substr(1)) : std::nullopt;
      if (!p) return std::nullopt;
      a.port = *p;
    }
    text = text.substr(1, close - 1);
    a.bracketed = true;
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    std::size_t colon = text.find(':');
    auto p = parse_port(text.substr(colon + 1));
    if (!p) return std::nullopt;
    a.port = *p;
    text = text.substr(0, colon);
  }
  if (!is_host_text(text)) return std::nullopt;
  a.host = std::string(text);
  return a;
}

bool is_redirect(int status) { return status == 301 || status == 302 || status == 307 || status == 308; }

}  // namespace

LookupLimits lookup_limits(long timeout_ms) {
  using std::chrono::milliseconds;
  const milliseconds wait(timeout_ms > 0 ? std::min<long>(timeout_ms, INT_MAX) : kDefaultWaitMs);
  const milliseconds exchange = std::min<milliseconds>(3 * wait, std::chrono::seconds(15));
  return {wait, exchange, 4 * exchange, std::min<milliseconds>(wait / 10, std::chrono::seconds(2))};
}

std::optional<HttpTarget> download_target(std::string_view server, long timeout_ms) {
  server = trim(server);
  const LookupLimits limits = lookup_limits(timeout_ms);
  HttpTarget target;
  target.wait_ms = static_cast<int>(limits.wait.count());
  target.total = limits.exchange;
  std::string_view rest = server.empty() ? kImageHost : server;
  target.tls = take_scheme(rest);
  if (rest.ends_with('/')) rest.remove_suffix(1);  // "https://host/" as a browser shows it
  const std::uint16_t default_port = target.tls ? kHttpsPort : kImagePort;
  const std::optional<Authority> authority = parse_authority(rest, default_port);
  if (!authority) return std::nullopt;
  target.host = authority->host;
  target.port = authority->port;
  target.host_header = authority->bracketed ? "[" + target.host + "]" : target.host;
  if (target.port != default_port) {
    target.host_header += ':';
    target.host_header += std::to_string(target.port);
  }
  return target;
}

std::array<std::string, 4> cover_request_paths(std::string_view isbn10) {
  const std::string isbn(isbn10);
  return {"/images/P/" + isbn + ".03.MZZZZZZZ.jpg", "/images/P/" + isbn + ".03.MZZZZZZZ.gif",
          "/images/P/" + isbn + ".03.TZZZZZZZ.jpg", "/images/P/" + isbn + ".03.TZZZZZZZ.gif"};
}

bool has_image_signature(std::string_view body) {
  auto starts = [&](std::string_view prefix) { return body.substr(0, prefix.size()) == prefix; };
  return starts("\xFF\xD8\xFF") ||                                    // JPEG
         starts("GIF87a") || starts("GIF89a") ||                      // GIF
         starts("\x89PNG\r\n\x1A\n") ||                               // PNG
         (starts("RIFF") && body.size() >= 12 && body.substr(8, 4) == "WEBP");  // WebP
}

Answer judge_answer(const HttpResponse& response) {
  if (response.end != ExchangeEnd::complete) return Answer::inconclusive;
  if (response.status == 404 || response.status == 410) return Answer::no_image;
  if (response.status < 200 || response.status > 299) return Answer::inconclusive;
  // A page that is no image at all says nothing about the title: a captive portal or a
  // proxy answers every request so.
  if (!has_image_signature(response.body)) return Answer::inconclusive;
  std::size_t counted = response.body.size();
  if (response.body.back() == '\x1A') --counted;
  return counted > kCoverThreshold ? Answer::image : Answer::no_image;
}

Trouble trouble_of(const HttpResponse& response, Answer answer, const LookupLimits& limits) {
  // An image is what the look-up is for: the exchange's budget is its only bound. A
  // "no" that takes long is a server in trouble.
  if (answer == Answer::image) return Trouble::none;
  if (answer == Answer::no_image) return response.elapsed > limits.slow ? Trouble::too_slow : Trouble::none;
  switch (response.end) {
    case ExchangeEnd::no_connection:
    case ExchangeEnd::send_failed: return Trouble::no_answer;
    case ExchangeEnd::timed_out: return response.status == 0 ? Trouble::no_answer : Trouble::too_slow;
    case ExchangeEnd::complete:
      return response.status >= 200 && response.status <= 299 ? Trouble::not_an_image : Trouble::unusable;
    case ExchangeEnd::closed_early:
    case ExchangeEnd::malformed:
    case ExchangeEnd::too_large: return Trouble::unusable;
    case ExchangeEnd::untrusted: return Trouble::untrusted;
  }
  return Trouble::unusable;
}

bool ServerBreaker::note(Trouble trouble) {
  if (tripped_) return false;
  if (trouble == Trouble::none) {
    in_a_row_ = 0;
    return false;
  }
  ++in_a_row_;
  ++in_all_;
  if (in_a_row_ < kInARow && in_all_ < kInAll) return false;
  tripped_ = true;
  reason_ = trouble;
  return true;
}

std::string breaker_warning(Trouble reason) {
  std::string what;
  switch (reason) {
    case Trouble::none:
    case Trouble::no_answer: what = "antwortet nicht"; break;
    case Trouble::too_slow: what = "antwortet zu langsam"; break;
    case Trouble::not_an_image: what = "liefert Seiten statt Bildern (Anmeldeseite oder Proxy?)"; break;
    case Trouble::unusable: what = "liefert keine brauchbaren Antworten"; break;
    case Trouble::untrusted: what = "weist sich nicht mit einem g\xFCltigen Zertifikat aus"; break;
  }
  return "Warnung: Der Cover-Server " + what + ", in diesem Lauf werden keine Cover mehr heruntergeladen.";
}

std::string cover_storage_key(std::string_view isbn10, const CoverSteps& steps) {
  if (!steps.is_isbn10(isbn10)) return upper(isbn10);
  std::string key = steps.isbn2ean(isbn10);
  std::erase(key, '-');
  return upper(key);
}

CoverFetch server_fetch(HttpTarget target, ChannelOpener open) {
  return [target = std::move(target), open = std::move(open)](std::string_view path,
                                                              std::chrono::milliseconds allowed) {
    HttpTarget bounded = target;
    bounded.total = std::min(bounded.total, allowed);
    return http_exchange(bounded, path, open);
  };
}

bool is_askable(std::string_view isbn10) {
  // An old-style ISMN passes the ISBN-10 test but is no book number: the server is not
  // asked and no key is made from it.
  const std::string isbn = upper(isbn10);
  return !isbn.empty() && isbn.front() != 'M' && is_plain_number(isbn);
}

Attempt judge_attempt(HttpResponse response, const LookupLimits& limits) {
  Attempt attempt;
  attempt.answer = judge_answer(response);
  attempt.trouble = trouble_of(response, attempt.answer, limits);
  attempt.elapsed = response.elapsed;
  attempt.certificate = response.certificate;
  if (is_redirect(response.status)) attempt.redirect = std::move(response.location);
  if (attempt.answer == Answer::image) attempt.image = std::move(response.body);
  return attempt;
}

std::string https_server_setting(const HttpTarget& target, std::string_view location) {
  if (target.tls) return "";
  std::string_view rest = trim(location);
  if (!take_scheme(rest)) return "";
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const std::optional<Authority> authority = parse_authority(rest, kHttpsPort);
  if (!authority || !text::equal_ignoring_case(authority->host, target.host)) return "";
  std::string setting = "https://";
  if (authority->bracketed) setting += '[';
  setting += authority->host;
  if (authority->bracketed) setting += ']';
  if (authority->port != kHttpsPort) {
    setting += ':';
    setting += std::to_string(authority->port);
  }
  return setting;
}

std::string ServerNotices::note(const Attempt& attempt) {
  if (attempt.trouble == Trouble::untrusted && !certificate_told_) {
    certificate_told_ = true;
    return "Warnung: Verbindung zum Cover-Server " + target_.host + " abgelehnt: " +
           platform::certificate_problem_text(attempt.certificate) + ".";
  }
  if (!attempt.redirect.empty() && !redirect_told_) {
    const std::string setting = https_server_setting(target_, attempt.redirect);
    if (setting.empty()) return "";
    redirect_told_ = true;
    return "Warnung: Der Cover-Server " + target_.host + " leitet auf HTTPS um; Umleitungen werden nicht verfolgt, "
           "bitte Server=" + setting + " in Sektion [Download] eintragen.";
  }
  return "";
}

TitleAnswers ask_title(std::string_view isbn10, const CoverFetch& fetch, const LookupLimits& limits,
                       const std::function<bool(const TitleAnswers&)>& go_on) {
  TitleAnswers answers;
  std::chrono::milliseconds spent{0};
  for (const std::string& path : cover_request_paths(isbn10)) {
    const std::chrono::milliseconds left = limits.title - spent;
    if (left <= std::chrono::milliseconds(0) || !go_on(answers)) break;
    answers.push_back(judge_attempt(fetch(path, std::min(limits.exchange, left)), limits));
    spent += answers.back().elapsed;
    if (answers.back().answer == Answer::image) break;
  }
  return answers;
}

CoverOutcome settle_title(std::string_view isbn10, const TitleAnswers& answers, ServerBreaker& breaker,
                          const CoverSteps& steps) {
  const std::string isbn = upper(isbn10);
  if (!is_askable(isbn)) return CoverOutcome::not_found;

  const std::string* image = nullptr;
  bool all_definite = true;
  for (std::size_t i = 0; i < cover_request_paths(isbn).size(); ++i) {
    // An attempt the breaker stops, or one not made because the title's budget was
    // spent, leaves the title without a definite answer.
    if (breaker.tripped() || i >= answers.size()) {
      all_definite = false;
      break;
    }
    breaker.note(answers[i].trouble);
    if (steps.noted) steps.noted(answers[i]);
    if (answers[i].answer == Answer::image) {
      image = &answers[i].image;
      break;
    }
    if (answers[i].answer == Answer::inconclusive) all_definite = false;
  }

  const std::string key = cover_storage_key(isbn, steps);
  if (image != nullptr) {
    if (!key.empty()) steps.store_cover(key, *image);
    return CoverOutcome::image;
  }
  if (!all_definite) return CoverOutcome::unreachable;
  if (!key.empty()) steps.store_not_found(key);
  return CoverOutcome::not_found;
}

CoverOutcome GETCOVER(std::string_view isbn10, CoverServer& server, const CoverSteps& steps) {
  const std::string isbn = upper(isbn10);
  if (!is_askable(isbn)) return CoverOutcome::not_found;
  // The next attempt is made only while the breaker, having noted the attempts so far,
  // still lets the look-ups go on.
  const auto go_on = [&](const TitleAnswers& so_far) {
    ServerBreaker probe = server.breaker;
    for (const Attempt& attempt : so_far) probe.note(attempt.trouble);
    return !probe.tripped();
  };
  return settle_title(isbn, ask_title(isbn, server.fetch, server.limits, go_on), server.breaker, steps);
}

}  // namespace torvane::app
