#include <gtest/gtest.h>

#include <future>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "support/Home.h"
#include "support/LocalServer.h"

using testing_support::Answer;
using testing_support::Home;
using testing_support::LocalServer;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

DeskState lookNow() {
  std::promise<DeskState> answer;
  Desk::look([&](DeskState s) { answer.set_value(s); });
  return answer.get_future().get();
}

void usePort(int port) {
  setenv("QUENDREL_PORT", std::to_string(port).c_str(), 1);
}

void installDesk(const std::string& version) {
  write(Paths::install() / "VERSION", version);
}

}  // namespace

TEST(Desk, LookFollowsTheFolderTheMarkerAndTheAnswer) {
  Home home;
  int status = 200;
  LocalServer desk([&](const std::string&) { return Answer{status, "{}"}; });
  usePort(desk.port());

  EXPECT_EQ(lookNow(), DeskState::notInstalled());
  EXPECT_EQ(lookNow().menuText(), "Not set up yet");

  installDesk("2.4.1 beta\n");
  write(home / ".tarvic-setting-up", "keeping\n");
  EXPECT_EQ(lookNow(), DeskState::unfinished());
  EXPECT_EQ(lookNow().menuText(), "Setting up did not finish");
  EXPECT_EQ(desk.count("/relay-info"), 0) << "an unfinished desk is not asked";
  fs::remove(home / ".tarvic-setting-up");

  EXPECT_EQ(lookNow(), DeskState::answering("2.4.1"));
  EXPECT_EQ(lookNow().menuText(), "Running — 2.4.1");
  status = 404;
  EXPECT_EQ(lookNow(), DeskState::answering("2.4.1")) << "404 counts as answering";
  status = 500;
  EXPECT_EQ(lookNow().menuText(), "Not running");
}

TEST(Desk, LookWithoutAnAnsweringDesk) {
  Home home;
  installDesk("1.0");
  usePort(testing_support::freePort());  // nothing listens
  EXPECT_EQ(lookNow(), DeskState::installedNotRunning());

  LocalServer silent([](const std::string&) { return Answer{200, "", true}; });
  usePort(silent.port());
  EXPECT_EQ(lookNow(), DeskState::installedNotRunning()) << "no answer within the time-out";
}

TEST(Desk, VersionIsTheFirstWordCutToSevenCharacters) {
  Home home;
  EXPECT_EQ(Desk::installedVersion(), "") << "no installation";
  fs::create_directories(Paths::install());
  EXPECT_EQ(Desk::installedVersion(), "") << "no VERSION file";
  struct Case {
    const char* content;
    const char* version;
  } cases[] = {
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
  for (const auto& c : cases) {
    write(Paths::install() / "VERSION", c.content);
    EXPECT_EQ(Desk::installedVersion(), c.version) << c.content;
  }
  write(Paths::install() / "VERSION", "");
  EXPECT_EQ(DeskState::answering(Desk::installedVersion()).menuText(), "Running");
}

TEST(Desk, BusyReadsTheInUseAnswer) {
  Home home;
  Answer answer;
  LocalServer desk([&](const std::string&) { return answer; });
  usePort(desk.port());
  using Kind = Desk::Busy::Kind;
  struct Case {
    int status;
    const char* body;
    Desk::Busy expected;
  } cases[] = {
      {200, R"({"in_use": false})", {Kind::idle, ""}},
      {200, R"({"in_use": true})", {Kind::busy, ""}},
      {200, R"({"in_use": true, "why": 3})", {Kind::busy, ""}},
      {200,
       R"({"in_use": true, "why": "2 people are moving faders"})",
       {Kind::busy, "2 people are moving faders"}},
      // Wrong types, other statuses and huge bodies are the hostile tests'.
      {200, R"({"in_use": 1})", {Kind::unknown, ""}},
      {500, R"({"in_use": false})", {Kind::unknown, ""}},
  };
  for (const auto& c : cases) {
    answer = Answer{c.status, c.body};
    EXPECT_EQ(Desk::busy(), c.expected) << c.status << " " << c.body;
  }
}

TEST(Desk, BusyWithNobodyListeningOrNobodyAnswering) {
  Home home;
  usePort(testing_support::freePort());
  EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::notRunning);

  LocalServer silent([](const std::string&) { return Answer{200, "", true}; });
  usePort(silent.port());
  EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::unknown);
  // Two waits in a row: the first one's late answer must not disturb the second.
  EXPECT_EQ(Desk::busy().kind, Desk::Busy::Kind::unknown);
}
