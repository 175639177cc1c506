// Work handed to the main thread from other threads, while the main thread's loop turns.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Queue.h"

TEST(Queue, WorkFromOtherThreadsRunsOnTheMainThreadInOrderAndSeesWhatItsPosterWrote) {
  constexpr int posters = 4, each = 200;
  const auto mainThread = std::this_thread::get_id();
  // Written by each poster before it posts, read by the work on the main thread: plain memory,
  // so only the hand-over orders the two.
  std::vector<std::vector<int>> written(posters, std::vector<int>(each, -1));
  std::vector<std::vector<int>> seen(posters);
  int elsewhere = 0;
  std::atomic<int> ran{0};

  std::vector<std::thread> threads;
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < each; ++i) {
        written[p][i] = i;
        Platform::onMain([&, p, i] {
          if (std::this_thread::get_id() != mainThread) ++elsewhere;
          seen[p].push_back(written[p][i]);
          ++ran;
        });
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ran < posters * each && std::chrono::steady_clock::now() < deadline) {
    // Delivered straight from the queue, without the event loop's wake-up in between.
    QCoreApplication::sendPostedEvents();
  }
  for (auto& t : threads) t.join();

  ASSERT_EQ(ran, posters * each);
  EXPECT_EQ(elsewhere, 0);
  std::vector<int> inOrder(each);
  for (int i = 0; i < each; ++i) inOrder[i] = i;
  for (int p = 0; p < posters; ++p) EXPECT_EQ(seen[p], inOrder) << "poster " << p;
}
