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

using namespace faults_testing;

namespace {

enum class Step { staging, inPlace, acrossFileSystems, downloading };

// Version 1.0 runs from the home folder's Applications folder, with 2.0 published by a service
// on this machine, at the start of this step: with an earlier preparation's leftovers to clear;
// with 2.0 staged (and the Applications folder a tmpfs of its own, for a swap across file
// systems); or with a service that stops half-way through the image.
struct Computer {
  Computer(std::optional<Release>& reuse, Step step)
      : step(step),
        release(reuse ? *reuse : *(reuse = makeRelease(home.path()))),
        server(answer(404, ""),
               {{"/app/latest", answer(200, release.feed)},
                {"/app/download", step != Step::downloading
                                      ? answer(200, release.image)
                                      : Misbehaviour{Misbehaviour::Kind::stall, head(200, length),
                                                     release.image, release.image.size() / 2}}}) {
    fs::create_directories(ours.parent_path());
    scratched = step == Step::acrossFileSystems &&
                mount("scratch", ours.parent_path().c_str(), "tmpfs", 0, "mode=0755") == 0;
    EXPECT_EQ(scratched, step == Step::acrossFileSystems);
    makeApp(ours, "1.0", &key, server.base());
    if (step == Step::staging) write(AppUpdate::staging() / "left-over", "from an earlier run");
    if (step == Step::inPlace || scratched) makeApp(staged, "2.0", &key);
  }
  ~Computer() {
    if (scratched) umount2(ours.parent_path().c_str(), MNT_DETACH);
  }
  Ran prepare(long at = 0, const fs::path& log = {}) {
    return drive({"prepare", ours}, killpoint(home.path(), at, log));
  }
  Ran install(long at = 0, const fs::path& log = {}) {
    return drive({"install", ours, staged}, killpoint(home.path(), at, log));
  }
  // All the steps of a run that goes through.
  Steps uncut() {
    Ran ran = step == Step::staging ? prepare(0, home / "log") : install(0, home / "log");
    EXPECT_EQ(ran.out, step == Step::staging ? "staged\n" : "installed\n");
    return steps(home / "log", home.path());
  }
  // However the update was cut short: one whole version that starts, and the update finishes
  // from there.
  void cutShort(long at) {
    EXPECT_EQ((step == Step::staging ? prepare(at) : install(at)).status, 128 + 9);
    EXPECT_TRUE((whole(ours, "1.0", key) || whole(ours, "2.0", key)) && startsUp(ours))
        << "one whole version, and it starts";
    if (!whole(ours, "2.0", key)) {
      EXPECT_TRUE(whole(staged, "2.0", key) || prepare().out == "staged\n");
      EXPECT_EQ(install().out, "installed\n");
    }
    EXPECT_TRUE(whole(ours, "2.0", key) && startsUp(ours)) << "finishing the update";
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "no image is left attached";
    // What a swap across file systems left beside the bundle goes with the next move there.
    Settling::clearLeftovers(ours.parent_path(), std::chrono::system_clock::now());
    EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
  }

  Step step;
  Home home;
  Release release;
  const Key& key = release.key;
  const std::string length = std::to_string(release.image.size());
  HostileServer server;
  fs::path ours = home / "Applications/Quendrel.app",
           staged = AppUpdate::staging() / "Quendrel.app";
  bool scratched = false;
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
    tried += sweep(name, Computer(release, step).uncut(), changesAndEveryNthCopy(every),
                   [&](long at) { Computer(release, step).cutShort(at); });
  }
  EXPECT_GE(tried, inSandbox() ? 18 : 12);
}

TEST(UpdateCutShort, HalfWayThroughTheDownload) {
  std::optional<Release> release;
  Computer computer(release, Step::downloading);
  const auto before = snapshot(computer.home.path());
  Child preparing(self(), {"--drive", "prepare", computer.ours.string()});
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
  std::optional<Release> release;
  Computer computer(release, Step::staging);
  ASSERT_EQ(drive({"prepare", computer.ours}, killpoint("/", 0, computer.home / "log")).out,
            "staged\n");
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
  std::optional<Release> release;
  Computer computer(release, Step::inPlace);
  const Key theirs = makeKey(computer.home / "theirs.key");
  for (const Key* key : {&theirs, static_cast<const Key*>(nullptr), &computer.key}) {
    fs::remove_all(computer.staged);
    makeApp(computer.staged, "2.0", key);
    const bool ours = key == &computer.key;
    EXPECT_EQ(drive({"install", computer.ours, computer.staged}).out,
              ours ? "installed\n"
                   : "Could not put the new Quendrel in place: It has changed since it was "
                     "downloaded and checked.\n");
    EXPECT_TRUE(whole(computer.ours, ours ? "2.0" : "1.0", computer.key));
    EXPECT_EQ(starts().empty(), !ours) << "nothing but the same key's copy is started";
  }
}
