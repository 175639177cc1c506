// The desk as the application sees it: where it lives, its version, its two answers over local
// HTTP, and a change of passphrase that leaves none.
#include <gtest/gtest.h>

#include <future>
#include <variant>

#include "desk/Agent.h"
#include "desk/Desk.h"
#include "desk/Paths.h"
#include "support/Home.h"
#include "support/LocalServer.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void usePort(int port) {
  setenv("QUENDREL_PORT", std::to_string(port).c_str(), 1);
}

std::string menuNow() {
  std::promise<DeskState> answer;
  Desk::look([&](DeskState s) { answer.set_value(s); });
  return answer.get_future().get().menuText();
}

}  // namespace

TEST(Desk, LookFollowsTheFolderTheMarkerAndTheAnswer) {
  Home home;
  struct Case {
    bool installed, marker;
    int status;  // the desk's answer; 0: it never answers, -1: nobody listens
    const char* menu;
  } cases[] = {
      {false, false, 200, "Not set up yet"},
      {true, true, 200, "Setting up did not finish"},
      {true, false, 200, "Running — 2.4.1"},
      {true, false, 404, "Running — 2.4.1"},  // 404 counts as answering
      {true, false, 500, "Not running"},
      {true, false, -1, "Not running"},
      {true, false, 0, "Not running"},  // no answer within the time-out
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.menu);
    LocalServer desk([c](const std::string&) { return Answer{c.status, "{}", c.status == 0}; });
    usePort(c.status < 0 ? freePort() : desk.port());
    if (c.installed) write(Paths::install() / "VERSION", "2.4.1 beta\n");
    if (c.marker) write(home / ".tarvic-setting-up", "keeping\n");
    EXPECT_EQ(menuNow(), c.menu);
    EXPECT_TRUE(!c.marker || desk.connections() == 0) << "an unfinished desk is not asked";
    fs::remove(home / ".tarvic-setting-up");
  }
}

TEST(Desk, VersionIsTheFirstWordCutToSevenCharacters) {
  Home home;
  EXPECT_EQ(Desk::installedVersion(), "") << "no installation";
  fs::create_directories(Paths::install());
  EXPECT_EQ(Desk::installedVersion(), "") << "no VERSION file";
  const std::pair<const char*, const char*> cases[] = {
      {"2024.11.30-long more", "2024.11"},
      {"  1.2 3", "1.2"},
      {"1.2\n", "1.2"},  // any white space ends it: no line break in the menu
      {"1.2\tx y", "1.2"},
      {"1.2.3\r\n", "1.2.3"},
      {"\n  1.2 beta", "1.2"},
      {"1.2\v3", "1.2"},
      {"1.2\f3", "1.2"},
      {"\r\n\t \n", ""},
      {"äöü1234567", "äöü1234"},  // characters, not bytes
      {"   ", ""},
      {"\xff\xfe", ""},  // not UTF-8
  };
  for (const auto& [content, version] : cases) {
    write(Paths::install() / "VERSION", content);
    EXPECT_EQ(Desk::installedVersion(), version) << content;
  }
  write(Paths::install() / "VERSION", "");
  EXPECT_EQ(DeskState::answering(Desk::installedVersion()).menuText(), "Running");
}

// Wrong types, other statuses and huge bodies are the hostile tests'.
TEST(Desk, BusyReadsTheInUseAnswer) {
  Home home;
  using Kind = Desk::Busy::Kind;
  struct Case {
    int status;  // as above
    const char* body;
    Desk::Busy expected;
  } cases[] = {
      {200, R"({"in_use": false})", {Kind::idle, ""}},
      {200, R"({"in_use": true})", {Kind::busy, ""}},
      {200, R"({"in_use": true, "why": 3})", {Kind::busy, ""}},
      {200,
       R"({"in_use": true, "why": "2 people are moving faders"})",
       {Kind::busy, "2 people are moving faders"}},
      {200, R"({"in_use": 1})", {Kind::unknown, ""}},
      {500, R"({"in_use": false})", {Kind::unknown, ""}},
      {-1, "", {Kind::notRunning, ""}},
      // Two waits in a row: the first one's late answer must not disturb the second.
      {0, "", {Kind::unknown, ""}},
      {0, "", {Kind::unknown, ""}},
  };
  for (const auto& c : cases) {
    LocalServer desk([c](const std::string&) { return Answer{c.status, c.body, c.status == 0}; });
    usePort(c.status < 0 ? freePort() : desk.port());
    EXPECT_EQ(Desk::busy(), c.expected) << c.status << " " << c.body;
  }
}

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
  EXPECT_EQ(Paths::launchAgent(), home / "Library/LaunchAgents/com.tarvicone.tarvic.plist");
  write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
  EXPECT_EQ(Paths::label(), "com.quendrel.desk");
  EXPECT_EQ(Paths::launchAgent(), home / "Library/LaunchAgents/com.quendrel.desk.plist");

  // The forms of the port are the hostile tests'; this is which variable counts.
  setenv("QUENDREL_PORT", "letters", 1);
  setenv("TARVIC_PORT", "82", 1);
  EXPECT_EQ(Paths::port(), 8080) << "an unusable port is the default, the old variable unread";
}

TEST(Agent, AChangeThatLeavesNoPassphraseIsNotAChange) {
  Home home;
  for (std::string left : {"", " \n\t\n"}) {
    write(Paths::movedInstall() / "agent.sh",
          "#!/bin/bash\ncd \"$(dirname \"$0\")\" && mkdir -p presets && printf '" + left +
              "' > presets/.access\necho 'writing the passphrase'\necho\n"
              "echo 'the word list is empty'\necho 'nothing was written'\n",
          0755);
    auto outcome = Agent::changePassphrase();
    ASSERT_TRUE(std::holds_alternative<Agent::NotChanged>(outcome)) << "left: \"" << left << "\"";
    EXPECT_EQ(std::get<Agent::NotChanged>(outcome).detail,
              "the word list is empty\nnothing was written");
  }
}
