#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "platform/Process.h"
#include "support/Home.h"
#include "support/LocalServer.h"

using testing_support::Answer;
using testing_support::Home;
using testing_support::LocalServer;
using testing_support::makeBundle;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

struct Said {
  int status = -1;
  std::string output;
};

Said ctl(const fs::path& program, std::vector<std::string> args) {
  auto ran = Platform::run({program.string(), std::move(args), ""}, Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  if (!exited) return {};
  return {exited->status, exited->output};
}

Said ctl(std::vector<std::string> args) {
  return ctl(QUENDRELCTL, std::move(args));
}

// A copy of quendrelctl inside an application bundle, as it is shipped.
fs::path inBundle(const Home& home, const std::string& version, const std::string& service) {
  fs::path app = home / "Bundles/Quendrel.app";
  makeBundle(app, "com.quendrel.manager", version, "3", service);
  fs::path program = app / "Contents/MacOS/quendrelctl";
  fs::copy_file(QUENDRELCTL, program, fs::copy_options::overwrite_existing);
  return program;
}

}  // namespace

// The state line's own texts are the desk tests'; these are quendrelctl's.
TEST(Quendrelctl, StatusAndInUseAnswerLikeTheMenu) {
  Home home;
  Answer inUse;
  LocalServer desk([&](const std::string& path) { return path == "/in-use" ? inUse : Answer{}; });
  setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
  write(home / "Library/Application Support/Quendrel/Desk/agent.sh", "");
  write(home / "Library/Application Support/Quendrel/Desk/VERSION", "3.1.4 build\n");
  EXPECT_EQ(ctl({"status"}).output, "Running — 3.1.4\n");
  const std::pair<Answer, std::string> answers[] = {
      {{200, R"({"in_use": true, "why": "2 people are moving faders"})"},
       "busy: 2 people are moving faders\n"},
      {{200, R"({"in_use": true})"}, "busy\n"},
      {{200, R"({"in_use": false})"}, "idle\n"},
      {{200, "not json"}, "unknown\n"},
  };
  for (const auto& [answer, said] : answers) {
    inUse = answer;
    EXPECT_EQ(ctl({"in-use"}).output, said);
  }
  setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  EXPECT_EQ(ctl({"in-use"}).output, "not running\n");
}

TEST(Quendrelctl, AboutABundle) {
  Home home;
  makeBundle(home / "Tarvic.app", "com.tarvicone.manager", "1.2", "40");
  EXPECT_EQ(ctl({"about", (home / "Tarvic.app").string()}).output,
            "identifier: com.tarvicone.manager\nversion: 1.2\nbuild: 40\nours: yes\nrunning: no\n");
  write(home / "Broken.app/Contents/Info.plist", "garbage");
  Said broken = ctl({"about", (home / "Broken.app").string()});
  EXPECT_EQ(broken.status, 0);
  EXPECT_EQ(broken.output, "identifier: \nversion: \nbuild: \nours: no\nrunning: no\n");
}

TEST(Quendrelctl, CheckUpdateAsksTheServiceInItsBundle) {
  Home home;
  Answer feed;
  LocalServer service([&](const std::string&) { return feed; });
  fs::path program = inBundle(home, "1.9", service.base());
  const std::string newer = "newer: 1.10 ABC123 Quendrel-1.10.img\n";
  const std::string offered =
      R"({"version": "1.10", "sha256": "ABC123", "file": "Quendrel-1.10.img"})";
  const std::pair<Answer, std::string> answers[] = {
      {{200, offered}, newer},
      {{500, offered}, newer},  // the status is not looked at: the body is a good feed
      {{200, R"({"version": "1.9.0", "sha256": "x", "file": "f"})"}, "up to date\n"},
      {{200, R"({"version": 2, "sha256": "x", "file": "f"})"}, "up to date\n"},
      {{200, "", true}, "up to date\n"},  // never answers: the 8-second limit ends it
  };
  for (const auto& [answer, said] : answers) {
    feed = answer;
    Said ran = ctl(program, {"check-update"});
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.output, said);
  }
  EXPECT_EQ(service.count("/app/latest"), 5);
}

TEST(Quendrelctl, UnknownCommandsGetTheUsage) {
  Home home;
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"stauts"}, {"about"}, {"status", "extra"}}) {
    Said said = ctl(args);
    EXPECT_EQ(said.status, 2);
    EXPECT_NE(said.output.find("usage: quendrelctl"), std::string::npos);
  }
}

TEST(Quendrelctl, PassphraseRestartAndOpen) {
  Home home;
  setenv("QUENDREL_PORT", "8123", 1);
  const fs::path desk = home / "Library/Application Support/Quendrel/Desk";
  EXPECT_EQ(ctl({"passphrase"}).output, "There is no passphrase yet.\n");
  Said restart = ctl({"restart"});
  EXPECT_EQ(restart.status, 1) << "nothing to restart";

  write(desk / "agent.sh",
        "#!/bin/bash\n"
        "echo \"$1\" >> agent.log\n"
        "if [ -f fail ]; then printf 'one\\ntwo\\n\\nthree\\n'; exit 1; fi\n"
        "printf 'cedar meadow whistle\\n' > presets/.access\n",
        0755);
  write(desk / "presets/.access", "amber river lantern\n\n");
  EXPECT_EQ(ctl({"passphrase"}).output, "amber river lantern\n");

  Said changed = ctl({"change-passphrase"});
  EXPECT_EQ(changed.status, 0);
  EXPECT_EQ(changed.output, "cedar meadow whistle\n");
  write(desk / "fail", "");
  Said failed = ctl({"change-passphrase"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.output, "The passphrase was not changed.\ntwo\nthree\n");

  EXPECT_EQ(ctl({"restart"}).status, 0);
  for (int i = 0;
       i < 100 && testing_support::read(desk / "agent.log").find("restart") == std::string::npos;
       ++i) {
    usleep(50000);
  }
  EXPECT_EQ(testing_support::read(desk / "agent.log"), "set-passphrase\nset-passphrase\nrestart\n");

  Said opened = ctl({"open"});
  EXPECT_EQ(opened.status, 0);
  EXPECT_EQ(opened.output, "http://localhost:8123\n");
}
