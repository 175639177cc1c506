#include <gtest/gtest.h>
#include <unistd.h>

#include "support/Bundles.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/LocalServer.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string said(std::vector<std::string> args, const fs::path& program = QUENDRELCTL) {
  return run(program, args).out;
}

void usePort(int port) {
  setenv("QUENDREL_PORT", std::to_string(port).c_str(), 1);
}

}  // namespace

// The state line's own texts are the desk tests'; these are quendrelctl's.
TEST(Quendrelctl, StatusAndInUseAnswerLikeTheMenu) {
  Home home;
  Answer inUse;
  LocalServer desk([&](const std::string& path) { return path == "/in-use" ? inUse : Answer{}; });
  usePort(desk.port());
  write(home / "Library/Application Support/Quendrel/Desk/agent.sh", "");
  write(home / "Library/Application Support/Quendrel/Desk/VERSION", "3.1.4 build\n");
  EXPECT_EQ(said({"status"}), "Running — 3.1.4\n");
  const std::pair<Answer, std::string> answers[] = {
      {{200, R"({"in_use": true, "why": "2 people are moving faders"})"},
       "busy: 2 people are moving faders\n"},
      {{200, R"({"in_use": true})"}, "busy\n"},
      {{200, R"({"in_use": false})"}, "idle\n"},
      {{200, "not json"}, "unknown\n"},
  };
  for (const auto& [answer, words] : answers) {
    inUse = answer;
    EXPECT_EQ(said({"in-use"}), words);
  }
  usePort(freePort());
  EXPECT_EQ(said({"in-use"}), "not running\n");
}

TEST(Quendrelctl, AboutABundle) {
  Home home;
  makeBundle(home / "Tarvic.app", "com.tarvicone.manager", "1.2", "40");
  EXPECT_EQ(said({"about", (home / "Tarvic.app").string()}),
            "identifier: com.tarvicone.manager\nversion: 1.2\nbuild: 40\nours: yes\nrunning: no\n");
  write(home / "Broken.app/Contents/Info.plist", "garbage");
  Ran broken = run(QUENDRELCTL, {"about", (home / "Broken.app").string()});
  EXPECT_EQ(broken.status, 0);
  EXPECT_EQ(broken.out, "identifier: \nversion: \nbuild: \nours: no\nrunning: no\n");
}

TEST(Quendrelctl, CheckUpdateAsksTheServiceInItsBundle) {
  Home home;
  Answer feed;
  LocalServer service([&](const std::string&) { return feed; });
  const fs::path program = withCtl(home / "Quendrel.app", service.base());  // version 1.0
  const std::string newer = "newer: 1.10 ABC123 Quendrel-1.10.img\n";
  const std::string offered =
      R"({"version": "1.10", "sha256": "ABC123", "file": "Quendrel-1.10.img"})";
  const std::pair<Answer, std::string> answers[] = {
      {{200, offered}, newer},
      {{500, offered}, newer},  // the status is not looked at: the body is a good feed
      {{200, R"({"version": "1.0.0", "sha256": "x", "file": "f"})"}, "up to date\n"},
      {{200, R"({"version": 2, "sha256": "x", "file": "f"})"}, "up to date\n"},
      {{200, "", true}, "up to date\n"},  // never answers: the 8-second limit ends it
  };
  for (const auto& [answer, words] : answers) {
    feed = answer;
    Ran ran = run(program, {"check-update"});
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out, words);
  }
  EXPECT_EQ(service.count("/app/latest"), 5);
}

TEST(Quendrelctl, UnknownCommandsGetTheUsage) {
  Home home;
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"stauts"}, {"about"}, {"status", "extra"}}) {
    Ran ran = run(QUENDRELCTL, args);
    EXPECT_EQ(ran.status, 2);
    EXPECT_TRUE(ran.err.starts_with("usage: quendrelctl")) << ran.err;
  }
}

// Changing the passphrase is the faults tests' (with a real desk, and with failing scripts).
TEST(Quendrelctl, PassphraseRestartAndOpen) {
  Home home;
  usePort(8123);
  EXPECT_EQ(said({"passphrase"}), "There is no passphrase yet.\n");
  EXPECT_EQ(run(QUENDRELCTL, {"restart"}).status, 1) << "nothing to restart";
  const fs::path desk = home / "Library/Application Support/Quendrel/Desk";
  write(desk / "agent.sh", "#!/bin/bash\necho \"$1\" >> agent.log\n", 0755);
  write(desk / "presets/.access", "amber river lantern\n\n");
  EXPECT_EQ(said({"passphrase"}), "amber river lantern\n");
  EXPECT_EQ(run(QUENDRELCTL, {"restart"}).status, 0);
  for (int i = 0; i < 100 && read(desk / "agent.log").empty(); ++i) usleep(50000);  // detached
  EXPECT_EQ(read(desk / "agent.log"), "restart\n");
  EXPECT_EQ(said({"open"}), "http://localhost:8123\n");
}
