#include "app/covers/lookup_workers.h"

namespace torvane::app {

struct LookupWorkers::Title {
  enum class State { waiting, asking, done, dropped, taken };
  std::string isbn10;
  State state = State::waiting;
  TitleAnswers answers;  // complete once done
};

namespace {

std::uint64_t image_bytes(const TitleAnswers& answers) {
  std::uint64_t bytes = 0;
  for (const Attempt& attempt : answers) bytes += attempt.image.size();
  return bytes;
}

}  // namespace

LookupWorkers::LookupWorkers(int count, CoverFetch fetch, LookupLimits limits)
    : fetch_(std::move(fetch)), limits_(limits) {
  for (int i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
}

LookupWorkers::~LookupWorkers() {
  stop_asking();
  for (std::thread& thread : threads_) thread.join();
}

LookupWorkers::Ticket LookupWorkers::submit(std::string isbn10, bool urgent) {
  auto title = std::make_shared<Title>();
  title->isbn10 = std::move(isbn10);
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      title->state = Title::State::dropped;
      return title;
    }
    if (urgent) {
      waiting_.push_front(title);
    } else {
      waiting_.push_back(title);
    }
  }
  queued_.notify_one();
  return title;
}

bool LookupWorkers::settled(const Ticket& ticket) const {
  std::lock_guard lock(mutex_);
  return ticket->state != Title::State::waiting && ticket->state != Title::State::asking;
}

bool LookupWorkers::dropped(const Ticket& ticket) const {
  std::lock_guard lock(mutex_);
  return ticket->state == Title::State::dropped;
}

TitleAnswers LookupWorkers::take(const Ticket& ticket) {
  std::lock_guard lock(mutex_);
  if (ticket->state != Title::State::done) return {};
  held_bytes_ -= image_bytes(ticket->answers);
  TitleAnswers answers = std::move(ticket->answers);
  ticket->answers.clear();
  ticket->state = Title::State::taken;
  return answers;
}

void LookupWorkers::wait_for(const Ticket& ticket) {
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [&] { return ticket->state != Title::State::waiting && ticket->state != Title::State::asking; });
}

void LookupWorkers::drop_waiting() {
  {
    std::lock_guard lock(mutex_);
    for (const Ticket& title : waiting_) title->state = Title::State::dropped;
    waiting_.clear();
    ++settled_count_;
  }
  settled_.notify_all();
}

void LookupWorkers::stop_asking() {
  drop_waiting();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
}

void LookupWorkers::wait_for_any(std::chrono::milliseconds at_most) {
  std::unique_lock lock(mutex_);
  const std::uint64_t before = settled_count_;
  settled_.wait_for(lock, at_most, [&] { return settled_count_ != before; });
}

std::uint64_t LookupWorkers::held_image_bytes() const {
  std::lock_guard lock(mutex_);
  return held_bytes_;
}

std::uint64_t LookupWorkers::exchanges() const {
  std::lock_guard lock(mutex_);
  return exchanges_;
}

void LookupWorkers::work() {
  for (;;) {
    Ticket title;
    {
      std::unique_lock lock(mutex_);
      queued_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      title = std::move(waiting_.front());
      waiting_.pop_front();
      title->state = Title::State::asking;
    }
    auto go_on = [&](const TitleAnswers&) {
      std::lock_guard lock(mutex_);
      return !stopping_;
    };
    TitleAnswers answers = ask_title(title->isbn10, fetch_, limits_, go_on);
    {
      std::lock_guard lock(mutex_);
      exchanges_ += answers.size();
      held_bytes_ += image_bytes(answers);
      title->answers = std::move(answers);
      title->state = Title::State::done;
      ++settled_count_;
    }
    settled_.notify_all();
  }
}

}  // namespace torvane::app
