#include "app/covers/lookup_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace torvane::app {
namespace {

using std::chrono::milliseconds;

std::string gif(std::size_t size) {
  std::string g = "GIF89a";
  g.resize(size, 'g');
  return g;
}

// A server that takes `pause` per exchange, has an image for the third path of every
// title ending in "3", answers 404 otherwise, and notes how many exchanges overlap.
struct SlowServer {
  milliseconds pause{20};
  std::atomic<int> in_flight{0}, most_in_flight{0};
  std::mutex mutex;
  std::map<std::string, std::vector<std::string>> paths;  // by title

  CoverFetch fetch() {
    return [this](std::string_view path, milliseconds) {
      const int now = ++in_flight;
      for (int most = most_in_flight; now > most && !most_in_flight.compare_exchange_weak(most, now);) {
      }
      std::this_thread::sleep_for(pause);
      const std::string title(path.substr(10, 10));
      {
        std::lock_guard lock(mutex);
        paths[title].emplace_back(path);
      }
      --in_flight;
      const bool image = title.back() == '3' && path.find(".TZZZZZZZ.jpg") != std::string_view::npos;
      HttpResponse r;
      r.end = ExchangeEnd::complete;
      r.status = image ? 200 : 404;
      r.body = image ? gif(1000) : "";
      r.elapsed = milliseconds(1);
      return r;
    };
  }
};

TEST(LookupWorkers, AtMostCountInFlightAndEachTitleInItsOrder) {
  SlowServer server;
  std::vector<LookupWorkers::Ticket> tickets;
  {
    LookupWorkers workers(3, server.fetch(), lookup_limits(1000));
    for (int i = 0; i < 8; ++i) tickets.push_back(workers.submit("316148410" + std::to_string(i)));
    for (const auto& ticket : tickets) workers.wait_for(ticket);
    EXPECT_EQ(workers.exchanges(), 7u * 4u + 3u);
    EXPECT_EQ(workers.held_image_bytes(), 1000u);
    const TitleAnswers found = workers.take(tickets[3]);
    ASSERT_EQ(found.size(), 3u);  // the third path brought the image: no fourth
    EXPECT_EQ(found.back().answer, Answer::image);
    EXPECT_EQ(found.back().image, gif(1000));
    EXPECT_EQ(workers.held_image_bytes(), 0u);
    EXPECT_TRUE(workers.take(tickets[3]).empty());  // taken once
    EXPECT_EQ(workers.take(tickets[0]).size(), 4u);
  }
  EXPECT_EQ(server.most_in_flight, 3);
  for (const auto& [title, paths] : server.paths) {
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + 2),
              (std::vector<std::string>{"/images/P/" + title + ".03.MZZZZZZZ.jpg", "/images/P/" + title + ".03.MZZZZZZZ.gif"}));
  }
}

TEST(LookupWorkers, DroppingAndStopping) {
  SlowServer server;
  server.pause = milliseconds(40);
  LookupWorkers workers(1, server.fetch(), lookup_limits(1000));
  const auto first = workers.submit("3161484100");
  const auto second = workers.submit("3161484101");
  const auto urgent = workers.submit("3161484102", true);
  // The first is taken at once; the urgent one goes before the second.
  while (server.in_flight == 0) std::this_thread::sleep_for(milliseconds(1));
  workers.wait_for(urgent);
  EXPECT_FALSE(workers.settled(second));
  workers.drop_waiting();
  EXPECT_TRUE(workers.dropped(second));
  EXPECT_TRUE(workers.take(second).empty());
  workers.wait_for(first);
  EXPECT_EQ(workers.take(first).size(), 4u);  // begun before the drop: finished

  // Once stopped, a title being asked makes no further attempt and nothing new is asked.
  const auto last = workers.submit("3161484104");
  while (server.in_flight == 0) std::this_thread::sleep_for(milliseconds(1));
  workers.stop_asking();
  workers.wait_for(last);
  EXPECT_EQ(workers.take(last).size(), 1u);
  EXPECT_TRUE(workers.dropped(workers.submit("3161484105")));
}

}  // namespace
}  // namespace torvane::app
