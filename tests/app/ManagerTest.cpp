#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
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

// A desk laid down by hand: an agent script that notes each command in "agent.log", prints
// "agent.output" and ends with the status in "agent.status" (0 when missing).
struct Desk {
  explicit Desk(const Home& home) {
    write(dir / "agent.sh",
          "#!/bin/bash\ncd \"$(dirname \"$0\")\"\necho \"$1\" >> agent.log\n"
          "[ \"$1\" = set-passphrase ] && [ -f new-passphrase ] && cp new-passphrase "
          "presets/.access\n"
          "cat agent.output 2>/dev/null\nexit $(cat agent.status 2>/dev/null || echo 0)\n",
          0755);
    write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
    write(dir / "VERSION", "1.4.2 (a desk laid down by hand)\n");
  }
  std::string log() const { return read(dir / "agent.log"); }
  void answer(int status, const std::string& output = "") const {
    write(dir / "agent.status", std::to_string(status));
    write(dir / "agent.output", output);
  }
  fs::path dir = Paths::movedInstall();
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
  const Platform::Alert& last() const { return ui.alerts.back(); }

  int argc = 1;
  char arg0[9] = "quendrel";
  char* argv[2] = {arg0, nullptr};
  Home home;
  Platform::EventLoop loop;
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
  // What the desk answers when asked whether it is in use; changed while the server runs.
  void answerInUse(const std::string& body) {
    std::lock_guard lock(mutex);
    inUse = {200, body, body == "never"};
  }
  std::mutex mutex;
  Answer inUse{200, R"({"in_use": false})"};
  LocalServer server{[this](const std::string& path) {
    std::lock_guard lock(mutex);
    return path == "/in-use" ? inUse : Answer{200, "{}"};
  }};
};

using Buttons = std::vector<std::string>;

}  // namespace

TEST_F(ManagerTest, TheMenuIsBuiltOnceWithEveryLineAndFollowsTheDesk) {
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
  ASSERT_EQ(lines.size(), std::size(titles));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].title, titles[i]) << i;
    EXPECT_EQ(lines[i].separator, !*titles[i]) << i;
  }
  EXPECT_FALSE(lines[Manager::stateLine].enabled);
  EXPECT_FALSE(lines[Manager::updateLine].enabled);
  EXPECT_TRUE(lines[Manager::restartLine].enabled) << "every line is there before setup";
  EXPECT_EQ(lines[Manager::quitLine].key, "q");
  ASSERT_TRUE(spinUntil([&] { return ui.item->title(0) == "Not set up yet"; }));

  Desk desk(home);
  usePort(server.port());
  manager->refresh();
  ASSERT_TRUE(spinUntil([&] { return ui.item->title(0) == "Running — 1.4.2"; }));
  Installer::running = true;
  manager->refresh();
  ASSERT_TRUE(spinUntil([&] { return ui.item->title(0) == "Setting up…"; }));
  Installer::running = false;
}

TEST_F(ManagerTest, QuittingStopsTheDeskOrSaysWhyNot) {
  const std::string idle = R"({"in_use": false})", stuck = "Quendrel's console did not stop",
                    busy = "Quendrel's console is in use",
                    stays = "It is still running. Quendrel stays open so that you can try again.",
                    quitting =
                        "\n\nQuitting stops the console for everybody using it. It starts "
                        "again when Quendrel is opened.",
                    elodie = "Élodie is moving faders." + quitting,
                    somebody = "Somebody is using it." + quitting,
                    unknown = "It is running, and could not say whether anybody is using it.";
  const int enter = ScriptedUi::returnKey, escape = ScriptedUi::escapeKey,
            anyway = Platform::firstButton;
  const struct {
    const char* what;
    bool desk;
    std::string inUse;  // the desk's answer when asked; "" while it does not run
    int stopStatus, answer;
    std::string log, alert, because;  // the agent's commands from the launch on; the message
  } cases[] = {
      {"no desk", false, idle, 0, 0, "", "", ""},
      {"a stopped desk", true, "", 0, 0, "start\nstop\n", "", ""},  // started at launch
      {"an idle desk", true, idle, 0, 0, "stop\n", "", ""},
      {"a stop that fails", true, idle, 1, 0, "stop\n", stuck, stays},
      {"busy, Return keeps it", true, R"({"in_use": true, "why": "élodie is moving faders"})", 0,
       enter, "", busy, elodie},
      {"busy, Escape keeps it", true, R"({"in_use": true})", 0, escape, "", busy, somebody},
      {"no answer, quit anyway", true, "never", 0, anyway, "stop\n", busy, unknown + quitting},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home / "Library");
    Desk desk(home);
    desk.answer(c.stopStatus, "the console is stuck\n");
    if (!c.desk) fs::remove_all(home / "Library");
    answerInUse(idle);
    usePort(c.inUse.empty() ? freePort() : server.port());
    launch();
    if (c.inUse.empty()) {
      ASSERT_TRUE(spinUntil([&] { return desk.log() == "start\n"; }));
    }
    const int asked = server.count("/in-use");
    answerInUse(c.inUse);
    ui.alerts.clear();
    ui.answers.clear();
    if (c.answer) ui.answers = {c.answer};
    ui.item->choose(Manager::quitLine);
    EXPECT_EQ(desk.log(), c.log);
    const bool quits = c.alert.empty() || c.answer == anyway;
    EXPECT_EQ(manager->terminated(), quits);
    ASSERT_EQ(ui.alerts.size(), c.alert.empty() ? 0u : 1u);
    if (!c.alert.empty()) {
      EXPECT_EQ(last().message, c.alert);
      EXPECT_EQ(last().informative, c.because);
      if (c.answer) {
        EXPECT_EQ(last().style, Platform::AlertStyle::warning);
        EXPECT_EQ(last().buttons, (Buttons{"Quit Anyway", "Cancel"}));
      }
    }
    if (quits) {
      Platform::EventLoop::quit(0);  // turns the loop once more after the quit request
      loop.run();
    }
    if (!c.desk) {
      EXPECT_EQ(server.count("/in-use"), asked) << "nothing to ask without a desk";
    }
  }
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
  EXPECT_FALSE(manager->terminated());
  manager->terminate();
  EXPECT_TRUE(manager->terminated());
  EXPECT_EQ(desk.log(), "start\n") << "only quitting from the menu stops the desk";
}

TEST_F(ManagerTest, StartingIsLeftAloneWhileSomethingElseWorksOnTheDesk) {
  Desk desk(home);
  usePort(freePort());
  auto starts = [&] {
    Manager m(ui, {});
    m.desk().startConsoleIfStopped();
    Platform::turnLoop(0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // longer than the in-use wait
    Platform::turnLoop(0.2);
    return !desk.log().empty();
  };
  const fs::path lock = write(home / ".tarvic-update.lock", ""),
                 setup = home / ".tarvic-setting-up";
  auto age = [&](auto by) { fs::last_write_time(lock, fs::file_time_type::clock::now() - by); };
  age(std::chrono::minutes(10));
  EXPECT_FALSE(starts()) << "a fresh update lock";
  age(-std::chrono::hours(2));
  EXPECT_FALSE(starts()) << "a lock dated in the future counts as fresh";
  age(std::chrono::hours(2));
  fs::rename(home / "Library/LaunchAgents", home / "Library/away");
  EXPECT_FALSE(starts()) << "no agent list: a half-removed installation";
  fs::rename(home / "Library/away", home / "Library/LaunchAgents");
  write(setup, "fresh\n");
  EXPECT_FALSE(starts()) << "a setup under way";
  fs::remove(setup);
  usePort(server.port());
  EXPECT_FALSE(starts()) << "an answering desk";
  usePort(freePort());
  EXPECT_TRUE(starts()) << "a stale lock and a stopped desk";
  EXPECT_EQ(desk.log(), "start\n");
}

TEST_F(ManagerTest, ThePassphraseShownCopiedAndChanged) {
  Desk desk(home);
  usePort(freePort());
  manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
  DeskActions& actions = manager->desk();
  const fs::path access = Paths::install() / "presets/.access";

  for (const char* none : {"", " \n\t\n"}) {
    if (*none) write(access, none);
    actions.showPassphrase();
    EXPECT_EQ(last().message, "There is no passphrase yet.");
  }
  EXPECT_EQ(last().informative,
            "One is made the first time the console runs. If the console has never started, set "
            "this computer up first.");
  write(access, "amber river lantern\n");
  ui.answers = {Platform::firstButton};
  actions.showPassphrase();
  EXPECT_EQ(last().message, "Console passphrase");
  EXPECT_EQ(last().informative,
            "amber river lantern\n\nAnyone on this network who has it can move your faders.");
  EXPECT_EQ(last().buttons, (Buttons{"Copy", "Done"}));
  EXPECT_EQ(ui.clipboard, "amber river lantern");

  actions.changePassphrase();  // Return cancels the change
  EXPECT_EQ(last().message, "Change the passphrase?");
  EXPECT_EQ(desk.log(), "");

  write(Paths::install() / "new-passphrase", "cedar meadow whistle\n");
  ui.answers = {Platform::firstButton, Platform::firstButton};  // "Change it", then "Copy"
  actions.changePassphrase();
  EXPECT_EQ(last().message, "New console passphrase");
  EXPECT_EQ(last().buttons, (Buttons{"Copy", "Restart the desk", "Later"}));
  EXPECT_EQ(ui.clipboard, "cedar meadow whistle");
  EXPECT_EQ(desk.log(), "set-passphrase\n") << "copying does not restart";

  ui.answers = {Platform::firstButton, Platform::firstButton + 1};  // then "Restart the desk"
  ui.clipboard.clear();
  actions.changePassphrase();
  EXPECT_TRUE(ui.clipboard.empty());
  ASSERT_TRUE(spinUntil([&] { return desk.log() == "set-passphrase\nset-passphrase\nrestart\n"; }));

  // A failing script, and one that cannot even be started, end in the same alert.
  desk.answer(1, "one\n\ntwo\nthree\n");
  ui.answers = {Platform::firstButton};
  actions.changePassphrase();
  EXPECT_EQ(last().message, "The passphrase was not changed.");
  EXPECT_EQ(last().informative, "two\nthree");
  fs::remove_all(Paths::install());
  fs::create_directories(Paths::install().parent_path());
  ui.answers = {Platform::firstButton};
  actions.changePassphrase();
  EXPECT_EQ(last().message, "The passphrase was not changed.");
}

TEST_F(ManagerTest, TheWayInAlertComesForTheExactHandOverFlagAndOnReopening) {
  usePort(server.port());
  Desk desk(home);
  const std::string lives =
      "Running — 1.4.2\n\nQuendrel lives in the menu bar. If you cannot see it "
      "there, there is no room for it — the buttons below do what its menu "
      "is mostly used for.";
  for (bool exact : {false, true}) {
    ui.alerts.clear();
    ui.answers = {ScriptedUi::escapeKey, ScriptedUi::returnKey};
    launch(exact ? Buttons{"--handed-over"} : Buttons{"--handed-over-please", "--handed-over-"});
    // Without the flag, the hand-over's alert would come before the reopening's.
    if (exact) {
      ASSERT_TRUE(spinUntil([&] { return !ui.alerts.empty(); }));
    }
    manager->applicationShouldHandleReopen();
    ASSERT_TRUE(spinUntil([&] { return ui.alerts.size() == (exact ? 2u : 1u); }));
    EXPECT_EQ(ui.alerts.back().informative, lives) << "no first line on reopening";
    if (!exact) continue;
    EXPECT_EQ(ui.alerts[0].message, "Quendrel");
    EXPECT_EQ(ui.alerts[0].informative,
              "Quendrel is in your Applications folder, and runs from there.\n\n" + lives);
    EXPECT_EQ(ui.alerts[0].buttons, (Buttons{"Open the console", "Show the passphrase", "Done",
                                             "Uninstall Quendrel…", "Quit Quendrel"}));
    EXPECT_EQ(ui.opened, (Buttons{"http://localhost:" + std::to_string(server.port())}))
        << "Escape chose Done, Return opened the console";
  }
}
