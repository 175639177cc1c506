// The running bundle is the one the program was opened from, links above it kept as named.
#include <gtest/gtest.h>

#include "support/Child.h"
#include "support/Home.h"

namespace fs = std::filesystem;
using testing_support::Home;

TEST(MainBundle, IsTheBundleAsItWasOpened) {
  Home home;
  // The real folders, and the names a user reaches them by.
  const fs::path real = home / "real", program = "Contents/MacOS/platform_tests";
  fs::create_directories(real / "home/Downloads/Quendrel.app/Contents/MacOS");
  fs::copy_file("/proc/self/exe", real / "home/Downloads/Quendrel.app" / program);
  fs::create_directory_symlink(real / "home", home / "linked-home");
  fs::create_directories(home / "plain");
  fs::create_directory_symlink(real / "home/Downloads", home / "plain/Downloads");
  const fs::path opened[] = {
      home / "linked-home/Downloads/Quendrel.app",
      home / "plain/Downloads/Quendrel.app",
      real / "home/Downloads/Quendrel.app",
  };
  for (const fs::path& app : opened) {
    auto ran = testing_support::run(app / program, {"--say-main-bundle"});
    EXPECT_EQ(ran.out, app.string() + "\n") << ran.err;
  }
}
