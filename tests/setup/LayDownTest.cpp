// Laying the desk down keeps what the file manager's copy keeps — modes, links and
// modification times — for the payload and for the user's kept work, whether the keep folder
// is on the home folder's file system (the work is moved back) or on another (it is copied).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "SetupFixture.h"
#include "setup/Installer.h"

using namespace setup_testing;

namespace {

// A folder of the test's own on the memory file system, gone with the object.
struct Elsewhere {
  fs::path path;
  Elsewhere() {
    if (fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0) {
      path = fs::path("/dev/shm") / ("quendrel-test-" + std::to_string(getpid()));
      fs::create_directories(path);
    }
  }
  ~Elsewhere() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

}  // namespace

TEST(LayDown, KeepsTimesAndModesOnOneFileSystemAndAcrossTwo) {
  Elsewhere elsewhere;
  for (bool otherFileSystem : {false, true}) {
    SCOPED_TRACE(otherFileSystem ? "keep folder on another file system" : "one file system");
    Computer computer;
    const std::string temporary = std::getenv("TMPDIR");
    if (otherFileSystem) {
      if (elsewhere.path.empty()) GTEST_SKIP() << "no second file system to keep on";
      setenv("TMPDIR", elsewhere.path.c_str(), 1);
    }

    const fs::path desk = computer.desk();
    writeInstallation(desk, "mine");
    fs::permissions(desk / "projects/Empty", fs::perms(0555));
    const Tree kept = keptItems(desk);
    const auto then = fs::last_write_time(desk / "VERSION") - std::chrono::hours(24 * 3650);
    const fs::path timed[] = {desk / "projects/Easter/take.bin", desk / "projects/Empty",
                              computer.payload / "setup.sh"};
    for (const fs::path& item : timed) fs::last_write_time(item, then);

    Installer::layDown();

    std::string differs;
    EXPECT_TRUE(contains(keptItems(desk), kept, &differs)) << differs;
    for (const char* item : {"projects/Easter/take.bin", "projects/Empty", "setup.sh"}) {
      EXPECT_EQ(fs::last_write_time(desk / item), then) << item;
    }
    EXPECT_EQ(fs::status(desk / "projects/Empty").permissions(), fs::perms(0555));
    EXPECT_EQ(keepFolders(otherFileSystem ? elsewhere.path : fs::path(temporary)), 0);
  }
}
