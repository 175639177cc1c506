// The desk's scripts and files as they may really be: an agent script that leaves a
// background process behind, a change that leaves no passphrase, a VERSION file ending in a
// line break.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <variant>

#include "desk/Agent.h"
#include "desk/Desk.h"
#include "desk/DeskState.h"
#include "desk/Paths.h"
#include "support/Home.h"

using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

// An agent script that does what `body` says for every command.
void writeAgent(const std::string& body) {
  write(Paths::movedInstall() / "agent.sh",
        "#!/bin/bash\ncd \"$(dirname \"$0\")\" || exit 1\n" + body, 0755);
}

// Runs `call` on a thread of its own. A call that has not returned within a minute fails the
// test; the background process the script left (its id in ~/background-pid) is ended either
// way, so that no wait outlives the test.
template <class Result>
Result callEndingLeftovers(const Home& home, std::function<Result()> call) {
  std::packaged_task<Result()> task(std::move(call));
  auto result = task.get_future();
  std::thread caller(std::move(task));
  const bool returned = result.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the call waited for the script's background process";
  const std::string pid = read(home / "background-pid");
  if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
  caller.join();
  return result.get();
}

constexpr const char* leavesABackgroundProcess =
    "sleep 1000 &\n"
    "echo $! > \"$HOME/background-pid\"\n";

}  // namespace

TEST(Robustness, ChangingThePassphraseEndsWhenTheScriptHasExited) {
  Home home;
  writeAgent(std::string(leavesABackgroundProcess) +
             "mkdir -p presets && echo 'cedar meadow whistle' > presets/.access\n"
             "echo 'made a new one'\n");
  auto outcome = callEndingLeftovers<std::variant<Agent::Changed, Agent::NotChanged>>(
      home, [] { return Agent::changePassphrase(); });
  const auto* changed = std::get_if<Agent::Changed>(&outcome);
  ASSERT_NE(changed, nullptr);
  EXPECT_EQ(changed->passphrase, "cedar meadow whistle");
}

TEST(Robustness, StoppingEndsWhenTheScriptHasExited) {
  Home home;
  writeAgent(std::string(leavesABackgroundProcess) + "echo stopped\n");
  EXPECT_TRUE(callEndingLeftovers<bool>(home, [] { return Agent::stop(); }));
}

TEST(Robustness, AChangeThatLeavesNoPassphraseIsNotAChange) {
  Home home;
  for (const char* left : {"", " \n\t\n"}) {
    writeAgent(std::string("mkdir -p presets && printf '") + left +
               "' > presets/.access\n"
               "echo 'writing the passphrase'\necho\necho 'the word list is empty'\n"
               "echo 'nothing was written'\n");
    auto outcome = Agent::changePassphrase();
    const auto* notChanged = std::get_if<Agent::NotChanged>(&outcome);
    ASSERT_NE(notChanged, nullptr) << "left: \"" << left << "\"";
    EXPECT_EQ(notChanged->detail, "the word list is empty\nnothing was written");
  }
}
