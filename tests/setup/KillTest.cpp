// Setup runs killed with SIGKILL at exact steps — every marker written, every folder made,
// every file created (but not yet filled), every item moved or removed — and run again.
// Whatever the step, the user's kept items survive, the marker never says the run is done
// when it is not, and the next run finishes the job.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "support/KillSweep.h"

using namespace setup_testing;

namespace {

struct Scene {
  explicit Scene(bool existing) : existing(existing) {
    if (!existing) return;
    writeInstallation(desk);
    write(aside / "older", "an older aside\n");
    kept = keptItems(desk);
    installed = snapshot(desk);
  }

  fs::path root() const { return computer.home.path().parent_path(); }
  bool keptIn(const fs::path& folder) const { return contains(keptItems(folder), kept); }
  // A setup through quendrelctl, killed after the `at`th change under the root (0: never).
  Ran setUp(long at, const fs::path& log = {}) {
    return computer.ctl({"setup", "123456", "--terms", "v"}, killpoint(root(), at, log));
  }

  // What must hold however the run was cut short.
  void checkAfterKill() {
    EXPECT_TRUE(!existing || keptIn(desk) || keptIn(aside))
        << "the user's kept items are whole in the installation or its aside";
    const bool untouched = existing ? snapshot(desk) == installed : !fs::exists(desk);
    const bool finished = fs::exists(desk / "agent-installed") && (!existing || keptIn(desk));
    EXPECT_TRUE(fs::exists(computer.marker()) || untouched || finished)
        << "no marker, so the run must have done nothing or all";
    for (auto& entry : fs::directory_iterator(computer.temporary())) {
      if (!entry.path().filename().string().starts_with("quendrel-keep-")) continue;
      struct stat s;
      ASSERT_EQ(lstat(entry.path().c_str(), &s), 0);
      EXPECT_EQ(std::pair(s.st_mode & 07777, s.st_uid), std::pair(0700u, getuid()))
          << "a keep folder left behind stays private";
    }
  }

  // A run to the end, and what it must leave.
  void checkFinished() {
    SCOPED_TRACE("run again");
    Ran ran = setUp(0);
    EXPECT_EQ(std::pair(ran.status, ran.out), std::pair(0, std::string(done) + "\n")) << ran.err;
    EXPECT_TRUE(!existing || keptIn(desk));
    EXPECT_EQ(read(desk / "VERSION") + read(desk / "agent-installed"),
              std::string(payloadVersion) + "installed\n");
    EXPECT_TRUE(fs::exists(desk / "Quendrel.app/Contents/Info.plist"));
    EXPECT_FALSE(fs::exists(computer.marker()));
  }

  Computer computer;
  const fs::path desk = computer.desk(), aside = desk.parent_path() / "Desk-previous";
  bool existing;
  Tree kept;       // the user's kept items before the run
  Tree installed;  // the whole installation before the run
};

// The counted steps of an uninterrupted run.
Steps stepsOfARun(bool existing) {
  Scene scene(existing);
  const fs::path log = scene.root() / "steps.log";
  EXPECT_EQ(scene.setUp(0, log).status, 0);
  return steps(log, scene.root());
}

// Every step that writes the marker, moves something or makes a keep folder, and every
// `every`th of the rest: the copies are cut short at files in the middle of their trees.
bool chosen(std::size_t i, const std::string& step, std::size_t every) {
  return step.find(".tarvic-setting-up") != std::string::npos || step.starts_with("rename") ||
         (step.starts_with("mkdir") && step.find("quendrel-keep-") != std::string::npos) ||
         i % every == 0;
}

void sweepSetUp(bool existing, std::size_t every) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const Steps all = stepsOfARun(existing);
  ASSERT_GT(all.size(), existing ? 40u : 20u);
  const char* what = existing ? "setup over an installation" : "setup on a fresh computer";
  EXPECT_GE(sweep(
                what, all, [every](auto i, auto& step) { return chosen(i, step, every); },
                [&](long at) {
                  Scene scene(existing);
                  EXPECT_EQ(scene.setUp(at).status, 128 + 9);
                  scene.checkAfterKill();
                  scene.checkFinished();
                }),
            20);
}

}  // namespace

TEST(CutShort, OverAnInstallationAtEveryMarkerStepAndInsideEachCopy) {
  sweepSetUp(true, 1);
}
TEST(CutShort, OnAFreshComputer) {
  sweepSetUp(false, 1);
}

// The run that repairs is cut short too, at a step of its own.
TEST(CutShort, TwiceInARowThenToTheEnd) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const Steps all = stepsOfARun(true);
  std::vector<long> points;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (chosen(i, all[i], 7)) points.push_back(static_cast<long>(i + 1));
  }
  Tally tally("setup cut short twice in a row", "recovered");
  for (std::size_t i = 0; i < points.size(); i += 2) {
    const long first = points[i], second = points[(i * 5 + 3) % points.size()];
    Scene scene(true);
    for (bool again : {false, true}) {
      const long at = again ? second : first;
      tally.check((again ? "then after " : "first killed after ") + std::to_string(at), [&] {
        scene.setUp(at);
        scene.checkAfterKill();
        if (again) scene.checkFinished();
      });
    }
  }
}
