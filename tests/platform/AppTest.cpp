// The running application: quit requests, re-opening, and work handed to the main thread.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <numeric>
#include <thread>

#include "platform/App.h"
#include "platform/Queue.h"

using namespace Platform;

namespace {

// Runs `then` from the event loop, and the loop until something calls exit; a stuck test ends
// with -1 instead of hanging.
int loopAfter(const std::function<void()>& then) {
  QTimer::singleShot(0, then);
  QTimer::singleShot(20000, [] { QCoreApplication::exit(-1); });
  return QCoreApplication::exec();
}

}  // namespace

TEST(App, QuitRequestsAskTheHandlerAndALaterLaunchAsksTheRunningOneToReopen) {
  setenv(newInstanceVariable, "1", 1);
  EXPECT_TRUE(markedAsNewInstance());
  EXPECT_EQ(std::getenv(newInstanceVariable), nullptr);
  EXPECT_TRUE(markedAsNewInstance()) << "still known after the variable has gone";

  int asked = 0;
  onTerminationRequest([&asked] { QCoreApplication::exit(++asked); });
  EXPECT_EQ(loopAfter([] { std::raise(SIGTERM); }), 1);
  EXPECT_EQ(loopAfter([] { std::raise(SIGINT); }), 2);
  EXPECT_EQ(loopAfter([] { QCoreApplication::quit(); }), 3) << "quit() alone would give 0";

  // The re-open name includes the display: one of its own keeps test programs apart.
  setenv("DISPLAY", (":quendrel-test-" + std::to_string(getpid())).c_str(), 1);
  EXPECT_FALSE(askRunningToReopen()) << "nobody listens yet";
  onReopen([] { QCoreApplication::exit(7); });
  bool handedOver = false;
  EXPECT_EQ(loopAfter([&handedOver] { handedOver = askRunningToReopen(); }), 7);
  EXPECT_TRUE(handedOver);
}

// A copy on its way out may still be asked to quit, by another copy closing it: once its
// application object has gone, the request is dropped and the copy finishes its exit.
TEST(App, ARequestToQuitAfterTheApplicationHasGoneIsDropped) {
  const pid_t child = fork();
  if (child == 0) {
    onTerminationRequest([] {});
    delete QCoreApplication::instance()->children().last();  // the watch just made
    std::raise(SIGTERM);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(Queue, WorkFromOtherThreadsRunsOnTheMainThreadInOrderAndSeesWhatItsPosterWrote) {
  constexpr int posters = 4, each = 200;
  const auto mainThread = std::this_thread::get_id();
  // Written by each poster before it posts, read by the work on the main thread: plain memory,
  // so only the hand-over orders the two. Work that ran elsewhere is seen as -1.
  std::vector<std::vector<int>> written(posters, std::vector<int>(each)), seen(posters);
  std::atomic<int> ran{0};
  std::vector<std::jthread> threads;
  for (int p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < each; ++i) {
        written[p][i] = i;
        onMain([&, p, i] {
          seen[p].push_back(std::this_thread::get_id() == mainThread ? written[p][i] : -1);
          ++ran;
        });
      }
    });
  }
  // Delivered straight from the queue, without the event loop's wake-up in between.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ran < posters * each && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::sendPostedEvents();
  }
  threads.clear();
  std::vector<int> inOrder(each);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  EXPECT_EQ(seen, std::vector<std::vector<int>>(posters, inOrder));
}
