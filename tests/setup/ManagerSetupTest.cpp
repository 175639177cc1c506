// The menu's side of setting up: the setup window offered once when the desk needs setting
// up, "Set up this computer…", the way in, and the state line after a setup.
#include <gtest/gtest.h>

#include "SetupFixture.h"
#include "app/Manager.h"
#include "platform/Queue.h"
#include "setup/Belonging.h"
#include "support/LocalServer.h"

using namespace setup_testing;

namespace {

class Menu : public ::testing::Test {
 protected:
  Menu() {
    setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
    ui.scriptedWindow = true;
  }

  Platform::EventLoop loop{argc, argv};
  Computer computer;
  LocalServer desk{[](const std::string&) { return Answer{200, "{}"}; }};
  ScriptedUi ui;
  std::optional<Manager> manager;

  // Launches, and waits for the state line to read `state`.
  bool launchedReading(const std::string& state) {
    manager.emplace(ui, std::vector<std::string>{});
    manager->carryOn();
    return stateReads(state);
  }
  bool stateReads(const std::string& text) {
    return waitFor([&] { return ui.item && ui.item->title(Manager::stateLine) == text; });
  }
};

}  // namespace

TEST_F(Menu, TheSetupWindowIsOfferedOnceAndTheMenuLeadsBackToIt) {
  ASSERT_TRUE(launchedReading("Not set up yet"));
  ASSERT_TRUE(waitFor([&] { return ui.window != nullptr; }));
  EXPECT_EQ(ui.window->broughtToFront, 1);

  ui.window->close();
  for (int tick = 0; tick < 2; ++tick) manager->refresh();
  Platform::turnLoop(0.2);
  EXPECT_EQ(ui.window->broughtToFront, 1) << "closing it does not bring it back on a tick";
  EXPECT_FALSE(ui.window->open);

  ui.item->choose(Manager::setupLine);  // "Set up this computer…"
  EXPECT_EQ(ui.window->broughtToFront, 2);
  EXPECT_EQ(ui.windowsMade, 1);

  // Re-opening the application while the desk needs setting up shows the window, no alert.
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(waitFor([&] { return ui.window->broughtToFront == 3; }));
  EXPECT_TRUE(ui.alerts.empty());
}

// What the menu shows and allows while a setup runs is the application's own tests'.
TEST_F(Menu, AnUnfinishedSetupIsOfferedTooAndAFinishedRunShowsInTheMenu) {
  fs::create_directories(computer.desk());
  write(computer.marker(), "moved\n");
  ASSERT_TRUE(launchedReading("Setting up did not finish"));
  ASSERT_TRUE(waitFor([&] { return ui.window != nullptr; }));

  ui.window->type("123456");
  ui.window->press();
  ui.window->sheet->post("{\"version\": \"v\", \"done\": 1, \"of\": 1}");
  ui.window->sheet->agree();
  // The standard handler refreshes the menu at once.
  ASSERT_TRUE(stateReads("Running — 3.1.4"));
  EXPECT_EQ(ui.window->explain, done);
  EXPECT_EQ(ui.window->broughtToFront, 1) << "the window was not offered again meanwhile";
}

TEST_F(Menu, StartingUpRecordsWhoLooksAfterTheDesk) {
  write(computer.desk() / "agent.sh", "#!/bin/bash\n", 0755);
  ASSERT_TRUE(launchedReading("Running"));
  EXPECT_EQ(read(Belonging::note()), fs::canonical(computer.app).string() + "\n");
  EXPECT_EQ(ui.window, nullptr) << "a desk that is set up needs no setup window";
}
