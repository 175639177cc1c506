// The relaunch into a new version: this version quits only once the new one has said it is
// up; a new version that crashes, cannot run or never answers is stopped, the old bundle goes
// back where it stood, and the user is told once.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "app/Manager.h"
#include "placement/Identity.h"
#include "support/Bundles.h"
#include "support/ScriptedUi.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
namespace fs = std::filesystem;

namespace {

class Relaunching : public Releasing {
 protected:
  void SetUp() override {
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  }
  void TearDown() override { unsetenv("QUENDREL_RELAUNCH_SECONDS"); }

  // Publishes this version with this program (its start noted first), and launches 1.0
  // until it offers to relaunch into it.
  void offer(const std::string& version, const std::string& program, unsigned mode = 0755) {
    const fs::path app = home / ("build-" + version + "/Quendrel.app");
    App made = noting(version);
    made.script = "#!/bin/bash\necho \"$$\" > \"$HOME/" + version + ".pid\"\n" + program;
    makeApp(app, made, nullptr);
    fs::permissions(app / "Contents/MacOS/Quendrel", static_cast<fs::perms>(mode));
    auto ran = release(app, key, home / "releases");
    ASSERT_EQ(ran.status, 0) << ran.output;
    serve(home / "releases");
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
    ASSERT_TRUE(
        spinUntil([&] { return line() == "Relaunch to finish updating to " + version; }, 60))
        << line();
  }

  std::string line() const { return ui.item->title(Manager::updateLine); }
  // The process of the version's program, once it has started.
  pid_t pidOf(const std::string& version) const {
    const std::string noted = testing_support::read(home / (version + ".pid"));
    return noted.empty() ? -1 : std::stoi(noted);
  }

  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(Relaunching, ANewVersionThatDoesNotComeUpIsStoppedAndTheOldOneCarriesOn) {
  const struct {
    const char* what;
    std::string version;
    std::string program;
    unsigned mode;
  } cases[] = {
      {"crashes at launch", "2.1", "kill -SEGV $$\n", 0755},
      {"cannot run", "2.2", "", 0644},
      // Its answer would come after the bound: it must not carry on beside this one.
      {"never answers in time", "2.3", std::string("sleep 30\n") + testing_support::saysUp, 0755},
  };
  install();
  const auto before = testing_support::snapshot(ours);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.version == "2.3") setenv("QUENDREL_RELAUNCH_SECONDS", "2", 1);
    ui.alerts.clear();
    offer(c.version, c.program, c.mode);
    ui.item->choose(Manager::updateLine);
    spinUntil([&] { return !ui.alerts.empty() || manager->terminated(); }, 60);
    Platform::turnLoop(0.5);
    EXPECT_FALSE(manager->terminated()) << "this version carries on";
    EXPECT_EQ(ui.alerts.size(), 1u) << "told once";
    for (const auto& alert : ui.alerts) {
      EXPECT_EQ(alert.style, Platform::AlertStyle::warning);
      EXPECT_EQ(alert.message, "Quendrel was not updated.");
      EXPECT_EQ(alert.informative, "The new version could not be opened, so this one carries on.");
    }
    EXPECT_EQ(testing_support::difference(before, testing_support::snapshot(ours)), "")
        << "the old bundle stands where it stood";
    EXPECT_EQ(testing_support::namesIn(ours.parent_path()),
              std::vector<std::string>{"Quendrel.app"});
    if (pid_t pid = pidOf(c.version); pid > 0) {
      EXPECT_NE(kill(pid, 0), 0) << "the new version does not run on";
      kill(-pid, SIGKILL);  // what it started, such as its sleep
    }
    // The same relaunch is not offered again.
    EXPECT_EQ(line(), "Quendrel " + c.version + " could not be opened");
    EXPECT_FALSE(ui.item->enabled(Manager::updateLine));
    ui.item->choose(Manager::updateLine);
    Platform::turnLoop(0.3);
    EXPECT_EQ(ui.alerts.size(), 1u);
    manager.reset();
  }
}

TEST_F(Relaunching, TheOldVersionQuitsOnceTheNewOneHasSaidItIsUp) {
  install();
  // The new version says it is up only once told to, then runs on.
  offer("2.0", "while [ ! -e \"$HOME/go\" ]; do sleep 0.1; done\n" +
                   std::string(testing_support::saysUp) + "exec sleep 600\n");
  ui.item->choose(Manager::updateLine);
  ASSERT_TRUE(spinUntil([&] { return pidOf("2.0") > 0; }, 60));
  Platform::turnLoop(0.5);
  EXPECT_FALSE(manager->terminated()) << "not before the new version is up";
  testing_support::write(home / "go", "");
  ASSERT_TRUE(spinUntil([&] { return manager->terminated(); }, 60));
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_EQ(kill(pidOf("2.0"), 0), 0) << "the new version runs on";
  kill(pidOf("2.0"), SIGKILL);
  EXPECT_EQ(Settling::version(ours), "2.0");
  EXPECT_TRUE(valid(ours));
  EXPECT_EQ(testing_support::namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"})
      << "the old version is gone, and nothing is left beside the new one";
}
