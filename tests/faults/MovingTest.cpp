// Moves killed with SIGKILL at each step of putting a copy in place: inside the hidden copy
// (every fourth folder, file or link made), after each quarantine attribute is cleared (the
// last of them is also where the check of the copy ends, which changes nothing on disk), after
// the rename (or swap) into place, and after the removal of what it replaced. Whatever the step,
// the target holds nothing, the old whole copy or the new whole copy, the source is untouched, and
// the next move puts the new copy in place and leaves nothing else behind.
#include <gtest/gtest.h>

#include "Faults.h"
#include "platform/Attributes.h"
#include "support/Home.h"

using namespace faults_testing;
using testing_support::Home;
namespace attributes = Platform::Attributes;

namespace {

// A downloaded version 2.0 to move into an Applications folder that is empty or holds 1.0.
struct Scene {
  explicit Scene(bool replacing) : replacing(replacing) {
    makeApp(source, "2.0", &key);
    // A download carries the quarantine attribute, which the copy loses before it is checked.
    for (const char* item : {"", "Contents/MacOS/Quendrel", "Contents/Resources/payload"}) {
      // Without it the steps after each cleared attribute would go untested.
      EXPECT_EQ(attributes::set(source / item, attributes::quarantine, "0081;download"), 0)
          << "this file system keeps no extended attributes";
    }
    fs::create_directories(apps);
    if (replacing) makeApp(target, "1.0", &key);
  }

  Ran move(long at, const fs::path& log = {}) {
    return drive({"move", source, target}, killpoint(apps, at, log));
  }

  void checkAfterKill(const std::string& where) {
    SCOPED_TRACE("killed after " + where);
    const bool empty = !replacing && !fs::exists(target);
    EXPECT_TRUE(empty || whole(target, "1.0", key) || whole(target, "2.0", key))
        << "the target is never a partial copy";
    if (fs::exists(target)) {
      EXPECT_TRUE(startsUp(target));
    }
    EXPECT_TRUE(whole(source, "2.0", key)) << "the source is never changed";
    EXPECT_TRUE(attributes::has(source / "Contents/MacOS/Quendrel", attributes::quarantine));
  }

  void checkNextMove() {
    Ran again = move(0);
    EXPECT_EQ(again.out, "moved\n") << again.err;
    EXPECT_TRUE(whole(target, "2.0", key));
    EXPECT_FALSE(attributes::has(target / "Contents/MacOS/Quendrel", attributes::quarantine));
    EXPECT_EQ(namesIn(apps), std::vector<std::string>{"Quendrel.app"})
        << "the hidden copies that were cut short are gone";
  }

  bool replacing;
  OriginalTemporary temporary;
  Home home;
  Key key = makeKey(home / "release.key");
  fs::path source = home / "Downloads/Quendrel.app";
  fs::path apps = home / "Applications";
  fs::path target = apps / "Quendrel.app";
};

void killAtEveryStep(bool replacing, const std::string& name) {
  std::vector<std::string> lines;
  {
    Scene scene(replacing);
    const fs::path log = scene.home / "steps.log";
    Ran ran = scene.move(0, log);
    ASSERT_EQ(ran.out, "moved\n") << ran.err;
    lines = steps(log, scene.apps);
  }
  // The copy's items, the cleared attributes and the step into place are all counted.
  auto count = [&](const std::string& call) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.rfind(call + " ", 0) == 0; });
  };
  EXPECT_GE(count("mkdir"), 5);
  EXPECT_GE(count("open"), 4);
  EXPECT_EQ(count("symlink"), 1);
  EXPECT_EQ(count("removexattr"), 3);
  ASSERT_EQ(count("renameat2"), 1);

  int tried = 0, recovered = 0;
  for (long at : chosen(lines, 4)) {
    const std::string where = std::to_string(at) + ": " + lines[at - 1];
    const int before = failures();
    Scene scene(replacing);
    Ran killed = scene.move(at);
    ++tried;
    EXPECT_EQ(killed.status, 128 + 9) << where;
    scene.checkAfterKill(where);
    SCOPED_TRACE("the move after " + where);
    scene.checkNextMove();
    if (failures() == before) ++recovered;
  }
  report(name, tried, recovered);
  EXPECT_EQ(recovered, tried);
}

}  // namespace

TEST(MoveCutShort, IntoAnEmptyFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  killAtEveryStep(false, "move into an empty folder");
}

TEST(MoveCutShort, OverAnOlderCopy) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  killAtEveryStep(true, "move over an older copy");
}
