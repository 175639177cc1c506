// Moves killed with SIGKILL at each step of putting a copy in place: inside the hidden copy
// (every fourth folder, file or link made), after each quarantine attribute is cleared (the
// last of them is also where the check of the copy ends, which changes nothing on disk), after
// the rename (or swap) into place, and after the removal of what it replaced. Whatever the step,
// the target holds nothing, the old whole copy or the new whole copy, the source is untouched,
// and the next move puts the new copy in place and leaves nothing else behind.
//
// Updates killed with SIGKILL: half-way through the download, while staging the new version
// (the staging folder cleared, the image saved and its mount folder made, and every second
// item of the staged copy), and while putting it in place (after the swap, after the removal of
// the old bundle, and across file systems inside the copy made beside it). Whatever the step,
// the application on disk is one whole, validly signed version that starts, and the next
// preparation and install finish the update. And two of the security checks: an update writes
// nothing outside the user's own Library, and a staged copy signed by another key, or by
// nobody, is never put in place.
#include <sys/mount.h>

#include <optional>

#include "Faults.h"
#include "platform/Attributes.h"

using namespace faults_testing;
namespace attributes = Platform::Attributes;

namespace {

enum class Step { staging, inPlace, acrossFileSystems, downloading };

// Version 1.0 runs from the home folder's Applications folder, with 2.0 published by a service
// on this machine, at the start of this step: with an earlier preparation's leftovers to clear;
// with 2.0 staged (and the Applications folder a tmpfs of its own, for a swap across file
// systems); or with a service that stops half-way through the image.
struct Computer {
  explicit Computer(Step step, std::optional<Release>* reuse = nullptr)
      : staging(step == Step::staging),
        release(reuse && *reuse ? **reuse : makeRelease(home.path())),
        server(answer(404, ""),
               {{"/app/latest", answer(200, release.feed)},
                {"/app/download", step != Step::downloading
                                      ? answer(200, release.image)
                                      : Misbehaviour{Misbehaviour::Kind::stall, head(200, length),
                                                     release.image, release.image.size() / 2}}}) {
    if (reuse) *reuse = release;
    fs::create_directories(ours.parent_path());
    scratched = step == Step::acrossFileSystems &&
                mount("scratch", ours.parent_path().c_str(), "tmpfs", 0, "mode=0755") == 0;
    EXPECT_EQ(scratched, step == Step::acrossFileSystems);
    makeApp(ours, "1.0", &key, server.base());
    if (staging) write(AppUpdate::staging() / "left-over", "from an earlier run");
    if (step == Step::inPlace || scratched) makeApp(staged, "2.0", &key);
  }
  ~Computer() {
    if (scratched) umount2(ours.parent_path().c_str(), MNT_DETACH);
  }
  // Prepares the update (stages it), or installs what is staged.
  // Cut short at step `at` of those made below `under` (the home folder when not given).
  Ran update(bool preparing, long at = 0, const fs::path& log = {}, fs::path under = {}) {
    return drive({preparing ? "prepare" : "install", ours, staged},
                 killpoint(under.empty() ? home.path() : under, at, log));
  }
  // All the steps of a run that goes through.
  Steps uncut() {
    EXPECT_EQ(update(staging, 0, home / "log").out, staging ? "staged\n" : "installed\n");
    return steps(home / "log", home.path());
  }
  // However the update was cut short: one whole version that starts, and the update finishes
  // from there.
  void cutShort(long at) {
    EXPECT_EQ(update(staging, at).status, 128 + 9);
    EXPECT_TRUE((whole(ours, "1.0", key) || whole(ours, "2.0", key)) && startsUp(ours))
        << "one whole version, and it starts";
    if (!whole(ours, "2.0", key)) {
      EXPECT_TRUE(whole(staged, "2.0", key) || update(true).out == "staged\n");
      EXPECT_EQ(update(false).out, "installed\n");
    }
    EXPECT_TRUE(whole(ours, "2.0", key) && startsUp(ours)) << "finishing the update";
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "no image is left attached";
    // What a swap across file systems left beside the bundle goes with the next move there.
    Settling::clearLeftovers(ours.parent_path(), std::chrono::system_clock::now());
    EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
  }

  bool staging;
  Home home;
  Release release;
  const Key& key = release.key;
  const std::string length = std::to_string(release.image.size());
  HostileServer server;
  fs::path ours = home / "Applications/Quendrel.app",
           staged = AppUpdate::staging() / "Quendrel.app";
  bool scratched = false;
};

// A downloaded version 2.0 to move into an Applications folder that is empty or holds 1.0.
struct Scene {
  explicit Scene(bool replacing) {
    makeApp(source, "2.0", &key);
    // A download carries the quarantine attribute, which the copy loses before it is checked.
    for (const char* item : {"", "Contents/MacOS/Quendrel", "Contents/Resources/payload"})
      EXPECT_EQ(attributes::set(source / item, attributes::quarantine, "0081;download"), 0);
    fs::create_directories(apps);
    if (replacing) makeApp(target, "1.0", &key);
  }
  Ran move(long at, const fs::path& log = {}) {
    return drive({"move", source, target}, killpoint(apps, at, log));
  }
  Steps uncut() {
    EXPECT_EQ(move(0, home / "log").out, "moved\n");
    return steps(home / "log", apps);
  }
  bool quarantined(const fs::path& app) {
    return attributes::has(app / "Contents/MacOS/Quendrel", attributes::quarantine);
  }

  Home home;
  Key key = makeKey(home / "release.key");
  fs::path source = home / "Downloads/Quendrel.app", apps = home / "Applications";
  fs::path target = apps / "Quendrel.app";
};

}  // namespace

TEST(UpdateCutShort, WhileStagingAndWhilePuttingItInPlace) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  std::optional<Release> release;
  int tried = 0;
  // In the same file system the swap is one rename; across file systems the new version is
  // first copied beside the bundle.
  for (const auto& [name, step, every] :
       {std::tuple{"update cut short while staging", Step::staging, 2},
        {"update put in place", Step::inPlace, 4},
        {"update put in place across file systems", Step::acrossFileSystems, 4}}) {
    if (step == Step::acrossFileSystems && !inSandbox()) continue;
    tried += sweep(name, Computer(step, &release).uncut(), changesAndEveryNthCopy(every),
                   [&](long at) { Computer(step, &release).cutShort(at); });
  }
  EXPECT_GE(tried, inSandbox() ? 18 : 12);
}

TEST(MoveCutShort, IntoAnEmptyFolderAndOverAnOlderCopy) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  for (const bool replacing : {false, true}) {
    const Steps lines = Scene(replacing).uncut();
    // The cleared attributes and the step into place are among the steps.
    ASSERT_EQ(std::pair(calls(lines, "removexattr"), calls(lines, "renameat2")), std::pair(3L, 1L));
    auto cutShort = [&](long at) {
      Scene s(replacing);
      EXPECT_EQ(s.move(at).status, 128 + 9);
      EXPECT_TRUE(
          (!replacing && !fs::exists(s.target)) ||
          ((whole(s.target, "1.0", s.key) || whole(s.target, "2.0", s.key)) && startsUp(s.target)))
          << "the target is never a partial copy";
      EXPECT_TRUE(whole(s.source, "2.0", s.key) && s.quarantined(s.source)) << "source changed";
      EXPECT_EQ(s.move(0).out, "moved\n") << "the move after it";
      EXPECT_TRUE(whole(s.target, "2.0", s.key) && !s.quarantined(s.target));
      EXPECT_EQ(namesIn(s.apps), std::vector<std::string>{"Quendrel.app"}) << "hidden copies left";
    };
    EXPECT_GE(sweep(replacing ? "move over an older copy" : "move into an empty folder", lines,
                    changesAndEveryNthCopy(4), cutShort),
              replacing ? 8 : 7)
        << "the copy's items are among the steps";
  }
}

TEST(UpdateCutShort, HalfWayThroughTheDownload) {
  Computer computer(Step::downloading);
  const auto before = snapshot(computer.home.path());
  Child preparing(self(), {"--drive", "prepare", computer.ours, computer.staged});
  for (int i = 0; i < 1000 && computer.server.stalled() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(computer.server.stalled(), 1) << "half the image is on its way";
  kill(preparing.pid(), SIGKILL);
  EXPECT_EQ(preparing.wait().status, 128 + 9);
  EXPECT_EQ(difference(snapshot(computer.home.path()), before), "") << "nothing was written";
  EXPECT_TRUE(whole(computer.ours, "1.0", computer.key) && startsUp(computer.ours));
}

// A preparation under an umask of 0 writes nothing anywhere but in the user's own Library,
// where its staging folder is, which nobody else may enter.
TEST(Security, AnUpdateWritesNothingToTheSharedTemporaryFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  umask(0);  // for everybody, in this test's own process
  Computer computer(Step::staging);
  ASSERT_EQ(computer.update(true, 0, computer.home / "log", "/").out, "staged\n");
  const auto lines = steps(computer.home / "log", fs::path());  // every change anywhere
  EXPECT_GE(lines.size(), 10u);
  const std::string library = computer.home.path().relative_path().string() + "/Library";
  for (const auto& line : lines) EXPECT_EQ(line.find(library), line.find(' ') + 1) << line;
  EXPECT_TRUE(fs::is_empty(computer.home.path().parent_path() / "tmp"));
  EXPECT_EQ(fs::status(AppUpdate::staging()).permissions() & fs::perms::all, fs::perms::owner_all);
}

// A staged copy swapped, after its check, for one signed by another key or by nobody is never
// put in place, and nothing is started; the same bytes signed by the same key go in.
TEST(Security, AnUpdateSignedByAnotherKeyOrUnsignedIsNeverInstalled) {
  Computer computer(Step::inPlace);
  const Key theirs = makeKey(computer.home / "theirs.key");
  for (const Key* key : {&theirs, static_cast<const Key*>(nullptr), &computer.key}) {
    fs::remove_all(computer.staged);
    makeApp(computer.staged, "2.0", key);
    const bool ours = key == &computer.key;
    EXPECT_EQ(computer.update(false).out,
              ours ? "installed\n"
                   : "Could not put the new Quendrel in place: It has changed since it was "
                     "downloaded and checked.\n");
    EXPECT_TRUE(whole(computer.ours, ours ? "2.0" : "1.0", computer.key));
    EXPECT_EQ(starts().empty(), !ours) << "nothing but the same key's copy is started";
  }
}
