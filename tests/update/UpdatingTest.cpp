// The update as the user meets it: the menu's update line, the relaunch, and what the user
// is told when the new version cannot be put in place.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Manager.h"
#include "placement/Identity.h"
#include "platform/Bundle.h"
#include "signing/CodeSign.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"
#include "update/AppUpdate.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

constexpr const char* upToDate = "Quendrel is up to date";
constexpr const char* stillWorking = "\n\nThe version you have is untouched and still working.";

class Updating : public ::testing::Test {
 protected:
  Updating() { setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1); }

  // The running copy, version 1.0, in the Applications folder of the home folder.
  void install(const Key& with) {
    makeApp(ours, "1.0", &with, service.base());
    testing_support::pretendMainBundle(ours);
  }

  // Version 2.0 published with quendrel-release and served.
  void publish(const std::string& version = "2.0") {
    const fs::path app = home / ("build-" + version + "/Quendrel.app");
    makeApp(app, version, nullptr);
    auto ran = release(app, key, home / "releases");
    ASSERT_EQ(ran.status, 0) << ran.output;
    service.publish(home / "releases");
  }

  void launch() {
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
  }

  std::string line() const { return ui.item->title(Manager::updateLine); }
  bool enabled() const { return ui.item->enabled(Manager::updateLine); }
  bool clickable() const {
    const auto& l = ui.item->lines().at(Manager::updateLine);
    return l.enabled && l.action;
  }
  void choose() { ui.item->choose(Manager::updateLine); }

  // Launches and waits for the relaunch line.
  void launchUntilReady() {
    launch();
    ASSERT_TRUE(spinUntil([&] { return line() == "Relaunch to finish updating to 2.0"; }, 60))
        << line();
  }

  fs::path staged() const { return AppUpdate::staging() / "Quendrel.app"; }

  Home home;
  Service service;
  Key key = makeKey(home / "release.key");
  fs::path ours = home / "Applications/Quendrel.app";
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(Updating, TheLineFollowsTheFetchAndTheRelaunchPutsTheNewVersionInPlace) {
  install(key);
  publish();
  service.holding = true;
  launch();
  EXPECT_EQ(line(), upToDate);
  EXPECT_FALSE(enabled());

  ASSERT_TRUE(spinUntil([&] { return line() == "Getting Quendrel 2.0…"; })) << line();
  EXPECT_FALSE(clickable());
  service.holding = false;
  ASSERT_TRUE(spinUntil([&] { return line() == "Relaunch to finish updating to 2.0"; }, 60));
  EXPECT_TRUE(clickable());
  EXPECT_EQ(Settling::version(ours), "1.0") << "nothing changes before the click";
  EXPECT_EQ(starts(), "");

  choose();
  ASSERT_TRUE(spinUntil([&] { return starts() == "2.0 1\n"; })) << starts();
  EXPECT_TRUE(spinUntil([&] { return manager->terminated(); })) << "this version quits";
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_EQ(Settling::version(ours), "2.0");
  EXPECT_TRUE(std::holds_alternative<CodeSign::Signer>(CodeSign::verify(ours)));
  EXPECT_FALSE(fs::exists(staged())) << "the staged copy went in";
  std::vector<fs::path> applications;
  for (const auto& entry : fs::directory_iterator(home / "Applications")) {
    applications.push_back(entry.path());
  }
  EXPECT_EQ(applications, std::vector<fs::path>{ours}) << "the old version is gone";
}

TEST_F(Updating, NothingNewerLeavesTheLineUpToDate) {
  install(key);
  publish("1.0.0");
  launch();
  // The answer rewrites the line, so a different title shows when it has come.
  ui.item->setTitle(Manager::updateLine, "waiting for the feed");
  ASSERT_TRUE(spinUntil([&] { return line() == upToDate; }));
  EXPECT_FALSE(clickable());
  EXPECT_EQ(service.downloads(), 0);
}

TEST_F(Updating, AFailedFetchOffersNothingToClick) {
  install(key);
  service.offer("2.0", "not a disk image", "Quendrel-2.0.img");
  service.download = "something else";
  launch();
  ASSERT_TRUE(spinUntil([&] { return line() == "Quendrel 2.0 could not be fetched"; })) << line();
  EXPECT_FALSE(clickable());
  choose();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_FALSE(manager->terminated());
  EXPECT_EQ(starts(), "");
}

TEST_F(Updating, AFolderItCannotWriteToKeepsTheRunningVersion) {
  if (!inSandbox) GTEST_SKIP() << "needs a mount namespace of its own";
  install(key);
  publish();
  launchUntilReady();
  ASSERT_TRUE(makeReadOnly(home / "Applications"));

  choose();
  ASSERT_EQ(ui.alerts.size(), 1u);
  const auto& alert = ui.alerts[0];
  EXPECT_EQ(alert.style, Platform::AlertStyle::warning);
  EXPECT_EQ(alert.message, "Quendrel was not updated.");
  EXPECT_EQ(alert.informative,
            std::string("Quendrel is in a place it cannot update itself from. Move it to your "
                        "Applications folder first.") +
                stillWorking);
  EXPECT_TRUE(alert.buttons.empty()) << "one OK";
  EXPECT_TRUE(clickable()) << "the user may try again";
  EXPECT_EQ(line(), "Relaunch to finish updating to 2.0");
  EXPECT_EQ(Settling::version(ours), "1.0");
  EXPECT_EQ(Settling::version(staged()), "2.0") << "nothing on disk was touched";
  Platform::turnLoop(0.1);
  EXPECT_FALSE(manager->terminated());
  EXPECT_EQ(starts(), "");
}

TEST_F(Updating, ASecondClickAfterAFailedReplacementTriesAgain) {
  install(key);
  publish();
  launchUntilReady();
  const fs::path aside = home / "aside.app";
  fs::rename(staged(), aside);

  choose();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(ui.alerts[0].informative,
            std::string("Could not put the new Quendrel in place: No such file or directory") +
                stillWorking);
  EXPECT_TRUE(clickable());
  EXPECT_EQ(Settling::version(ours), "1.0");

  fs::rename(aside, staged());
  choose();
  ASSERT_TRUE(spinUntil([&] { return starts() == "2.0 1\n"; })) << starts();
  EXPECT_TRUE(spinUntil([&] { return manager->terminated(); }));
  EXPECT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(Settling::version(ours), "2.0");
}

TEST_F(Updating, AStagedCopyChangedSinceItsCheckIsNotPutInPlace) {
  install(key);
  publish();
  launchUntilReady();
  write(staged() / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho changed\n", 0750);

  choose();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(ui.alerts[0].informative,
            std::string("Could not put the new Quendrel in place: It has changed since it was "
                        "downloaded and checked.") +
                stillWorking);
  EXPECT_EQ(Settling::version(ours), "1.0");
  EXPECT_EQ(starts(), "");
}

TEST_F(Updating, AnApplicationOnAnotherFileSystemIsUpdatedAllTheSame) {
  if (!inSandbox) GTEST_SKIP() << "needs a mount namespace of its own";
  fs::create_directories(home / "Applications");
  ASSERT_TRUE(mountScratch(home / "Applications"));
  install(key);
  publish();
  launchUntilReady();

  choose();
  ASSERT_TRUE(spinUntil([&] { return starts() == "2.0 1\n"; })) << starts();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_EQ(Settling::version(ours), "2.0");
  EXPECT_TRUE(std::holds_alternative<CodeSign::Signer>(CodeSign::verify(ours)));
  EXPECT_FALSE(fs::exists(staged()));
  int items = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(home / "Applications")) ++items;
  EXPECT_EQ(items, 1) << "no copy is left beside it";
}

TEST_F(Updating, ARunningCopyWithoutItsOwnSignatureIsNeverUpdated) {
  install(key);
  fs::remove_all(ours / "Contents/_CodeSignature");
  publish();
  launch();
  ASSERT_TRUE(spinUntil([&] { return line() == "Quendrel 2.0 could not be fetched"; }, 60));
  EXPECT_FALSE(clickable());
}
