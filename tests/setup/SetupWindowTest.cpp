// The setup window's flow with a scripted window and terms sheet: the code, the terms, a run and
// its outcome, the fallback to the payload's own copy of the terms, and links.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "platform/Queue.h"
#include "setup/AgreementWindow.h"
#include "setup/Installer.h"
#include "setup/SetupWindow.h"

using namespace setup_testing;

namespace {

constexpr const char* instruction =
    "Ask for the six digits and type them here. This computer will set itself up and start its "
    "desk. It takes a few minutes.";
constexpr const char* settingUp = "Setting up. This takes a few minutes — you can leave it.";

std::string terms(const std::string& version, int done, int of) {
  return "{\"version\": \"" + version + "\", \"done\": " + std::to_string(done) +
         ", \"of\": " + std::to_string(of) + "}";
}

class Window : public ::testing::Test {
 protected:
  Window() { ui.scriptedWindow = true; }

  Platform::EventLoop loop{argc, argv};
  Computer computer;
  ScriptedUi ui;
  std::optional<SetupWindow> setup{std::in_place, ui};
  int doneCalls = 0;
  const std::string own = "file://" + (computer.payload / "ui/terms.html").string();

  testing_support::ScriptedSetupView& view() { return *ui.window; }
  ScriptedTerms& sheet() { return *ui.window->sheet; }

  void showAndConnect(const std::string& code = "123456") {
    setup->show([this] { ++doneCalls; });
    view().type(code);
    view().press();
    ASSERT_NE(view().sheet, nullptr);
  }
  // Agrees to a page of one box with this version.
  void agreeTo(const std::string& version) {
    sheet().post(terms(version, 1, 1));
    sheet().agree();
  }
  bool runEnded() {
    return waitFor([&] { return !Installer::running && view().explain != settingUp; });
  }
  // The code field and the button: whether each is enabled, and the button's title.
  void expectControls(bool code, bool button, const std::string& title = "Connect") {
    EXPECT_EQ(view().codeEnabled, code);
    EXPECT_EQ(view().buttonEnabled, button);
    EXPECT_EQ(view().button, title);
  }
};

}  // namespace

TEST(SetupCode, KeepsTheNumbersOfEveryScript) {
  struct Case {
    const char* typed;
    const char* kept;
    std::size_t characters;
  } cases[] = {
      {"123456", "123456", 6},
      {"12 34-56", "123456", 6},
      {"a1b2c3d4e5f6", "123456", 6},
      {"١٢٣٤٥٦", "١٢٣٤٥٦", 6},                // Arabic-Indic digits
      {"۱۲۳-۴۵۶", "۱۲۳۴۵۶", 6},               // extended Arabic-Indic, with a dash
      {"½", "½", 1},                          // a vulgar fraction is a number
      {"12½ ²Ⅻ五", "12½²Ⅻ五", 6},             // superscript, Roman numeral, CJK numeral
      {"1\u0301 2", "1\u03012", 2},           // a digit with an accent stays one character
      {"1\uFE0F\u20E3", "1\uFE0F\u20E3", 1},  // a keycap
      {"\u03011", "1", 1},                    // a lone accent first is not a number
      {"1234567", "1234567", 7},
      {"–—·.,+", "", 0},
      {"", "", 0},
  };
  for (const auto& c : cases) {
    auto code = SetupWindow::numbersOf(c.typed);
    EXPECT_EQ(code.text, c.kept) << c.typed;
    EXPECT_EQ(code.characters, c.characters) << c.typed;
  }
}

TEST_F(Window, ShowsOnceMadeComesBackAsItWasLeftAndCancellingGivesTheControlsBack) {
  setup->show([] {});
  ASSERT_EQ(ui.windowsMade, 1);
  EXPECT_TRUE(view().open);
  EXPECT_EQ(view().explain, instruction);
  EXPECT_EQ(view().codeText, "");
  expectControls(true, false);

  view().type("١٢٣٤٥٦");
  EXPECT_TRUE(view().buttonEnabled) << "six numbers of any script";
  view().close();
  setup->show([] {});
  EXPECT_EQ(ui.windowsMade, 1) << "one window for the application's life";
  EXPECT_EQ(view().broughtToFront, 2);
  EXPECT_EQ(view().codeText, "١٢٣٤٥٦") << "nothing is reset";

  view().press();
  ASSERT_NE(view().sheet, nullptr);
  expectControls(false, false);
  EXPECT_EQ(sheet().wiring, AgreementWindow::wiring());
  EXPECT_EQ(sheet().loaded, std::vector<std::string>{"http://127.0.0.1:8765/terms"});
  EXPECT_EQ(sheet().timeout, 10);
  EXPECT_FALSE(sheet().agreeEnabled);

  sheet().cancel();
  EXPECT_EQ(view().sheet, nullptr) << "the sheet is closed";
  expectControls(true, true);
  EXPECT_EQ(view().explain, instruction);
  EXPECT_FALSE(Installer::running) << "cancelling is not a setup";
}

TEST_F(Window, TheBoxesDecideWhetherTheUserMayAgree) {
  showAndConnect();
  sheet().post(terms("2025-04", 2, 3));
  EXPECT_EQ(sheet().count, "2 of 3 boxes ticked");
  // Messages of another shape are ignored; odd values count as nothing.
  for (const char* odd : {"", "not json", "[1, 2]", "\"text\"", "3"}) {
    sheet().post(odd);
    EXPECT_EQ(sheet().count, "2 of 3 boxes ticked") << odd;
  }
  sheet().post("{\"version\": 7, \"done\": \"1\", \"of\": 1}");
  EXPECT_EQ(sheet().count, "0 of 1 boxes ticked");
  sheet().post("{\"version\": 7, \"done\": 1.5, \"of\": 1}");
  EXPECT_FALSE(sheet().agreeEnabled);
  sheet().post("{\"version\": 7, \"done\": 1, \"of\": 1}");
  ASSERT_TRUE(sheet().agreeEnabled);
  sheet().agree();
  EXPECT_EQ(view().sheet, nullptr);
  ASSERT_TRUE(runEnded());
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"123456", ""}))
      << "a version that is not text is an empty version";
}

TEST_F(Window, AFailedRunShowsItsMessageThenAgreeingSetsUpAndTheWindowSaysSo) {
  write(computer.home / "pair-status", "1");
  write(computer.home / "pair-says", "Not that code.");
  showAndConnect();
  agreeTo("v1");
  ASSERT_TRUE(runEnded());
  EXPECT_EQ(view().explain, "Not that code.") << "the run's own message";
  EXPECT_EQ(view().codeText, "123456");
  expectControls(true, true);
  EXPECT_EQ(doneCalls, 0);

  fs::remove(computer.home / "pair-status");
  view().type("١٢٣٤٥٦");
  view().press();
  ASSERT_NE(view().sheet, nullptr);
  agreeTo("2025-04");
  EXPECT_EQ(view().explain, settingUp);
  expectControls(false, false);
  EXPECT_TRUE(Installer::running);
  ASSERT_TRUE(runEnded());
  EXPECT_EQ(view().explain, done);
  expectControls(false, true, "Close");
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"١٢٣٤٥٦", "2025-04"}))
      << "the code as it stands in the field and the version agreed to";

  // Shown again (with a new handler), it is as it was; "Close" closes it.
  setup->show([] {});
  EXPECT_EQ(view().explain, done);
  view().press();
  EXPECT_FALSE(view().open);
  EXPECT_EQ(view().sheetsOpened, 2) << "\"Close\" does not connect again";
}

// A page that is not a terms page gives the payload's own copy; once that has been tried in
// this window's life, the sheet closes at once and setting up goes on without terms.
TEST_F(Window, TheOwnCopyIsTriedOnceThenSettingUpGoesOnWithoutTerms) {
  write(computer.home / "setup-fails", "Not set up.\n");
  showAndConnect();
  sheet().post("{\"version\": \"2025-04\", \"done\": 0}");  // no "of"
  ASSERT_EQ(sheet().loaded.back(), own);
  sheet().post(terms("", 0, 0));
  EXPECT_EQ(view().sheet, nullptr) << "the own copy has no boxes either: the sheet closes";
  ASSERT_TRUE(runEnded()) << "and setting up goes on";
  EXPECT_EQ(view().explain, "Not set up.");

  fs::remove(computer.home / "setup-fails");
  view().press();
  ASSERT_NE(view().sheet, nullptr);
  sheet().fail();
  EXPECT_EQ(view().sheet, nullptr) << "the own copy is not tried again";
  ASSERT_TRUE(runEnded());
  EXPECT_EQ(view().explain, done);
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"123456", ""}));
}

TEST_F(Window, ClickedLinksOpenInTheBrowserAndTheSheetStays) {
  showAndConnect();
  EXPECT_TRUE(sheet().navigate("http://127.0.0.1:8765/terms", false)) << "the page's own load";
  EXPECT_TRUE(sheet().navigate("http://127.0.0.1:8765/next", false)) << "a redirect or a form";
  EXPECT_TRUE(ui.opened.empty());
  // Links in the own copy open the service's page of the same path.
  for (const char* clicked : {"https://example.org/privacy?x=1", "file:///terms",
                              "file:///our%20church/page.html?a=b#c", "file://localhost/privacy"}) {
    EXPECT_FALSE(sheet().navigate(clicked, true)) << clicked;
  }
  EXPECT_EQ(ui.opened,
            (std::vector<std::string>{
                "https://example.org/privacy?x=1", "http://127.0.0.1:8765/terms",
                "http://127.0.0.1:8765/our%20church/page.html", "http://127.0.0.1:8765/privacy"}));
  ASSERT_NE(view().sheet, nullptr) << "the sheet stays on the terms";
  EXPECT_EQ(sheet().loaded.size(), 1u);
}

TEST_F(Window, AResultAfterTheWindowHasGoneIsDropped) {
  ASSERT_EQ(mkfifo((computer.home / "hold").c_str(), 0600), 0);
  showAndConnect();
  agreeTo("v");
  ASSERT_TRUE(waitFor([&] { return fs::exists(computer.desk() / "marker-during-setup"); }));
  setup.reset();
  computer.release();
  EXPECT_TRUE(waitFor([] { return !Installer::running; }));
  Platform::turnLoop(0.1);
}

TEST(SetupWindowWithoutWidgets, ShowsNothingAndStartsNothing) {
  Platform::EventLoop loop{argc, argv};
  ScriptedUi ui;
  EXPECT_EQ(ui.makeSetupView(), nullptr) << "quendrelctl's plain event loop has no windows";
  SetupWindow setup(ui);
  bool done = false;
  for (int time = 0; time < 2; ++time) setup.show([&] { done = true; });
  Platform::turnLoop(0.1);
  EXPECT_FALSE(done);
  EXPECT_FALSE(Installer::running);
  EXPECT_TRUE(ui.alerts.empty());
}
