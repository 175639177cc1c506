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

TEST(Paths, PortFromTheFirstVariablePresent) {
  Home home;
  EXPECT_EQ(Paths::port(), 8080);
  struct Case {
    const char* value;
    std::int64_t port;
  } cases[] = {
      {"81", 81},       {"+81", 81},     {" 81", 8080},  {"81 ", 8080},
      {"8a1", 8080},    {"-1", -1},      {"", 8080},     {"+", 8080},
      {"+-1", 8080},    {"1.5", 8080},   {"0x50", 8080}, {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN}, {"9223372036854775808", 8080},
      {"\xd9\xa8\xd9\xa1", 8080},  // Arabic-Indic digits are not decimal digits here
  };
  for (const auto& c : cases) {
    setenv("QUENDREL_PORT", c.value, 1);
    EXPECT_EQ(Paths::port(), c.port) << "QUENDREL_PORT='" << c.value << "'";
  }
  // Present but unusable: the second variable is not consulted.
  setenv("QUENDREL_PORT", "letters", 1);
  setenv("TARVIC_PORT", "82", 1);
  EXPECT_EQ(Paths::port(), 8080);
  unsetenv("QUENDREL_PORT");
  EXPECT_EQ(Paths::port(), 82);
}
