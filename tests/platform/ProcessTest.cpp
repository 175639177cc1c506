// A child that leaves a background process of its own holding its output: the run ends when
// the child itself has exited, with all it wrote and its own exit status.
#include "platform/Process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "support/Home.h"

using testing_support::Home;
using testing_support::read;
namespace fs = std::filesystem;

namespace {

// Runs the command on a thread of its own. A run that has not returned within a minute fails
// the test; the background process (its id in `pidFile`) is ended either way, so that no wait
// outlives the test.
Platform::Ran runEndingLeftovers(const Platform::Command& command, const fs::path& pidFile) {
  std::packaged_task<Platform::Ran()> task(
      [&] { return Platform::run(command, Platform::Output::pipe); });
  auto ran = task.get_future();
  std::thread runner(std::move(task));
  const bool returned = ran.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the run waited for the background process";
  const std::string pid = read(pidFile);
  if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
  runner.join();
  return ran.get();
}

}  // namespace

TEST(Process, ARunEndsWhenTheChildExitsThoughItsBackgroundProcessHoldsTheOutput) {
  struct Case {
    std::string script;
    int status;
    std::string output;
  } cases[] = {
      {"echo before\nsleep 1000 &\necho $! > \"$HOME/background-pid\"\necho after >&2\nexit 3\n", 3,
       "before\nafter\n"},
      // Far more than a pipe holds, so the child is still writing while we read: all is kept.
      {"sleep 1000 &\necho $! > \"$HOME/background-pid\"\nhead -c 300000 /dev/zero | tr '\\0' x\n"
       "echo; echo last\n",
       0, std::string(300000, 'x') + "\nlast\n"},
  };
  for (const auto& c : cases) {
    Home home;
    auto ran = runEndingLeftovers({"/bin/bash", {"-c", c.script}, ""}, home / "background-pid");
    const auto* exited = std::get_if<Platform::Exited>(&ran);
    ASSERT_NE(exited, nullptr);
    EXPECT_EQ(exited->status, c.status);
    EXPECT_EQ(exited->output, c.output);
  }
}

TEST(Process, OutputThatOutlivesAQuietChildIsStillRead) {
  Home home;
  // The child's own output comes through a short-lived helper that writes a moment after it
  // was started; the child waits for it, so everything is there when the child exits.
  auto ran = Platform::run({"/bin/bash", {"-c", "(sleep 0.2; echo late) & wait; echo done"}, ""},
                           Platform::Output::pipe);
  const auto* exited = std::get_if<Platform::Exited>(&ran);
  ASSERT_NE(exited, nullptr);
  EXPECT_EQ(exited->output, "late\ndone\n");
}
