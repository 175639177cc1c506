// The desk as the application sees it: where it lives, its version and its two answers over
// local HTTP. (A change of passphrase that leaves none is the manager tests'.)
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "support/Home.h"
#include "support/LocalServer.h"

using namespace testing_support;
namespace fs = std::filesystem;

// The desk's state as the menu reads it, after its folder, the marker of an unfinished setup and
// its answer; its version, the first word of its file cut to seven characters; and two waits in
// a row for whether it is in use, where the first one's late answer must not disturb the second.
// (Misbehaving desks are the hostile tests', what each in-use answer reads as quendrelctl's.)
TEST(Desk, LookFollowsTheFolderTheMarkerAndTheAnswer) {
  Home home;
  std::atomic<int> status = 200;  // 0: never answers
  LocalServer desk([&](const std::string&) { return Answer{status, "{}", status == 0}; });
  setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
  auto menu = [] {
    std::promise<DeskState> looked;
    Desk::look([&](DeskState s) { looked.set_value(s); });
    return looked.get_future().get().menuText();
  };
  std::vector<std::string> seen{menu()};
  EXPECT_EQ(Desk::installedVersion(), "") << "no VERSION file";
  const std::pair<const char*, const char*> versions[] = {
      {"\n\t\f\r 1.2\v3", "1.2"},  // any white space ends it: no line break in the menu
      {"äöü1234567", "äöü1234"},   // characters, not bytes
      {"\xff\xfe", ""},            // not UTF-8
  };
  for (const auto& [content, version] : versions) {
    write(Paths::install() / "VERSION", content);
    EXPECT_EQ(Desk::installedVersion(), version) << content;
  }
  write(Paths::install() / "VERSION", "2.4.1 beta\n");
  write(Paths::settingUp(), "keeping\n");
  seen.push_back(menu());
  EXPECT_EQ(desk.connections(), 0) << "an unfinished desk is not asked";
  fs::remove(Paths::settingUp());
  for (int answer : {200, 404, 500}) {
    status = answer;
    seen.push_back(menu());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Not set up yet", "Setting up did not finish",
                                            "Running — 2.4.1", "Running — 2.4.1", "Not running"}));
  status = 0;
  EXPECT_EQ(std::pair(Desk::busy(), Desk::busy()), std::pair(Desk::Busy{}, Desk::Busy{}));
}

TEST(Paths, InstallLabelAndPortFollowWhatIsThere) {
  Home home;
  std::vector<fs::path> seen{Paths::install(), Paths::launchAgent()};
  fs::create_directories(Paths::firstAside());
  seen.push_back(Paths::install());  // only the aside: the first place stays
  fs::remove(Paths::firstAside());
  write(home / "Tarvic", "a file is enough");
  // A Desk folder without its agent script does not count as installed there.
  fs::create_directories(Paths::movedInstall());
  seen.push_back(Paths::install());
  write(Paths::movedInstall() / "agent.sh", "#!/bin/bash\n");
  write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
  seen.insert(seen.end(), {Paths::install(), Paths::launchAgent()});
  EXPECT_EQ(seen,
            (std::vector<fs::path>{home / "Library/Application Support/Quendrel/Desk",
                                   home / "Library/LaunchAgents/com.tarvicone.tarvic.plist",
                                   home / "Tarvic", Paths::firstInstall(), Paths::movedInstall(),
                                   home / "Library/LaunchAgents/com.quendrel.desk.plist"}));
  // The forms of the port are the hostile tests'; this is which variable counts.
  setenv("QUENDREL_PORT", "letters", 1);
  setenv("TARVIC_PORT", "82", 1);
  EXPECT_EQ(Paths::port(), 8080) << "an unusable port is the default, the old variable unread";
}
