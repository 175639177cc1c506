// Where the bundle is, as its watch follows it about, and putting it back from the Trash.
#include "removal/Whereabouts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Removal.h"
#include "placement/Applications.h"
#include "platform/Moving.h"

using removal_testing::Removal;
using testing_support::snapshot;
using Place = Whereabouts::Place;

using WhereaboutsTest = Removal;

// The rest of what is settled is the setup tests' business, and where a bundle goes when it
// is moved, trashed, deleted or put back, the removal flows'.
TEST_F(WhereaboutsTest, SettledAndTrashedPaths) {
  EXPECT_TRUE(Settling::settled("/Applications/Quendrel.app"));
  EXPECT_FALSE(Settling::settled(home / "ApplicationsOld/Quendrel.app"));
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  const std::pair<fs::path, bool> trashed[] = {
      {"/Volumes/Stick/.Trashes/501/Quendrel.app", true},
      {"/data/.Trash-1000/files/Quendrel.app", true},
      {"/data/.Trash-1000/info/Quendrel.app", false},
      {"/data/.Trash-me/files/Quendrel.app", false},
      {home / "data/Trash/filesystem/Quendrel.app", false},
      {home / ".local/share/Trash/files/Quendrel.app", false},  // not the Trash of this home
  };
  for (const auto& [path, is] : trashed) EXPECT_EQ(Whereabouts::trashed(path), is) << path;
}

// A held bundle's name is read from the system, which adds " (deleted)" to the name of one
// that is gone: a bundle that merely has such a name is not gone.
TEST_F(WhereaboutsTest, ANameThatLooksDeletedIsNotGoneAndNothingIsWatchedOutsideApplications) {
  Whereabouts where;
  int changes = 0;
  where.changed = [&] { ++changes; };
  const fs::path odd = home / "Elsewhere/Quendrel.app (deleted)";
  move(app, odd);
  EXPECT_TRUE(testing_support::spinUntil([&] { return changes > 0; }));
  EXPECT_EQ(where.place(), Place::moved(odd));
  testing_support::pretendMainBundle(odd);
  EXPECT_FALSE(Whereabouts().watching()) << "a copy started outside an Applications folder";
  fs::remove_all(odd);
  EXPECT_EQ(where.place(), Place::gone());
}

// From another file system: the bundle is copied back whole and the Trash's copy removed;
// nothing that stands in the way is ever replaced.
TEST_F(WhereaboutsTest, PutBackAcrossFileSystems) {
  struct stat shm {
  }, here{};
  std::string elsewhere = "/dev/shm/quendrel-put-back-XXXXXX";
  stat("/dev/shm", &shm), stat(home.path().c_str(), &here);
  if (shm.st_dev == here.st_dev || !mkdtemp(elsewhere.data())) GTEST_SKIP() << "no other one";
  const std::shared_ptr<void> removed(nullptr, [&](void*) {
    std::error_code ignored;
    fs::remove_all(elsewhere, ignored);
  });
  const fs::path trashed = fs::path(elsewhere) / ".Trash-0/files/Quendrel.app";
  fs::create_directories(trashed.parent_path());
  fs::copy(app, trashed, fs::copy_options::recursive);
  write(trashed / "Contents/Resources/big", std::string(1 << 20, 'q'), 0600);  // and a link:
  fs::create_directory_symlink("Resources", trashed / "Contents/payload");
  const auto there = snapshot(app.parent_path()), inTrash = snapshot(trashed);

  EXPECT_NE(Platform::moveItem(trashed, app), std::nullopt) << "something stands in the way";
  EXPECT_EQ(snapshot(app.parent_path()), there) << "and no copy is left beside it";
  EXPECT_EQ(snapshot(trashed), inTrash);
  fs::remove_all(app);
  ASSERT_EQ(Platform::moveItem(trashed, app), std::nullopt);
  EXPECT_EQ(testing_support::namesIn(app.parent_path()), std::vector<std::string>{"Quendrel.app"});
  EXPECT_EQ(snapshot(app), inTrash);
  EXPECT_FALSE(fs::exists(trashed));
}
