// The launch-time flows over real bundles, real processes and a real disk image, in the
// test's private root (so "/Applications" is the test's own): one situation a test process.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "placement/Applications.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/MoveOffer.h"
#include "placement/Moving.h"
#include "platform/Bundle.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::inSandbox;
using testing_support::makeReadOnly;
using testing_support::mounted;
using testing_support::reviveEventLoop;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

class Launch;

struct Situation {
  std::string name;
  // Lays copies down, starts the ones that run, and says which is launched and how it is
  // answered.
  std::function<void(Launch&)> arrange;
  std::string message;      // of the last alert the user meets; none when empty
  std::string informative;  // of that alert
  Lines opened;             // the bundle opened and how (arguments, marker, working folder)
  bool carriesOn;           // this copy stays in the menu bar rather than quit
  std::function<void(Launch&)> check = [](Launch&) {};  // what else must hold afterwards
};

void PrintTo(const Situation& s, std::ostream* out) {
  *out << s.name;
}

// Every situation: its own home, a desk port nobody answers on, a key, and a program for the
// bundles that notes how it was opened and leaves.
class Launch : public ::testing::TestWithParam<Situation> {
 public:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "needs the private root (root and unshare)";
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  }

  fs::path at(const fs::path& place) const { return place.is_absolute() ? place : home / place; }

  // A copy whose program notes how it was opened.
  void lay(const fs::path& place, std::string version = "1.0",
           std::string identifier = "com.quendrel.manager", bool signedToo = true) {
    App app{std::move(identifier), std::move(version)};
    app.script =
        "#!/bin/sh\n"
        "{ for a in \"$@\"; do echo \"$a\"; done; echo \"marker=$QUENDREL_NEW_INSTANCE\";\n"
        "  echo \"cwd=$(pwd)\"; } > \"$HOME/.opening.$$\"\n"
        "mv \"$HOME/.opening.$$\" \"$HOME/opened.$(basename \"$(dirname \"$(dirname "
        "\"$(dirname \"$0\")\")\")\")\"\n";
    makeApp(at(place), app, signedToo ? &key : nullptr);
  }

  // The copy launched, with these arguments.
  void from(const fs::path& place, Lines args = {}) {
    lay(place);
    here = place;
    arguments = std::move(args);
  }

  // A copy that runs meanwhile (one that ignores the request to terminate when stubborn).
  Running& runs(const fs::path& place, std::string version = "1.0",
                std::string identifier = "com.quendrel.manager", bool stubbornly = false) {
    App app{std::move(identifier), std::move(version)};
    app.program = stubbornly ? "/usr/bin/bash" : "/usr/bin/sleep";
    makeApp(at(place), app, nullptr);
    others.push_back(
        std::make_unique<Running>(programOf(at(place)), stubbornly ? stubborn : polite));
    if (stubbornly) {
      EXPECT_TRUE(others.back()->ignoresTerminate());
    }
    return *others.back();
  }

  // This process runs the bundle `here`; the Manager is made with these arguments.
  Manager& launchedFrom(const fs::path& here, Lines arguments = {}) {
    testing_support::pretendMainBundle(at(here));
    manager = std::make_unique<Manager>(ui, std::move(arguments));
    return *manager;
  }

  // How the bundle with this file name was opened, once it has been.
  Lines opened(const std::string& bundleName) {
    const fs::path note = home / ("opened." + bundleName);
    if (!spinUntil([&] { return !testing_support::read(note).empty(); })) return {"(never)"};
    return Text::nonEmptyLines(testing_support::read(note));
  }

  bool quits() {
    bool quit = spinUntil([&] { return manager->terminated(); });
    reviveEventLoop();
    return quit;
  }

  bool othersRun() {
    return std::none_of(others.begin(), others.end(), [](auto& other) { return other->ended(); });
  }

  Home home;
  Key key = makeKey(home / "key");
  fs::path here;
  Lines arguments;
  ScriptedUi ui;
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
const fs::path image = "/Volumes/Quendrel/Quendrel.app";

// A download on a disk image, with a program beside the bundle's own that stays, to stand for
// the old copy still running from the image.
void attachImage(Launch& l) {
  l.lay(l.home / "image/Quendrel.app");
  fs::copy_file("/usr/bin/sleep", l.home / "image/Quendrel.app/Contents/MacOS/sleeper");
  sign(l.home / "image/Quendrel.app", l.key);
  ASSERT_TRUE(makeImage(l.home / "image", l.home / "Quendrel.squashfs"));
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(
      DiskImage::attach(l.home / "Quendrel.squashfs", "/Volumes/Quendrel")));
}

const Situation situations[] = {
    {"FromADiskImage",
     [](Launch& l) {
       attachImage(l);
       l.here = image;
     },
     offer,
     "Quendrel is running from its disk image. " + why + movesItself,
     {"Quendrel.app", "--handed-over", "--moved-from", image.string(), "marker=1", "cwd=/"},
     false,
     [](Launch& l) {
       const auto& alert = l.ui.alerts.at(0);
       EXPECT_EQ(alert.buttons, (Lines{"Move to Applications", "Not Now"}));
       EXPECT_EQ(alert.returnKey, 0u);
       EXPECT_EQ(alert.escapeKey, 1u);
       EXPECT_TRUE(valid("/Applications/Quendrel.app"));
     }},
    {"FromDownloadsWhileTheConsoleRuns",
     [](Launch& l) {
       l.from("Downloads/Quendrel.app");
       fs::create_directories(Paths::install());
     },
     offer,
     "Quendrel is running from your Downloads folder. " + why + movesItself + throwAway +
         " The console keeps running meanwhile.",
     opensHandedOver, false,
     [](Launch& l) { EXPECT_TRUE(valid(l.home / "Downloads/Quendrel.app")) << "left there"; }},
    {"NotNow",
     [](Launch& l) {
       l.from("Desktop/Quendrel.app");
       l.ui.answers = {ScriptedUi::escapeKey};
     },
     offer,
     "Quendrel is running from “Desktop”. " + why + movesItself + throwAway,
     {},
     true,
     [](Launch&) { EXPECT_FALSE(fs::exists("/Applications/Quendrel.app")); }},
    {"NotNowWhileAnotherCopyRuns",
     [](Launch& l) {
       l.from("Desktop/Quendrel.app");
       l.runs("Elsewhere/Quendrel.app");
       l.ui.answers = {ScriptedUi::escapeKey};
     },
     alreadyOpen,
     "Another copy of Quendrel is running, so this one closes rather than put a second one in "
     "the menu bar. To use this one instead, open it again and choose Move to Applications.",
     {},
     false},
    {"AnInstalledCopyAsNewRuns",
     [](Launch& l) {
       l.from("Desktop/Quendrel.app");
       l.lay("/Applications/Quendrel.app");
       fs::copy_file("/usr/bin/sleep", "/Applications/Quendrel.app/Contents/MacOS/sleeper");
       l.others.push_back(
           std::make_unique<Running>(programOf("/Applications/Quendrel.app", "sleeper"), polite));
     },
     alreadyOpen,
     "It is running from your Applications folder — its knob is in the menu bar, and opening it "
     "from Applications shows everything it does. This copy closes now.",
     {},
     false},
    {"AnInstalledCopyAsNewIsOpened",
     [](Launch& l) {
       l.from("Desktop/Quendrel.app");
       l.lay("/Applications/Quendrel.app");
     },
     "", "", opensHandedOver, false},
    {"AnInstalledCopyThatCannotBeOpened",
     [](Launch& l) {
       l.from("Desktop/Quendrel.app");
       l.lay("/Applications/Quendrel.app", "2.0");
       fs::remove("/Applications/Quendrel.app/Contents/MacOS/Quendrel");
     },
     "Quendrel is in your Applications folder",
     "It could not be opened from there just now, so it carries on from here for the moment. "
     "Next time, open it from Applications.\n\nNo such file or directory",
     {},
     true},
    {"OtherCopiesThatDoNotClose",
     [](Launch& l) {
       l.from("Downloads/Quendrel.app");
       l.runs("Old/Quendrel.app", "0.5", "com.quendrel.manager", true);
     },
     notMoved,
     "Another copy of Quendrel is still busy — setting this computer up, perhaps, or showing a "
     "message — and did not close. Nothing has changed. Let it finish, then open this copy again "
     "from your Downloads folder and choose Move to Applications.",
     {},
     false,
     [](Launch&) { EXPECT_FALSE(fs::exists("/Applications/Quendrel.app")); }},
    {"AnOlderCopyInAReadOnlyApplicationsFolder",
     [](Launch& l) {
       l.lay("/Applications/Quendrel.app", "0.9");
       ASSERT_TRUE(makeReadOnly("/Applications"));
       l.from("Downloads/Quendrel.app");
     },
     offer,
     "Quendrel is running from your Downloads folder. " + why +
         "This account cannot change the Applications folder the older Quendrel 0.9 is in, so "
         "this one goes in the Applications folder in your home folder and opens again from "
         "there. Taking the older one away needs somebody who administers this computer." +
         throwAway,
     opensHandedOver, false,
     [](Launch& l) {
       EXPECT_EQ(Settling::version(l.home / "Applications/Quendrel.app"), "1.0");
       EXPECT_EQ(Settling::version("/Applications/Quendrel.app"), "0.9");
     }},
    {"AnOlderTarvicIsReplacedUnderItsName",
     [](Launch& l) {
       l.lay("/Applications/Tarvic.app", "0.9", "com.tarvicone.manager");
       l.from("Downloads/Quendrel.app");
     },
     offer,
     "Quendrel is running from your Downloads folder. " + why +
         "It replaces the older Quendrel 0.9 there and opens again from Applications." + throwAway,
     {"Tarvic.app", "--handed-over", "marker=1", "cwd=/"},
     false,
     [](Launch& l) {
       EXPECT_EQ(Settling::identity("/Applications/Tarvic.app"), "com.quendrel.manager");
       EXPECT_FALSE(fs::exists(l.home / "Applications")) << "the home folder was not needed";
     }},
    {"AHandedOverTarvicTakesTheCurrentName",
     [](Launch& l) { l.from("/Applications/Tarvic.app", {"--handed-over"}); },
     "",
     "",
     {"Quendrel.app", "marker=1", "cwd=/"},
     false,
     [](Launch&) {
       EXPECT_TRUE(valid("/Applications/Quendrel.app"));
       EXPECT_FALSE(fs::exists("/Applications/Tarvic.app"));
     }},
    {"SomethingForeignInApplications",
     [](Launch& l) {
       l.from("Downloads/Quendrel.app");
       write("/Applications/Quendrel.app/Contents/README", "not ours");
     },
     notMoved,
     "Something else called “Quendrel.app” is already in your Applications folder, so it has "
     "been left alone. Quendrel carries on from where it is.",
     {},
     true,
     [](Launch& l) { EXPECT_FALSE(fs::exists(l.home / "Applications")) << "not tried"; }},
    {"AnUnsignedCopy",
     [](Launch& l) {
       l.lay("Unsigned/Quendrel.app", "1.0", "com.quendrel.manager", false);
       l.here = "Unsigned/Quendrel.app";
     },
     notMoved,
     "The copy did not match the original exactly, so it has been removed.\n\nNothing else has "
     "changed. Quendrel carries on from where it is, and can still be dragged into Applications.",
     {},
     true,
     [](Launch& l) {
       EXPECT_TRUE(fs::is_empty("/Applications"));
       EXPECT_TRUE(fs::is_empty(l.home / "Applications")) << "tried too, and left empty";
     }},
    {"NoApplicationsFolderCanTakeIt",
     [](Launch& l) {
       ASSERT_TRUE(makeReadOnly("/Applications"));
       write(l.home / "Applications", "a file in the way");
       l.from("Downloads/Quendrel.app");
     },
     "",
     "",
     {},
     true},
    {"AnotherCopyTheSameOrNewerRuns",
     [](Launch& l) {
       l.from("/Applications/Quendrel.app");
       l.runs("Elsewhere/Quendrel.app", "1.1");
     },
     alreadyOpen,
     "A copy of Quendrel that is the same as this one or newer is already running, and its knob "
     "is in the menu bar. This copy closes now rather than put a second one beside it.",
     {},
     false},
    {"AnOlderCopyThatDoesNotClose",
     [](Launch& l) {
       l.lay("/Applications/Quendrel.app", "2.0");
       l.here = "/Applications/Quendrel.app";
       l.runs("Busy/Tarvic.app", "1.0", "com.tarvicone.manager", true);
     },
     alreadyOpen,
     "Another copy of Quendrel is busy — setting this computer up, perhaps, or showing a message "
     "— and did not close. This copy closes now; open it again once the other has finished.",
     {},
     false},
};

}  // namespace

TEST_P(Launch, Situation) {
  const Situation& s = GetParam();
  s.arrange(*this);
  launchedFrom(here, arguments).applicationDidFinishLaunching();
  if (s.message.empty()) {
    EXPECT_TRUE(ui.alerts.empty());
  } else {
    ASSERT_TRUE(spinUntil([&] {
      return !ui.alerts.empty() && ui.alerts.back().message == s.message;
    })) << (ui.alerts.empty() ? "no alert" : ui.alerts.back().message);
    EXPECT_EQ(ui.alerts.back().informative, s.informative);
  }
  if (!s.opened.empty()) {
    EXPECT_EQ(opened(s.opened[0]), Lines(s.opened.begin() + 1, s.opened.end()));
  }
  if (s.carriesOn) {
    EXPECT_NE(ui.item, nullptr);
    EXPECT_FALSE(manager->terminated());
  } else {
    EXPECT_TRUE(quits());
    EXPECT_EQ(ui.item, nullptr) << "a copy that leaves puts nothing in the menu bar";
  }
  EXPECT_TRUE(othersRun()) << "the other copies are not closed";
  s.check(*this);
}

INSTANTIATE_TEST_SUITE_P(Launches, Launch, ::testing::ValuesIn(situations),
                         [](const auto& info) { return info.param.name; });

using Copies = Launch;

TEST_F(Copies, OlderCopiesOfOursAreClosedUnlessTheSameCopyIsPlaced) {
  Running& placed = runs("Applications/Quendrel.app");
  lay("Desktop/Quendrel.app");
  EXPECT_TRUE(launchedFrom("Desktop/Quendrel.app").moves().leaveItToAnother());
  EXPECT_EQ(ui.alerts.at(0).message, alreadyOpen);

  Running& older = runs("Old/Tarvic.app", "0.5", "com.tarvicone.manager");
  Running& stranger = runs("Other/Quendrel.app", "9.0", "org.example.other");
  EXPECT_EQ(MoveOffer::otherCopies().size(), 2u) << "found by identifier, only ours";
  ASSERT_TRUE(launchedFrom("Applications/Quendrel.app").moves().closeOtherCopies());
  EXPECT_TRUE(placed.ended());
  EXPECT_TRUE(older.ended());
  EXPECT_FALSE(stranger.ended());

  // Neither placed: the one started later closes the other and carries on.
  Running& later = runs("Elsewhere/Quendrel.app");
  ui.alerts.clear();
  EXPECT_FALSE(launchedFrom("Desktop/Quendrel.app").moves().leaveItToAnother());
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_TRUE(later.ended());
}

TEST_F(Copies, TheDiskImageItCameFromIsPutAwayOnceNothingRunsFromIt) {
  attachImage(*this);
  lay("/Applications/Quendrel.app");
  lay("image2/Quendrel.app");
  ASSERT_TRUE(makeImage(home / "image2", home / "Elsewhere.squashfs"));
  fs::create_directories(home / "mnt");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(
      DiskImage::attach(home / "Elsewhere.squashfs", home / "mnt/Quendrel")));
  for (const Lines& arguments : std::vector<Lines>{
           {"--moved-from", (home / "mnt/Quendrel/Quendrel.app").string()},
           {"--moved-from", (home / "Downloads/Quendrel.app").string()},
           {"--moved-from"},
           {"--handed-over"},
       }) {
    launchedFrom("/Applications/Quendrel.app", arguments).moves().putAwayWhereItCameFrom();
  }
  {
    // The old copy still runs from the image.
    Running old(programOf(image, "sleeper"), polite);
    launchedFrom("/Applications/Quendrel.app", {"--moved-from", image.string()})
        .moves()
        .putAwayWhereItCameFrom();
    Platform::turnLoop(1.5);
    EXPECT_TRUE(mounted("/Volumes/Quendrel"));
  }
  EXPECT_TRUE(spinUntil([] { return !mounted("/Volumes/Quendrel"); }));
  EXPECT_TRUE(mounted(home / "mnt/Quendrel")) << "not a mounted volume's place";

  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(
      DiskImage::attach(home / "Elsewhere.squashfs", "/media/Quendrel")));
  launchedFrom("/Applications/Quendrel.app", {"--moved-from", "/media/Quendrel/Quendrel.app"})
      .moves()
      .putAwayWhereItCameFrom();
  EXPECT_TRUE(spinUntil([] { return !mounted("/media/Quendrel"); }));
}
