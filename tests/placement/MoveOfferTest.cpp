// The launch-time flows over real bundles, real processes and a real disk image, in the
// test's private root (so "/Applications" is the test's own): one situation a test process.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/MoveOffer.h"
#include "platform/Queue.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"

using namespace placement_testing;
using testing_support::mounted;
using testing_support::spinUntil;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

class Launch;

// A copy laid down before the launch: one that notes how it was opened (signed or not), or a
// program that runs meanwhile (a stubborn one ignores the request to terminate).
struct Copy {
  enum Kind { notes, unsigned_, runs, stubborn } kind;
  fs::path place;
  std::string version = "1.0";
  std::string identifier = "com.quendrel.manager";
};

struct Situation {
  std::string name;
  fs::path here;             // the copy launched, which notes how it was opened
  std::optional<Copy> copy;  // laid down first
  std::string message;       // of the last alert the user meets; none when empty
  std::string informative;   // of that alert
  Lines opened;              // the bundle opened and how (arguments, marker, working folder)
  bool carriesOn;            // this copy stays in the menu bar rather than quit
  std::function<void(Launch&)> arrange = [](Launch&) {};  // anything else before the launch
  std::function<void(Launch&)> check = [](Launch&) {};    // what else must hold afterwards
  friend void PrintTo(const Situation& s, std::ostream* out) { *out << s.name; }
};

// Every situation: its own home, a desk port nobody answers on and a key.
class Launch : public ::testing::TestWithParam<Situation> {
 public:
  void SetUp() override {
    if (!testing_support::inSandbox()) GTEST_SKIP() << "needs the private root (root and unshare)";
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  }

  fs::path at(const fs::path& place) const { return place.is_absolute() ? place : home / place; }

  // Lays the copy down, and starts it when it runs.
  Running* lay(const Copy& copy) {
    App app{copy.identifier, copy.version};
    if (copy.kind < Copy::runs) {
      app.script =
          "#!/bin/sh\nprintf '%s\\n' \"$@\" \"marker=$QUENDREL_NEW_INSTANCE\" \"cwd=$(pwd)\" "
          ">$HOME/.o.$$\nb=${0%/Contents/*}; mv $HOME/.o.$$ \"$HOME/opened.${b##*/}\"\n";
    }
    if (copy.kind == Copy::stubborn) app.program = "/usr/bin/bash";
    makeApp(at(copy.place), app, copy.kind == Copy::notes ? &key : nullptr);
    if (copy.kind < Copy::runs) return nullptr;
    others.push_back(std::make_unique<Running>(programOf(at(copy.place)),
                                               copy.kind == Copy::stubborn ? stubborn : polite));
    // Waits until a stubborn one has set itself to ignore the request.
    EXPECT_TRUE(copy.kind != Copy::stubborn || others.back()->ignoresTerminate());
    return others.back().get();
  }

  // This process runs the bundle `here`; the Manager is made with these arguments.
  MoveOffer& launchedFrom(const fs::path& here, Lines arguments = {}) {
    testing_support::pretendMainBundle(at(here));
    manager = std::make_unique<Manager>(ui, std::move(arguments));
    return manager->moves();
  }

  testing_support::Home home;
  Key key = makeKey(home / "key");
  Lines arguments;
  testing_support::ScriptedUi ui;
  std::unique_ptr<Manager> manager;
  std::vector<std::unique_ptr<Running>> others;
};

const std::string offer = "Move Quendrel to your Applications folder?";
const std::string alreadyOpen = "Quendrel is already open";
const std::string notMoved = "Quendrel was not moved";
const std::string why =
    "It needs to be in your Applications folder to keep itself up to date, and so that dragging "
    "it to the Trash and emptying the Trash takes its console off this computer too.\n\n";
const std::string movesItself = "It puts itself there and opens again from Applications.";
const std::string throwAway = " The copy it was opened from can be thrown away afterwards.";
const Lines opensHandedOver = {"Quendrel.app", "--handed-over", "marker=1", "cwd=/"};
const fs::path image = "/Volumes/Quendrel/Quendrel.app", installed = "/Applications/Quendrel.app";
const auto notNow = [](Launch& l) { l.ui.answers = {testing_support::ScriptedUi::escapeKey}; };

const Lines nothing;

const Situation situations[] = {
    {"FromADiskImage", image, std::nullopt, offer,
     "Quendrel is running from its disk image. " + why + movesItself,
     Lines{"Quendrel.app", "--handed-over", "--moved-from", image.string(), "marker=1", "cwd=/"},
     false,
     [](Launch& l) {
       l.lay({Copy::notes, "image/Quendrel.app"});
       ASSERT_TRUE(makeImage(l.home / "image", l.home / "Quendrel.squashfs"));
       ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(
           DiskImage::attach(l.home / "Quendrel.squashfs", "/Volumes/Quendrel")));
     },
     [](Launch& l) {
       EXPECT_EQ(l.ui.alerts.at(0).buttons, (Lines{"Move to Applications", "Not Now"}));
     }},
    {"NotNow", "Desktop/Quendrel.app", std::nullopt, offer,
     "Quendrel is running from “Desktop”. " + why + movesItself + throwAway, nothing, true, notNow},
    {"NotNowWhileAnotherCopyRuns", "Desktop/Quendrel.app",
     Copy{Copy::runs, "Elsewhere/Quendrel.app"}, alreadyOpen,
     "Another copy of Quendrel is running, so this one closes rather than put a second one in "
     "the menu bar. To use this one instead, open it again and choose Move to Applications.",
     nothing, false, notNow},
    {"AnInstalledCopyAsNewRuns", "Desktop/Quendrel.app", Copy{Copy::runs, installed}, alreadyOpen,
     "It is running from your Applications folder — its knob is in the menu bar, and opening it "
     "from Applications shows everything it does. This copy closes now.",
     nothing, false},
    {"AnInstalledCopyAsNewIsOpened", "Desktop/Quendrel.app", Copy{Copy::notes, installed}, "", "",
     opensHandedOver, false},
    {"AnInstalledCopyThatCannotBeOpened", "Desktop/Quendrel.app",
     Copy{Copy::notes, installed, "2.0"}, "Quendrel is in your Applications folder",
     "It could not be opened from there just now, so it carries on from here for the moment. "
     "Next time, open it from Applications.\n\nNo such file or directory",
     nothing, true, [](Launch&) { fs::remove(programOf(installed)); }},
    {"OtherCopiesThatDoNotClose", "Downloads/Quendrel.app",
     Copy{Copy::stubborn, "Old/Quendrel.app", "0.5"}, notMoved,
     "Another copy of Quendrel is still busy — setting this computer up, perhaps, or showing a "
     "message — and did not close. Nothing has changed. Let it finish, then open this copy again "
     "from your Downloads folder and choose Move to Applications.",
     nothing, false},
    {"AnOlderCopyInAReadOnlyApplicationsFolder", "Downloads/Quendrel.app",
     Copy{Copy::notes, installed, "0.9"}, offer,
     "Quendrel is running from your Downloads folder. " + why +
         "This account cannot change the Applications folder the older Quendrel 0.9 is in, so "
         "this one goes in the Applications folder in your home folder and opens again from "
         "there. Taking the older one away needs somebody who administers this computer." +
         throwAway,
     opensHandedOver, false,
     [](Launch&) { ASSERT_TRUE(testing_support::makeReadOnly("/Applications")); },
     [](Launch& l) { EXPECT_EQ(Settling::version(l.home / "Applications/Quendrel.app"), "1.0"); }},
    {"AnOlderTarvicIsReplacedUnderItsNameWhileTheConsoleRuns", "Downloads/Quendrel.app",
     Copy{Copy::notes, "/Applications/Tarvic.app", "0.9", "com.tarvicone.manager"}, offer,
     "Quendrel is running from your Downloads folder. " + why +
         "It replaces the older Quendrel 0.9 there and opens again from Applications." + throwAway +
         " The console keeps running meanwhile.",
     Lines{"Tarvic.app", "--handed-over", "marker=1", "cwd=/"}, false,
     [](Launch&) { fs::create_directories(Paths::install()); },
     [](Launch&) { EXPECT_EQ(Settling::version("/Applications/Tarvic.app"), "1.0"); }},
    {"AHandedOverTarvicTakesTheCurrentName", "/Applications/Tarvic.app", std::nullopt, "", "",
     Lines{"Quendrel.app", "marker=1", "cwd=/"}, false,
     [](Launch& l) { l.arguments = {"--handed-over"}; }},
    {"SomethingForeignInApplications", "Downloads/Quendrel.app", std::nullopt, notMoved,
     "Something else called “Quendrel.app” is already in your Applications folder, so it has "
     "been left alone. Quendrel carries on from where it is.",
     nothing, true,
     [](Launch&) { testing_support::write(installed / "Contents/README", "not ours"); }},
    {"AnUnsignedCopy", "Unsigned/Quendrel.app", Copy{Copy::unsigned_, "Unsigned/Quendrel.app"},
     notMoved,
     "The copy did not match the original exactly, so it has been removed.\n\nNothing else has "
     "changed. Quendrel carries on from where it is, and can still be dragged into Applications.",
     nothing, true},
    {"AnotherCopyTheSameOrNewerRuns", installed, Copy{Copy::runs, "Elsewhere/Quendrel.app", "1.1"},
     alreadyOpen,
     "A copy of Quendrel that is the same as this one or newer is already running, and its knob "
     "is in the menu bar. This copy closes now rather than put a second one beside it.",
     nothing, false},
    {"AnOlderCopyThatDoesNotClose", installed, Copy{Copy::notes, installed, "2.0"}, alreadyOpen,
     "Another copy of Quendrel is busy — setting this computer up, perhaps, or showing a message "
     "— and did not close. This copy closes now; open it again once the other has finished.",
     nothing, false,
     [](Launch& l) {
       l.lay({Copy::stubborn, "Busy/Tarvic.app", "1.0", "com.tarvicone.manager"});
     }},
};

}  // namespace

TEST_P(Launch, Situation) {
  const Situation& s = GetParam();
  if (s.copy) lay(*s.copy);
  s.arrange(*this);
  if (!fs::exists(at(s.here))) lay({Copy::notes, s.here});
  launchedFrom(s.here, arguments);
  manager->applicationDidFinishLaunching();
  if (s.message.empty()) {
    EXPECT_TRUE(ui.alerts.empty());
  } else {
    ASSERT_TRUE(spinUntil([&] {
      return !ui.alerts.empty() && ui.alerts.back().message == s.message;
    })) << (ui.alerts.empty() ? "no alert" : ui.alerts.back().message);
    EXPECT_EQ(ui.alerts.back().informative, s.informative);
  }
  if (!s.opened.empty()) {  // how the bundle with this file name was opened
    const fs::path note = home / ("opened." + s.opened[0]);
    EXPECT_TRUE(spinUntil([&] { return fs::exists(note); }));
    EXPECT_EQ(Text::nonEmptyLines(testing_support::read(note)),
              Lines(s.opened.begin() + 1, s.opened.end()));
  }
  if (s.carriesOn) {
    EXPECT_EQ(std::tuple(ui.item != nullptr, manager->terminated()), std::tuple(true, false));
  } else {
    EXPECT_TRUE(spinUntil([&] { return manager->terminated(); }));
    testing_support::reviveEventLoop();
    EXPECT_EQ(ui.item, nullptr) << "a copy that leaves puts nothing in the menu bar";
  }
  EXPECT_TRUE(std::none_of(others.begin(), others.end(), [](auto& o) { return o->ended(); }))
      << "the other copies are not closed";
  s.check(*this);
}

INSTANTIATE_TEST_SUITE_P(Launches, Launch, ::testing::ValuesIn(situations),
                         [](const auto& info) { return info.param.name; });

using Copies = Launch;

TEST_F(Copies, OlderCopiesOfOursAreClosedUnlessTheSameCopyIsPlaced) {
  Running& placed = *lay({Copy::runs, "Applications/Quendrel.app"});
  lay({Copy::notes, "Desktop/Quendrel.app"});
  Running& older = *lay({Copy::runs, "Old/Tarvic.app", "0.5", "com.tarvicone.manager"});
  Running& stranger = *lay({Copy::runs, "Other/Quendrel.app", "9.0", "org.example.other"});
  ASSERT_TRUE(launchedFrom("Applications/Quendrel.app").closeOtherCopies());
  EXPECT_EQ(std::tuple(placed.ended(), older.ended(), stranger.ended()),
            std::tuple(true, true, false))
      << "found by identifier, only ours";

  // Neither placed: the one started later closes the other and carries on.
  Running& later = *lay({Copy::runs, "Elsewhere/Quendrel.app"});
  ui.alerts.clear();
  EXPECT_FALSE(launchedFrom("Desktop/Quendrel.app").leaveItToAnother());
  EXPECT_EQ(std::tuple(ui.alerts.size(), later.ended()), std::tuple(0u, true));
}

// The old copy still runs from the disk image it was moved from: the image is put away only
// once it has quit, never by force, and only an image where volumes appear. Other mounts are
// never taken for an image, and what is not an image, or would cover a mount, is never attached.
TEST_F(Copies, TheDiskImageItCameFromIsPutAwayOnceNothingRunsFromIt) {
  lay({Copy::notes, installed});
  lay({Copy::notes, "image/Quendrel.app"});
  fs::copy_file("/usr/bin/sleep", home / "image/Quendrel.app/Contents/MacOS/sleeper");
  fs::create_directory_symlink("/Applications", home / "image/Applications");
  const fs::path image = home / "Quendrel.squashfs";
  ASSERT_TRUE(makeImage(home / "image", image));
  for (const fs::path& at : {fs::path("/Volumes/Quendrel"), home / "mnt/Quendrel"}) {
    // Throws, and so fails, when it is not attached.
    EXPECT_EQ(std::get<DiskImage::Attached>(DiskImage::attach(image, at)).how,
              DiskImage::How::fuse);
    EXPECT_EQ(Settling::diskImage(at / "Quendrel.app/Contents/Info.plist"), at);
    EXPECT_FALSE(Settling::diskImage(at / "Applications/x")) << "a link leads off the image";
    auto old = std::make_unique<Running>(programOf(at / "Quendrel.app", "sleeper"), polite);
    EXPECT_EQ(std::tuple(Settling::inUse(at), Settling::inUse(at.parent_path() / "Quendre")),
              std::tuple(true, false))
        << "a name's beginning is not a folder";
    EXPECT_FALSE(Settling::eject(at));
    launchedFrom(installed, {"--moved-from", (at / "Quendrel.app").string()})
        .putAwayWhereItCameFrom();
    Platform::turnLoop(1.5);
    EXPECT_TRUE(mounted(at)) << "in use";
    old.reset();
    EXPECT_EQ(spinUntil([&] { return !mounted(at); }, 3), at == "/Volumes/Quendrel") << at;
  }
  fs::create_directories("/Volumes/Scratch");
  ASSERT_EQ(mount("scratch", "/Volumes/Scratch", "tmpfs", 0, nullptr), 0);
  testing_support::write("/Volumes/Scratch/Quendrel.app/Contents/Info.plist", "<plist/>");
  EXPECT_FALSE(Settling::diskImage("/Volumes/Scratch/Quendrel.app"));
  EXPECT_FALSE(Settling::eject("/Volumes/Scratch"));
  for (const auto& [file, at] : {std::pair(fs::path("/usr/bin/sleep"), "/Volumes/Garbage"),
                                 std::pair(image, "/Volumes/Scratch")}) {
    EXPECT_TRUE(std::holds_alternative<DiskImage::Unattached>(DiskImage::attach(file, at)));
  }
  EXPECT_EQ(std::tuple(mounted("/Volumes/Scratch"), mounted("/Volumes/Garbage")),
            std::tuple(true, false));
}
