// The desktop entry and its knob: written for a copy that stands in an Applications folder,
// removed with it, and never in place of an entry that is not ours.
#include <gtest/gtest.h>

#include <QImage>
#include <chrono>

#include "app/Manager.h"
#include "placement/Desktop.h"
#include "platform/Files.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/MainBundle.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> ourFiles() {
  std::vector<fs::path> files = {Desktop::entry()};
  for (int pixels : Desktop::iconSizes) files.push_back(Desktop::icon(pixels));
  return files;
}

int present() {
  int count = 0;
  for (const auto& file : ourFiles()) count += fs::exists(file);
  return count;
}

const std::string foreign = "[Desktop Entry]\nType=Application\nName=Another\nExec=another\n";

}  // namespace

TEST(Desktop, ACopyInAnApplicationsFolderIsIntroducedThenForgotten) {
  const struct {
    const char* copy;
    const char* dataHome;  // $XDG_DATA_HOME under the home folder, or the default
    bool taken;            // an entry of our name that is not ours is there
    int introduced;        // of our files
  } cases[] = {
      {"Downloads/Quendrel.app", "", false, 0},
      {"Applications/Quendrel.app", "", false, 9},
      {"Applications/Odd $name `x` \"q\" 100% \\ here/Quendrel.app", "data", false, 9},
      {"Applications/Quendrel.app", "", true, 1},  // left alone
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.copy);
    Home home;
    if (*c.dataHome) setenv("XDG_DATA_HOME", (home / c.dataHome).c_str(), 1);
    EXPECT_EQ(Desktop::entry().parent_path(),
              home / (*c.dataHome ? "data/applications" : ".local/share/applications"));
    const fs::path copy = home / c.copy;
    makeBundle(copy, "com.quendrel.manager", "1.0", "1", "", "Quendrel");
    write(copy / "Contents/MacOS/Quendrel", "#!/bin/sh\n", 0755);
    const fs::path neighbour = write(Desktop::entry().parent_path() / "other.desktop", foreign);
    if (c.taken) write(Desktop::entry(), foreign);

    pretendMainBundle(copy);
    Manager::introduceToDesktop();
    ASSERT_EQ(present(), c.introduced);
    if (c.introduced == 9) {
      const Ran valid = run("/usr/bin/desktop-file-validate", {Desktop::entry().string()});
      EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
      EXPECT_EQ(valid.out, "");
      EXPECT_NE(read(Desktop::entry()).find("\nIcon=com.quendrel.manager\n"), std::string::npos);
      for (int pixels : Desktop::iconSizes) {
        QImage knob(QString::fromStdString(Desktop::icon(pixels).string()));
        EXPECT_EQ(knob.size(), QSize(pixels, pixels));
        EXPECT_GT(qAlpha(knob.pixel(pixels / 2, pixels / 2)), 0) << "the knob's centre is drawn";
      }
      Manager::introduceToDesktop();  // refreshed in place
      EXPECT_EQ(present(), 9);

      // Current icons are left as they are; a missing one, or a newer program, draws them again.
      write(Desktop::icon(16), "kept");
      Manager::introduceToDesktop();
      EXPECT_EQ(read(Desktop::icon(16)), "kept");
      fs::remove(Desktop::icon(256));
      Manager::introduceToDesktop();
      EXPECT_EQ(present(), 9);
      EXPECT_NE(read(Desktop::icon(16)), "kept");
      write(Desktop::icon(16), "kept");
      fs::last_write_time(copy / "Contents/MacOS/Quendrel",
                          fs::last_write_time(Desktop::icon(16)) + std::chrono::hours(1));
      Manager::introduceToDesktop();
      EXPECT_NE(read(Desktop::icon(16)), "kept");
    }
    Desktop::forget();
    EXPECT_EQ(present(), c.taken ? 1 : 0);
    EXPECT_EQ(read(neighbour), foreign) << "another's entry stays";
    if (c.taken) {
      EXPECT_EQ(read(Desktop::entry()), foreign);
    }
  }
}
