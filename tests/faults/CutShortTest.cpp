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

enum class Step { moveIn, moveOver, staging, inPlace, acrossFileSystems, downloading };

// Version 1.0 runs from the home folder's Applications folder, with 2.0 published by a service
// on this machine, at the start of this step: with 2.0 downloaded, to be moved in (with nothing
// there yet) or over 1.0; with an earlier preparation's leftovers to clear; with 2.0 staged (and
// the Applications folder a tmpfs of its own, for a swap across file systems); or with a
// service that stops half-way through the image.
struct Computer {
  explicit Computer(Step step, std::optional<Release>* reuse = nullptr)
      : step(step),
        moving(step == Step::moveIn || step == Step::moveOver),
        staging(step == Step::staging),
        release(reuse && *reuse ? **reuse : makeRelease(home.path())),
        server(answer(404, ""),
               {{"/app/latest", answer(200, release.feed)},
                {"/app/download", step != Step::downloading
                                      ? answer(200, release.image)
                                      : Misbehaviour{Misbehaviour::Kind::stall, head(200, length),
                                                     release.image, release.image.size() / 2}}}) {
    if (reuse) *reuse = release;
    fs::create_directories(apps);
    scratched = step == Step::acrossFileSystems &&
                mount("scratch", apps.c_str(), "tmpfs", 0, "mode=0755") == 0;
    EXPECT_EQ(scratched, step == Step::acrossFileSystems);
    if (step != Step::moveIn) makeApp(ours, "1.0", &key, server.base());
    if (staging) write(AppUpdate::staging() / "left-over", "from an earlier run");
    if (step == Step::inPlace || scratched) makeApp(staged, "2.0", &key);
    if (moving) makeApp(source, "2.0", &key);
    // A download carries the quarantine attribute, which the copy loses before it is checked.
    for (const char* item : {"", "Contents/MacOS/Quendrel", "Contents/Resources/payload"})
      EXPECT_TRUE(!moving ||
                  attributes::set(source / item, attributes::quarantine, "0081;download") == 0);
  }
  ~Computer() {
    if (scratched) umount2(apps.c_str(), MNT_DETACH);
  }
  // Moves the download in, prepares the update (stages it) or installs what is staged, cut
  // short at step `at` of those made below `under` (the home folder when not given); the
  // killpoint library is preloaded only to cut short or to log.
  Ran go(const std::string& what, long at = 0, const fs::path& log = {}, fs::path under = {}) {
    return drive({what, what == "move" ? source : ours, what == "move" ? ours : staged},
                 at == 0 && log.empty() ? Environment{}
                                        : killpoint(under.empty() ? home.path() : under, at, log));
  }
  std::string what() const { return moving ? "move" : staging ? "prepare" : "install"; }
  // All the steps of a run that goes through.
  Steps uncut() {
    EXPECT_EQ(go(what(), 0, home / "log").out, moving    ? "moved\n"
                                               : staging ? "staged\n"
                                                         : "installed\n");
    return steps(home / "log", home.path());
  }
  // However it was cut short: nothing (for a move in), or one whole version that starts; a
  // move leaves its source as it was; and the next move, or the update, finishes from there,
  // leaving nothing else beside the bundle.
  void cutShort(long at) {
    EXPECT_EQ(go(what(), at).status, 128 + 9);
    EXPECT_TRUE((step == Step::moveIn && !fs::exists(ours)) ||
                ((whole(ours, "1.0", key) || whole(ours, "2.0", key)) && startsUp(ours)))
        << "one whole version, and it starts";
    EXPECT_TRUE(!moving || (whole(source, "2.0", key) && quarantined(source))) << "source changed";
    EXPECT_TRUE(!moving || go("move").out == "moved\n") << "the move after it";
    if (!whole(ours, "2.0", key)) {
      EXPECT_TRUE(whole(staged, "2.0", key) || go("prepare").out == "staged\n");
      EXPECT_EQ(go("install").out, "installed\n");
    }
    EXPECT_TRUE(whole(ours, "2.0", key) && startsUp(ours) && !quarantined(ours)) << "finishing";
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "no image is left attached";
    // What a swap across file systems left beside the bundle goes with the next move there.
    if (!moving) Settling::clearLeftovers(apps, std::chrono::system_clock::now());
    EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Quendrel.app"});
  }
  bool quarantined(const fs::path& app) {
    return attributes::has(app / "Contents/MacOS/Quendrel", attributes::quarantine);
  }

  Step step;
  bool moving, staging;
  Home home;
  Release release;
  const Key& key = release.key;
  const std::string length = std::to_string(release.image.size());
  HostileServer server;
  fs::path apps = home / "Applications", ours = apps / "Quendrel.app",
           staged = AppUpdate::staging() / "Quendrel.app", source = home / "Downloads/Quendrel.app";
  bool scratched = false;
};

}  // namespace

TEST(CutShort, MovesAndUpdates) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  std::optional<Release> release;
  int tried = 0;
  // In the same file system the swap is one rename; across file systems the new version is
  // first copied beside the bundle.
  for (const auto& [name, step, every] :
       {std::tuple{"move into an empty folder", Step::moveIn, 4},
        {"move over an older copy", Step::moveOver, 4},
        {"update cut short while staging", Step::staging, 2},
        {"update put in place", Step::inPlace, 4},
        {"update put in place across file systems", Step::acrossFileSystems, 4}}) {
    if (step == Step::acrossFileSystems && !inSandbox()) continue;
    const Steps lines = Computer(step, &release).uncut();
    // A move's steps hold the cleared attributes and the step into place.
    if (step <= Step::moveOver) {
      EXPECT_EQ(std::pair(calls(lines, "removexattr"), calls(lines, "renameat2")),
                std::pair(3L, 1L));
    }
    tried += sweep(name, lines, changesAndEveryNthCopy(every),
                   [&](long at) { Computer(step, &release).cutShort(at); });
  }
  EXPECT_GE(tried, inSandbox() ? 33 : 27);
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
  ASSERT_EQ(computer.go("prepare", 0, computer.home / "log", "/").out, "staged\n");
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
    EXPECT_EQ(computer.go("install").out,
              ours ? "installed\n"
                   : "Could not put the new Quendrel in place: It has changed since it was "
                     "downloaded and checked.\n");
    EXPECT_TRUE(whole(computer.ours, ours ? "2.0" : "1.0", computer.key));
    EXPECT_EQ(starts().empty(), !ours) << "nothing but the same key's copy is started";
  }
}
