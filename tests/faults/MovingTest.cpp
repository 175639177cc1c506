// Moves killed with SIGKILL at each step of putting a copy in place: inside the hidden copy
// (every fourth folder, file or link made), after each quarantine attribute is cleared (the
// last of them is also where the check of the copy ends, which changes nothing on disk), after
// the rename (or swap) into place, and after the removal of what it replaced. Whatever the step,
// the target holds nothing, the old whole copy or the new whole copy, the source is untouched,
// and the next move puts the new copy in place and leaves nothing else behind.

#include "Faults.h"
#include "platform/Attributes.h"

using namespace faults_testing;
namespace attributes = Platform::Attributes;

namespace {

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
