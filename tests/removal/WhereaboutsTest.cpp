#include "removal/Whereabouts.h"

#include <gtest/gtest.h>

#include "Removal.h"
#include "support/ScriptedUi.h"

using removal_testing::Removal;
using testing_support::spinUntil;
using testing_support::write;
using Place = Whereabouts::Place;
namespace fs = std::filesystem;

namespace {

using WhereaboutsTest = Removal;

// A Whereabouts on the application's bundle that counts the changes it hears of.
struct Watched {
  Whereabouts where;
  int changes = 0;
  Watched() {
    where.changed = [this] { ++changes; };
  }
  // Waits for the file system's word of a change, then asks where the bundle is.
  Place afterChange() {
    const int before = changes;
    EXPECT_TRUE(spinUntil([&] { return changes > before; })) << "no change reported";
    return where.place();
  }
};

}  // namespace

TEST_F(WhereaboutsTest, Settled) {
  EXPECT_TRUE(Whereabouts::settled(app));
  EXPECT_TRUE(Whereabouts::settled(home / "Applications/Audio/Quendrel.app"))
      << "any depth beneath the folder";
  EXPECT_TRUE(Whereabouts::settled("/Applications/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::settled(home / "Applications/Quendrel")) << "not an application";
  EXPECT_FALSE(Whereabouts::settled(home / "Applications"));
  EXPECT_FALSE(Whereabouts::settled(home / "Downloads/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::settled(home / "ApplicationsOld/Quendrel.app"));

  // Links are resolved: a link into the Applications folder counts, a link out of it not.
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  EXPECT_TRUE(Whereabouts::settled(home / "Apps/Quendrel.app"));
  fs::create_directories(home / "Elsewhere/Real.app");
  fs::create_directory_symlink(home / "Elsewhere/Real.app", home / "Applications/Linked.app");
  EXPECT_FALSE(Whereabouts::settled(home / "Applications/Linked.app"));
}

TEST_F(WhereaboutsTest, TrashRules) {
  EXPECT_TRUE(Whereabouts::trashed(home / ".Trash/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed("/Volumes/Stick/.Trashes/501/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed(home / ".local/share/Trash/files/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed(home / ".local/share/Trash/files/Old/Quendrel.app"));
  EXPECT_TRUE(Whereabouts::trashed("/data/.Trash-1000/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed("/data/.Trash-1000/info/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed("/data/.Trash-me/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / "Trash/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / ".Trash-box/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / ".local/share/Trash/filesystem/Quendrel.app"));

  // XDG_DATA_HOME moves the user's trash; a relative value is ignored.
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  EXPECT_TRUE(Whereabouts::trashed(home / "data/Trash/files/Quendrel.app"));
  EXPECT_FALSE(Whereabouts::trashed(home / ".local/share/Trash/files/Quendrel.app"));
  setenv("XDG_DATA_HOME", "data", 1);
  EXPECT_TRUE(Whereabouts::trashed(home / ".local/share/Trash/files/Quendrel.app"));
}

TEST_F(WhereaboutsTest, NothingIsWatchedOutsideAnApplicationsFolder) {
  const fs::path downloaded = home / "Downloads/Quendrel.app";
  move(app, downloaded);
  platform::pretendMainBundle(downloaded);
  Whereabouts where;
  EXPECT_FALSE(where.watching());
  EXPECT_EQ(where.home(), downloaded);
  move(downloaded, trash() / "Quendrel.app");
  EXPECT_EQ(where.place(), Place::atHome());
  fs::remove_all(trash());
  EXPECT_EQ(where.place(), Place::atHome());
}

TEST_F(WhereaboutsTest, DraggedToTheTrashAndEmptied) {
  Watched watched;
  ASSERT_TRUE(watched.where.watching());
  EXPECT_EQ(watched.where.home(), app);
  EXPECT_EQ(watched.where.place(), Place::atHome());

  const fs::path trashed = trash() / "Quendrel.app";
  move(app, trashed);
  EXPECT_EQ(watched.afterChange(), Place::inTrash(trashed));

  // The system tells of the deletion only once nothing holds the bundle any more, so the
  // bundle's own state has to show it: it must read as gone straight away.
  fs::remove_all(trashed);
  EXPECT_EQ(watched.where.place(), Place::gone());

  // Something new at the old place counts as home again.
  testing_support::makeBundle(app, "com.quendrel.manager");
  EXPECT_EQ(watched.where.place(), Place::atHome());
}

TEST_F(WhereaboutsTest, DeletedWhereItStood) {
  Watched watched;
  fs::remove_all(app);
  EXPECT_EQ(watched.where.place(), Place::gone());
}

TEST_F(WhereaboutsTest, MovedToAnOldStyleTrashFolder) {
  Watched watched;
  const fs::path trashed = home / ".Trash/Quendrel.app";
  move(app, trashed);
  EXPECT_EQ(watched.afterChange(), Place::inTrash(trashed));
}

TEST_F(WhereaboutsTest, MovedToTheDesktopIsTakenAsNamed) {
  Watched watched;
  const fs::path desktop = home / "Desktop/Quendrel.app";
  move(app, desktop);
  EXPECT_EQ(watched.afterChange(), Place::moved(desktop));
  // A guarded place is not examined: even a name that is a Trash's stays merely moved.
  const fs::path deeper = home / "Desktop/.Trash/Quendrel.app";
  move(desktop, deeper);
  EXPECT_EQ(watched.afterChange(), Place::moved(deeper));
}

TEST_F(WhereaboutsTest, FollowedIntoAnotherApplicationsFolder) {
  Watched watched;
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  EXPECT_EQ(watched.afterChange(), Place::moved(audio));
  watched.where.follow(audio);
  EXPECT_EQ(watched.where.home(), audio);
  EXPECT_EQ(watched.where.place(), Place::atHome());

  // The watch still holds the same bundle, wherever it goes next.
  const fs::path trashed = trash() / "Quendrel.app";
  move(audio, trashed);
  EXPECT_EQ(watched.afterChange(), Place::inTrash(trashed));
  move(trashed, audio);
  EXPECT_EQ(watched.afterChange(), Place::atHome());
}

TEST_F(WhereaboutsTest, ANameThatMerelyLooksDeletedIsNotGone) {
  const fs::path odd = home / "Applications/Quendrel (deleted).app";
  move(app, odd);
  platform::pretendMainBundle(odd);
  Whereabouts where;
  ASSERT_TRUE(where.watching());
  const fs::path moved = home / "Elsewhere/Quendrel.app (deleted)";
  move(odd, moved);
  EXPECT_EQ(where.place(), Place::moved(moved));
}
