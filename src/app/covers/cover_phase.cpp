#include "app/covers/cover_phase.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_set>

#include "app/console.h"
#include "app/covers/cover_download.h"
#include "app/covers/cover_tables.h"
#include "app/covers/lookup_workers.h"
#include "app/medium/pool_table_files.h"
#include "app/medium/report_lines.h"
#include "app/medium/table_health.h"
#include "app/medium/table_open.h"
#include "files/paths.h"
#include "isbn/numbers.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/tls_channel.h"
#include "storage/dbf_table.h"
#include "text/letter_case.h"

namespace torvane::app {
namespace {

using storage::DbfTable;

std::string compact_upper(std::string_view text) {
  std::string out = text::upper(text::trim(text));
  std::erase(out, '-');
  std::erase(out, ' ');
  return out;
}

// A key as the tables hold it, also tried in lower case as older tables may hold it.
bool find_either_case(KeyLookup& keys, const std::string& key) {
  if (keys.contains(key)) return true;
  const std::string lower = text::lower(key);
  return lower != key && keys.contains(lower);
}

bool find_either_case(ImportTable& table, const std::string& key) {
  if (table.find(key)) return true;
  const std::string lower = text::lower(key);
  return lower != key && table.find(lower);
}

// Appends one record with the key (and the image); the lock of a shared table is
// released at once. False when the record could not be appended.
bool append_keyed(DbfTable& table, KeyLookup& keys, const std::string& key, const std::string* image) {
  if (!table.append() || storage::network_error()) return false;
  table.assign("ISBN", key);
  if (image != nullptr) table.assign_memo("COVER", *image);
  if (table.shared()) table.unlock();
  keys.added(key);
  return true;
}

struct Tables {
  std::unique_ptr<DbfTable> cover, not_found, pool;
  std::unique_ptr<ImportTable> import;
  std::optional<KeyLookup> cover_keys, not_found_keys;

  void close_all() {
    for (DbfTable* t : {pool.get(), not_found.get(), cover.get()})
      if (t != nullptr) t->close();
    if (import) import->close();
  }
};

// The ISBN-10 and ISBN-13 a pool key is looked up by; empty when it has none. The
// ISBN-10 of an ISBN-13 is only made when asked for (the server is its only user).
struct TitleNumbers {
  std::string i10, i13;
};

TitleNumbers numbers_of(const std::string& isbn, bool with_isbn10) {
  TitleNumbers n;
  // An old-style ISMN passes the ISBN-10 test but is no book number: it is neither
  // converted nor sent, and counts as not found.
  if (isbn.empty() || isbn.front() == 'M') return n;
  if (isbn::ISISBN10(isbn)) {
    n.i10 = isbn;
    n.i13 = compact_upper(isbn::ISBN2EAN(isbn));
  } else if (isbn::ISISBN13(isbn)) {
    n.i13 = isbn;
    if (with_isbn10) n.i10 = compact_upper(isbn::EAN2ISBN(isbn));
  }
  return n;
}

// With titles asked ahead: at most this many titles read and not yet settled, at most
// this many titles asked ahead per connection (in flight, queued, or done and waiting
// for their turn), and new titles are asked ahead only while the images waiting for
// their turn hold at most kWaitingImageBytes. So a pass holds at most N bodies being
// received (each at most 16 MiB) plus kWaitingImageBytes and the last images that
// arrived, whatever N and the answer sizes; a slow title holds back at most
// 4 N - 1 finished ones.
constexpr std::size_t kReadAhead = 4096;
constexpr std::size_t kAskedAheadPerConnection = 4;
constexpr std::uint64_t kWaitingImageBytes = 32u * 1024u * 1024u;

// The progress figure of a pass with titles asked ahead, redrawn at most every
// kRedrawMs (its rate changes with every title).
class AheadProgress {
 public:
  static constexpr std::uint64_t kRedrawMs = 250;

  AheadProgress(ProgressDisplay& display, std::uint64_t total)
      : display_(display), start_ms_(platform::steady_milliseconds()) {
    shown_.total = total;
    draw(platform::steady_milliseconds());
  }
  void title_done(std::uint64_t covers, std::uint64_t exchanges) {
    ++shown_.done;
    shown_.covers = covers;
    shown_.exchanges = exchanges;
    const std::uint64_t now = platform::steady_milliseconds();
    if (now >= next_ms_) draw(now);
  }
  void finish(std::uint64_t covers, std::uint64_t exchanges) {
    shown_.covers = covers;
    shown_.exchanges = exchanges;
    draw(platform::steady_milliseconds());
  }

 private:
  void draw(std::uint64_t now) {
    shown_.seconds = static_cast<double>(now - start_ms_) / 1000.0;
    display_.show(lookup_figure(shown_));
    next_ms_ = now + kRedrawMs;
  }

  ProgressDisplay& display_;
  LookupProgress shown_;
  std::uint64_t start_ms_;
  std::uint64_t next_ms_ = 0;
};

// The roots the HTTPS look-ups trust: the system's and those of `CAFile`. A CAFile that
// cannot be read or holds no certificate is reported and left out; the look-ups go on
// with the system's roots, so a server that only that file would vouch for is refused
// (and reported), never trusted. Not valid when TLS cannot be set up at all.
platform::TlsTrust trust_for_run(const std::string& ca_file) {
  if (!ca_file.empty()) {
    const std::string fallback = "; es gelten nur die Stammzertifikate des Systems.";
    if (const std::optional<std::string> pem = platform::read_whole_file(ca_file); !pem) {
      XOUT("Warnung: CAFile " + ca_file +
           (platform::file_exists(ca_file) ? " kann nicht gelesen werden" : " ist nicht vorhanden") + fallback);
    } else if (platform::TlsTrust trust = platform::TlsTrust::create(*pem); trust.is_valid()) {
      return trust;
    } else {
      XOUT("Warnung: CAFile " + ca_file + " enth\xE4lt kein lesbares Zertifikat" + fallback);
    }
  }
  return platform::TlsTrust::create("");
}

// The image server of the run's settings; no value, after a "Warnung: " line, when it
// cannot be asked.
std::optional<HttpTarget> run_target(const RunConfig& config, ChannelOpener& open) {
  std::optional<HttpTarget> target = download_target(config.download_server, config.download_timeout_ms);
  if (!target) {
    XOUT("Warnung: Server-Eintrag " + config.download_server +
         " ist ung\xFCltig, es werden keine Cover heruntergeladen.");
    return std::nullopt;
  }
  open = open_plain_channel;
  if (!target->tls) return target;
  platform::TlsTrust trust = trust_for_run(config.ca_file);
  if (!trust.is_valid()) {
    XOUT("Warnung: HTTPS l\xE4sst sich auf diesem System nicht einrichten, es werden keine Cover heruntergeladen.");
    return std::nullopt;
  }
  open = tls_channel_opener(std::move(trust));
  return target;
}

class CoverPass {
 public:
  CoverPass(const RunConfig& config, Tables& tables) : config_(config), t_(tables) {
    if (!config.internet) return;
    ChannelOpener open;
    if (auto target = run_target(config, open)) {
      notices_.emplace(*target);
      CoverFetch fetch = server_fetch(std::move(*target), std::move(open));
      server_.emplace(CoverServer{std::move(fetch), lookup_limits(config.download_timeout_ms), {}});
    }
    steps_.is_isbn10 = [](std::string_view text) { return isbn::ISISBN10(text); };
    steps_.isbn2ean = [](std::string_view text) { return isbn::ISBN2EAN(text); };
    steps_.store_cover = [this](const std::string& key, const std::string& image) {
      append_keyed(*t_.cover, *t_.cover_keys, key, &image);
    };
    steps_.store_not_found = [this](const std::string& key) {
      append_keyed(*t_.not_found, *t_.not_found_keys, key, nullptr);
    };
    steps_.noted = [this](const Attempt& attempt) {
      if (const std::string line = notices_->note(attempt); !line.empty()) XOUT(line);
    };
  }

  void run(ProgressDisplay& progress) {
    if (server_ && config_.connections > 1) {
      run_ahead(progress);
    } else {
      run_in_turn(progress);
    }
  }

  CoverCounts counts;

 private:
  // One title after the other: the look-up of a title is done before the next is read.
  void run_in_turn(ProgressDisplay& progress) {
    DbfTable& pool = *t_.pool;
    const std::uint64_t keys = pool.key_count();
    EscPoll esc;
    while (!pool.eof()) {
      const std::uint64_t tenths = progress_tenths(pool.key_number(), keys);
      progress.show(tenths_figure(tenths));
      if (stop_reached(tenths)) break;
      std::string isbn = text::upper(text::trim(pool.text("ISBN")));
      counts.last_isbn = isbn;
      const bool found = look_up(isbn);
      pool.skip();
      if (!isbn.empty()) ++(found ? counts.found : counts.not_found);
      if (esc.pressed()) {
        XOUT("Manueller Abbruch - Bitte warten... ");
        break;
      }
    }
  }

  // A title read from the pool table whose turn has not come yet.
  struct Pending {
    std::string isbn;
    std::string i10;               // what the server is asked ahead, when it is
    LookupWorkers::Ticket ticket;  // the answers asked ahead
  };

  // Several exchanges in flight: titles are read ahead, and those that will go to the
  // server as far as the tables tell now are asked about on the look-up threads. Each
  // title is then settled in its key order, exactly as run_in_turn would settle it,
  // with the answers asked ahead in place of asking now. The read-ahead is bounded in
  // titles, in titles asked ahead, and in the images that wait for their turn.
  void run_ahead(ProgressDisplay& progress) {
    DbfTable& pool = *t_.pool;
    const std::uint64_t keys = pool.key_count();
    LookupWorkers workers(static_cast<int>(config_.connections), server_->fetch, server_->limits);
    workers_ = &workers;
    AheadProgress shown(progress, pool.eof() ? 0 : keys + 1 - pool.key_number());
    std::deque<Pending> window;
    std::unordered_set<std::string> asked;  // the ISBN-10s asked ahead in the window
    std::size_t tickets = 0;
    EscPoll esc;
    bool reading = true, escaped = false;
    const auto room = [&] {
      return window.size() < kReadAhead && tickets < kAskedAheadPerConnection * asked_limit() &&
             workers.held_image_bytes() <= kWaitingImageBytes;
    };
    while (reading || !window.empty()) {
      while (reading && room()) {
        if (pool.eof() || stop_reached(progress_tenths(pool.key_number(), keys))) {
          reading = false;
          break;
        }
        Pending title{text::upper(text::trim(pool.text("ISBN"))), {}, nullptr};
        // One ticket per number: a second copy of a title learns from the first one's
        // outcome in the tables, and is asked only when that left it open.
        if (std::string i10 = asked_ahead(title.isbn); !i10.empty() && asked.insert(i10).second) {
          title.ticket = workers.submit(i10);
          title.i10 = std::move(i10);
          ++tickets;
        }
        window.push_back(std::move(title));
        pool.skip();
      }
      bool settled_any = false;
      while (!window.empty() && (!window.front().ticket || workers.settled(window.front().ticket))) {
        settle(window.front());
        if (window.front().ticket) {
          asked.erase(window.front().i10);
          --tickets;
        }
        window.pop_front();
        shown.title_done(counts.found, workers.exchanges());
        settled_any = true;
      }
      if (!escaped && esc.pressed()) {
        XOUT("Manueller Abbruch - Bitte warten... ");
        reading = false;
        escaped = true;
        // Titles not yet asked are given up, and with them every title after the first
        // of them: the pass ends with a run of titles in key order, as it would in turn.
        workers.drop_waiting();
        auto first_dropped = std::find_if(window.begin(), window.end(),
                                          [&](const Pending& p) { return p.ticket && workers.dropped(p.ticket); });
        window.erase(first_dropped, window.end());
      }
      if (!settled_any && !window.empty()) workers.wait_for_any(std::chrono::milliseconds(EscPoll::kIntervalMs));
    }
    shown.finish(counts.found, workers.exchanges());
    workers_ = nullptr;
  }

  // The ISBN-10 to ask the server about ahead of the title's turn; "" when, as far as
  // the tables tell now, the title will not go to the server.
  std::string asked_ahead(const std::string& isbn) {
    if (server_->breaker.tripped()) return {};
    const TitleNumbers n = numbers_of(isbn, true);
    if (n.i10.empty() || !is_askable(n.i10)) return {};
    if (!n.i13.empty() &&
        (find_either_case(*t_.cover_keys, n.i13) || (t_.import && find_either_case(*t_.import, n.i13)) ||
         find_either_case(*t_.not_found_keys, n.i13))) {
      return {};
    }
    return n.i10;
  }

  void settle(Pending& title) {
    counts.last_isbn = title.isbn;
    std::string isbn = title.isbn;
    head_ = &title;
    const bool found = look_up(isbn);
    head_ = nullptr;
    // Answers asked ahead for a title that did not need them are let go.
    if (title.ticket) workers_->take(title.ticket);
    if (!isbn.empty()) ++(found ? counts.found : counts.not_found);
  }

  // The answers about the title whose turn it is: those asked ahead, or, when it was
  // not asked ahead, asked now before every waiting title.
  TitleAnswers answers_for(const std::string& i10) {
    LookupWorkers::Ticket ticket = head_ != nullptr && head_->i10 == i10 ? head_->ticket : nullptr;
    if (!ticket) ticket = workers_->submit(i10, true);
    workers_->wait_for(ticket);
    return workers_->take(ticket);
  }

  std::size_t asked_limit() const { return static_cast<std::size_t>(config_.connections); }
  bool stop_reached(std::uint64_t tenths) const {
    return config_.stop_percent != 0 && static_cast<long long>(tenths) >= config_.stop_percent * 10LL;
  }

  // One title: true when it got a cover now. isbn is cleared when the title is not to
  // be counted (it already has a cover, or the server said "no" in an earlier run).
  bool look_up(std::string& isbn) {
    TitleNumbers n = numbers_of(isbn, config_.internet);
    if (!n.i13.empty() && find_either_case(*t_.cover_keys, n.i13)) {
      isbn.clear();
      return true;
    }
    if (!n.i13.empty() && t_.import && from_import(n.i13)) return true;
    if (!config_.internet) return false;
    if (!n.i13.empty() && find_either_case(*t_.not_found_keys, n.i13)) {
      isbn.clear();
      return false;
    }
    return !n.i10.empty() && from_server(n.i10);
  }

  bool from_import(const std::string& i13) {
    if (!find_either_case(*t_.import, i13)) return false;
    // A cover that cannot be read is not copied: the title would keep an empty one.
    const std::optional<std::string> image = t_.import->cover();
    if (!image) return false;
    return append_keyed(*t_.cover, *t_.cover_keys, i13, &*image);
  }

  // A title the server could not be asked about (no usable server, the breaker had
  // tripped, no definite answer) is not "not found there": it is counted apart.
  bool from_server(const std::string& i10) {
    if (!server_ || server_->breaker.tripped()) {
      ++counts.not_asked;
      return false;
    }
    const CoverOutcome outcome =
        workers_ == nullptr
            ? GETCOVER(i10, *server_, steps_)
            : settle_title(i10, is_askable(i10) ? answers_for(i10) : TitleAnswers{}, server_->breaker, steps_);
    switch (outcome) {
      case CoverOutcome::image: ++counts.server_found; break;
      case CoverOutcome::not_found: ++counts.server_not_found; break;
      case CoverOutcome::unreachable: ++counts.not_asked; break;
    }
    if (server_->breaker.tripped() && !breaker_reported_) {
      XOUT(breaker_warning(server_->breaker.reason()));
      breaker_reported_ = true;
      if (workers_ != nullptr) workers_->stop_asking();
    }
    return outcome == CoverOutcome::image;
  }

  const RunConfig& config_;
  Tables& t_;
  std::optional<CoverServer> server_;
  std::optional<ServerNotices> notices_;  // with server_
  CoverSteps steps_;
  bool breaker_reported_ = false;
  LookupWorkers* workers_ = nullptr;  // while titles are asked ahead
  Pending* head_ = nullptr;           // the title being settled
};

// The pool table read-only in ISBN order, its index made first when it is missing.
std::unique_ptr<DbfTable> open_pool_in_order(const RunConfig& config) {
  const std::string table = pool_table_path(config.medium_root);
  const std::string index = pool_index_path(config.medium_root, config.index_mode);
  if (!platform::file_exists(table)) return nullptr;
  // Read-only below: a header a killed run left behind is mended here.
  mend_table(table, config.index_mode);
  repair_pool_index(config.medium_root, config.index_mode, config.exclusive);
  if (!platform::file_exists(index)) return nullptr;
  auto pool = open_pool_table(table, table_open_options(config.index_mode, config.exclusive, "POOL").with_read_only());
  if (pool && (!pool->add_index(index) || pool->order() == 0)) {
    pool->close();
    return nullptr;
  }
  if (pool) pool->go_top();
  return pool;
}

// Positions the pool table on the first key that begins with `Start`; at its end when
// there is none, so the pass handles no record.
void go_to_start(DbfTable& pool, const RunConfig& config) {
  if (config.start_isbn.empty()) return;
  const std::string key = start_key(config.start_isbn);
  if (key.empty() || pool.seek(key)) return;
  XOUT("Warnung: Kein Eintrag in " + pool.path() + " beginnt mit " + config.start_isbn + ".");
}

bool prepare_cover_table(const RunConfig& config) {
  return platform::file_exists(config.cover_dbf) || create_cover_table(config.cover_dbf, !config.exclusive);
}

bool prepare_not_found_table(const NotFoundPlace& place, const RunConfig& config) {
  if (platform::file_exists(place.path)) return true;
  if (place.moved) {
    XOUT("Warnung: Der Ordner des Programms ist schreibgesch\xFCtzt, " + place.path + " wird beim Cover-Katalog angelegt.");
  }
  return create_not_found_table(place.path, !config.exclusive);
}

void print_settings(const RunConfig& config) {
  XOUT(summary_line("Datentr\xE4ger-Coverdatei", config.cover_dbf));
  if (!config.cover_import_dbf.empty()) XOUT(summary_line("DBF-Importdatei mit Covers", config.cover_import_dbf));
  XOUT(summary_line("Cover aus Internet herunterladen", config.internet ? "Ja" : "nein"));
}

}  // namespace

std::string start_key(std::string_view start) {
  const std::string value = compact_upper(start);
  if (value.empty() || value.front() == 'M' || !isbn::ISISBN10(value)) return value;
  const std::string ean = compact_upper(isbn::ISBN2EAN(value));
  return ean.empty() ? value : ean;
}

std::string lookup_figure(const LookupProgress& p) {
  const std::uint64_t done = std::min(p.done, p.total);
  const double rate = p.seconds > 0 ? static_cast<double>(p.exchanges) / p.seconds : 0.0;
  const std::string left = time_left(done, p.total, p.seconds);
  // Fields of steady width, so a shorter figure leaves nothing of the one before.
  const int width = static_cast<int>(std::to_string(p.total).size());
  char figure[160];
  std::snprintf(figure, sizeof figure, "%*llu/%llu Titel, %*llu Cover, %7.1f Abrufe/s, noch %8s, %5s", width,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(p.total), width,
                static_cast<unsigned long long>(p.covers), rate, left.c_str(),
                tenths_figure(progress_tenths(done, p.total)).c_str());
  return figure;
}

std::vector<std::string> cover_statistics(const CoverCounts& c, const TableSizes& sizes, bool internet) {
  std::vector<std::string> lines;
  if (internet && c.not_asked > 0) {
    lines.push_back("Warnung: " + std::to_string(c.not_asked) + " Titel konnten nicht im Internet gesucht werden.");
  }
  lines.emplace_back();
  lines.push_back(statistics_line("Gefundene ISBN-Cover", c.found));
  lines.push_back(statistics_line("Nicht-gefundene Cover", c.not_found));
  lines.push_back(statistics_line("Bearbeitete ISBN", c.found + c.not_found));
  if (internet) {
    lines.emplace_back();
    lines.push_back(statistics_line("Im Internet gefunden", c.server_found));
    lines.push_back(statistics_line("Im Internet nicht gefunden", c.server_not_found));
    lines.push_back(statistics_line("Internetzugriffe ingesamt", c.server_found + c.server_not_found));
  }
  lines.emplace_back();
  lines.push_back(statistics_line("Eintr\xE4ge in pool.dbf", sizes.pool));
  lines.push_back(statistics_line("Vorhandene Cover", sizes.covers) + percent_suffix(sizes.covers, sizes.pool));
  const std::uint64_t handled = sizes.covers + sizes.not_found;
  lines.push_back(statistics_line("Bearbeitete Eintr\xE4ge", handled) + percent_suffix(handled, sizes.pool));
  lines.push_back(summary_line("Letzter ISBN-Eintrag", isbn::ISBN2EAN(c.last_isbn)));
  return lines;
}

void run_cover_phase(const RunConfig& config, std::string_view executable) {
  if (!prepare_cover_table(config)) return;
  print_settings(config);

  Tables tables;
  tables.cover = open_keyed_table(config.cover_dbf, CoverTable::cover, cover_open_options(config.exclusive, "COVER"));
  if (!tables.cover) return;
  if (!config.cover_import_dbf.empty()) tables.import = ImportTable::open(config.cover_import_dbf, config.exclusive);
  const NotFoundPlace place = not_found_place(config, executable);
  if (prepare_not_found_table(place, config)) {
    tables.not_found = open_keyed_table(place.path, CoverTable::not_found, cover_open_options(config.exclusive, "NOTFOUND"));
  }
  if (!tables.not_found) {
    tables.close_all();
    return;
  }
  tables.cover_keys.emplace(*tables.cover);
  tables.not_found_keys.emplace(*tables.not_found);
  tables.pool = open_pool_in_order(config);
  if (tables.pool) go_to_start(*tables.pool, config);

  CoverPass pass(config, tables);
  XOUT();
  XOUT("Suche nach Covers... ");
  ProgressDisplay progress;
  if (tables.pool) pass.run(progress);

  TableSizes sizes;
  sizes.pool = tables.pool ? tables.pool->record_count() : 0;
  sizes.covers = tables.cover->record_count();
  sizes.not_found = tables.not_found->record_count();
  for (const std::string& line : cover_statistics(pass.counts, sizes, config.internet)) XOUT(line);
  tables.close_all();
}

void cover_index_repair(PhaseContext& context) { repair_cover_indexes(context.config, files::I_EXENAME()); }

void pool_table_check(PhaseContext& context) {
  const std::string path = pool_table_path(context.config.medium_root);
  context.pool_table_present = platform::file_exists(path);
  if (!context.pool_table_present) XOUT("Error: Datei " + path + " nicht vorhanden!");
}

void cover_phase(PhaseContext& context) { run_cover_phase(context.config, files::I_EXENAME()); }

}  // namespace torvane::app
