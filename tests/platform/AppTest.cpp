// Quit requests and re-opening, as the running application sees them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/App.h"

using namespace Platform;

namespace {

// Runs the event loop until something calls exit; a stuck test ends with -1 instead of
// hanging.
int loopUntilExit() {
  QTimer::singleShot(20000, [] { QCoreApplication::exit(-1); });
  return QCoreApplication::exec();
}

// The re-open name includes the display: a display of its own keeps concurrent test
// programs apart.
void ownDisplay() {
  setenv("DISPLAY", (":quendrel-test-" + std::to_string(getpid())).c_str(), 1);
}

}  // namespace

TEST(App, NewInstanceMarkIsReadAndRemoved) {
  setenv(newInstanceVariable, "1", 1);
  EXPECT_TRUE(markedAsNewInstance());
  EXPECT_EQ(std::getenv(newInstanceVariable), nullptr);
  EXPECT_TRUE(markedAsNewInstance());  // still known after the variable has gone
}

TEST(App, SignalsAndQuitEventsAskTheHandler) {
  int asked = 0;
  onTerminationRequest([&asked] { QCoreApplication::exit(++asked); });

  QTimer::singleShot(0, [] { std::raise(SIGTERM); });
  EXPECT_EQ(loopUntilExit(), 1);
  QTimer::singleShot(0, [] { std::raise(SIGINT); });
  EXPECT_EQ(loopUntilExit(), 2);
  // Without the handler, quit() would end the loop with 0.
  QTimer::singleShot(0, [] { QCoreApplication::quit(); });
  EXPECT_EQ(loopUntilExit(), 3);
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

TEST(App, ALaterLaunchAsksTheRunningOneToReopen) {
  ownDisplay();
  EXPECT_FALSE(askRunningToReopen());  // nobody listens yet

  onReopen([] { QCoreApplication::exit(7); });
  bool handedOver = false;
  QTimer::singleShot(0, [&handedOver] { handedOver = askRunningToReopen(); });
  EXPECT_EQ(loopUntilExit(), 7);
  EXPECT_TRUE(handedOver);
}
