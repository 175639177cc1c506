// The menu and what its lines do, with a desk laid down by hand and a scripted interface;
// quendrelctl's answers (a bundle whose Info.plist is damaged, and a change of passphrase that
// works, are the faults tests'); and the desktop entry.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "placement/Desktop.h"
#include "setup/Installer.h"
#include "support/Bundles.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
constexpr int first = Platform::firstButton;

namespace {

class ManagerTest : public ::testing::Test {
 protected:
  // A desk laid down by hand: its agent script notes each command in "agent.log", prints
  // "agent.output" and ends with the status in "agent.status" (0 when missing); setting the
  // passphrase takes "new-passphrase" when there is one. Nothing listens on its port.
  ManagerTest() : loop(argc, argv) {
    write(desk / "agent.sh",
          "#!/bin/bash\ncd \"$(dirname \"$0\")\"\necho \"$1\" >> agent.log\n"
          "[ \"$1\" = set-passphrase ] && [ -f new-passphrase ] && cp new-passphrase "
          "presets/.access\ncat agent.output 2>/dev/null\nexit $(cat agent.status 2>/dev/null || "
          "echo 0)\n",
          0755);
    write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
    write(desk / "VERSION", "1.4.2 (a desk laid down by hand)\n");
    usePort(freePort());
  }
  std::string log() const { return read(desk / "agent.log"); }
  void usePort(int port) { setenv("QUENDREL_PORT", std::to_string(port).c_str(), 1); }
  // The alerts shown since the last call: the message, the informative text, the buttons.
  Lines shown() {
    Lines all;
    for (const auto& alert : ui.alerts) {
      all.push_back(alert.message + " | " + alert.informative);
      for (const auto& button : alert.buttons) all.back() += " [" + button + "]";
    }
    ui.alerts.clear();
    return all;
  }

  int argc = 1;
  char* argv[2] = {const_cast<char*>("quendrel"), nullptr};
  Home home;
  const fs::path desk = Paths::movedInstall();
  Platform::EventLoop loop;
  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
  std::atomic<const char*> inUse{""};  // what the desk answers when asked whether it is in use
  LocalServer server{[this](const std::string& path) {
    const std::string body = inUse.load();
    return path == "/in-use" ? Answer{200, body, body == "never"} : Answer{200, "{}"};
  }};
};

}  // namespace

TEST_F(ManagerTest, EveryLineIsThereBeforeSetupAndNothingQuitsDuringIt) {
  manager = std::make_unique<Manager>(ui, Lines{});
  manager->applicationDidFinishLaunching();
  Lines lines{ui.description};
  for (const auto& line : ui.item->lines())
    lines.push_back(line.separator ? "-" : (line.enabled ? "" : "(off) ") + line.title + line.key);
  EXPECT_EQ(lines, (Lines{"Quendrel", "(off) Checking…", "-", "Set up this computer…",
                          "Open the console", "(off) Quendrel is up to date", "-",
                          "Show the passphrase", "Change the passphrase…", "Restart the desk", "-",
                          "Uninstall Quendrel…", "Quit Quendrelq"}));
  ASSERT_TRUE(spinUntil([&] { return log() == "start\n"; }));  // a stopped desk starts

  Installer::running = true;
  manager->refresh();
  EXPECT_TRUE(spinUntil([&] { return ui.item->title(0) == "Setting up…"; }));
  manager->quitApp();
  manager->terminate();  // SIGTERM and other copies come this way
  Installer::running = false;
  const std::string why =
      "Quendrel is setting this computer up | Quitting now would leave it half done. It takes a "
      "few minutes — quit once it says it has finished.";
  EXPECT_EQ(std::make_tuple(shown(), manager->terminated()),
            std::make_tuple(Lines{why, why}, false));
  manager->terminate();
  EXPECT_EQ(std::make_tuple(manager->terminated(), log()), std::make_tuple(true, "start\n"))
      << "only quitting from the menu stops the desk";
}

// A stop that fails is the faults tests' (with scripts that misbehave).
TEST_F(ManagerTest, QuittingStopsTheDeskOrAsksWhileItIsInUse) {
  const std::string idle = R"({"in_use": false})", busy = "Quendrel's console is in use | ",
                    quitting =
                        ".\n\nQuitting stops the console for everybody using it. It starts again "
                        "when Quendrel is opened. [Quit Anyway] [Cancel]";
  // Whether there is a desk; its answer when asked ("" while it does not run); the button
  // pressed; the agent's commands from the launch on; the alert shown.
  const std::tuple<bool, std::string, int, std::string, std::string> cases[] = {
      {true, "", 0, "stop\n", ""},
      {true, idle, 0, "stop\n", ""},
      {true, R"({"in_use": true, "why": "élodie is moving faders"})", ScriptedUi::returnKey, "",
       busy + "Élodie is moving faders" + quitting},
      {true, R"({"in_use": true})", ScriptedUi::escapeKey, "",
       busy + "Somebody is using it" + quitting},
      {true, "never", first, "stop\n",
       busy + "It is running, and could not say whether anybody is using it" + quitting},
      {false, idle, 0, "", ""},
  };
  for (const auto& [present, answers, pressed, commands, alert] : cases) {
    SCOPED_TRACE(answers);
    if (!present) fs::remove_all(home / "Library");
    fs::remove(desk / "agent.log");
    inUse = answers.c_str();
    usePort(answers.empty() ? freePort() : server.port());
    Manager manager(ui, {});
    ui.answers = {pressed};
    manager.quitApp();
    EXPECT_EQ(std::make_tuple(log(), manager.terminated(), shown()),
              std::make_tuple(commands, alert.empty() || pressed == first,
                              alert.empty() ? Lines{} : Lines{alert}));
    Platform::EventLoop::quit(0);  // turns the loop once more, after any quit request
    loop.run();
  }
  EXPECT_EQ(server.count("/in-use"), 4) << "once a running desk, never without a desk";
}

TEST_F(ManagerTest, StartingIsLeftAloneWhileSomethingElseWorksOnTheDesk) {
  auto starts = [&] {
    Manager m(ui, {});
    m.desk().startConsoleIfStopped();
    Platform::turnLoop(0.5);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // longer than the in-use wait
    Platform::turnLoop(0.2);
    return !log().empty();
  };
  const fs::path lock = write(home / ".tarvic-update.lock", "");
  fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::minutes(10));
  EXPECT_FALSE(starts()) << "a fresh update lock";
  fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::hours(2));
  fs::rename(home / "Library/LaunchAgents", home / "Library/away");
  EXPECT_FALSE(starts()) << "no agent list: a half-removed installation";
  fs::rename(home / "Library/away", home / "Library/LaunchAgents");
  write(Paths::settingUp(), "fresh\n");
  EXPECT_FALSE(starts()) << "a setup under way";
  fs::remove(Paths::settingUp());
  usePort(server.port());
  EXPECT_FALSE(starts()) << "an answering desk";
  usePort(freePort());
  EXPECT_TRUE(starts() && log() == "start\n") << "a stale lock and a stopped desk";
}

TEST_F(ManagerTest, ThePassphraseShownCopiedAndChanged) {
  manager = std::make_unique<Manager>(ui, Lines{});
  DeskActions& actions = manager->desk();
  write(desk / "presets/.access", " \n\t\n");
  actions.showPassphrase();
  write(desk / "presets/.access", "amber river lantern\n");
  ui.answers = {first};
  actions.showPassphrase();
  actions.changePassphrase();  // Return cancels the change
  EXPECT_EQ(std::tuple(ui.clipboard, log()), std::tuple("amber river lantern", ""));
  write(desk / "new-passphrase", "cedar meadow whistle\n");
  ui.answers = {first, first};  // "Change it", then "Copy"
  actions.changePassphrase();
  EXPECT_EQ(std::make_tuple(ui.clipboard, log()),
            std::make_tuple("cedar meadow whistle", "set-passphrase\n"))
      << "copying does not restart";
  ui.answers = {first, first + 1};  // then "Restart the desk"
  ui.clipboard.clear();
  actions.changePassphrase();
  ASSERT_TRUE(spinUntil([&] { return log() == "set-passphrase\nset-passphrase\nrestart\n"; }));
  EXPECT_EQ(ui.clipboard, "");
  write(desk / "agent.status", "1");
  write(desk / "agent.output", "one\n\ntwo\nthree\n");
  ui.answers = {first, first, first};  // the second for the alert that says so
  actions.changePassphrase();
  // A desk that says it made one but left none made none.
  write(desk / "agent.status", "0");
  write(desk / "new-passphrase", " \n\t\n");
  actions.changePassphrase();

  const std::string change =
      "Change the passphrase? | A new one is made for you — three words, so it can be said across "
      "a room.\n\nIt takes effect when the desk restarts. Anyone using the console now keeps "
      "working until they reload, and will need the new one after that. [Change it] [Cancel]";
  const std::string made =
      "New console passphrase | cedar meadow whistle\n\nAnyone on this network who has it can "
      "move your faders. [Copy] [Restart the desk] [Later]";
  const std::string notChanged = "The passphrase was not changed. | two\nthree";
  EXPECT_EQ(shown(),
            (Lines{"There is no passphrase yet. | One is made the first time the console "
                   "runs. If the console has never started, set this computer up first.",
                   "Console passphrase | amber river lantern\n\nAnyone on this network "
                   "who has it can move your faders. [Copy] [Done]",
                   change, change, made, change, made, change, notChanged, change, notChanged}));
}

// The way-in alert after a hand-over and on reopening; then quendrelctl's own answers, which are
// also how the desk's in-use answer is read (the state line's texts are the desk tests'), and
// about a bundle and the service's feed, asked through the service in its own bundle.
TEST_F(ManagerTest, TheWayInAlertAndQuendrelctlsAnswers) {
  usePort(server.port());
  const std::string lives =
      "Running — 1.4.2\n\nQuendrel lives in the menu bar. If you cannot see it there, there is no "
      "room for it — the buttons below do what its menu is mostly used for. [Open the console] "
      "[Show the passphrase] [Done] [Uninstall Quendrel…] [Quit Quendrel]";
  ui.answers = {ScriptedUi::escapeKey, ScriptedUi::returnKey};
  manager = std::make_unique<Manager>(ui, Lines{"--handed-over"});
  manager->applicationDidFinishLaunching();
  ASSERT_TRUE(spinUntil([&] { return ui.alerts.size() == 1; }));
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(spinUntil([&] { return ui.alerts.size() == 2; }));
  EXPECT_EQ(shown(), (Lines{"Quendrel | Quendrel is in your Applications folder, and runs from "
                            "there.\n\n" +
                                lives,
                            "Quendrel | " + lives}))
      << "no first line on reopening";
  EXPECT_EQ(ui.opened, (Lines{"http://localhost:" + std::to_string(server.port())}))
      << "Escape chose Done, Return opened the console";

  auto said = [](const std::string& command) { return run(QUENDRELCTL, {command}).out; };
  Lines words;
  for (const char* body : {R"({"in_use": true, "why": "2 people are moving faders"})",
                           R"({"in_use": true, "why": 3})", R"({"in_use": false})", "not json"}) {
    inUse = body;
    words.push_back(said("in-use"));
  }
  write(desk / "presets/.access", "amber river lantern\n\n");
  EXPECT_EQ(said("status") + said("passphrase") + said("open"),
            "Running — 1.4.2\namber river lantern\nhttp://localhost:" +
                std::to_string(server.port()) + "\n");
  EXPECT_EQ(run(QUENDRELCTL, {"restart"}).status, 0);
  EXPECT_TRUE(spinUntil([&] { return log() == "restart\n"; })) << "detached";
  usePort(freePort());
  words.push_back(said("in-use"));
  EXPECT_EQ(words, (Lines{"busy: 2 people are moving faders\n", "busy\n", "idle\n", "unknown\n",
                          "not running\n"}));
  fs::remove_all(desk);
  EXPECT_EQ(said("passphrase") + said("change-passphrase") + said("restart"),
            "There is no passphrase yet.\nThe passphrase was not changed.\nThere is no desk to "
            "restart: this computer is not set up yet.\n");
  const Ran wrong = run(QUENDRELCTL, {"about"});  // a command short of its argument
  EXPECT_TRUE(wrong.status == 2 && wrong.err.starts_with("usage: quendrelctl")) << wrong.err;
  makeBundle(home / "Tarvic.app", "com.tarvicone.manager", "1.2", "40");
  EXPECT_EQ(run(QUENDRELCTL, {"about", (home / "Tarvic.app").string()}).out,
            "identifier: com.tarvicone.manager\nversion: 1.2\nbuild: 40\nours: yes\nrunning: no\n");
  std::atomic<const char*> feed{R"({"version": "1.10", "sha256": "ABC123", "file": "F.img"})"};
  LocalServer service([&](const std::string&) { return Answer{500, feed.load()}; });
  const fs::path program = withCtl(home / "Quendrel.app", service.base());  // version 1.0
  const std::string newer = run(program, {"check-update"}).out;  // a good feed, whatever the status
  feed = R"({"version": "1.0.0", "sha256": "x", "file": "f"})";
  EXPECT_EQ(newer + run(program, {"check-update"}).out, "newer: 1.10 ABC123 F.img\nup to date\n");
}

// Written for a copy that stands in an Applications folder, removed with it, and never in place
// of an entry that is not ours.
TEST(Desktop, ACopyInAnApplicationsFolderIsIntroducedThenForgotten) {
  Home home;
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  auto present = [] {
    int count = fs::exists(Desktop::entry());
    for (int pixels : Desktop::iconSizes) count += fs::exists(Desktop::icon(pixels));
    return count;
  };
  auto introduce = [&](const std::string& copy) {
    makeBundle(home / copy, "com.quendrel.manager", "1.0", "1", "", "Quendrel");
    write(home / copy / "Contents/MacOS/Quendrel", "#!/bin/sh\n", 0755);
    pretendMainBundle(home / copy);
    Manager::introduceToDesktop();
  };
  const std::string foreign = "[Desktop Entry]\nType=Application\nName=Another\nExec=another\n";
  const fs::path neighbour = write(Desktop::entry().parent_path() / "other.desktop", foreign);
  introduce("Downloads/Quendrel.app");
  EXPECT_EQ(present(), 0);
  introduce("Applications/Odd $name `x` \"q\" 100% \\ here/Quendrel.app");
  ASSERT_EQ(present(), 9);
  // Icons that are there are not drawn again at each launch; one missing draws them all again.
  write(Desktop::icon(16), "kept");
  Manager::introduceToDesktop();
  const std::string current = read(Desktop::icon(16));
  fs::remove(Desktop::icon(256));
  Manager::introduceToDesktop();
  EXPECT_EQ(std::tuple(current, read(Desktop::icon(16)) == "kept", present()),
            std::tuple("kept", false, 9));
  const Ran valid = run("/usr/bin/desktop-file-validate", {Desktop::entry().string()});
  EXPECT_EQ(valid.status + valid.out.size(), 0u) << valid.out << valid.err;

  Desktop::forget();
  EXPECT_EQ(present(), 0);
  write(Desktop::entry(), foreign);
  Manager::introduceToDesktop();
  Desktop::forget();
  EXPECT_EQ(std::make_tuple(present(), read(Desktop::entry()), read(neighbour)),
            std::make_tuple(1, foreign, foreign))
      << "another's entries stay";
}
