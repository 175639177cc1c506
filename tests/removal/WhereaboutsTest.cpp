#include "removal/Whereabouts.h"

#include <gtest/gtest.h>

#include "Removal.h"
#include "placement/Applications.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

using removal_testing::Removal;
using testing_support::spinUntil;
using Place = Whereabouts::Place;
namespace fs = std::filesystem;

namespace {

using WhereaboutsTest = Removal;

// Waits for the file system's word of a change, then asks where the bundle is.
Place afterChange(Whereabouts& where, int& changes) {
  const int before = changes;
  EXPECT_TRUE(spinUntil([&] { return changes > before; })) << "no change reported";
  return where.place();
}

}  // namespace

TEST_F(WhereaboutsTest, SettledAndTrashedPaths) {
  EXPECT_TRUE(Settling::settled(app));
  EXPECT_TRUE(Settling::settled(home / "Applications/Audio/Quendrel.app"));
  EXPECT_TRUE(Settling::settled("/Applications/Quendrel.app"));
  EXPECT_FALSE(Settling::settled(home / "Applications/Quendrel"));
  EXPECT_FALSE(Settling::settled(home / "ApplicationsOld/Quendrel.app"));
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  EXPECT_TRUE(Settling::settled(home / "Apps/Quendrel.app")) << "links are resolved";

  EXPECT_TRUE(Whereabouts::trashed(home / ".Trash/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed("/Volumes/Stick/.Trashes/501/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed(home / ".local/share/Trash/files/Old/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed("/data/.Trash-1000/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed("/data/.Trash-1000/info/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed("/data/.Trash-me/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / ".local/share/Trash/filesystem/Quendrel.app"));
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  EXPECT_TRUE(Whereabouts::trashed(home / "data/Trash/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / ".local/share/Trash/files/Quendrel.app"));
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
  EXPECT_EQ(where.place(), Place::atHome());

  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  EXPECT_EQ(afterChange(where, changes), Place::moved(audio));
  where.follow(audio);
  EXPECT_EQ(where.place(), Place::atHome());

  // Guarded places are taken as named, without a look: even a Trash's name there.
  const fs::path desktop = home / "Desktop/.Trash/Quendrel.app";
  move(audio, desktop);
  EXPECT_EQ(afterChange(where, changes), Place::moved(desktop));

  move(desktop, home / ".Trash/Quendrel.app");
  EXPECT_EQ(afterChange(where, changes), Place::inTrash(home / ".Trash/Quendrel.app"));
  const fs::path trashed = trash() / "Quendrel.app";
  move(home / ".Trash/Quendrel.app", trashed);
  EXPECT_EQ(afterChange(where, changes), Place::inTrash(trashed));

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
