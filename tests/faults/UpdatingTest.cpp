// Updates killed with SIGKILL: half-way through the download, while staging the new version
// (the staging folder cleared, the image saved and its mount folder made, and every second
// item of the staged copy), and while putting it in place (after the swap, after the
// removal of the old bundle, and across file systems inside the copy made beside it). Whatever the
// step, the application on disk is one whole, validly signed version that starts, and the next
// preparation and install finish the update.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <thread>

#include "Faults.h"
#include "placement/Moving.h"
#include "support/Home.h"
#include "support/HostileServer.h"
#include "support/LocalServer.h"
#include "update/AppUpdate.h"

using namespace faults_testing;
using testing_support::Answer;
using testing_support::Home;
using testing_support::HostileServer;
using testing_support::LocalServer;
using testing_support::Misbehaviour;
using testing_support::read;

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
// when asked) once `place` has put it there; 2.0 is published, or already staged.
struct Computer {
  explicit Computer(const Release* reuse = nullptr, bool scratch = false)
      : release(reuse ? *reuse : makeRelease(home.path())),
        applications(ours.parent_path(), scratch) {}

  void place(const std::string& service) { makeApp(ours, "1.0", &key, service); }

  Ran prepare(long at = 0, const fs::path& log = {}) {
    return drive({"prepare", ours}, killpoint(home.path(), at, log));
  }
  Ran install(long at = 0, const fs::path& log = {}) {
    return drive({"install", ours, staged}, killpoint(home.path(), at, log));
  }

  // What must hold however the update was cut short: one whole version that starts.
  void checkApplication(const std::string& where) {
    SCOPED_TRACE("killed after " + where);
    EXPECT_TRUE(whole(ours, "1.0", key) || whole(ours, "2.0", key)) << "one whole version";
    EXPECT_TRUE(startsUp(ours)) << "and it starts";
  }

  // The update, finished from wherever it was cut short.
  void checkFinishes() {
    if (!whole(ours, "2.0", key)) {
      if (!whole(staged, "2.0", key)) {
        Ran prepared = prepare();
        EXPECT_EQ(prepared.out, "staged\n") << prepared.err;
      }
      Ran installed = install();
      EXPECT_EQ(installed.out, "installed\n") << installed.err;
    }
    EXPECT_TRUE(whole(ours, "2.0", key));
    EXPECT_TRUE(startsUp(ours));
    EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "no image is left attached";
    // What a swap across file systems left beside the bundle goes with the next move there.
    Settling::clearLeftovers(ours.parent_path(), std::chrono::system_clock::now());
    EXPECT_EQ(namesIn(ours.parent_path()), std::vector<std::string>{"Quendrel.app"});
  }

  OriginalTemporary temporary;
  Home home;
  Release release;
  const Key& key = release.key;
  const std::string& image = release.image;
  const std::string& feed = release.feed;
  fs::path ours = home / "Applications/Quendrel.app";
  fs::path staged = AppUpdate::staging() / "Quendrel.app";
  Scratch applications;
};

// A service that publishes version 2.0 to the computer.
struct Published {
  explicit Published(const Release* reuse = nullptr)
      : computer(reuse), server([this](const std::string& path) {
          if (path == "/app/latest") return Answer{200, computer.feed};
          if (path == "/app/download") return Answer{200, computer.image};
          return Answer{404, ""};
        }) {
    computer.place(server.base());
  }
  Computer computer;
  LocalServer server;
};

}  // namespace

TEST(UpdateCutShort, WhileStaging) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  std::vector<std::string> lines;
  std::optional<Release> release;
  {
    Published service;
    release = service.computer.release;
    const fs::path log = service.computer.home / "steps.log";
    testing_support::write(AppUpdate::staging() / "left-over", "from an earlier run");
    Ran ran = service.computer.prepare(0, log);
    ASSERT_EQ(ran.out, "staged\n") << ran.err;
    lines = steps(log, service.computer.home.path());
  }
  ASSERT_GE(lines.size(), 10u);
  int tried = 0, recovered = 0;
  for (long at : chosen(lines, 2)) {
    const std::string where = std::to_string(at) + ": " + lines[at - 1];
    const int before = failures();
    Published service(&*release);
    Computer& computer = service.computer;
    // An earlier preparation's leftovers are there to be cleared.
    testing_support::write(AppUpdate::staging() / "left-over", "from an earlier run");
    Ran killed = computer.prepare(at);
    ++tried;
    EXPECT_EQ(killed.status, 128 + 9) << where;
    computer.checkApplication(where);
    SCOPED_TRACE("finishing after " + where);
    computer.checkFinishes();
    if (failures() == before) ++recovered;
  }
  report("update cut short while staging", tried, recovered);
  EXPECT_EQ(recovered, tried);
}

TEST(UpdateCutShort, HalfWayThroughTheDownload) {
  Computer computer;
  HostileServer server(
      {Misbehaviour::Kind::whole, testing_support::head(404), ""},
      {{"/app/latest", {Misbehaviour::Kind::whole, testing_support::head(200), computer.feed}},
       {"/app/download",
        {Misbehaviour::Kind::stall,
         testing_support::head(200, std::to_string(computer.image.size())), computer.image,
         computer.image.size() / 2}}});
  computer.place(server.base());
  const auto before = snapshot(computer.home.path());

  Child preparing(driver(), {"--drive", "prepare", computer.ours.string()});
  for (int i = 0; i < 1000 && server.stalled() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(server.stalled(), 1) << "half the image is on its way";
  kill(preparing.pid(), SIGKILL);
  EXPECT_EQ(preparing.wait().status, 128 + 9);

  EXPECT_EQ(snapshot(computer.home.path()), before) << "nothing was written anywhere";
  computer.checkApplication("half the download");
}

TEST(UpdateCutShort, WhilePuttingItInPlace) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  int tried = 0, recovered = 0;
  // In the same file system the swap is one rename; across file systems the new version is
  // first copied beside the bundle.
  for (bool across : {false, true}) {
    if (across && !inSandbox) continue;
    std::optional<Release> release;
    auto scene = [&] {
      auto computer = std::make_unique<Computer>(release ? &*release : nullptr, across);
      EXPECT_EQ(computer->applications.mounted, across);
      release = computer->release;
      computer->place("http://127.0.0.1:9");
      makeApp(computer->staged, "2.0", &computer->key);
      return computer;
    };
    std::vector<std::string> lines;
    {
      auto computer = scene();
      const fs::path log = computer->home / "steps.log";
      Ran ran = computer->install(0, log);
      ASSERT_EQ(ran.out, "installed\n") << ran.err;
      lines = steps(log, computer->home.path());
      ASSERT_GE(lines.size(), across ? 10u : 2u);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const std::string& l) { return l.rfind("renameat2 ", 0) == 0; }),
                1);
    }
    for (long at : chosen(lines, 4)) {
      const std::string where = std::to_string(at) + ": " + lines[at - 1];
      const int before = failures();
      auto computer = scene();
      Ran killed = computer->install(at);
      ++tried;
      EXPECT_EQ(killed.status, 128 + 9) << where;
      computer->checkApplication(where);
      SCOPED_TRACE("finishing after " + where);
      computer->checkFinishes();
      if (failures() == before) ++recovered;
    }
  }
  report("update cut short while putting it in place", tried, recovered);
  EXPECT_EQ(recovered, tried);
}
