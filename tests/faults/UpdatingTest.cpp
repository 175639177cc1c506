// Updates killed with SIGKILL: half-way through the download, while staging the new version
// (the staging folder cleared, the image saved and its mount folder made, and every second
// item of the staged copy), and while putting it in place (after the swap, after the removal of
// the old bundle, and across file systems inside the copy made beside it). Whatever the step,
// the application on disk is one whole, validly signed version that starts, and the next
// preparation and install finish the update.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <optional>
#include <thread>

#include "Faults.h"
#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "support/HostileServer.h"
#include "support/LocalServer.h"
#include "update/AppUpdate.h"

using namespace faults_testing;

namespace {

// An empty file system of its own (tmpfs) on a folder, while the object lives.
struct Scratch {
  Scratch(const fs::path& folder, bool wanted) : folder(folder) {
    fs::create_directories(folder);
    mounted = wanted && mount("scratch", folder.c_str(), "tmpfs", 0, "mode=0755") == 0;
  }
  ~Scratch() {
    if (mounted) umount2(folder.c_str(), MNT_DETACH);
  }
  fs::path folder;
  bool mounted = false;
};

// Version 1.0 runs from the home folder's Applications folder (on a file system of its own,
// when asked), with 2.0 published by a service on this machine.
struct Computer {
  explicit Computer(std::optional<Release>& reuse, bool scratch = false)
      : release(reuse ? *reuse : *(reuse = makeRelease(home.path()))),
        applications(ours.parent_path(), scratch) {
    makeApp(ours, "1.0", &key, server.base());
  }

  Ran prepare(long at = 0, const fs::path& log = {}) {
    return drive({"prepare", ours}, killpoint(home.path(), at, log));
  }
  Ran install(long at = 0, const fs::path& log = {}) {
    return drive({"install", ours, staged}, killpoint(home.path(), at, log));
  }

  // However the update was cut short: one whole version that starts, and the update finishes
  // from there.
  void cutShort(const Ran& killed) {
    EXPECT_EQ(killed.status, 128 + 9);
    EXPECT_TRUE(whole(ours, "1.0", key) || whole(ours, "2.0", key)) << "one whole version";
    EXPECT_TRUE(startsUp(ours)) << "and it starts";
    SCOPED_TRACE("finishing the update");
    if (!whole(ours, "2.0", key)) {
      if (!whole(staged, "2.0", key)) {
        EXPECT_EQ(prepare().out, "staged\n");
      }
      EXPECT_EQ(install().out, "installed\n");
    }
    EXPECT_TRUE(whole(ours, "2.0", key));
    EXPECT_TRUE(startsUp(ours));
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "no image is left attached";
    // What a swap across file systems left beside the bundle goes with the next move there.
    Settling::clearLeftovers(ours.parent_path(), std::chrono::system_clock::now());
    EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
  }

  Home home;
  Release release;
  const Key& key = release.key;
  LocalServer server{[this](const std::string& path) {
    if (path == "/app/latest") return Answer{200, release.feed};
    if (path == "/app/download") return Answer{200, release.image};
    return Answer{404, ""};
  }};
  fs::path ours = home / "Applications/Quendrel.app";
  fs::path staged = AppUpdate::staging() / "Quendrel.app";
  Scratch applications;
};

}  // namespace

TEST(UpdateCutShort, WhileStaging) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  std::optional<Release> release;
  Steps lines;
  {
    Computer computer(release);
    write(AppUpdate::staging() / "left-over", "from an earlier run");
    Ran ran = computer.prepare(0, computer.home / "steps.log");
    ASSERT_EQ(ran.out, "staged\n") << ran.err;
    lines = steps(computer.home / "steps.log", computer.home.path());
  }
  ASSERT_GE(lines.size(), 10u);
  sweep("update cut short while staging", lines, changesAndEveryNthCopy(2), [&](long at) {
    Computer computer(release);
    // An earlier preparation's leftovers are there to be cleared.
    write(AppUpdate::staging() / "left-over", "from an earlier run");
    computer.cutShort(computer.prepare(at));
  });
}

TEST(UpdateCutShort, WhilePuttingItInPlace) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  // In the same file system the swap is one rename; across file systems the new version is
  // first copied beside the bundle.
  for (bool across : {false, true}) {
    if (across && !inSandbox()) continue;
    std::optional<Release> release;
    auto scene = [&] {
      auto computer = std::make_unique<Computer>(release, across);
      EXPECT_EQ(computer->applications.mounted, across);
      makeApp(computer->staged, "2.0", &computer->key);
      return computer;
    };
    Steps lines;
    {
      auto computer = scene();
      Ran ran = computer->install(0, computer->home / "steps.log");
      ASSERT_EQ(ran.out, "installed\n") << ran.err;
      lines = steps(computer->home / "steps.log", computer->home.path());
      ASSERT_GE(lines.size(), across ? 10u : 2u);
      EXPECT_EQ(calls(lines, "renameat2"), 1);
    }
    sweep(across ? "update put in place across file systems" : "update put in place", lines,
          changesAndEveryNthCopy(4), [&](long at) {
            auto computer = scene();
            computer->cutShort(computer->install(at));
          });
  }
}

TEST(UpdateCutShort, HalfWayThroughTheDownload) {
  std::optional<Release> release;
  Computer computer(release);
  const std::string size = std::to_string(release->image.size());
  HostileServer server(
      {Misbehaviour::Kind::whole, head(404), ""},
      {{"/app/latest", {Misbehaviour::Kind::whole, head(200), release->feed}},
       {"/app/download",
        {Misbehaviour::Kind::stall, head(200, size), release->image, release->image.size() / 2}}});
  fs::remove_all(computer.ours);
  makeApp(computer.ours, "1.0", &computer.key, server.base());
  const auto before = snapshot(computer.home.path());

  Child preparing(self(), {"--drive", "prepare", computer.ours.string()});
  for (int i = 0; i < 1000 && server.stalled() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(server.stalled(), 1) << "half the image is on its way";
  kill(preparing.pid(), SIGKILL);
  EXPECT_EQ(preparing.wait().status, 128 + 9);
  EXPECT_EQ(difference(snapshot(computer.home.path()), before), "") << "nothing was written";
  EXPECT_TRUE(whole(computer.ours, "1.0", computer.key) && startsUp(computer.ours));
}
