// The update as the user meets it: the menu's update line, the relaunch (this version quits
// only once the new one has said it is up; one that crashes, cannot run or never answers is
// stopped and the old bundle goes back), and what the user is told when it fails.
#include <signal.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "app/Manager.h"
#include "placement/Identity.h"
#include "setup/Installer.h"
#include "support/ScriptedUi.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::namesIn;
using testing_support::spinUntil;

namespace {

class Updating : public Releasing {
 protected:
  Updating() { setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1); }
  ~Updating() override { unsetenv("QUENDREL_RELAUNCH_SECONDS"); }

  // Launches and waits for the update line to read `wanted`.
  bool launchUntil(const std::string& wanted) {
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
    return spinUntil([&] { return line() == wanted; }, 60);
  }
  std::string line() const { return ui.item->title(Manager::updateLine); }
  bool clickable() const { return ui.item->enabled(Manager::updateLine); }
  // The one alert shown, a warning with one OK: its informative text.
  std::string warned() const {
    if (ui.alerts.size() != 1 || ui.alerts[0].style != Platform::AlertStyle::warning ||
        ui.alerts[0].message != "Quendrel was not updated." || !ui.alerts[0].buttons.empty())
      return "not one warning that Quendrel was not updated";
    return ui.alerts[0].informative;
  }
  // The process of the version's program, once it has started.
  pid_t pidOf(const std::string& version) const {
    const std::string noted = read(home / (version + ".pid"));
    return noted.empty() ? -1 : std::stoi(noted);
  }

  testing_support::ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

// Whether nothing newer is fetched is the quendrelctl tests' business (it checks as the menu
// does).
TEST_F(Updating, AFetchThatFailsLeavesNothingToClick) {
  offer("not a disk image"), download = "something else";
  EXPECT_TRUE(launchUntil("Quendrel 2.0 could not be fetched")) << line();
  EXPECT_FALSE(clickable());
}

// Then, with the new version put back in reach, the relaunch goes through: this version
// quits only once the new one, started as a new instance, has said it is up.
TEST_F(Updating, WhatKeepsTheNewVersionFromItsPlaceIsToldAndTheClickMayBeTriedAgain) {
  if (!testing_support::inSandbox()) GTEST_SKIP() << "needs a mount namespace of its own";
  const fs::path staged = AppUpdate::staging() / "Quendrel.app", aside = home / "aside.app";
  publish("2.0", "while [ ! -e \"$HOME/go\" ]; do sleep 0.1; done\n" + std::string(saysUp) +
                     "exec sleep 600\n");
  const std::string ready = "Relaunch to finish updating to 2.0";
  ASSERT_TRUE(launchUntil(ready)) << line();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { ASSERT_TRUE(testing_support::makeReadOnly(home / "Applications")); },
       "Quendrel is in a place it cannot update itself from. Move it to your Applications folder "
       "first."},
      {[&] { fs::rename(staged, aside); },
       "Could not put the new Quendrel in place: No such file or directory"},
      // A copy that stays to finish a setup would run beside the new version.
      {[] { Installer::running = true; },
       "Quendrel is setting up, and cannot relaunch until that has finished. Try again once it "
       "is done."},
  };
  for (const auto& [spoil, why] : cases) {
    ui.alerts.clear();
    spoil();
    ui.item->choose(Manager::updateLine);
    EXPECT_EQ(warned(), why + "\n\nThe version you have is untouched and still working.");
    EXPECT_TRUE(line() == ready && clickable()) << why << ": the user may try again";
    umount((home / "Applications").c_str());  // writable again, where it was made read-only
    Installer::running = false;
    if (fs::exists(aside)) fs::rename(aside, staged);
  }
  ui.alerts.clear();
  ui.item->choose(Manager::updateLine);
  ASSERT_TRUE(spinUntil([&] { return pidOf("2.0") > 0; }, 60));
  Platform::turnLoop(0.5);
  EXPECT_FALSE(manager->terminated()) << "not before the new version is up";
  testing_support::write(home / "go", "");
  ASSERT_TRUE(spinUntil([&] { return manager->terminated(); }, 60));
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_EQ(kill(pidOf("2.0"), SIGKILL), 0) << "the new version runs on";
  EXPECT_EQ(testing_support::starts(), "2.0 1\n") << "2.0 alone, as a new instance";
  EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
}

TEST_F(Updating, ANewVersionThatDoesNotComeUpIsStoppedAndTheOldOneCarriesOn) {
  const std::tuple<std::string, std::string, unsigned> cases[] = {
      {"2.1", "kill -SEGV $$\n", 0755},  // crashes at launch
      {"2.2", "", 0644},                 // cannot run
      // Never answers in time: it must not carry on beside this one.
      {"2.3", std::string("sleep 30\n") + saysUp, 0755},
  };
  const auto before = testing_support::snapshot(ours);
  for (const auto& [version, program, mode] : cases) {
    SCOPED_TRACE(version);
    if (version == "2.3") setenv("QUENDREL_RELAUNCH_SECONDS", "2", 1);
    ui.alerts.clear();
    publish(version, program, mode);
    ASSERT_TRUE(launchUntil("Relaunch to finish updating to " + version)) << line();
    ui.item->choose(Manager::updateLine);
    spinUntil([&] { return !ui.alerts.empty() || manager->terminated(); }, 60);
    Platform::turnLoop(0.5);
    EXPECT_FALSE(manager->terminated()) << "this version carries on";
    EXPECT_EQ(warned(), "The new version could not be opened, so this one carries on.");
    EXPECT_EQ(testing_support::difference(before, testing_support::snapshot(ours)), "")
        << "the old bundle stands where it stood";
    EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
    if (pid_t pid = pidOf(version); pid > 0) {
      EXPECT_NE(kill(pid, 0), 0) << "the new version does not run on";
      kill(-pid, SIGKILL);  // what it started, such as its sleep
    }
    // The same relaunch is not offered again.
    EXPECT_EQ(line(), "Quendrel " + version + " could not be opened");
    EXPECT_FALSE(clickable());
  }
}
