#pragma once
// The look-ups of a cover pass with several exchanges in flight (`Connections` above 1).
//
// A fixed number of threads each take the next title from a queue and ask the server
// about it (ask_title): the four request paths of that title in order, each over a
// fresh connection, the next only after the one before brought no image. So at most
// `count` exchanges are in flight, and at most `count` bodies are being received. The
// threads touch no table and no console: the pass, on its own thread, takes the answers
// in its key order and settles them (settle_title), so the tables are written on one
// thread in the same order as with one connection.
//
// A title's state:
//   waiting --(a thread takes it)--> asking --(answers complete)--> done
//   waiting --(drop_waiting)--> dropped          (never asked: no answers)
//   done --(take)--> taken                         (the answers moved to the pass)
// stop_asking() also makes the titles being asked end before their next attempt.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/covers/cover_download.h"

namespace torvane::app {

class LookupWorkers {
 public:
  struct Title;
  using Ticket = std::shared_ptr<Title>;

  LookupWorkers(int count, CoverFetch fetch, LookupLimits limits);
  // Drops the waiting titles, stops the ones being asked after their current attempt
  // and waits for the threads: at most one exchange's time.
  ~LookupWorkers();
  LookupWorkers(const LookupWorkers&) = delete;
  LookupWorkers& operator=(const LookupWorkers&) = delete;

  // Queues an upper-cased ISBN-10; an urgent title goes before the waiting ones.
  Ticket submit(std::string isbn10, bool urgent = false);

  // done, dropped or taken: the ticket will not change any more.
  bool settled(const Ticket& ticket) const;
  bool dropped(const Ticket& ticket) const;
  // The answers of a done title, moved out (empty for any other).
  TitleAnswers take(const Ticket& ticket);
  // Waits until the ticket is settled.
  void wait_for(const Ticket& ticket);

  // Titles not yet taken by a thread are dropped.
  void drop_waiting();
  // The titles being asked make no further attempt; nothing is asked any more.
  void stop_asking();

  // Waits until some title is settled or at_most has passed.
  void wait_for_any(std::chrono::milliseconds at_most);

  // Bytes of the images held by done titles whose answers were not taken yet.
  std::uint64_t held_image_bytes() const;
  // Exchanges finished so far.
  std::uint64_t exchanges() const;

 private:
  void work();

  const CoverFetch fetch_;
  const LookupLimits limits_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;   // a title was queued, or the workers are to stop
  std::condition_variable settled_;  // a title was settled
  std::deque<Ticket> waiting_;
  bool stopping_ = false;
  std::uint64_t settled_count_ = 0;
  std::uint64_t held_bytes_ = 0;
  std::uint64_t exchanges_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace torvane::app
