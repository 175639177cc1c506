#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "platform/Files.h"
#include "setup/Installer.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/ScriptedUi.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A desk laid down by hand: an agent script that notes each command in "agent.log" and
// answers with the status found in "agent.status" (0 when missing).
struct Desk {
  explicit Desk(const Home& home) {
    write(Paths::movedInstall() / "agent.sh",
          "#!/bin/bash\n"
          "dir=\"$(dirname \"$0\")\"\n"
          "echo \"$1\" >> \"$dir/agent.log\"\n"
          "if [ \"$1\" = set-passphrase ] && [ -f \"$dir/new-passphrase\" ]; then\n"
          "  cp \"$dir/new-passphrase\" \"$dir/presets/.access\"\n"
          "fi\n"
          "[ -f \"$dir/agent.output\" ] && cat \"$dir/agent.output\"\n"
          "exit $(cat \"$dir/agent.status\" 2>/dev/null || echo 0)\n",
          0755);
    write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
    write(Paths::movedInstall() / "VERSION", "1.4.2 (a desk laid down by hand)\n");
  }
  std::string log() const { return read(Paths::movedInstall() / "agent.log"); }
  void answer(int status, const std::string& output = "") const {
    write(Paths::movedInstall() / "agent.status", std::to_string(status));
    write(Paths::movedInstall() / "agent.output", output);
  }
};

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : loop(argc, argv) {}

  void usePort(int port) { setenv("QUENDREL_PORT", std::to_string(port).c_str(), 1); }
  // Runs the launch and waits for the first answer of the desk.
  void launch(std::vector<std::string> arguments = {}) {
    manager = std::make_unique<Manager>(ui, std::move(arguments));
    manager->applicationDidFinishLaunching();
    ASSERT_TRUE(spinUntil([&] { return ui.item->title(Manager::stateLine) != "Checking…"; }));
  }
  std::string informative(size_t i) const { return ui.alerts.at(i).informative; }

  int argc = 1;
  char arg0[9] = "quendrel";
  char* argv[2] = {arg0, nullptr};
  Home home;
  Platform::EventLoop loop;
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(ManagerTest, TheMenuIsBuiltOnceWithEveryLine) {
  usePort(freePort());
  manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
  manager->applicationDidFinishLaunching();
  ASSERT_NE(ui.item, nullptr);
  EXPECT_EQ(ui.description, "Quendrel");
  const char* titles[] = {"Checking…",
                          "",
                          "Set up this computer…",
                          "Open the console",
                          "Quendrel is up to date",
                          "",
                          "Show the passphrase",
                          "Change the passphrase…",
                          "Restart the desk",
                          "",
                          "Uninstall Quendrel…",
                          "Quit Quendrel"};
  const auto& lines = ui.item->lines();
  ASSERT_EQ(lines.size(), 12u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].title, titles[i]) << i;
    EXPECT_EQ(lines[i].separator, i == 1 || i == 5 || i == 9) << i;
  }
  EXPECT_FALSE(lines[Manager::stateLine].enabled);
  EXPECT_FALSE(lines[Manager::updateLine].enabled);
  EXPECT_TRUE(lines[Manager::restartLine].enabled) << "every line is there before setup";
  EXPECT_EQ(lines[Manager::quitLine].key, "q");
  ASSERT_TRUE(spinUntil([&] { return ui.item->title(0) == "Not set up yet"; }));
}

TEST_F(ManagerTest, TheFirstLineFollowsTheDesk) {
  LocalServer server([&](const std::string&) { return Answer{200, "{}"}; });
  usePort(server.port());
  Desk desk(home);
  launch();
  EXPECT_EQ(ui.item->title(0), "Running — 1.4.2");  // the state line's texts: the desk tests
  Installer::running = true;
  manager->refresh();
  ASSERT_TRUE(spinUntil([&] { return ui.item->title(0) == "Setting up…"; }));
  Installer::running = false;
}

TEST_F(ManagerTest, QuittingStopsTheDeskThatIsThere) {
  LocalServer idle([](const std::string& path) {
    return path == "/in-use" ? Answer{200, R"({"in_use": false})"} : Answer{200, "{}"};
  });
  const struct {
    const char* what;
    bool desk;
    bool answering;
    int stopStatus;
    std::string log;
    std::string alert;  // the message, when Quendrel stays open
  } cases[] = {
      {"no desk", false, true, 0, "", ""},
      {"a stopped desk", true, false, 0, "start\nstop\n", ""},  // started at launch
      {"an idle desk", true, true, 0, "stop\n", ""},
      {"a stop that fails", true, true, 1, "stop\n", "Quendrel's console did not stop"},
  };
  const fs::path log = Paths::movedInstall() / "agent.log";
  for (const auto& c : cases) {
    fs::remove_all(home / "Library");
    if (c.desk) Desk(home).answer(c.stopStatus, "the console is stuck\n");
    usePort(c.answering ? idle.port() : freePort());
    launch();
    if (!c.answering) {
      ASSERT_TRUE(spinUntil([&] { return read(log) == "start\n"; }));
    }
    const int asked = idle.count("/in-use");
    ui.alerts.clear();
    ui.item->choose(Manager::quitLine);
    EXPECT_EQ(read(log), c.log) << c.what;
    EXPECT_EQ(manager->terminated(), c.alert.empty()) << c.what;
    if (!c.alert.empty()) {
      ASSERT_EQ(ui.alerts.size(), 1u) << c.what;
      EXPECT_EQ(ui.alerts[0].message, c.alert);
      EXPECT_EQ(informative(0),
                "It is still running. Quendrel stays open so that you can try again.");
    } else {
      EXPECT_TRUE(ui.alerts.empty()) << c.what;
      Platform::EventLoop::quit(0);  // turns the loop once more after the quit request
      loop.run();
    }
    if (!c.desk) {
      EXPECT_EQ(idle.count("/in-use"), asked) << "nothing to ask without a desk";
    }
  }
}

TEST_F(ManagerTest, QuittingABusyDeskWarnsFirst) {
  Answer inUse{200, R"({"in_use": true, "why": "élodie is moving faders"})"};
  LocalServer server([&](const std::string& path) {
    return path == "/in-use" ? inUse : Answer{200, "{}"};
  });
  usePort(server.port());
  Desk desk(home);
  launch();

  ui.answers = {ScriptedUi::returnKey};  // Return keeps Quendrel open
  manager->quitApp();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(ui.alerts[0].message, "Quendrel's console is in use");
  EXPECT_EQ(ui.alerts[0].style, Platform::AlertStyle::warning);
  EXPECT_EQ(informative(0),
            "Élodie is moving faders.\n\nQuitting stops the console for everybody using it. It "
            "starts again when Quendrel is opened.");
  EXPECT_EQ(ui.alerts[0].buttons, (std::vector<std::string>{"Quit Anyway", "Cancel"}));
  EXPECT_FALSE(manager->terminated());
  EXPECT_EQ(desk.log(), "");

  inUse.body = R"({"in_use": true})";
  ui.answers = {ScriptedUi::escapeKey};
  manager->quitApp();
  EXPECT_EQ(informative(1).rfind("Somebody is using it.\n\nQuitting", 0), 0u);
  EXPECT_FALSE(manager->terminated());

  inUse = Answer{200, "", true};         // never answers
  ui.answers = {Platform::firstButton};  // "Quit Anyway"
  manager->quitApp();
  EXPECT_EQ(informative(2).rfind(
                "It is running, and could not say whether anybody is using it.\n\nQuitting", 0),
            0u);
  EXPECT_EQ(desk.log(), "stop\n");
  EXPECT_TRUE(manager->terminated());
}

TEST_F(ManagerTest, AStopThatFailsKeepsQuendrelOpen) {
  Desk desk(home);
  desk.answer(1, "the console is stuck\n");
  usePort(freePort());
  launch();
  manager->quitApp();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(ui.alerts[0].message, "Quendrel's console did not stop");
  EXPECT_EQ(informative(0), "It is still running. Quendrel stays open so that you can try again.");
  EXPECT_FALSE(manager->terminated());
}

TEST_F(ManagerTest, NothingQuitsDuringSetup) {
  Desk desk(home);
  usePort(freePort());
  launch();
  ASSERT_TRUE(spinUntil([&] { return desk.log() == "start\n"; }));  // started at launch
  Installer::running = true;
  manager->quitApp();
  manager->terminate();  // SIGTERM and other copies come this way
  Installer::running = false;
  ASSERT_EQ(ui.alerts.size(), 2u);
  for (const auto& alert : ui.alerts) {
    EXPECT_EQ(alert.message, "Quendrel is setting this computer up");
    EXPECT_EQ(alert.informative,
              "Quitting now would leave it half done. It takes a few minutes — quit once it says "
              "it has finished.");
  }
  EXPECT_EQ(desk.log(), "start\n") << "nothing is stopped";
  EXPECT_FALSE(manager->terminated());
  manager->terminate();
  EXPECT_TRUE(manager->terminated());
  EXPECT_EQ(desk.log(), "start\n") << "only quitting from the menu stops the desk";
}

TEST_F(ManagerTest, StartingIsLeftAloneWhileSomethingElseWorksOnTheDesk) {
  LocalServer busy([](const std::string&) { return Answer{200, R"({"in_use": false})"}; });
  Desk desk(home);
  auto startsWith = [&](auto prepare) {
    prepare();
    Manager m(ui, {});
    m.desk().startConsoleIfStopped();
    Platform::turnLoop(0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // longer than the in-use wait
    Platform::turnLoop(0.2);
    return desk.log().find("start") != std::string::npos;
  };
  usePort(freePort());
  auto lock = home / ".tarvic-update.lock";
  EXPECT_FALSE(startsWith([&] {
    write(lock, "");
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::minutes(10));
  })) << "a fresh update lock";
  EXPECT_FALSE(startsWith([&] {
    fs::last_write_time(lock, fs::file_time_type::clock::now() + std::chrono::hours(2));
  })) << "a lock dated in the future counts as fresh";
  EXPECT_FALSE(startsWith([&] {
    fs::remove(lock);
    fs::rename(home / "Library/LaunchAgents", home / "Library/Agents-away");
  })) << "no agent list: a half-removed installation";
  fs::rename(home / "Library/Agents-away", home / "Library/LaunchAgents");
  EXPECT_FALSE(startsWith([&] { write(home / ".tarvic-setting-up", "fresh\n"); }))
      << "a setup under way";
  fs::remove(home / ".tarvic-setting-up");
  EXPECT_FALSE(startsWith([&] { usePort(busy.port()); })) << "an answering desk";
  EXPECT_TRUE(startsWith([&] {
    usePort(freePort());
    write(lock, "");
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::hours(2));
  })) << "a stale lock and a stopped desk";
  EXPECT_EQ(desk.log(), "start\n") << "started once";
}

TEST_F(ManagerTest, ThePassphraseShownCopiedAndChanged) {
  Desk desk(home);
  usePort(freePort());
  manager = std::make_unique<Manager>(ui, std::vector<std::string>{});

  manager->desk().showPassphrase();
  EXPECT_EQ(ui.alerts.back().message, "There is no passphrase yet.");
  EXPECT_EQ(ui.alerts.back().informative,
            "One is made the first time the console runs. If the console has never started, set "
            "this computer up first.");
  write(Paths::install() / "presets/.access", " \n\t\n");
  manager->desk().showPassphrase();
  EXPECT_EQ(ui.alerts.back().message, "There is no passphrase yet.");

  write(Paths::install() / "presets/.access", "amber river lantern\n");
  ui.answers = {Platform::firstButton};
  manager->desk().showPassphrase();
  EXPECT_EQ(ui.alerts.back().message, "Console passphrase");
  EXPECT_EQ(ui.alerts.back().informative,
            "amber river lantern\n\nAnyone on this network who has it can move your faders.");
  EXPECT_EQ(ui.alerts.back().buttons, (std::vector<std::string>{"Copy", "Done"}));
  EXPECT_EQ(ui.clipboard, "amber river lantern");

  // Return cancels the change.
  size_t shown = ui.alerts.size();
  manager->desk().changePassphrase();
  EXPECT_EQ(ui.alerts.size(), shown + 1);
  EXPECT_EQ(ui.alerts.back().message, "Change the passphrase?");
  EXPECT_EQ(desk.log(), "");

  write(Paths::install() / "new-passphrase", "cedar meadow whistle\n");
  ui.answers = {Platform::firstButton, Platform::firstButton};  // "Change it", then "Copy"
  manager->desk().changePassphrase();
  EXPECT_EQ(ui.alerts.back().message, "New console passphrase");
  EXPECT_EQ(ui.alerts.back().buttons,
            (std::vector<std::string>{"Copy", "Restart the desk", "Later"}));
  EXPECT_EQ(ui.clipboard, "cedar meadow whistle");
  EXPECT_EQ(desk.log(), "set-passphrase\n") << "copying does not restart";

  ui.answers = {Platform::firstButton, Platform::firstButton + 1};  // then "Restart the desk"
  ui.clipboard.clear();
  manager->desk().changePassphrase();
  EXPECT_TRUE(ui.clipboard.empty());
  ASSERT_TRUE(spinUntil([&] { return desk.log() == "set-passphrase\nset-passphrase\nrestart\n"; }));
}

TEST_F(ManagerTest, AFailedChangeShowsTheCommandsLastTwoLines) {
  Desk desk(home);
  usePort(freePort());
  manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
  desk.answer(1, "one\n\ntwo\nthree\n");
  ui.answers = {Platform::firstButton};
  manager->desk().changePassphrase();
  EXPECT_EQ(ui.alerts.back().message, "The passphrase was not changed.");
  EXPECT_EQ(ui.alerts.back().informative, "two\nthree");

  desk.answer(2);
  ui.answers = {Platform::firstButton};
  manager->desk().changePassphrase();
  EXPECT_EQ(ui.alerts.back().message, "The passphrase was not changed.");
  EXPECT_EQ(ui.alerts.back().informative, "");

  // A script that cannot even be started ends in the same alert, not in a wait.
  fs::remove_all(Paths::install());
  fs::create_directories(Paths::install().parent_path());
  ui.answers = {Platform::firstButton};
  manager->desk().changePassphrase();
  EXPECT_EQ(ui.alerts.back().message, "The passphrase was not changed.");
}

TEST_F(ManagerTest, TheWayInAlert) {
  LocalServer server([](const std::string&) { return Answer{200, "{}"}; });
  usePort(server.port());
  Desk desk(home);
  write(Paths::install() / "presets/.access", "amber river lantern\n");
  ui.answers = {ScriptedUi::escapeKey};
  launch({"--handed-over"});
  ASSERT_TRUE(spinUntil([&] { return !ui.alerts.empty(); }));
  EXPECT_EQ(ui.alerts[0].message, "Quendrel");
  EXPECT_EQ(informative(0),
            "Quendrel is in your Applications folder, and runs from there.\n\nRunning — "
            "1.4.2\n\nQuendrel lives in the menu bar. If you cannot see it there, there is no "
            "room for it — the buttons below do what its menu is mostly used for.");
  EXPECT_EQ(ui.alerts[0].buttons,
            (std::vector<std::string>{"Open the console", "Show the passphrase", "Done",
                                      "Uninstall Quendrel…", "Quit Quendrel"}));
  EXPECT_TRUE(ui.opened.empty()) << "Escape chose Done";

  ui.answers = {ScriptedUi::returnKey};
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(spinUntil([&] { return ui.alerts.size() == 2; }));
  EXPECT_EQ(informative(1).rfind("Running — 1.4.2\n\nQuendrel lives", 0), 0u)
      << "no first line on reopening";
  EXPECT_EQ(ui.opened,
            (std::vector<std::string>{"http://localhost:" + std::to_string(server.port())}));
}

TEST_F(ManagerTest, OnlyTheExactHandOverFlagCounts) {
  LocalServer server([](const std::string&) { return Answer{200, "{}"}; });
  usePort(server.port());
  Desk desk(home);
  ui.answers = {ScriptedUi::escapeKey};
  launch({"--handed-over-please", "--handed-over-"});
  // Reopening shows the way in without a first line; the hand-over's would have come first.
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(spinUntil([&] { return !ui.alerts.empty(); }));
  EXPECT_EQ(informative(0).rfind("Running — 1.4.2\n\nQuendrel lives", 0), 0u) << informative(0);
}
