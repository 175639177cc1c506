// The launch-time flows over real bundles, real processes and a real disk image, in the
// test's private root (so "/Applications" is the test's own).
#include <gtest/gtest.h>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "placement/Copies.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/MoveOffer.h"
#include "placement/Sandbox.h"
#include "platform/Bundle.h"
#include "platform/Mounts.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const std::string why =
    "It needs to be in your Applications folder to keep itself up to date, and so that dragging "
    "it to the Trash and emptying the Trash takes its console off this Mac too.\n\n";

// Every test: its own home, a desk port nobody answers on, a key, and a program for the
// bundles that notes how it was opened (arguments, marker, working folder) and leaves.
class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sandboxed()) GTEST_SKIP() << "needs the private root (root and unshare)";
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
    key = makeKey(home.path());
    write(recorder,
          "#!/bin/sh\n"
          "{ for a in \"$@\"; do echo \"$a\"; done; echo \"marker=$QUENDREL_NEW_INSTANCE\";\n"
          "  echo \"cwd=$(pwd)\"; } > \"$HOME/.opening.$$\"\n"
          "mv \"$HOME/.opening.$$\" \"$HOME/opened.$(basename \"$(dirname \"$(dirname "
          "\"$(dirname \"$0\")\")\")\")\"\n",
          0755);
  }

  App app(std::string version = "1.0", std::string identifier = "com.quendrel.manager") {
    App made;
    made.identifier = std::move(identifier);
    made.version = std::move(version);
    made.program = recorder;
    return made;
  }

  // This process runs the bundle `here`; the Manager is made with these arguments.
  Manager& launchedFrom(const fs::path& here, std::vector<std::string> arguments = {}) {
    testing_support::pretendMainBundle(here);
    manager = std::make_unique<Manager>(ui, std::move(arguments));
    return *manager;
  }

  // How the bundle with this file name was opened, once it has been: one line per argument,
  // then "marker=…" and "cwd=…".
  std::vector<std::string> opened(const std::string& bundleName) {
    const fs::path note = home / ("opened." + bundleName);
    if (!spinUntil([&] { return fs::exists(note) && !testing_support::read(note).empty(); }, 10)) {
      return {"(never opened)"};
    }
    return Text::nonEmptyLines(testing_support::read(note));
  }

  bool quits() {
    bool quit = spinUntil([&] { return manager->terminated(); }, 10);
    reviveEventLoop();
    return quit;
  }

  std::string message(std::size_t i) const { return ui.alerts.at(i).message; }
  std::string informative(std::size_t i) const { return ui.alerts.at(i).informative; }

  Home home;
  Key key;
  const fs::path recorder = home / "recorder.sh";
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

bool mounted(const fs::path& point) {
  for (const auto& mount : Platform::mounts()) {
    if (mount.mountPoint == point) return true;
  }
  return false;
}

}  // namespace

TEST_F(Launch, ACopyOnADiskImageMovesItselfHandsOverAndTheImageIsPutAway) {
  makeApp(home / "image/Quendrel.app", app(), nullptr);
  // A program that stays, to stand for the old copy still running from the image.
  fs::copy_file("/usr/bin/sleep", home / "image/Quendrel.app/Contents/MacOS/sleeper");
  sign(home / "image/Quendrel.app", key);
  ASSERT_TRUE(makeImage(home / "image", home / "Quendrel.squashfs"));
  auto attached = DiskImage::attach(home / "Quendrel.squashfs", "/Volumes/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(attached));
  const fs::path here = "/Volumes/Quendrel/Quendrel.app";

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(message(0), "Move Quendrel to your Applications folder?");
  EXPECT_EQ(informative(0), "Quendrel is running from its disk image. " + why +
                                "It puts itself there and opens again from Applications.");
  EXPECT_EQ(ui.alerts[0].buttons, (std::vector<std::string>{"Move to Applications", "Not Now"}));
  EXPECT_EQ(ui.alerts[0].returnKey, 0u);
  EXPECT_EQ(ui.alerts[0].escapeKey, 1u);

  EXPECT_TRUE(valid("/Applications/Quendrel.app"));
  EXPECT_EQ(opened("Quendrel.app"), (std::vector<std::string>{"--handed-over", "--moved-from",
                                                              here.string(), "marker=1", "cwd=/"}));
  EXPECT_TRUE(quits());
  EXPECT_EQ(ui.item, nullptr) << "a copy that moved itself puts nothing in the menu bar";

  // The new copy puts the image away once nothing runs from it any more.
  {
    Running old(here, politeArguments(), "sleeper");
    Manager next(ui, {"--handed-over", "--moved-from", here.string()});
    testing_support::pretendMainBundle("/Applications/Quendrel.app");
    next.moves().putAwayWhereItCameFrom();
    Platform::turnLoop(1.5);
    EXPECT_TRUE(mounted("/Volumes/Quendrel")) << "the old copy still runs from it";
  }
  EXPECT_TRUE(spinUntil([] { return !mounted("/Volumes/Quendrel"); }, 10));
}

TEST_F(Launch, ACopyInDownloadsSaysSoAndMentionsTheRunningConsole) {
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app(), &key);
  fs::create_directories(Paths::install());

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(informative(0), "Quendrel is running from your Downloads folder. " + why +
                                "It puts itself there and opens again from Applications. The "
                                "copy it was opened from can be thrown away afterwards. The "
                                "console keeps running meanwhile.");
  EXPECT_EQ(opened("Quendrel.app"),
            (std::vector<std::string>{"--handed-over", "marker=1", "cwd=/"}));
  EXPECT_TRUE(quits());
  EXPECT_TRUE(valid(here)) << "the copy it came from is left where it was";
}

TEST_F(Launch, AnInstalledCopyAsNewIsOpenedOrLeftRunning) {
  makeApp("/Applications/Quendrel.app", app("1.0"), &key);
  const fs::path here = home / "Desktop/Quendrel.app";
  makeApp(here, app("1.0"), &key);

  // The recorder leaves at once: something else of that bundle keeps running instead.
  fs::copy_file("/usr/bin/sleep", "/Applications/Quendrel.app/Contents/MacOS/sleeper");
  {
    Running installed("/Applications/Quendrel.app", politeArguments(), "sleeper");
    launchedFrom(here).applicationDidFinishLaunching();
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(message(0), "Quendrel is already open");
    EXPECT_EQ(informative(0),
              "It is running from your Applications folder — its knob is in the menu bar, and "
              "opening it from Applications shows everything it does. This copy closes now.");
    EXPECT_TRUE(quits());
    EXPECT_FALSE(installed.ended());
  }

  fs::remove(home / "opened.Quendrel.app");
  fs::remove("/Applications/Quendrel.app/Contents/MacOS/sleeper");
  ui.alerts.clear();
  launchedFrom(here).applicationDidFinishLaunching();
  EXPECT_TRUE(ui.alerts.empty()) << "no offer when an installed copy is as new";
  EXPECT_EQ(opened("Quendrel.app"),
            (std::vector<std::string>{"--handed-over", "marker=1", "cwd=/"}));
  EXPECT_TRUE(quits());
}

TEST_F(Launch, AnInstalledCopyThatCannotBeOpenedLeavesThisOneRunning) {
  App broken = app("2.0");
  makeApp("/Applications/Quendrel.app", broken, &key);
  fs::remove("/Applications/Quendrel.app/Contents/MacOS/Quendrel");
  makeApp(home / "Desktop/Quendrel.app", app("1.0"), &key);

  launchedFrom(home / "Desktop/Quendrel.app").applicationDidFinishLaunching();
  ASSERT_TRUE(spinUntil([&] { return !ui.alerts.empty(); }));
  EXPECT_EQ(message(0), "Quendrel is in your Applications folder");
  EXPECT_EQ(informative(0),
            "It could not be opened from there just now, so it carries on from here for the "
            "moment. Next time, open it from Applications.\n\nNo such file or directory");
  EXPECT_NE(ui.item, nullptr) << "it carries on";
  EXPECT_FALSE(manager->terminated());
}

TEST_F(Launch, NotNowCarriesOnUnlessAnotherCopyRuns) {
  const fs::path here = home / "Desktop/Quendrel.app";
  makeApp(here, app(), &key);
  ui.answers = {ScriptedUi::escapeKey};
  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(informative(0), "Quendrel is running from “Desktop”. " + why +
                                "It puts itself there and opens again from Applications. The "
                                "copy it was opened from can be thrown away afterwards.");
  EXPECT_NE(ui.item, nullptr);
  EXPECT_FALSE(manager->terminated());
  EXPECT_FALSE(fs::exists("/Applications/Quendrel.app"));

  App other = app();
  other.program = "/usr/bin/sleep";
  makeApp(home / "Elsewhere/Quendrel.app", other, nullptr);
  Running running(home / "Elsewhere/Quendrel.app", politeArguments());
  ui.alerts.clear();
  ui.answers = {ScriptedUi::escapeKey};
  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(message(1), "Quendrel is already open");
  EXPECT_EQ(informative(1),
            "Another copy of Quendrel is running, so this one closes rather than put a second one "
            "in the menu bar. To use this one instead, open it again and choose Move to "
            "Applications.");
  EXPECT_TRUE(quits());
  EXPECT_FALSE(running.ended()) << "the other copy is not asked to close";
}

TEST_F(Launch, OtherCopiesThatDoNotCloseStopTheMove) {
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app(), &key);
  App stubborn = app("0.5");
  stubborn.program = "/usr/bin/bash";
  makeApp(home / "Old/Quendrel.app", stubborn, nullptr);
  Running busy(home / "Old/Quendrel.app", stubbornArguments());
  ASSERT_TRUE(busy.ignoresTerminate());

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(message(1), "Quendrel was not moved");
  EXPECT_EQ(informative(1),
            "Another copy of Quendrel is still busy — setting this Mac up, perhaps, or showing a "
            "message — and did not close. Nothing has changed. Let it finish, then open this copy "
            "again from your Downloads folder and choose Move to Applications.");
  EXPECT_TRUE(quits());
  EXPECT_FALSE(busy.ended());
  EXPECT_FALSE(fs::exists("/Applications/Quendrel.app"));
}

TEST_F(Launch, AnOlderCopyInAReadOnlyApplicationsFolderStaysAndTheHomeOneIsUsed) {
  makeApp("/Applications/Quendrel.app", app("0.9"), &key);
  ASSERT_TRUE(makeReadOnly("/Applications"));
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app("1.0"), &key);

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(informative(0),
            "Quendrel is running from your Downloads folder. " + why +
                "This account cannot change the Applications folder the older Quendrel 0.9 is "
                "in, so this one goes in the Applications folder in your home folder and opens "
                "again from there. Taking the older one away needs somebody who administers this "
                "Mac. The copy it was opened from can be thrown away afterwards.");
  EXPECT_EQ(Settling::version(home / "Applications/Quendrel.app"), "1.0");
  EXPECT_EQ(Settling::version("/Applications/Quendrel.app"), "0.9");
  EXPECT_EQ(opened("Quendrel.app").front(), "--handed-over");
  EXPECT_TRUE(quits());
}

TEST_F(Launch, AnOlderTarvicIsReplacedUnderItsNameThenTakesTheCurrentOne) {
  makeApp("/Applications/Tarvic.app", app("0.9", "com.tarvicone.manager"), &key);
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app("1.0"), &key);

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(informative(0), "Quendrel is running from your Downloads folder. " + why +
                                "It replaces the older Quendrel 0.9 there and opens again from "
                                "Applications. The copy it was opened from can be thrown away "
                                "afterwards.");
  EXPECT_EQ(Settling::identity("/Applications/Tarvic.app"), "com.quendrel.manager");
  EXPECT_EQ(opened("Tarvic.app"), (std::vector<std::string>{"--handed-over", "marker=1", "cwd=/"}));
  EXPECT_TRUE(quits());
  EXPECT_FALSE(fs::exists(home / "Applications")) << "the home folder was not needed";

  // The new copy, opened as "Tarvic.app", takes the current name and opens once more.
  ui.alerts.clear();
  launchedFrom("/Applications/Tarvic.app", {"--handed-over"}).applicationDidFinishLaunching();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_TRUE(valid("/Applications/Quendrel.app"));
  EXPECT_FALSE(fs::exists("/Applications/Tarvic.app"));
  EXPECT_EQ(opened("Quendrel.app"), (std::vector<std::string>{"marker=1", "cwd=/"}))
      << "no arguments at all";
  EXPECT_TRUE(quits());
  EXPECT_EQ(ui.item, nullptr);
}

TEST_F(Launch, SomethingForeignOrAFailedCopyLeavesThisOneWhereItIs) {
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app(), &key);
  write("/Applications/Quendrel.app/Contents/README", "not ours");

  launchedFrom(here).applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(message(1), "Quendrel was not moved");
  EXPECT_EQ(informative(1),
            "Something else called “Quendrel.app” is already in your Applications folder, so it "
            "has been left alone. Quendrel carries on from where it is.");
  EXPECT_FALSE(fs::exists(home / "Applications")) << "the home folder is not tried";
  EXPECT_NE(ui.item, nullptr);
  EXPECT_FALSE(manager->terminated());

  // An unsigned copy fails everywhere; the last reason is shown.
  fs::remove_all("/Applications/Quendrel.app");
  makeApp(home / "Unsigned/Quendrel.app", app(), nullptr);
  ui.alerts.clear();
  launchedFrom(home / "Unsigned/Quendrel.app").applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(message(1), "Quendrel was not moved");
  EXPECT_EQ(informative(1),
            "The copy did not match the original exactly, so it has been removed.\n\nNothing else "
            "has changed. Quendrel carries on from where it is, and can still be dragged into "
            "Applications.");
  EXPECT_TRUE(fs::is_empty("/Applications"));
  EXPECT_TRUE(fs::is_empty(home / "Applications")) << "tried too, and left empty";
  EXPECT_FALSE(manager->terminated());
}

TEST_F(Launch, NoApplicationsFolderThatCanTakeItMeansNoOffer) {
  ASSERT_TRUE(makeReadOnly("/Applications"));
  write(home / "Applications", "a file in the way");
  const fs::path here = home / "Downloads/Quendrel.app";
  makeApp(here, app(), &key);
  launchedFrom(here).applicationDidFinishLaunching();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_NE(ui.item, nullptr);
}

TEST_F(Launch, AnotherCopyTheSameOrNewerKeepsTheMenuBar) {
  makeApp("/Applications/Quendrel.app", app("1.0"), &key);
  App newer = app("1.1");
  newer.program = "/usr/bin/sleep";
  makeApp(home / "Elsewhere/Quendrel.app", newer, nullptr);
  Running running(home / "Elsewhere/Quendrel.app", politeArguments());

  launchedFrom("/Applications/Quendrel.app").applicationDidFinishLaunching();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(message(0), "Quendrel is already open");
  EXPECT_EQ(informative(0),
            "A copy of Quendrel that is the same as this one or newer is already running, and its "
            "knob is in the menu bar. This copy closes now rather than put a second one beside "
            "it.");
  EXPECT_TRUE(quits());
  EXPECT_FALSE(running.ended());
}

TEST_F(Launch, TheSameCopyPlacedWinsOverOneThatIsNot) {
  App same = app("1.0");
  same.program = "/usr/bin/sleep";
  makeApp(home / "Applications/Quendrel.app", same, nullptr);
  makeApp(home / "Desktop/Quendrel.app", app("1.0"), &key);
  Running placed(home / "Applications/Quendrel.app", politeArguments());

  EXPECT_TRUE(launchedFrom(home / "Desktop/Quendrel.app").moves().leaveItToAnother());
  EXPECT_EQ(message(0), "Quendrel is already open");
  EXPECT_FALSE(placed.ended());

  // Neither placed: the one started later closes the other and carries on.
  App elsewhere = same;
  makeApp(home / "Elsewhere/Quendrel.app", elsewhere, nullptr);
  Running other(home / "Elsewhere/Quendrel.app", politeArguments());
  ASSERT_TRUE(launchedFrom(home / "Applications/Quendrel.app").moves().closeOtherCopies());
  EXPECT_TRUE(placed.ended());
  EXPECT_TRUE(other.ended());
  Running later(home / "Elsewhere/Quendrel.app", politeArguments());
  ui.alerts.clear();
  EXPECT_FALSE(launchedFrom(home / "Desktop/Quendrel.app").moves().leaveItToAnother());
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_TRUE(later.ended()) << "asked to terminate, and it did";
}

TEST_F(Launch, OlderCopiesAreClosedAndOnesThatRefuseEndThisOne) {
  makeApp("/Applications/Quendrel.app", app("2.0"), &key);
  App older = app("1.0", "com.tarvicone.manager");
  older.program = "/usr/bin/sleep";
  makeApp(home / "Old/Tarvic.app", older, nullptr);
  App foreign = app("9.0", "org.example.other");
  foreign.program = "/usr/bin/sleep";
  makeApp(home / "Other/Quendrel.app", foreign, nullptr);
  Running old(home / "Old/Tarvic.app", politeArguments());
  Running stranger(home / "Other/Quendrel.app", politeArguments());

  EXPECT_EQ(MoveOffer::otherCopies().size(), 1u) << "found by identifier, only ours";
  launchedFrom("/Applications/Quendrel.app");
  EXPECT_FALSE(manager->moves().leaveItToAnother());
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_TRUE(old.ended());
  EXPECT_FALSE(stranger.ended()) << "not ours: left alone";

  App stubborn = older;
  stubborn.program = "/usr/bin/bash";
  makeApp(home / "Busy/Tarvic.app", stubborn, nullptr);
  Running busy(home / "Busy/Tarvic.app", stubbornArguments());
  ASSERT_TRUE(busy.ignoresTerminate());
  EXPECT_TRUE(manager->moves().leaveItToAnother());
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(informative(0),
            "Another copy of Quendrel is busy — setting this Mac up, perhaps, or showing a "
            "message — and did not close. This copy closes now; open it again once the other has "
            "finished.");
  EXPECT_TRUE(quits());
  EXPECT_FALSE(busy.ended());
}

TEST_F(Launch, OnlyADiskImageUnderAVolumesFolderIsPutAway) {
  makeApp(home / "image/Quendrel.app", app(), &key);
  ASSERT_TRUE(makeImage(home / "image", home / "Quendrel.squashfs"));
  fs::create_directories(home / "mnt");
  auto attached = DiskImage::attach(home / "Quendrel.squashfs", home / "mnt/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(attached));
  DiskImage::Attachment attachment(std::get<DiskImage::Attached>(attached));
  makeApp("/Applications/Quendrel.app", app(), &key);

  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--moved-from", (home / "mnt/Quendrel/Quendrel.app").string()},
           {"--moved-from", (home / "Downloads/Quendrel.app").string()},
           {"--moved-from"},
           {"--handed-over"},
       }) {
    launchedFrom("/Applications/Quendrel.app", arguments).moves().putAwayWhereItCameFrom();
  }
  Platform::turnLoop(1.0);
  EXPECT_TRUE(mounted(home / "mnt/Quendrel")) << "not a mounted volume's place";

  // The same image under /media is put away.
  ASSERT_TRUE(attachment.detachNow());
  auto again = DiskImage::attach(home / "Quendrel.squashfs", "/media/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(again));
  launchedFrom("/Applications/Quendrel.app", {"--moved-from", "/media/Quendrel/Quendrel.app"})
      .moves().putAwayWhereItCameFrom();
  EXPECT_TRUE(spinUntil([] { return !mounted("/media/Quendrel"); }, 10));
}
