// A payload script that leaves a background process holding its output: the setup run goes
// on when the script itself has exited and finishes without waiting for that process.
#include <gtest/gtest.h>
#include <signal.h>

#include "SetupFixture.h"
#include "platform/Queue.h"
#include "setup/Installer.h"

using namespace setup_testing;
using testing_support::read;
using testing_support::write;

namespace {

int argc = 1;
char programName[] = "setup_tests";
char* argv[] = {programName, nullptr};

// The payload's agent script, starting a long background process as it installs the agent.
constexpr const char* agentLeavingABackgroundProcess = R"sh(#!/bin/bash
cd "$(dirname "$0")" || exit 1
[ "${1:-}" = install ] || { echo "agent.sh: no such command ${1:-}"; exit 1; }
sleep 1000 &
echo $! >> "$HOME/background-pids"
echo installed > agent-installed
)sh";

// The payload's setup script with a background process of its own in front.
constexpr const char* setupLeavingABackgroundProcess = R"sh(
sleep 1000 &
echo $! >> "$HOME/background-pids"
)sh";

class Grandchild : public ::testing::Test {
 protected:
  ~Grandchild() override {
    // Whatever the run did, the background processes end with the test; a run still waiting
    // for one goes on to its next script once it has ended, which may start another.
    endBackgroundProcesses();
    waitFor([] { return !Installer::running; });
    endBackgroundProcesses();
  }

  void endBackgroundProcesses() {
    std::string pids = read(computer.home / "background-pids");
    for (size_t at = 0; at < pids.size();) {
      size_t end = pids.find('\n', at);
      if (end == std::string::npos) end = pids.size();
      if (end > at) ::kill(std::stoi(pids.substr(at, end - at)), SIGKILL);
      at = end + 1;
    }
  }

  Platform::EventLoop loop{argc, argv};
  Computer computer;
};

}  // namespace

TEST_F(Grandchild, AFinishedSetupDoesNotWaitForTheScriptsBackgroundProcesses) {
  std::string setup = read(computer.payload / "setup.sh");
  setup.insert(setup.find('\n') + 1, setupLeavingABackgroundProcess);
  write(computer.payload / "setup.sh", setup, 0755);
  write(computer.payload / "agent.sh", agentLeavingABackgroundProcess, 0755);

  Outcome outcome = setUp();
  EXPECT_TRUE(outcome.ok) << outcome.message;
  EXPECT_EQ(read(computer.desk() / "agent-installed"), "installed\n");
  EXPECT_FALSE(fs::exists(computer.marker())) << "the run finished";
}
