// Updates against a real local service, with real images and real signatures: the feed and
// the version order; quendrel-release; fetching and staging a newer version; and the update
// as the user meets it: the menu's update line, the relaunch (this version quits only once
// the new one has said it is up; one that crashes, cannot run or never answers is stopped and
// the old bundle goes back), and what the user is told when it fails.
//
// The releases are bundles whose program notes each start, published with quendrel-release
// (or by hand, for images it would never make), and the running copy is version 1.0, signed
// with the release key, in the home's Applications folder.
#include <signal.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <future>

#include "app/Manager.h"
#include "placement/Identity.h"
#include "platform/Attributes.h"
#include "platform/Digest.h"
#include "setup/Installer.h"
#include "support/Bundles.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "support/ScriptedUi.h"
#include "text/Version.h"
#include "update/AppUpdate.h"

using namespace placement_testing;
using testing_support::difference;
using testing_support::mountedBelow;
using testing_support::namesIn;
using testing_support::read;
using testing_support::prepareNow;
using testing_support::saysUp;
using testing_support::snapshot;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

// A bundle of this version whose program notes its process in $HOME/<version>.pid, appends
// "<version> <QUENDREL_NEW_INSTANCE>" to $HOME/started, then runs `program`.
inline App noting(const std::string& version, const std::string& program = saysUp) {
  App app{"com.quendrel.manager", version};
  app.script = "#!/bin/bash\necho \"$$\" > \"$HOME/" + version + ".pid\"\necho \"" + version +
               " ${QUENDREL_NEW_INSTANCE:-}\" >> \"$HOME/started\"\n" + program;
  return app;
}

// quendrel-release BUNDLE --key KEY --out DIR.
inline Ran release(const fs::path& bundle, const Key& key, const fs::path& out) {
  return run(BUILD_ROOT "/quendrel-release",
             {bundle.string(), "--key", key.file.string(), "--out", out.string()});
}

const std::string staged = "staged";

struct Updating : ::testing::Test {
  Updating() {
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
    App app = noting("1.0");
    app.service = server.base();
    makeApp(ours, app, &key);
    testing_support::pretendMainBundle(ours);
  }

  // This version built with this program (and mode), published with quendrel-release, served.
  AppUpdate::Published publish(const std::string& version = "2.0",
                               const std::string& program = saysUp, unsigned mode = 0755) {
    const fs::path app = home / ("build-" + version + "/Some Name.app");
    makeApp(app, noting(version, program), nullptr);
    fs::permissions(app / "Contents/MacOS/Quendrel", static_cast<fs::perms>(mode));
    auto ran = release(app, key, home / "releases");
    EXPECT_NE(ran.output.find("Quendrel " + version + " published"), std::string::npos);
    feed = read(home / "releases/latest.json");
    download = read(home / "releases" / AppUpdate::readFeed(feed).value().file());
    return *AppUpdate::readFeed(feed);
  }
  // These bytes served as the image of version 2.0.
  AppUpdate::Published offer(const std::string& image) {
    download = image;
    feed = "{\"version\": \"2.0\", \"sha256\": \"" + Platform::sha256Hex(image) +
           "\", \"file\": \"Quendrel-2.0.img\"}";
    return *AppUpdate::readFeed(feed);
  }

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
    return std::atoi(read(home / (version + ".pid")).c_str());  // 0 before
  }

  testing_support::Home home;
  std::string feed, download;
  testing_support::LocalServer server{[this](const std::string& path) {
    return testing_support::Answer{200, path == "/app/latest" ? feed : download};
  }};
  Key key = makeKey(home / "release.key");
  const fs::path ours = home / "Applications/Quendrel.app", staging = AppUpdate::staging();
  testing_support::ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

// How a piece reads as a number is the port variables' business, and the order's laws are
// the fuzz harness's: each case here takes its own way through the comparison.
TEST(AppUpdate, VersionOrderAndFeedEntries) {
  const std::tuple<const char*, const char*, bool> versions[] = {
      {"1.10", "1.9", true},   {"1.2.1", "1.2", true},    // by number; a missing piece is 0
      {"2.0-rc1", "2", false}, {"2.0-rc1", "1.9", true},  // not a number: 0
      {"1..2", "1.2", false},  {"", "-1", true},          // empty pieces are skipped
  };
  for (const auto& [a, b, newer] : versions) EXPECT_EQ(Text::newerVersion(a, b), newer) << a << b;

  auto entry = AppUpdate::readFeed(
      R"({"version": "1.4", "sha256": "AB12", "file": "Quendrel-1.4.img", "notes": 3})");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->version() + " " + entry->sha256() + " " + entry->file(),
            "1.4 AB12 Quendrel-1.4.img");
  // Wrong types and deep nesting are the hostile feeds' business.
  EXPECT_FALSE(AppUpdate::readFeed(R"({"version": "1.4", "sha256": "ab"})") ||
               AppUpdate::readFeed(R"([{"version": "1.4", "sha256": "ab", "file": "f"}])"));
}

// That the image holds the bundle, signed, under the current name, with the feed's digest,
// is shown by the preparations below, which stage what it publishes.
TEST_F(Updating, ReleasesArePublishedBesideTheEarlierOnesOrRefused) {
  publish("2.1");
  publish("2.2");
  App other = noting("2.3");
  other.identifier = "com.example.other";
  makeApp(home / "Other.app", other, nullptr);
  makeApp(home / "Odd.app", noting("2.0/../../x"), nullptr);  // would name a file elsewhere
  const fs::path app = home / "build-2.1/Some Name.app", out = home / "releases";
  const std::tuple<Ran, int, std::string> cases[] = {
      {run(BUILD_ROOT "/quendrel-release", {app.string()}), 2, "usage: "},
      {release(app, {out / "latest.json", "", ""}, out), 1, "is not a signing key"},
      {release(home / "Other.app", key, out), 1, "is not a Quendrel bundle"},
      {release(home / "Odd.app", key, out), 1, "cannot name a release"},
  };
  for (const auto& [ran, status, says] : cases)
    EXPECT_TRUE(ran.status == status && ran.output.find(says) != std::string::npos) << ran.output;
  EXPECT_EQ(AppUpdate::readFeed(read(out / "latest.json"))->file(), "Quendrel-2.2.img");
  EXPECT_EQ(namesIn(out),
            (std::vector<std::string>{"Quendrel-2.1.img", "Quendrel-2.2.img", "latest.json"}))
      << "the earlier image stays for whoever still fetches it; nothing else is left";
}

// Under a digest in upper case and a plain name that merely looks odd.
TEST_F(Updating, ANewerVersionIsStagedAsItWasBuiltAndNothingElseIs) {
  const fs::path root = home.path().parent_path(), built = home / "build-2.0/Some Name.app";
  std::string digest = publish().sha256();
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // A published name is only ever a file in the staging folder.
  fs::create_directories(staging);
  const auto before = snapshot(root, staging);
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                  std::string("../../escape.img"), std::string("x\0y", 3)}) {
    EXPECT_EQ(prepareNow({"2.0", digest, name}),
              "Could not save it: The name it is published under is not a plain file name.");
    EXPECT_EQ(difference(snapshot(root, staging), before), "") << name;
  }
  write(staging / "left-over", "from an earlier run");

  // Where it is staged counts for the relaunch, which puts it in place.
  ASSERT_EQ(prepareNow({"2.0", digest, "..Quendrel 2.0 .img"}), staged);
  const fs::path app = staging / "Quendrel.app",
                 readme = "Contents/Resources/payload/presets/README";
  EXPECT_EQ(difference(snapshot(built), snapshot(app)), "") << "modes, links and contents";
  // Signed and whole, its times and attributes kept; the running copy is not touched.
  EXPECT_EQ(std::tuple(valid(app),
                       fs::last_write_time(app / readme) == fs::last_write_time(built / readme),
                       Platform::Attributes::has(app / readme, "user.quendrel.note"),
                       Settling::version(ours)),
            std::tuple(true, true, true, "1.0"));
  EXPECT_EQ(namesIn(staging),
            (std::vector<std::string>{"..Quendrel 2.0 .img", "Quendrel.app", "mount"}))
      << "the image is kept and detached, and every preparation starts afresh";
  EXPECT_FALSE(mountedBelow(staging));

  // What is not the signed published version is never staged.
  // Whether what is staged is signed like us is the hostile downloads' and security checks'
  // business.
  const auto byHand = [&](const std::string& folder) {  // an image of the folder, served
    EXPECT_TRUE(makeImage(home / folder, home / (folder + ".img")));
    return offer(read(home / (folder + ".img")));
  };
  makeApp(home / "earlier/Tarvic.app", noting("2.0"), &key);
  EXPECT_EQ(prepareNow(byHand("earlier")), staged) << "the earlier name";
  EXPECT_TRUE(fs::exists(staging / "Quendrel.app") && !fs::exists(staging / "Tarvic.app"));
  makeApp(home / "link/Other.app", noting("2.0"), &key);
  fs::create_symlink("Other.app", home / "link/Quendrel.app");
  EXPECT_EQ(prepareNow(byHand("link")), "The new Quendrel could not be unpacked.");
  EXPECT_FALSE(fs::exists(fs::symlink_status(staging / "Quendrel.app")));
  EXPECT_EQ(prepareNow(offer("not a disk image")), "The downloaded disk image would not open.");
  EXPECT_FALSE(mountedBelow(staging));
  EXPECT_EQ(read(staging / "Quendrel-2.0.img"), "not a disk image") << "it stays for a look";
}

// Then, with the new version put back in reach, the relaunch goes through: this version
// quits only once the new one, started as a new instance, has said it is up.
TEST_F(Updating, WhatKeepsTheNewVersionFromItsPlaceIsToldAndTheClickMayBeTriedAgain) {
  if (!testing_support::inSandbox()) GTEST_SKIP() << "needs a mount namespace of its own";
  const fs::path staged = staging / "Quendrel.app", aside = home / "aside.app";
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
  write(home / "go", "");
  ASSERT_TRUE(spinUntil([&] { return manager->terminated(); }, 60));
  // Without a word, the new version runs on, alone, as a new instance.
  EXPECT_EQ(std::tuple(ui.alerts.size(), kill(pidOf("2.0"), SIGKILL), testing_support::starts(),
                       namesIn(ours.parent_path())),
            std::tuple(0u, 0, "2.0 1\n", std::vector<std::string>{"Quendrel.app"}));
}

// Whether nothing newer is fetched is the quendrelctl tests' business (it checks as the menu
// does). Once something newer was, nothing is clickable until it is ready.
TEST_F(Updating, AFetchThatFailsOrANewVersionThatDoesNotComeUpLeavesTheOldOneCarryingOn) {
  offer("not a disk image"), download = "something else";
  EXPECT_TRUE(launchUntil("Quendrel 2.0 could not be fetched")) << line();
  EXPECT_FALSE(clickable());
  const std::tuple<std::string, std::string, unsigned> cases[] = {
      {"2.1", "kill -SEGV $$\n", 0755},  // crashes at launch
      {"2.2", "", 0644},                 // cannot run
      // Never answers in time: it must not carry on beside this one.
      {"2.3", std::string("sleep 30\n") + saysUp, 0755},
  };
  const auto before = snapshot(ours);
  for (const auto& [version, program, mode] : cases) {
    SCOPED_TRACE(version);
    if (version == "2.3") setenv("QUENDREL_RELAUNCH_SECONDS", "2", 1);
    ui.alerts.clear();
    publish(version, program, mode);
    ASSERT_TRUE(launchUntil("Relaunch to finish updating to " + version)) << line();
    ui.item->choose(Manager::updateLine);
    spinUntil([&] { return !ui.alerts.empty() || manager->terminated(); }, 60);
    Platform::turnLoop(0.5);
    // This version carries on from the old bundle where it stood, and the same relaunch is
    // not offered again.
    EXPECT_EQ(std::tuple(manager->terminated(), warned(), difference(before, snapshot(ours)),
                         namesIn(ours.parent_path()), line(), clickable()),
              std::tuple(false, "The new version could not be opened, so this one carries on.", "",
                         std::vector<std::string>{"Quendrel.app"},
                         "Quendrel " + version + " could not be opened", false));
    if (pid_t pid = pidOf(version); pid > 0) {
      EXPECT_NE(kill(pid, 0), 0) << "the new version does not run on";
      kill(-pid, SIGKILL);  // what it started, such as its sleep
    }
  }
}
