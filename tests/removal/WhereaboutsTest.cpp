#include "removal/Whereabouts.h"

#include <gtest/gtest.h>

#include "Removal.h"
#include "placement/Applications.h"

using removal_testing::Removal;
using testing_support::spinUntil;
using Place = Whereabouts::Place;

using WhereaboutsTest = Removal;

TEST_F(WhereaboutsTest, SettledAndTrashedPaths) {
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  const std::pair<fs::path, bool> settled[] = {
      {app, true},
      {"/Applications/Quendrel.app", true},
      {home / "Apps/Audio/Quendrel.app", true},  // links are resolved
      {home / "Applications/Quendrel", false},
      {home / "ApplicationsOld/Quendrel.app", false},
  };
  for (const auto& [path, is] : settled) EXPECT_EQ(Settling::settled(path), is) << path;
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  const std::pair<fs::path, bool> trashed[] = {
      {home / ".Trash/Quendrel.app", true},
      {"/Volumes/Stick/.Trashes/501/Quendrel.app", true},
      {"/data/.Trash-1000/files/Quendrel.app", true},
      {"/data/.Trash-1000/info/Quendrel.app", false},
      {"/data/.Trash-me/files/Quendrel.app", false},
      {home / "data/Trash/files/Old/Quendrel.app", true},
      {home / "data/Trash/filesystem/Quendrel.app", false},
      {home / ".local/share/Trash/files/Quendrel.app", false},  // not the Trash of this home
  };
  for (const auto& [path, is] : trashed) EXPECT_EQ(Whereabouts::trashed(path), is) << path;
}

TEST_F(WhereaboutsTest, NothingIsWatchedOutsideAnApplicationsFolder) {
  const fs::path downloaded = home / "Downloads/Quendrel.app";
  move(app, downloaded);
  testing_support::pretendMainBundle(downloaded);
  Whereabouts where;
  EXPECT_FALSE(where.watching());
  move(downloaded, trash() / "Quendrel.app");
  EXPECT_EQ(where.place(), Place::atHome());
}

TEST_F(WhereaboutsTest, FollowsTheBundleWhereverItGoes) {
  Whereabouts where;
  int changes = 0;
  where.changed = [&] { ++changes; };
  ASSERT_TRUE(where.watching());
  EXPECT_EQ(where.home(), app);
  // Moves it, waits for the file system's word of the change, then asks where it is.
  const auto moved = [&](const fs::path& from, const fs::path& to) {
    const int before = changes;
    move(from, to);
    EXPECT_TRUE(spinUntil([&] { return changes > before; })) << "no change reported";
    return where.place();
  };
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  EXPECT_EQ(moved(app, audio), Place::moved(audio));
  where.follow(audio);
  EXPECT_EQ(where.place(), Place::atHome());
  // Guarded places are taken as named, without a look: even a Trash's name there.
  const fs::path desktop = home / "Desktop/.Trash/Quendrel.app";
  EXPECT_EQ(moved(audio, desktop), Place::moved(desktop));
  EXPECT_EQ(moved(desktop, home / ".Trash/Quendrel.app"),
            Place::inTrash(home / ".Trash/Quendrel.app"));
  const fs::path trashed = trash() / "Quendrel.app";
  EXPECT_EQ(moved(home / ".Trash/Quendrel.app", trashed), Place::inTrash(trashed));

  // Emptying the Trash: while the bundle is held the system reports no deletion, so the
  // bundle itself must read as gone straight away.
  fs::remove_all(trashed);
  EXPECT_EQ(where.place(), Place::gone());
  testing_support::makeBundle(audio, "com.quendrel.manager");
  EXPECT_EQ(where.place(), Place::atHome()) << "anything at the old place is home";
}

TEST_F(WhereaboutsTest, ANameThatMerelyLooksDeletedIsNotGone) {
  Whereabouts where;
  const fs::path odd = home / "Elsewhere/Quendrel.app (deleted)";
  move(app, odd);
  EXPECT_EQ(where.place(), Place::moved(odd));
  fs::remove_all(odd);
  EXPECT_EQ(where.place(), Place::gone());
}
