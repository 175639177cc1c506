// The real, signed bundle from the build folder, on a real disk image, under a real X server:
// opened with no copy installed, it offers to move; Return moves it into /Applications (the
// test's own), the new copy runs with the hand-over arguments, the old one quits, and the
// image is detached once nothing runs from it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "placement/Applications.h"
#include "placement/Desktop.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Apps.h"
#include "platform/Copying.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/Sandbox.h"
#include "support/ScriptedUi.h"

using namespace placement_testing;
using testing_support::inSandbox;
using testing_support::mounted;
using testing_support::spinUntil;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(EndToEnd, FromADiskImageIntoApplicationsWithReturn) {
  const fs::path built = BUILD_ROOT "/Quendrel.app";
  if (!inSandbox()) GTEST_SKIP() << "needs the private root";
  if (!valid(built)) GTEST_SKIP() << "no signed bundle in the build folder: build `bundle`";
  testing_support::Home home;
  fs::create_directories(home / "runtime");
  fs::permissions(home / "runtime", fs::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
  setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("QUENDREL_NEW_INSTANCE");

  // The X server says its display number on a pipe once it is ready.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Running x("/usr/bin/Xvfb", {"-displayfd", std::to_string(ends[1]), "-nolisten", "tcp"});
  close(ends[1]);
  std::string number;
  for (char c; read(ends[0], &c, 1) == 1 && c != '\n';) number.push_back(c);
  close(ends[0]);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  setenv("DISPLAY", (":" + number).c_str(), 1);

  // The download: the built bundle on a disk image, attached under /Volumes.
  fs::create_directories(home / "image");
  ASSERT_EQ(Platform::copyTree(built, home / "image/Quendrel.app"), 0);
  ASSERT_TRUE(makeImage(home / "image", home / "Quendrel.squashfs"));
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(
      DiskImage::attach(home / "Quendrel.squashfs", "/Volumes/Quendrel")));
  const fs::path here = "/Volumes/Quendrel/Quendrel.app", installed = "/Applications/Quendrel.app";
  Running old(programOf(here), {});

  // The offer is the first window it shows; Return answers it (pressed again while the
  // window is still there, in case it came before the window could take keys).
  Lines arguments;
  const auto xdotool = [](const Lines& args) { return run("/usr/bin/xdotool", args).output; };
  EXPECT_TRUE(spinUntil(
      [&] {
        for (const auto& app : Platform::runningApplications()) {
          if (app.bundle != installed) continue;
          std::ifstream in("/proc/" + std::to_string(app.pid) + "/cmdline");
          for (std::string word; std::getline(in, word, '\0');) arguments.push_back(word);
          return true;
        }
        const std::string window =
            xdotool({"search", "--onlyvisible", "--pid", std::to_string(old.pid())});
        if (!window.empty()) {
          xdotool({"windowfocus", window.substr(0, window.find('\n'))});
          xdotool({"key", "Return"});
          sleep(1);
        }
        return false;
      },
      60))
      << "the new copy did not start";
  EXPECT_EQ(arguments, (Lines{programOf(installed), "--handed-over", "--moved-from", here}));
  EXPECT_TRUE(Settling::intact(installed, built));
  EXPECT_TRUE(spinUntil([] { return fs::exists(Desktop::entry()); }, 30))
      << "the copy in /Applications has no desktop entry";
  EXPECT_TRUE(fs::exists(Desktop::icon(256)));
  EXPECT_EQ(run("/usr/bin/desktop-file-validate", {Desktop::entry().string()}).output, "");

  // The old copy quits, and the image goes once nothing runs from it.
  EXPECT_EQ(old.status(30), 0);
  EXPECT_TRUE(spinUntil([] { return !mounted("/Volumes/Quendrel"); }, 40))
      << "the disk image is still attached";
}
