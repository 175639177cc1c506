// The setup window's flow with a scripted window and terms sheet, from the menu: the code, the
// terms, a run and its outcome, and the fallback to the payload's own copy of the terms.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "app/Manager.h"
#include "setup/Belonging.h"
#include "setup/SetupWindow.h"
#include "support/LocalServer.h"

using namespace setup_testing;

namespace {

using Controls = std::tuple<bool, bool, std::string>;  // code and button enabled, its title

class Window : public ::testing::Test {
 protected:
  Window() {
    ui.scriptedWindow = true;
    setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
  }

  Platform::EventLoop loop{argc, argv};
  Computer computer;
  LocalServer desk{[](const std::string&) { return Answer{200, "{}"}; }};
  ScriptedUi ui;
  std::optional<Manager> manager;

  ScriptedSetupView& view() { return *ui.window; }
  ScriptedTerms& sheet() { return *ui.window->sheet; }
  Controls controls() { return {view().codeEnabled, view().buttonEnabled, view().button}; }
  bool stateReads(const std::string& text) {
    return waitFor([&] { return ui.item && ui.item->title(Manager::stateLine) == text; });
  }
  bool runEnded() {
    return waitFor([&] { return !Installer::running && !view().explain.starts_with("Setting"); });
  }
};

}  // namespace

TEST(SetupCode, KeepsTheNumbersOfEveryScript) {
  const std::tuple<const char*, const char*, std::size_t> cases[] = {
      {"a1 2-3b4", "1234", 4},
      {"١٢٣-٤٥٦", "١٢٣٤٥٦", 6},               // Arabic-Indic digits
      {"½²Ⅻ五", "½²Ⅻ五", 4},                  // a fraction, superscript, Roman and CJK numerals
      {"1\u0301 2", "1\u03012", 2},           // a digit with an accent stays one character
      {"1\uFE0F\u20E3", "1\uFE0F\u20E3", 1},  // a keycap
      {"\u03011", "1", 1},                    // a lone accent first is not a number
  };
  for (const auto& [typed, kept, characters] : cases) {
    const auto code = SetupWindow::numbersOf(typed);
    EXPECT_EQ(std::pair(code.text, code.characters), std::pair(std::string(kept), characters));
  }
}

// Offered once when the desk needs setting up, brought back by the menu and by re-opening the
// application as it was left. A page without boxes gives the payload's own copy; when that has
// none either, setting up goes on without terms, and a failed run shows its message and gives
// the controls back. The own copy is not tried again in the window's life; a run that succeeds
// shows in the window and the menu.
TEST_F(Window, FromTheMenuThroughAFailedRunToASetUpDesk) {
  fs::create_directories(computer.desk());
  write(computer.marker(), "moved\n");
  manager.emplace(ui, std::vector<std::string>{});
  manager->carryOn();
  ASSERT_TRUE(stateReads("Setting up did not finish") && waitFor([&] { return ui.window; }));
  EXPECT_EQ(view().explain,
            "Ask for the six digits and type them here. This computer will set itself up and "
            "start its desk. It takes a few minutes.");
  EXPECT_EQ(controls(), (Controls{true, false, "Connect"}));
  view().type("1234567");
  EXPECT_FALSE(view().buttonEnabled) << "a longer code is not cut";
  view().type("١٢٣٤٥٦");
  view().close();
  for (int tick = 0; tick < 2; ++tick) manager->refresh();
  Platform::turnLoop(0.2);
  EXPECT_EQ(std::pair(view().open, view().broughtToFront), std::pair(false, 1));
  ui.item->choose(Manager::setupLine);  // "Set up this computer…"
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(waitFor([&] { return view().broughtToFront == 3; }));
  EXPECT_EQ(std::tuple(ui.windowsMade, view().codeText, ui.alerts.size()),
            std::tuple(1, "١٢٣٤٥٦", 0u));

  write(computer.home / "pair-status", "1");
  write(computer.home / "pair-says", "Not that code.");
  view().press();
  EXPECT_EQ(controls(), (Controls{false, false, "Connect"}));
  // Messages of another shape are ignored; a count that is not whole counts as nothing.
  sheet().post("{\"version\": \"2025-04\", \"done\": 2, \"of\": 3}");
  for (const char* odd : {"", "not json", "[1, 2]", "\"text\"", "{\"done\": 1.5, \"of\": 3}"}) {
    sheet().post(odd);
  }
  EXPECT_EQ(std::pair(sheet().count, sheet().agreeEnabled),
            std::pair(std::string("0 of 3 boxes ticked"), false));
  sheet().post("{\"version\": \"2025-04\", \"done\": 0}");  // no "of"
  EXPECT_EQ(sheet().loaded,
            (std::vector<std::string>{"http://127.0.0.1:8765/terms",
                                      "file://" + computer.payload.string() + "/ui/terms.html"}));
  sheet().post("{\"done\": 0, \"of\": 0}");
  EXPECT_EQ(view().explain, "Setting up. This takes a few minutes — you can leave it.");
  ASSERT_TRUE(runEnded());
  EXPECT_EQ(std::tuple(view().explain, view().codeText, controls()),
            std::tuple("Not that code.", "١٢٣٤٥٦", Controls{true, true, "Connect"}));

  fs::remove(computer.home / "pair-status");
  view().press();
  sheet().fail();
  EXPECT_EQ(view().sheet, nullptr) << "the own copy is not tried again";
  ASSERT_TRUE(stateReads("Running — 3.1.4")) << "refreshed at once";
  EXPECT_EQ(std::tuple(view().explain, controls()),
            std::tuple(done, Controls{false, true, "Close"}));
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"١٢٣٤٥٦", ""}));
  view().press();
  EXPECT_EQ(std::tuple(view().open, view().sheetsOpened), std::tuple(false, 2));
}

TEST_F(Window, AResultAfterTheWindowHasGoneIsDropped) {
  ASSERT_EQ(mkfifo((computer.home / "hold").c_str(), 0600), 0);
  std::optional<SetupWindow> setup{std::in_place, ui};
  setup->show([] {});
  view().type("123456");
  view().press();
  sheet().post("{\"version\": \"v\", \"done\": 1, \"of\": 1}");
  sheet().agree();
  ASSERT_TRUE(waitFor([&] { return fs::exists(computer.desk() / "marker-during-setup"); }));
  setup.reset();
  computer.release();
  EXPECT_TRUE(waitFor([] { return !Installer::running; }));
  Platform::turnLoop(0.1);
}

TEST_F(Window, StartingUpRecordsWhoLooksAfterTheDeskAndOffersNoSetup) {
  write(computer.desk() / "agent.sh", "#!/bin/bash\n", 0755);
  manager.emplace(ui, std::vector<std::string>{});
  manager->carryOn();
  ASSERT_TRUE(stateReads("Running"));
  EXPECT_EQ(read(Belonging::note()), fs::canonical(computer.app).string() + "\n");
  EXPECT_EQ(ui.window, nullptr);
}
