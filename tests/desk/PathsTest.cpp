#include <gtest/gtest.h>

#include <cstdlib>

#include "desk/Paths.h"
#include "support/Home.h"

using testing_support::Home;
using testing_support::write;
namespace fs = std::filesystem;

TEST(Paths, InstallFollowsWhatIsOnDisk) {
  Home home;
  EXPECT_EQ(Paths::install(), home / "Library/Application Support/Quendrel/Desk");

  // A Desk folder without its agent script does not count as installed there.
  fs::create_directories(Paths::movedInstall());
  EXPECT_EQ(Paths::install(), Paths::movedInstall());
  fs::create_directories(Paths::firstAside());
  EXPECT_EQ(Paths::install(), Paths::firstInstall());  // only the aside: the first place stays
  EXPECT_FALSE(fs::exists(Paths::install()));
  fs::remove(Paths::firstAside());

  write(home / "Tarvic", "a file is enough");
  EXPECT_EQ(Paths::install(), Paths::firstInstall());
  write(Paths::movedInstall() / "agent.sh", "#!/bin/bash\n");
  EXPECT_EQ(Paths::install(), Paths::movedInstall());
}

TEST(Paths, LabelIsTheNewOneOnlyWhenItsAgentListExists) {
  Home home;
  EXPECT_EQ(Paths::label(), "com.tarvicone.tarvic");
  EXPECT_EQ(Paths::launchAgent(), home / "Library/LaunchAgents/com.tarvicone.tarvic.plist");
  write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
  EXPECT_EQ(Paths::label(), "com.quendrel.desk");
  EXPECT_EQ(Paths::launchAgent(), home / "Library/LaunchAgents/com.quendrel.desk.plist");
}

// The forms of the port are the hostile tests'; this is which variable counts.
TEST(Paths, AnUnusablePortIsTheDefaultEvenWithTheOldVariableSet) {
  Home home;
  setenv("QUENDREL_PORT", "letters", 1);
  setenv("TARVIC_PORT", "82", 1);
  EXPECT_EQ(Paths::port(), 8080);
}
