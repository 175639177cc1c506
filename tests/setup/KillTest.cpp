// Setup runs killed with SIGKILL after each of their steps — every marker written, every
// folder made, every file created (but not yet filled), every item moved or removed — and run
// again.
// Whatever the step, the user's kept items survive, the marker never says the run is done
// when it is not, and the next run finishes the job.
#include <gtest/gtest.h>

#include "SetupFixture.h"
#include "support/KillSweep.h"

using namespace setup_testing;

namespace {

// A computer to set up: a fresh one, or one with an installation (and an older aside) in
// either layout, the run's keep folder on the same file system or another.
enum class Kind { fresh, installed, earlierLayout, keptElsewhere };

struct Scene {
  explicit Scene(Kind kind) : kind(kind) {
    fs::create_directories(shm);
    if (kind == Kind::fresh) return;
    writeInstallation(desk);
    write(aside / "older", "an older aside\n");
    kept = keptItems(desk);
    installed = snapshot(desk);
    modified = fs::last_write_time(desk / "projects/Easter/take.bin");
  }
  ~Scene() { fs::remove_all(shm); }

  fs::path root() const { return computer.home.path().parent_path(); }
  bool keptIn(const fs::path& folder) const { return contains(keptItems(folder), kept); }
  // A setup through quendrelctl, killed after the `at`th change under the root (0: never).
  Ran setUp(long at, const fs::path& log = {}) {
    Environment environment = killpoint(root(), at, log);
    environment.emplace_back("TMPDIR", kind == Kind::keptElsewhere ? shm : computer.temporary());
    return computer.ctl({"setup", "123456", "--terms", "v"}, environment);
  }

  // What must hold however the run was cut short.
  void checkAfterKill() {
    EXPECT_TRUE(!existing || keptIn(desk) || keptIn(aside))
        << "the user's kept items are whole in the installation or its aside";
    const bool untouched = existing ? snapshot(desk) == installed : !fs::exists(desk);
    const bool finished = fs::exists(desk / "agent-installed") && (!existing || keptIn(desk));
    EXPECT_TRUE(fs::exists(computer.marker()) || untouched || finished)
        << "no marker, so the run must have done nothing or all";
  }

  // A run to the end, and what it must leave: the kept items with their times, in place of
  // what the payload has under their names, and the application under its layout's name.
  void checkFinished() {
    SCOPED_TRACE("run again");
    Ran ran = setUp(0);
    EXPECT_EQ(std::pair(ran.status, ran.out), std::pair(0, std::string(done) + "\n")) << ran.err;
    EXPECT_TRUE(!existing || (keptIn(desk) &&
                              fs::last_write_time(desk / "projects/Easter/take.bin") == modified));
    EXPECT_EQ(fs::exists(desk / "presets/factory.json"), !existing);
    EXPECT_EQ(read(desk / "VERSION") + read(desk / "agent-installed"),
              std::string(payloadVersion) + "installed\n");
    const bool earlier = kind == Kind::earlierLayout;
    EXPECT_TRUE(fs::exists(desk / (earlier ? "Tarvic.app" : "Quendrel.app") / "Contents"));
    EXPECT_FALSE(fs::exists(computer.marker()));
  }

  Computer computer;
  const Kind kind;
  const bool existing = kind != Kind::fresh;
  const fs::path desk = kind == Kind::earlierLayout ? computer.home / "Tarvic" : computer.desk();
  const fs::path aside = desk.string() + "-previous";
  const fs::path shm = "/dev/shm/quendrel-test-" + std::to_string(getpid());
  Tree kept;                    // the user's kept items before the run
  Tree installed;               // the whole installation before the run
  fs::file_time_type modified;  // of a kept file
};

// The counted steps of an uninterrupted run.
Steps stepsOfARun(Kind kind) {
  Scene scene(kind);
  const fs::path log = scene.root() / "steps.log";
  EXPECT_EQ(scene.setUp(0, log).status, 0);
  return steps(log, scene.root());
}

// Cuts a run short after every `every`th step; `twice`: cuts the run that repairs short too, at
// a step of its own, before the run to the end.
void sweepSetUp(Kind kind, const char* what, std::size_t every, bool twice = false) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const Steps all = stepsOfARun(kind);
  ASSERT_GT(all.size(), 20u);
  EXPECT_GE(sweep(
                what, all, [every](std::size_t i, auto&) { return i % every == 0; },
                [&](long at) {
                  Scene scene(kind);
                  EXPECT_EQ(scene.setUp(at).status, 128 + 9);
                  scene.checkAfterKill();
                  if (twice) {
                    scene.setUp((at * 5 + 3) % static_cast<long>(all.size()) + 1);
                    scene.checkAfterKill();
                  }
                  scene.checkFinished();
                }),
            20);
}

}  // namespace

TEST(CutShort, OverAnInstallation) {
  sweepSetUp(Kind::installed, "setup over an installation", 1);
}
TEST(CutShort, OnAFreshComputer) {
  sweepSetUp(Kind::fresh, "setup on a fresh computer", 1);
}
TEST(CutShort, OverAnInstallationInTheEarlierLayout) {
  sweepSetUp(Kind::earlierLayout, "setup over an installation in ~/Tarvic", 2);
}
TEST(CutShort, WithTheKeepFolderOnAnotherFileSystem) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no second file system to keep on";
  sweepSetUp(Kind::keptElsewhere, "setup keeping on another file system", 2);
}

TEST(CutShort, TwiceInARowThenToTheEnd) {
  sweepSetUp(Kind::installed, "setup cut short twice in a row", 2, true);
}
