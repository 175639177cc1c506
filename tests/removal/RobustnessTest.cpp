// An uninstaller that leaves a background process holding its output: the run ends when the
// script itself has exited, and what it said is shown as ever.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

#include "Removal.h"
#include "removal/Uninstaller.h"

using removal_testing::Removal;
using testing_support::read;
using Uninstaller::Outcome;

using UninstallerRobustness = Removal;

TEST_F(UninstallerRobustness, TheRunEndsWhenTheScriptHasExited) {
  const std::string script =
      "echo 'Stopping'\n"
      "sleep 1000 &\n"
      "echo $! > \"$HOME/background-pid\"\n"
      "echo '✓ Stopped the console'\n"
      "exit 0\n";
  std::packaged_task<std::optional<Outcome>()> task(
      [&] { return Uninstaller::run(script, std::nullopt); });
  auto outcome = task.get_future();
  std::thread runner(std::move(task));
  EXPECT_EQ(outcome.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the run waited for the script's background process";
  // The background process is ended either way, so that no wait outlives the test.
  const std::string pid = read(home / "background-pid");
  if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
  runner.join();
  EXPECT_EQ(outcome.get(), (Outcome{true, "✓ Stopped the console"}));
}
