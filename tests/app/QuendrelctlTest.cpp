// quendrelctl's answers about a bundle and its update (a bundle whose Info.plist is damaged is
// the faults tests'), and the desktop entry.
#include <gtest/gtest.h>

#include <atomic>

#include <QImage>

#include "app/Manager.h"
#include "placement/Desktop.h"
#include "support/Bundles.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"

using namespace testing_support;
namespace fs = std::filesystem;

TEST(Quendrelctl, AboutABundleAndCheckUpdateAskingTheServiceInItsBundle) {
  Home home;
  makeBundle(home / "Tarvic.app", "com.tarvicone.manager", "1.2", "40");
  EXPECT_EQ(run(QUENDRELCTL, {"about", (home / "Tarvic.app").string()}).out,
            "identifier: com.tarvicone.manager\nversion: 1.2\nbuild: 40\nours: yes\nrunning: no\n");
  std::atomic<const char*> feed{R"({"version": "1.10", "sha256": "ABC123", "file": "F.img"})"};
  LocalServer service([&](const std::string&) { return Answer{500, feed.load()}; });
  const fs::path program = withCtl(home / "Quendrel.app", service.base());  // version 1.0
  std::string words = run(program, {"check-update"}).out;  // a good feed, whatever the status
  feed = R"({"version": "1.0.0", "sha256": "x", "file": "f"})";
  EXPECT_EQ(words + run(program, {"check-update"}).out, "newer: 1.10 ABC123 F.img\nup to date\n");
}

// Written for a copy that stands in an Applications folder, removed with it, and never in place
// of an entry that is not ours.
TEST(Desktop, ACopyInAnApplicationsFolderIsIntroducedThenForgotten) {
  Home home;
  EXPECT_EQ(Desktop::entry(), home / ".local/share/applications/com.quendrel.manager.desktop");
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  auto present = [] {
    int count = fs::exists(Desktop::entry());
    for (int pixels : Desktop::iconSizes) count += fs::exists(Desktop::icon(pixels));
    return count;
  };
  auto introduce = [&](const std::string& copy) {
    makeBundle(home / copy, "com.quendrel.manager", "1.0", "1", "", "Quendrel");
    write(home / copy / "Contents/MacOS/Quendrel", "#!/bin/sh\n", 0755);
    pretendMainBundle(home / copy);
    Manager::introduceToDesktop();
    return home / copy / "Contents/MacOS/Quendrel";
  };
  const std::string foreign = "[Desktop Entry]\nType=Application\nName=Another\nExec=another\n";
  const fs::path neighbour = write(Desktop::entry().parent_path() / "other.desktop", foreign);
  introduce("Downloads/Quendrel.app");
  EXPECT_EQ(present(), 0);
  const fs::path program = introduce("Applications/Odd $name `x` \"q\" 100% \\ here/Quendrel.app");
  ASSERT_EQ(present(), 9);
  const Ran valid = run("/usr/bin/desktop-file-validate", {Desktop::entry().string()});
  EXPECT_EQ(valid.status + valid.out.size(), 0u) << valid.out << valid.err;
  EXPECT_NE(read(Desktop::entry()).find("\nIcon=com.quendrel.manager\n"), std::string::npos);
  EXPECT_EQ(QImage(Desktop::icon(48).c_str()).size(), QSize(48, 48)) << "the knob drawn";

  // A newer program (an update, say) draws the icons again.
  write(Desktop::icon(16), "kept");
  fs::last_write_time(program, fs::last_write_time(Desktop::icon(16)) + std::chrono::hours(1));
  Manager::introduceToDesktop();
  EXPECT_NE(read(Desktop::icon(16)), "kept");

  Desktop::forget();
  EXPECT_EQ(present(), 0);
  write(Desktop::entry(), foreign);
  Manager::introduceToDesktop();
  Desktop::forget();
  EXPECT_EQ(std::make_tuple(present(), read(Desktop::entry()), read(neighbour)),
            std::make_tuple(1, foreign, foreign))
      << "another's entries stay";
}
