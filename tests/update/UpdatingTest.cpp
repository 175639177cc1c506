// The update as the user meets it: the menu's update line, the relaunch, and what the user
// is told when the new version cannot be put in place.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "app/Manager.h"
#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "setup/Installer.h"
#include "support/ScriptedUi.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const std::string upToDate = "Quendrel is up to date";
const std::string getting = "Getting Quendrel 2.0…";
const std::string ready = "Relaunch to finish updating to 2.0";
const std::string notFetched = "Quendrel 2.0 could not be fetched";

class Updating : public Releasing {
 protected:
  void SetUp() override {
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  }

  void launch() {
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
  }
  // Launches and waits for the update line to read `wanted`.
  bool launchUntil(const std::string& wanted) {
    launch();
    return spinUntil([&] { return line() == wanted; }, 60);
  }

  std::string line() const { return ui.item->title(Manager::updateLine); }
  bool clickable() const {
    const auto& l = ui.item->lines().at(Manager::updateLine);
    return l.enabled && l.action;
  }
  void choose() { ui.item->choose(Manager::updateLine); }

  // Chosen, the relaunch puts 2.0 in place alone, starts it and quits this version.
  void expectUpdatedOnChoosing() {
    choose();
    ASSERT_TRUE(spinUntil([&] { return starts() == "2.0 1\n"; })) << starts();
    EXPECT_TRUE(spinUntil([&] { return manager->terminated(); })) << "this version quits";
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_EQ(Settling::version(ours), "2.0");
    EXPECT_TRUE(valid(ours));
    EXPECT_FALSE(fs::exists(staged())) << "the staged copy went in";
    EXPECT_EQ(fs::directory_iterator(home / "Applications")->path(), ours);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(home / "Applications"), fs::directory_iterator()), 1)
        << "the old version is gone, and no copy is left beside it";
  }

  fs::path staged() const { return AppUpdate::staging() / "Quendrel.app"; }

  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(Updating, TheLineFollowsTheFetchAndTheRelaunchPutsTheNewVersionInPlace) {
  install();
  publish();
  service.holding = true;
  launch();
  EXPECT_EQ(line(), upToDate);
  EXPECT_FALSE(ui.item->enabled(Manager::updateLine));
  ASSERT_TRUE(spinUntil([&] { return line() == getting; })) << line();
  EXPECT_FALSE(clickable());
  service.holding = false;
  ASSERT_TRUE(spinUntil([&] { return line() == ready; }, 60));
  EXPECT_TRUE(clickable());
  EXPECT_EQ(Settling::version(ours), "1.0") << "nothing changes before the click";
  EXPECT_EQ(starts(), "");
  expectUpdatedOnChoosing();
}

TEST_F(Updating, WithoutANewerSignedVersionThereIsNothingToClick) {
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::string line;
  } cases[] = {
      {"nothing newer", [&] { publish("1.0.0"); }, upToDate},
      {"a fetch that fails",
       [&] {
         service.offer("2.0", "not a disk image", "Quendrel-2.0.img");
         service.download = "something else";
       },
       notFetched},
  };
  for (const auto& c : cases) {
    install();
    c.arrange();
    launch();
    // The answer rewrites the line, so a different title shows when it has come.
    ui.item->setTitle(Manager::updateLine, "waiting for the feed");
    EXPECT_TRUE(spinUntil([&] { return line() == c.line; }, 60)) << c.what << ": " << line();
    EXPECT_FALSE(clickable()) << c.what;
    choose();
    EXPECT_TRUE(ui.alerts.empty()) << c.what;
    EXPECT_FALSE(manager->terminated()) << c.what;
    if (c.line == upToDate) {
      EXPECT_EQ(service.downloads(), 0) << "nothing newer is not fetched";
    }
  }
  EXPECT_EQ(starts(), "");
}

TEST_F(Updating, WhatKeepsTheNewVersionFromItsPlaceIsToldAndTheClickMayBeTriedAgain) {
  if (!inSandbox()) GTEST_SKIP() << "needs a mount namespace of its own";
  const fs::path aside = home / "aside.app";
  const struct {
    const char* what;
    std::function<void()> spoil;
    std::string why;
  } cases[] = {
      {"a folder it cannot write to", [&] { ASSERT_TRUE(makeReadOnly(home / "Applications")); },
       "Quendrel is in a place it cannot update itself from. Move it to your Applications folder "
       "first."},
      {"no staged copy", [&] { fs::rename(staged(), aside); },
       "Could not put the new Quendrel in place: No such file or directory"},
      // A copy that stays to finish a setup would run beside the new version.
      {"a setup under way", [] { Installer::running = true; },
       "Quendrel is setting up, and cannot relaunch until that has finished. Try again once it "
       "is done."},
  };
  install();
  publish();
  for (const auto& c : cases) {
    ui.alerts.clear();
    ASSERT_TRUE(launchUntil(ready)) << line();
    c.spoil();
    choose();
    ASSERT_EQ(ui.alerts.size(), 1u) << c.what;
    const auto& alert = ui.alerts[0];
    EXPECT_EQ(alert.style, Platform::AlertStyle::warning);
    EXPECT_EQ(alert.message, "Quendrel was not updated.");
    EXPECT_EQ(alert.informative,
              c.why + "\n\nThe version you have is untouched and still working.");
    EXPECT_TRUE(alert.buttons.empty()) << "one OK";
    EXPECT_EQ(line(), ready) << c.what;
    EXPECT_TRUE(clickable()) << c.what << ": the user may try again";
    EXPECT_EQ(Settling::version(ours), "1.0") << c.what;
    Platform::turnLoop(0.1);
    EXPECT_FALSE(manager->terminated()) << c.what;
    EXPECT_EQ(starts(), "") << c.what;
    umount((home / "Applications").c_str());  // writable again, where it was made read-only
    Installer::running = false;
  }
  // Once the staged copy is back, a second click goes through.
  fs::remove_all(staged());
  fs::rename(aside, staged());
  ui.alerts.clear();
  expectUpdatedOnChoosing();
}
